// The analysis run over whole models, in-process and through quelm-batch.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "analysis/morla_driver.h"
#include "model_columns.h"
#include "store/quelm_store.h"
#include "lammps_reference.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_progress.h"
#include "test_support.h"

namespace {

QB_tools crystal(bool fcc, int n) {
    QB_tools s;
    if (fcc)
        QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    else
        QB_create_bcc(&s, 2.855, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

void switch_on(const char* method) { QN_set_bit_int(QN_ANALY_GROUP, std::string("A_") + method + "_active", 1, 0); }

}  // namespace

TEST(AnalysisRun, PerfectCrystalsGetTheirCodesEverywhere) {
    testing::internal::CaptureStdout();
    for (bool fcc : {true, false}) {
        QB_tools s = crystal(fcc, 4);
        QN_store_init();
        ASSERT_EQ(QN_analy_defaults(s.ntypes), 1);
        EXPECT_EQ(QN_MORLA_compute(&s), 0);  // nothing switched on
        EXPECT_EQ(QB_slot_sum(&s), 5);
        for (const char* m : {"cna", "baa", "csp", "cnp"}) switch_on(m);
        ASSERT_EQ(QN_MORLA_compute(&s), 4);
        for (int i = 0; i < s.natoms; i++) {
            EXPECT_EQ(QB_get_data(&s, i, "cna"), fcc ? 1 : 2) << i;
            EXPECT_EQ(QB_get_data(&s, i, "baa"), fcc ? 1 : 2) << i;
            EXPECT_NEAR(QB_get_data(&s, i, "csp"), 0, 1e-9) << i;
        }
    }
    testing::internal::GetCapturedStdout();
}

// A lattice so dense that the analysis radius is below the network's
// smallest bins still finds every neighbour.
TEST(AnalysisRun, RadiusBelowTheSmallestBins) {
    testing::internal::CaptureStdout();
    QB_tools s;
    QB_create_fcc(&s, 1.2, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, 6, 6, 6);
    const double R = std::sqrt(2 * 3 * std::pow(6 * 1.2, 2)) / std::cbrt(s.natoms);
    ASSERT_LT(R, 3);
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    switch_on("cna");
    switch_on("csp");
    QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", 12, 0);
    ASSERT_EQ(QN_MORLA_compute(&s), 2);
    for (int i = 0; i < s.natoms; i++) {
        EXPECT_EQ(QB_get_data(&s, i, "cna"), 1) << i;
        EXPECT_NEAR(QB_get_data(&s, i, "csp"), 0, 1e-9) << i;
    }
    testing::internal::GetCapturedStdout();
}

TEST(AnalysisRun, ASecondRunKeepsTheFirstRunsColumns) {
    testing::internal::CaptureStdout();
    QB_tools s = crystal(true, 3);
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    switch_on("cna");
    QN_MORLA_compute(&s);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_active", 0, 0);
    switch_on("lco");
    ASSERT_EQ(QN_MORLA_compute(&s), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_GE(QB_slot_get(&s, "cna"), 5);
    EXPECT_GE(QB_slot_get(&s, "lco_b"), 5);
    EXPECT_EQ(QB_get_data(&s, 7, "cna"), 1);
    EXPECT_EQ(QB_get_data(&s, 7, "lco_s"), 1);
    EXPECT_EQ(QB_slot_get(&s, "lco_s") + 3, QB_slot_get(&s, "lco_b"));  // the four LCO columns together
}

// A crystal filling its box along a free (non-periodic) z: the two outer
// layers have no neighbours across the boundary, whatever thread count.
TEST(AnalysisRun, AFreeBoundaryIsNotWrappedAround) {
    testing::internal::CaptureStdout();
    QB_tools s = crystal(true, 6);
    s.periodic[2] = 0;
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    switch_on("cna");
    for (int threads : {1, 2, 5}) {
        ASSERT_EQ(QN_MORLA_compute(&s, threads), 1);
        int surface = 0;
        for (int i = 0; i < s.natoms; i++) {
            const double z = s.atoms[i].z;
            const bool outer = z < 1 || z > s.size[2] - 2;
            surface += outer;
            EXPECT_EQ(QB_get_data(&s, i, "cna") == 1, !outer) << i << " z " << z;
        }
        EXPECT_EQ(surface, 2 * 72);
    }
    testing::internal::GetCapturedStdout();
}

TEST(AnalysisRun, BatchAnalyseWritesTheResultColumns) {
    ScratchDir scratch;
    QB_tools s = crystal(true, 3);
    s.atoms[0].type = 2;  // two types: per-type values fill types 1, 2 in order
    s.ntypes = 2;
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("in.lmp").c_str()), 1);
    auto run = [&](const std::string& arguments) { return run_batch(scratch, arguments).status; };
    ASSERT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("a.lmc") +
                  " --method cna,csp -A_csp_cn=12 -A_csp_cn=8"),
              0)
        << slurp(scratch.path("err"));
    QB_tools back;
    testing::internal::CaptureStdout();
    ASSERT_EQ(QB_read_file(&back, scratch.path("a.lmc").c_str()), 3);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(back.channel_count, 2);
    EXPECT_EQ(back.channel_names[0], "cna");
    EXPECT_EQ(back.channel_names[1], "csp");
    EXPECT_EQ(QB_get_data(&back, 5, "cna"), 1);
    EXPECT_NEAR(QB_get_data(&back, 5, "csp"), 0, 1e-6);

    // A manual CNP cut-off of 0 keeps no neighbour: not a number, written
    // and read back as such.
    ASSERT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("n.lmc") +
                  " --method cnp -A_cnp_adptive=0"),
              0)
        << slurp(scratch.path("err"));
    EXPECT_NE(slurp(scratch.path("n.lmc")).find("\tnan\n"), std::string::npos);
    testing::internal::CaptureStdout();
    ASSERT_EQ(QB_read_file(&back, scratch.path("n.lmc").c_str()), 3);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < back.natoms; i++) EXPECT_TRUE(std::isnan(QB_get_data(&back, i, "cnp"))) << i;

    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") + " --method xyz"), 2);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmp")), 2);
    EXPECT_EQ(run("analyse " + scratch.path("missing.lmp") + " -o " + scratch.path("b.lmc")), 1);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") + " -A_nothing=1"), 2);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") +
                  " -A_csp_cn=12 -A_csp_cn=8 -A_csp_cn=4"),
              2);  // three values, two types
}

// Large enough for several blocks of atoms (run side by side): three
// vacancies far apart change exactly their twelve first neighbours each, and
// a vacuum gap above and below a slab exactly its two outer layers.
TEST(AnalysisRun, DefectsChangeExactlyTheAtomsAroundThem) {
    testing::internal::CaptureStdout();
    const double a = 3.615;
    QB_tools s = crystal(true, 20);  // 32,000 atoms
    ASSERT_EQ(s.natoms, 32000);
    const int gone[3] = {5, 13333, 27001};
    std::vector<std::array<double, 3>> sites;
    for (int i : gone) sites.push_back({s.atoms[i].x, s.atoms[i].y, s.atoms[i].z});
    for (int i : gone) QB_delete_atom(&s, i);
    QB_affine_delete(&s);
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    switch_on("cna");
    switch_on("csp");
    QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", 12, 0);
    ASSERT_EQ(QN_MORLA_compute(&s), 2);
    const double L = 20 * a;
    auto near_vacancy = [&](int i) {
        for (const auto& v : sites) {
            double d2 = 0;
            const double p[3] = {s.atoms[i].x, s.atoms[i].y, s.atoms[i].z};
            for (int d = 0; d < 3; d++) {
                double x = p[d] - v[d];
                x -= L * std::round(x / L);
                d2 += x * x;
            }
            if (std::fabs(std::sqrt(d2) - a / std::sqrt(2.0)) < 1e-6) return true;
        }
        return false;
    };
    int changed = 0;
    for (int i = 0; i < s.natoms; i++) {
        const bool defect = near_vacancy(i);
        changed += defect;
        if (defect) {
            EXPECT_NE(QB_get_data(&s, i, "cna"), 1) << i;
            EXPECT_GT(QB_get_data(&s, i, "csp"), 1) << i;
        } else {
            EXPECT_EQ(QB_get_data(&s, i, "cna"), 1) << i;
            EXPECT_NEAR(QB_get_data(&s, i, "csp"), 0, 1e-9) << i;
        }
    }
    EXPECT_EQ(changed, 36);

    // The slab: the same crystal with 10 A of vacuum above it.
    QB_tools slab = crystal(true, 20);
    slab.size[2] += 10;
    slab.cell[2][2] += 10;
    ASSERT_EQ(QN_MORLA_compute(&slab), 2);
    int outer = 0;
    for (int i = 0; i < slab.natoms; i++) {
        const double z = slab.atoms[i].z - slab.lo[2];
        const bool surface = z < 0.1 || z > L - a / 2 - 0.1;
        outer += surface;
        EXPECT_EQ(QB_get_data(&slab, i, "cna") != 1, surface) << i << " z " << z;
    }
    EXPECT_EQ(outer, 2 * 2 * 20 * 20);
    testing::internal::GetCapturedStdout();
}

// Adaptive LCO against the default reference direction z: a crystal with a
// cube axis along z is red, one with a face diagonal green, one with a body
// diagonal blue, every atom alike.
TEST(AnalysisRun, LcoColoursFollowTheCrystalsOrientation) {
    testing::internal::CaptureStdout();
    struct Case {
        double x[3], y[3], z[3];
        double r, g, b;
    };
    const Case cases[] = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, 1, 0, 0},
                          {{0, 0, 1}, {1, -1, 0}, {1, 1, 0}, 0, 1, 0},
                          {{1, -1, 0}, {1, 1, -2}, {1, 1, 1}, 0, 0, 1}};
    for (const Case& c : cases) {
        QB_tools s;
        ASSERT_EQ(QB_create_fcc(&s, 3.615, c.x[0], c.x[1], c.x[2], c.y[0], c.y[1], c.y[2], c.z[0], c.z[1], c.z[2]), 0);
        QB_duplicate(&s, 3, 3, 3);
        QN_store_init();
        QN_analy_defaults(s.ntypes);
        switch_on("lco");
        ASSERT_EQ(QN_MORLA_compute(&s), 1);
        for (int i = 0; i < s.natoms; i++) {
            ASSERT_EQ(QB_get_data(&s, i, "lco_s"), 1) << i;
            ASSERT_NEAR(QB_get_data(&s, i, "lco_r"), c.r, 1e-6) << i;
            ASSERT_NEAR(QB_get_data(&s, i, "lco_g"), c.g, 1e-6) << i;
            ASSERT_NEAR(QB_get_data(&s, i, "lco_b"), c.b, 1e-6) << i;
        }
    }
    testing::internal::GetCapturedStdout();
}

// ------------------------------------------- CSP's neighbours from the structure

namespace {

const std::string kReferences = std::string(QUELM_TEST_DATA) + "/analysis/fixtures/";

// Whether the N-th and (N+1)-th nearest neighbours of atom i are so close in
// distance that which one CSP takes is arbitrary (the programs may differ).
bool tie_at(const Neighbourhoods& h, size_t i, int N) {
    const P3& c = h.centre[i];
    auto d = [&](int k) {
        const P3& p = h.near[i][static_cast<size_t>(k)];
        return std::hypot(p[0] - c[0], p[1] - c[1], p[2] - c[2]);
    };
    return static_cast<int>(h.near[i].size()) > N && d(N) - d(N - 1) < 1e-6;
}

struct StructureCase {
    const char* file;       // <file>_lammps.txt
    int atoms;
    int N;                  // the neighbours of LAMMPS' centro/atom for the lattice
    const char* structure;  // the class that decides
};

void PrintTo(const StructureCase& c, std::ostream* os) { *os << c.file; }

class CspFromStructure : public ::testing::TestWithParam<StructureCase> {};

class CspFromStructureTypes : public QuietStdoutTest {};

}  // namespace

// A CSP neighbour number of 0 (the default) takes 12 for a close-packed and
// 8 for a bcc model, and every atom gets LAMMPS' centro/atom value for that
// N: a polycrystal of three copper grains, thermalised copper and iron after
// 300 MD steps near 600 K, and the noisy crystals (with a vacancy) of the
// method's reference tests.
TEST_P(CspFromStructure, ZeroTakesTheLatticesNeighboursAndMatchesLammps) {
    const StructureCase& k = GetParam();
    Reference r;
    ASSERT_TRUE(read_reference(kReferences + k.file + "_lammps.txt", &r));
    ASSERT_EQ(static_cast<int>(r.pos.size()), k.atoms);
    ASSERT_EQ(r.centro, k.N);
    QB_tools s = model_of(r);
    QN_store_init();
    ASSERT_EQ(QN_analy_defaults(s.ntypes), 1);
    switch_on("csp");
    double stored = -1;
    ASSERT_EQ(QN_scan_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", stored), 1);
    ASSERT_EQ(stored, 0);  // the form's default
    std::string message;
    ASSERT_EQ(QN_MORLA_compute(&s, 0, &message), 1) << message;
    const std::string head = "CSP of type 1 over " + std::to_string(k.N) + " neighbours: ";
    EXPECT_EQ(message.rfind(head, 0), 0u) << message;
    EXPECT_NE(message.find(" of its " + std::to_string(k.atoms) + " atoms are " + k.structure), std::string::npos)
        << message;

    const Neighbourhoods h = gather(model_of(r));
    int compared = 0, positive = 0;
    for (size_t i = 0; i < r.pos.size(); i++) {
        if (tie_at(h, i, k.N)) continue;
        compared++;
        const double ours = QB_get_data(&s, static_cast<int>(i), "csp");
        positive += r.csp[i] > 0.1;
        EXPECT_NEAR(ours, r.csp[i], 1e-8 + 1e-9 * r.csp[i]) << k.file << " atom " << i + 1;
    }
    EXPECT_GE(compared, k.atoms * 9 / 10);
    EXPECT_GT(positive, 0);  // not the zeros a wrong N would give everywhere
}

const StructureCase kStructureCases[] = {
    {"polycrystal_csp", 683, 12, "fcc"},   {"cu_thermal_csp", 256, 12, "fcc"}, {"fe_thermal_csp", 250, 8, "bcc"},
    {"fcc_noise", 108, 12, "fcc"},         {"bcc_noise", 128, 8, "bcc"},       {"hcp_noise", 96, 12, "hcp"},
    {"fcc_vacancy_noise", 107, 12, "fcc"}, {"bcc_vacancy_noise", 127, 8, "bcc"}, {"hcp_vacancy_noise", 95, 12, "hcp"},
};

INSTANTIATE_TEST_SUITE_P(Models, CspFromStructure, ::testing::ValuesIn(kStructureCases),
                         [](const ::testing::TestParamInfo<StructureCase>& info) {
                             return std::string(info.param.file);
                         });

// Each type follows its own structure: iron atoms given type 2 in a copper
// model take 8 while copper takes 12, and a type none of whose atoms has a
// structure (the twelve neighbours of a vacancy) follows the whole model.
TEST_F(CspFromStructureTypes, EachTypeItsOwnOrTheModels) {
    Reference cu, fe;
    ASSERT_TRUE(read_reference(kReferences + "cu_thermal_csp_lammps.txt", &cu));
    ASSERT_TRUE(read_reference(kReferences + "fe_thermal_csp_lammps.txt", &fe));
    // Side by side along x, 6 A of vacuum between them (free along x), in
    // copper's periodic y and z (which iron's atoms near those faces do not
    // fit).
    QB_tools s = model_of(cu);
    const double gap = 6;
    s.size[0] = s.cell[0][0] = cu.box[0] + fe.box[0] + 2 * gap;
    s.periodic[0] = 0;
    for (int i = 0; i < s.natoms; i++) s.atoms[i].x += gap;
    for (const P3& p : fe.pos) QB_create_atom(&s, 2, p[0] + cu.box[0] + 2 * gap, p[1], p[2]);
    s.ntypes = 2;
    QN_store_init();
    QN_analy_defaults(2);
    switch_on("csp");
    std::string message;
    ASSERT_EQ(QN_MORLA_compute(&s, 0, &message), 1) << message;
    EXPECT_NE(message.find("CSP of type 1 over 12 neighbours: "), std::string::npos) << message;
    EXPECT_NE(message.find("\nCSP of type 2 over 8 neighbours: "), std::string::npos) << message;
    // Away from the vacuum and iron's ill-fitting faces the values are
    // those of each crystal alone.
    const Neighbourhoods hcu = gather(model_of(cu)), hfe = gather(model_of(fe));
    auto inner = [&](const P3& p, const double* L) {
        for (int d = 0; d < 3; d++)
            if (p[d] < 3.2 || p[d] > L[d] - 3.2) return false;
        return true;
    };
    int checked = 0;
    for (size_t i = 0; i < cu.pos.size(); i++)
        if (inner(cu.pos[i], cu.box) && !tie_at(hcu, i, 12)) {
            EXPECT_NEAR(QB_get_data(&s, static_cast<int>(i), "csp"), cu.csp[i], 1e-8) << "Cu atom " << i + 1;
            checked++;
        }
    for (size_t i = 0; i < fe.pos.size(); i++)
        if (inner(fe.pos[i], fe.box) && !tie_at(hfe, i, 8)) {
            EXPECT_NEAR(QB_get_data(&s, static_cast<int>(cu.pos.size() + i), "csp"), fe.csp[i], 1e-8)
                << "Fe atom " << i + 1;
            checked++;
        }
    EXPECT_GT(checked, 60);

    // The vacancy's twelve neighbours as type 2: no fcc atom of their own,
    // so the model's fcc decides, as 12 given by hand would.
    QB_tools v = crystal(true, 3);
    const atomdata gone = v.atoms[40];
    QB_delete_atom(&v, 40);
    QB_affine_delete(&v);
    const double L = 3 * 3.615;
    int marked = 0;
    for (int i = 0; i < v.natoms; i++) {
        double d2 = 0;
        const double p[3] = {v.atoms[i].x - gone.x, v.atoms[i].y - gone.y, v.atoms[i].z - gone.z};
        for (double x : p) d2 += std::pow(x - L * std::round(x / L), 2);
        if (std::fabs(std::sqrt(d2) - 3.615 / std::sqrt(2.0)) < 1e-6) v.atoms[i].type = 2, marked++;
    }
    ASSERT_EQ(marked, 12);
    v.ntypes = 2;
    QN_store_init();
    QN_analy_defaults(2);
    switch_on("csp");
    switch_on("cna");
    ASSERT_EQ(QN_MORLA_compute(&v, 0, &message), 2) << message;
    EXPECT_EQ(message, "CSP of type 1 over 12 neighbours: 95 of its 95 atoms are fcc\n"
                       "CSP of type 2 over 12 neighbours: 95 of the model's 107 atoms are fcc");
    QB_tools by_hand = v;
    for (int t = 0; t < 2; t++) QN_set_bit_double_multi(QN_ANALY_GROUP, t, "A_csp_cn", 12, 0);
    ASSERT_EQ(QN_MORLA_compute(&by_hand, 0, &message), 2);
    EXPECT_EQ(message, "");
    for (int i = 0; i < v.natoms; i++) {
        EXPECT_EQ(QB_get_data(&v, i, "csp"), QB_get_data(&by_hand, i, "csp")) << i;
        if (v.atoms[i].type == 2) {
            EXPECT_GT(QB_get_data(&v, i, "csp"), 1) << i;
        }
    }
}

// Neighbour numbers that cannot give a value are refused, and so is 0 on a
// model without any fcc, hcp or bcc atom (simple cubic): nothing is written,
// not even an earlier run's column is touched.
TEST_F(CspFromStructureTypes, WhatCannotGiveAValueIsRefused) {
    struct Case {
        bool simple_cubic;
        double cn;
        const char* says;
    };
    const Case cases[] = {
        {false, -4, "CSP: a neighbour number of -4 for type 1 gives no value; give 2 ... 16, or 0 to take it from "
                    "the structure (12 for fcc and hcp, 8 for bcc)"},
        {false, 1, "CSP: a neighbour number of 1 for type 1 gives no value; give 2 ... 16, or 0 to take it from "
                   "the structure (12 for fcc and hcp, 8 for bcc)"},
        {false, 17, "CSP: a neighbour number of 17 for type 1 gives no value; give 2 ... 16, or 0 to take it from "
                    "the structure (12 for fcc and hcp, 8 for bcc)"},
        {false, 1e12, "CSP: a neighbour number of 1e+12 for type 1 gives no value; give 2 ... 16, or 0 to take it "
                      "from the structure (12 for fcc and hcp, 8 for bcc)"},
        {true, 0, "CSP: no atom is fcc, hcp or bcc, so the number of neighbours of type 1 cannot be taken from the "
                  "structure; give it (12 for fcc and hcp, 8 for bcc)"},
    };
    for (const Case& c : cases) {
        QB_tools s;
        if (c.simple_cubic) {
            QB_create_atom(&s, 1, 0, 0, 0);
            for (int d = 0; d < 3; d++) s.size[d] = s.cell[d][d] = 2.5;
            s.ntypes = 1;
        } else {
            QB_create_fcc(&s, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1);
        }
        QB_duplicate(&s, 4, 4, 4);
        QN_store_init();
        QN_analy_defaults(s.ntypes);
        switch_on("cna");
        ASSERT_EQ(QN_MORLA_compute(&s), 1);
        const std::vector<double> before = s.exdouble_data.empty() ? std::vector<double>() : s.exdouble_data[0];
        switch_on("csp");
        QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", c.cn, 0);
        std::string message;
        EXPECT_EQ(QN_MORLA_compute(&s, 0, &message), -1) << c.cn;
        EXPECT_EQ(message, c.says);
        EXPECT_EQ(QB_slot_get(&s, "csp"), -1) << c.cn;
        ASSERT_EQ(s.exdouble_data.size(), 1u);
        EXPECT_EQ(s.exdouble_data[0], before);
        // Two neighbours, the fewest that pair, and the whole list give values.
        for (int n : {2, 16}) {
            QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_csp_cn", n, 0);
            EXPECT_EQ(QN_MORLA_compute(&s, 0, &message), 2) << n;
        }
    }
}

// quelm-batch analyse with CSP's default: the polycrystal's values are
// LAMMPS' centro/atom 12 (in the dump's six decimals), the decision is
// printed, and a refusal fails with its reason. No debugging lines.
TEST_F(CspFromStructureTypes, BatchAnalyseTakesTheNumberFromTheStructure) {
    ScratchDir scratch;
    Reference r;
    ASSERT_TRUE(read_reference(kReferences + "polycrystal_csp_lammps.txt", &r));
    QB_tools s = model_of(r);
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("poly.lmp").c_str()), 1);
    const BatchOutcome a =
        run_batch(scratch, "analyse " + scratch.path("poly.lmp") + " --method csp -o " + scratch.path("poly.lmc"));
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("CSP of type 1 over 12 neighbours: "), std::string::npos) << a.out;
    EXPECT_EQ(a.out.find("Current id"), std::string::npos) << a.out;
    EXPECT_NE(a.out.find("1 analyses run\nStructure summary of 683 atoms:\ncsp: min "), std::string::npos) << a.out;
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch.path("poly.lmc").c_str()), 3);
    ASSERT_EQ(back.natoms, 683);
    const Neighbourhoods h = gather(model_of(r));
    int compared = 0;
    for (int i = 0; i < back.natoms; i++) {
        if (tie_at(h, static_cast<size_t>(i), 12)) continue;
        compared++;
        EXPECT_NEAR(QB_get_data(&back, i, "csp"), r.csp[static_cast<size_t>(i)], 5e-7) << "atom " << i + 1;
    }
    EXPECT_GE(compared, 600);

    // Every structure method's output, with CSP's decision as the only remark.
    const BatchOutcome all = run_batch(scratch, "analyse " + scratch.path("poly.lmp") +
                                                    " --method cna,baa,cnp,csp,lco,oim");
    ASSERT_EQ(all.status, 0) << all.err;
    const size_t remark = all.out.find("CSP of type 1 over 12 neighbours: ");
    ASSERT_NE(remark, std::string::npos) << all.out;
    const size_t line_end = all.out.find('\n', remark);
    EXPECT_EQ(all.out.compare(line_end, 20, "\n6 analyses run\nStru"), 0) << all.out;

    const BatchOutcome refused =
        run_batch(scratch, "analyse " + scratch.path("poly.lmp") + " --method csp -A_csp_cn=1 -o " +
                               scratch.path("never.lmc"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("CSP: a neighbour number of 1 for type 1 gives no value"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(QB_file_exists(scratch.path("never.lmc")));
}

// ---------------------------------------------------------------- stopping

namespace {

// Progress hooks that request a stop at the n-th report of the pass (0:
// never), so the request comes from inside the run, between its runs of
// atoms.
std::atomic<int> reports{0};
int stop_at_report = 0;
void no_begin(const char*) {}
void no_end() {}
void stop_on_report(double) {
    if (++reports == stop_at_report) QB_progress_request_stop(true);
}

// The analysis remarks on standard output; the remarks show when a test fails.
class AnalysisStop : public QuietStdoutTest {};

// Clears the request and removes the hooks however the test leaves.
struct StopRequestGuard {
    StopRequestGuard() { reports = 0; }
    ~StopRequestGuard() {
        QB_progress_request_stop(false);
        QB_set_progress_hooks(nullptr);
    }
};

// The values of every column after the fixed slots.
std::vector<std::vector<double>> column_values(const QB_tools& s) {
    std::vector<std::vector<double>> values;
    for (int slot = 5; slot < QB_slot_sum(&s); slot++) {
        values.emplace_back();
        for (int i = 0; i < s.natoms; i++) values.back().push_back(QB_slot_data(&s, slot, i));
    }
    return values;
}

}  // namespace

// A stop requested before the call or during the pass fails the run with
// the stop's message, and the model keeps its atoms, its columns and their
// values, a previous run's included; once the request is cleared the same
// run succeeds.
TEST_F(AnalysisStop, AStopRequestFailsTheRunAndLeavesTheColumnsAsTheyWere) {
    struct Case {
        const char* what;
        std::vector<const char*> methods;
        bool over_a_previous_run;
        int stop_at;  // 0: requested before the call; n: at the n-th progress report
        bool integer_column = false;  // the model has an integer column "cna" of its own
    };
    const Case cases[] = {
        {"cna, requested before", {"cna"}, false, 0},
        {"cna over a previous run, requested before", {"cna"}, true, 0},
        {"cna and csp from the structure, during the pass", {"cna", "csp"}, false, 1},
        {"lco and oim over a previous run, during the pass", {"lco", "oim"}, true, 2},
        {"every method, during the pass", {"cna", "baa", "cnp", "csp", "lco", "oim"}, false, 3},
        {"cna into an integer column of the model, during the pass", {"cna"}, false, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StopRequestGuard guard;
        QB_tools s = crystal(true, 12);
        const int natoms = s.natoms;
        ASSERT_EQ(QB_add_exdouble(&s, "marker"), 1);
        for (int i = 0; i < natoms; i++) QB_save_data(&s, i, "marker", 0.5 * i);
        if (c.integer_column) {
            ASSERT_EQ(QB_add_exint(&s, "cna"), 1);
            for (int i = 0; i < natoms; i++) QB_save_data(&s, i, "cna", 9 + i % 5);
        }
        QN_store_init();
        ASSERT_EQ(QN_analy_defaults(s.ntypes), 1);
        for (const char* m : c.methods) switch_on(m);
        const int methods = static_cast<int>(c.methods.size());
        if (c.over_a_previous_run) {
            ASSERT_EQ(QN_MORLA_compute(&s, 1), methods);
            // Values no run gives, so that any row a stopped run wrote shows.
            for (int slot = 6; slot < QB_slot_sum(&s); slot++)
                for (int i = 0; i < natoms; i++) QB_slot_save(&s, slot, i, -7.25 - slot);
        }
        const std::vector<std::string> names = column_names(s);
        const std::vector<std::vector<double>> values = column_values(s);

        stop_at_report = c.stop_at;
        if (c.stop_at == 0) {
            QB_progress_request_stop(true);
        } else {
            const QB_progress_hooks hooks = {no_begin, stop_on_report, no_end};
            QB_set_progress_hooks(&hooks);
        }
        std::string message = "not yet";
        EXPECT_EQ(QN_MORLA_compute(&s, c.stop_at == 0 ? 0 : 1, &message), -1);
        EXPECT_EQ(message, "Stopped on request");
        EXPECT_EQ(message, QB_STOPPED_MESSAGE);
        EXPECT_TRUE(QB_progress_stop_requested());  // it stays until cleared
        if (c.stop_at > 0) {
            EXPECT_EQ(reports.load(), c.stop_at);  // the pass went no further
        }
        EXPECT_EQ(s.natoms, natoms);
        EXPECT_EQ(column_names(s), names);
        EXPECT_TRUE(column_values(s) == values);

        QB_progress_request_stop(false);
        QB_set_progress_hooks(nullptr);
        message.clear();
        ASSERT_EQ(QN_MORLA_compute(&s, 0, &message), methods) << message;
        EXPECT_EQ(s.natoms, natoms);
        const std::vector<std::string> after = column_names(s);
        for (const std::string& n : names) EXPECT_NE(std::find(after.begin(), after.end(), n), after.end()) << n;
        for (const char* m : c.methods) {
            const std::string column = std::string(m) == "lco" || std::string(m) == "oim" ? std::string(m) + "_s" : m;
            EXPECT_GE(QB_slot_get(&s, column.c_str()), 5) << column;
        }
        if (QB_slot_get(&s, "cna") >= 0) {
            for (int i = 0; i < natoms; i++) ASSERT_EQ(QB_get_data(&s, i, "cna"), 1) << i;
        }
        for (int i = 0; i < natoms; i++) ASSERT_EQ(QB_get_data(&s, i, "marker"), 0.5 * i) << i;
    }
}

namespace {

std::atomic<bool> pass_started{false};

// The first report of the pass waits (at most a minute) until the stop has
// been requested from the other thread: the request then comes while the
// run is under way, however fast the machine is.
void wait_for_the_request(double) {
    if (pass_started.exchange(true)) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!QB_progress_stop_requested() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST_F(AnalysisStop, AStopRequestedFromAnotherThreadEndsALargeRun) {
    StopRequestGuard guard;
    QB_tools s = crystal(true, 50);
    ASSERT_EQ(s.natoms, 500000);
    QN_store_init();
    ASSERT_EQ(QN_analy_defaults(s.ntypes), 1);
    switch_on("cna");
    pass_started = false;
    const QB_progress_hooks hooks = {no_begin, wait_for_the_request, no_end};
    QB_set_progress_hooks(&hooks);
    std::thread requester([] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!pass_started && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        QB_progress_request_stop(true);
    });
    std::string message;
    const int run = QN_MORLA_compute(&s, 1, &message);
    requester.join();
    EXPECT_TRUE(pass_started);
    EXPECT_EQ(run, -1);
    EXPECT_EQ(message, "Stopped on request");
    EXPECT_EQ(s.natoms, 500000);
    EXPECT_EQ(QB_slot_sum(&s), 5);  // no column left behind
}
