// The analysis run over whole models, in-process and through quelm-batch.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <string>

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

TEST(AnalysisRun, BatchAnalyseWritesTheResultColumns) {
    ScratchDir scratch;
    QB_tools s = crystal(true, 3);
    s.atoms[0].type = 2;  // two types: per-type values fill types 1, 2 in order
    s.ntypes = 2;
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("in.lmp").c_str()), 1);
    auto run = [&](const std::string& arguments) {
        const std::string cmd = std::string(QUELM_BATCH) + " " + arguments + " > " + scratch.path("out") + " 2> " +
                                scratch.path("err");
        const int raw = std::system(cmd.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
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

    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") + " --method xyz"), 2);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmp")), 2);
    EXPECT_EQ(run("analyse " + scratch.path("missing.lmp") + " -o " + scratch.path("b.lmc")), 1);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") + " -A_nothing=1"), 2);
    EXPECT_EQ(run("analyse " + scratch.path("in.lmp") + " -o " + scratch.path("b.lmc") +
                  " -A_csp_cn=12 -A_csp_cn=8 -A_csp_cn=4"),
              2);  // three values, two types
}
