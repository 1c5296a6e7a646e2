// The analysis run over whole models, in-process and through quelm-batch.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "app/quelm_store.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
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
