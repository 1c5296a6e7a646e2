// The analysis run's results, bit for bit: every method's columns over a set
// of models (the LAMMPS reference crystals, noisy, sheared triclinic, atoms
// outside the box, duplicates and deleted atoms, a box smaller than the
// neighbour reach, a sparse gas, free surfaces, a larger noisy crystal) hashed per column and
// compared with fixtures/analysis_bits.txt. A faster neighbour search or
// method must give the same numbers, tie order included, on any number of
// threads (the orientation columns by their sums, see Row).
//
// QUELM_WRITE_ANALYSIS_BITS=FILE writes the table the test compares with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "analysis/morla_driver.h"
#include "store/quelm_store.h"
#include "lammps_reference.h"
#include "neighbourhoods.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"

namespace {

const char* const kColumns[] = {"cna",   "baa",   "cnp",   "csp",   "lco_s", "lco_r", "lco_g",
                                "lco_b", "oim_s", "oim_r", "oim_g", "oim_b"};

struct Model {
    std::string name;
    QB_tools s;
};

QB_tools fcc(int n) {
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

std::vector<Model> models() {
    std::vector<Model> out;
    for (const char* lattice : {"fcc", "bcc", "hcp"})
        for (const char* c : {"perfect", "noise", "vacancy", "vacancy_noise", "surface", "surface_noise"}) {
            const std::string name = std::string(lattice) + "_" + c;
            Reference r;
            EXPECT_TRUE(read_reference(std::string(QUELM_TEST_DATA) + "/analysis/fixtures/" + name + "_lammps.txt", &r));
            out.push_back({name, model_of(r)});
        }

    QB_tools two = fcc(8);
    add_noise(&two, 0.08, 7);
    two.ntypes = 2;
    for (int i = 0; i < two.natoms; i++) two.atoms[i].type = 1 + i % 2;
    out.push_back({"fcc_two_types_noise", two});

    QB_tools bcc;
    QB_init(&bcc);
    QB_create_bcc(&bcc, 2.855, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&bcc, 9, 9, 9);
    add_noise(&bcc, 0.05, 11);
    out.push_back({"bcc_noise", bcc});

    // x += 0.25 y with the cell: a triclinic crystal.
    QB_tools tri = fcc(7);
    for (int i = 0; i < tri.natoms; i++) tri.atoms[i].x += 0.25 * tri.atoms[i].y;
    const double L = tri.size[0];
    const double cell[3][3] = {{L, 0, 0}, {0.25 * L, L, 0}, {0, 0, L}};
    std::memcpy(tri.cell, cell, sizeof cell);
    tri.triclinic = 1;
    tri.size[0] = 1.25 * L;
    out.push_back({"fcc_sheared_triclinic", tri});

    // Unwrapped atoms past the upper faces, and three far outside.
    QB_tools outside = fcc(6);
    for (int i = 0; i < outside.natoms; i++) {
        outside.atoms[i].x += 0.4;
        outside.atoms[i].y += 0.4;
        outside.atoms[i].z += 0.4;
    }
    for (int k = 0; k < 3; k++) QB_create_atom(&outside, 1, -20 - 2.5 * k, 3, 3);
    out.push_back({"fcc_outside_box", outside});

    QB_tools dup = fcc(5);
    QB_create_atom(&dup, 1, dup.atoms[0].x, dup.atoms[0].y, dup.atoms[0].z);
    QB_delete_atom(&dup, 7);
    out.push_back({"fcc_duplicates_deleted", dup});

    out.push_back({"fcc_small_box", fcc(2)});

    QB_tools gas;
    QB_init(&gas);
    for (int d = 0; d < 3; d++) gas.size[d] = gas.cell[d][d] = 30;
    QB_random g;
    g.seed(3);
    for (int i = 0; i < 400; i++) {
        const double x = 30.0 * g.next() / (QB_RAND_MAX + 1), y = 30.0 * g.next() / (QB_RAND_MAX + 1);
        QB_create_atom(&gas, 1, x, y, 30.0 * g.next() / (QB_RAND_MAX + 1));
    }
    out.push_back({"gas", gas});

    QB_tools slab = fcc(6);
    slab.periodic[2] = 0;
    add_noise(&slab, 0.02, 5);
    out.push_back({"fcc_slab_noise", slab});

    QB_tools large = fcc(20);
    add_noise(&large, 0.1, 13);
    out.push_back({"fcc_noise_32000", large});
    return out;
}

// Switches every method on: adaptive cut-offs (set "adaptive") or fixed
// windows of 3.1 for every type (set "fixed"); CSP over 12 neighbours for
// type 1 and 8 for type 2.
void configure(const QB_tools& s, bool adaptive) {
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    const int g = QN_ANALY_GROUP;
    for (const char* m : {"cna", "baa", "cnp", "csp", "lco", "oim"})
        QN_set_bit_int(g, std::string("A_") + m + "_active", 1, 0);
    for (const char* m : {"cna", "cnp", "lco", "oim"}) QN_set_bit_int(g, std::string("A_") + m + "_adptive", adaptive, 0);
    for (int t = 0; t < s.ntypes; t++) {
        QN_set_bit_double_multi(g, t, "A_cna_max", 3.1, 0);
        for (const char* label : {"A_cnp_cut", "A_lco_cut", "A_oim_cut"}) QN_set_bit_double_multi(g, t, label, 3.1, 0);
        QN_set_bit_double_multi(g, t, "A_csp_cn", t == 0 ? 12 : 8, 0);
    }
}

// FNV-1a over the bits of every value of the column.
uint64_t column_hash(const QB_tools& s, int slot) {
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < s.natoms; i++) {
        const double v = QB_slot_data(&s, slot, i);
        unsigned char b[sizeof v];
        std::memcpy(b, &v, sizeof v);
        for (unsigned char c : b) h = (h ^ c) * 1099511628211ull;
    }
    return h;
}

// One column of one run: "model set column atoms", its hash and its sum.
struct Row {
    std::string key;
    uint64_t hash;
    double sum;
    // The orientation columns hold differences that cancel to rounding
    // noise, which optimised and debugging builds round differently (by
    // 1e-10 and less): they are recorded by their sums.
    bool orientation;
    std::string recorded() const {
        char text[64];
        if (orientation)
            std::snprintf(text, sizeof text, " sum %.17g", sum);
        else
            std::snprintf(text, sizeof text, " %016llx", static_cast<unsigned long long>(hash));
        return key + text;
    }
};

std::vector<Row> table(int threads) {
    std::vector<Row> rows;
    for (Model& m : models())
        for (bool adaptive : {true, false}) {
            QB_tools s = m.s;
            configure(s, adaptive);
            EXPECT_EQ(QN_MORLA_compute(&s, threads), 6) << m.name;
            for (const char* c : kColumns) {
                const int slot = QB_slot_get(&s, c);
                double sum = 0;
                for (int i = 0; i < s.natoms; i++) sum += QB_slot_data(&s, slot, i);
                const std::string key =
                    m.name + (adaptive ? " adaptive " : " fixed ") + c + " " + std::to_string(s.natoms);
                rows.push_back({key, column_hash(s, slot), sum, c[0] == 'l' || c[0] == 'o'});
            }
        }
    return rows;
}

TEST(AnalysisBits, EveryColumnMatchesTheRecordedBitsOnAnyNumberOfThreads) {
    testing::internal::CaptureStdout();
    const std::vector<Row> got = table(0);
    testing::internal::GetCapturedStdout();
    if (const char* path = std::getenv("QUELM_WRITE_ANALYSIS_BITS")) {
        std::ofstream f(path);
        for (const Row& r : got) f << r.recorded() << '\n';
    }
    std::ifstream f(std::string(QUELM_TEST_DATA) + "/analysis/fixtures/analysis_bits.txt");
    ASSERT_TRUE(f.good());
    std::vector<std::string> want;
    for (std::string l; std::getline(f, l);)
        if (!l.empty()) want.push_back(l);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); k++) {
        if (!got[k].orientation) {
            EXPECT_EQ(got[k].recorded(), want[k]);
            continue;
        }
        const size_t at = want[k].find(" sum ");
        ASSERT_NE(at, std::string::npos) << want[k];
        EXPECT_EQ(got[k].key, want[k].substr(0, at));
        const double sum = std::strtod(want[k].c_str() + at + 5, nullptr);
        EXPECT_NEAR(got[k].sum, sum, 1e-6 * std::max(1.0, std::fabs(sum))) << got[k].key;
    }

    // Bit for bit, every column, on other numbers of threads.
    for (int threads : {1, 3}) {
        testing::internal::CaptureStdout();
        const std::vector<Row> other = table(threads);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(other.size(), got.size());
        for (size_t k = 0; k < got.size(); k++)
            EXPECT_EQ(other[k].hash, got[k].hash) << got[k].key << ", " << threads << " threads";
    }
}

}  // namespace
