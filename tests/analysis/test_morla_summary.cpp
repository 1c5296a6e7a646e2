// What a structure analysis found: counts per class, statistics of the
// continuous results, the message lines and the table of quelm-batch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "analysis/morla_summary.h"
#include "store/quelm_store.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "qb/qb_lattice.h"
#include "test_support.h"

namespace {

const double kA = 3.615;

QB_tools fcc(int n) {
    QB_tools s;
    QB_create_fcc(&s, kA, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

void remove_atoms(QB_tools* s, const std::vector<int>& gone) {
    for (int i : gone) QB_delete_atom(s, i);
    QB_affine_delete(s);
}

// Runs the listed methods (CSP with 12 neighbours) over s.
void analyse(QB_tools* s, const std::vector<const char*>& methods) {
    QN_store_init();
    QN_analy_defaults(s->ntypes);
    for (const char* m : methods) QN_set_bit_int(QN_ANALY_GROUP, std::string("A_") + m + "_active", 1, 0);
    for (int t = 0; t < s->ntypes; t++) QN_set_bit_double_multi(QN_ANALY_GROUP, t, "A_csp_cn", 12, 0);
    ASSERT_EQ(QN_MORLA_compute(s), static_cast<int>(methods.size()));
}

const QN_MORLA_row* find(const QN_MORLA_summary_t& s, const std::string& column, const std::string& label) {
    for (const QN_MORLA_row& r : s.rows)
        if (r.column == column && r.label == label) return &r;
    return nullptr;
}

long long count_of(const QN_MORLA_summary_t& s, const std::string& column, const std::string& label) {
    const QN_MORLA_row* r = find(s, column, label);
    return r ? r->count : 0;
}

class MorlaSummary : public QuietStdoutTest {};

}  // namespace

TEST(MorlaSummaryClasses, ClassifyingColumnsListTheirClassesInDisplayOrder) {
    const std::vector<std::pair<double, std::string>> expected = {{1, "fcc"}, {2, "bcc"}, {3, "hcp"}, {-1, "other"}};
    for (const char* column : {"cna", "baa", "lco_s", "oim_s"}) EXPECT_EQ(QN_MORLA_classes(column), expected) << column;
    for (const char* column : {"csp", "cnp", "lco_r", "x", ""}) EXPECT_TRUE(QN_MORLA_classes(column).empty()) << column;
}

TEST(MorlaSummaryClasses, CodeNames) {
    EXPECT_EQ(QN_MORLA_class_name(1), "fcc");
    EXPECT_EQ(QN_MORLA_class_name(2), "bcc");
    EXPECT_EQ(QN_MORLA_class_name(3), "hcp");
    // Every unrecognised neighbourhood, whatever count its code carries.
    for (int n : {0, 1, 6, 11, 12, 14, 16}) EXPECT_EQ(QN_MORLA_class_name(0.75 - 0.125 * n), "other") << n;
    EXPECT_EQ(QN_MORLA_class_name(0.75f - 0.125f * 16.0f), "other");
    EXPECT_EQ(QN_MORLA_class_name(1.3), "code 1.3");
}

TEST_F(MorlaSummary, OneVacancyInFcc) {
    QB_tools s = fcc(3);  // 108 sites
    remove_atoms(&s, {40});
    ASSERT_EQ(s.natoms, 107);
    analyse(&s, {"cna", "csp"});
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    EXPECT_EQ(sum.atoms, 107);
    // Class rows: fcc, then "other" for the vacancy's twelve neighbours (not
    // "other (16 neighbours)": 16 is the length of the list the analysis
    // was given, not what the atoms have).
    std::vector<const QN_MORLA_row*> cna;
    for (const QN_MORLA_row& r : sum.rows)
        if (r.column == "cna") cna.push_back(&r);
    ASSERT_EQ(cna.size(), 2u);
    EXPECT_EQ(cna[0]->label, "fcc");
    EXPECT_EQ(cna[0]->count, 95);
    EXPECT_EQ(QB_format("%.1f", cna[0]->percent), "88.8");
    EXPECT_EQ(cna[1]->label, "other");
    EXPECT_EQ(cna[1]->count, 12);
    EXPECT_EQ(QB_format("%.1f", cna[1]->percent), "11.2");
    // CSP: the twelve neighbours miss one of their twelve and lie above 1.
    EXPECT_EQ(count_of(sum, "csp", "above 1"), 12);
    ASSERT_NE(find(sum, "csp", "max"), nullptr);
    EXPECT_GT(find(sum, "csp", "max")->value, 1);
    EXPECT_NEAR(find(sum, "csp", "min")->value, 0, 1e-9);
    EXPECT_EQ(find(sum, "csp", "min")->count, 107);
    EXPECT_EQ(find(sum, "csp", "no value"), nullptr);

    const std::vector<std::string> lines = QN_MORLA_summary_lines(sum);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Structure summary of 107 atoms:");
    EXPECT_EQ(lines[1], "cna: fcc 95 (88.8%), other 12 (11.2%)");
    EXPECT_EQ(lines[2].rfind("csp: min ", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find(", 12 (11.2%) above 1"), std::string::npos) << lines[2];

    // Only the columns asked for.
    const std::vector<std::string> only = {"csp"};
    const QN_MORLA_summary_t csp = QN_MORLA_summary(&s, &only);
    for (const QN_MORLA_row& r : csp.rows) EXPECT_EQ(r.column, "csp");
    EXPECT_FALSE(csp.rows.empty());
}

// A slab with a vacancy under fixed-window CNA and BAA: the vacancy's
// neighbours (11 inside the window) and the surface atoms (8) carry
// different codes, and are the one class "other" together.
TEST_F(MorlaSummary, EveryUnrecognisedCodeIsOneClassOther) {
    QB_tools s = fcc(4);  // 256 sites
    s.size[2] += 10;
    s.cell[2][2] += 10;
    remove_atoms(&s, {150});
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_active", 1, 0);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_adptive", 0, 0);
    QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_cna_min", 0.1, 0);
    QN_set_bit_double_multi(QN_ANALY_GROUP, 0, "A_cna_max", 0.5 * (1 + std::sqrt(2.0)) * kA / std::sqrt(2.0), 0);
    QN_set_bit_int(QN_ANALY_GROUP, "A_baa_active", 1, 0);
    ASSERT_EQ(QN_MORLA_compute(&s), 2);
    long long other = 0;
    std::vector<double> codes;
    for (int i = 0; i < s.natoms; i++) {
        const double v = QB_get_data(&s, i, "cna");
        if (v == 1) continue;
        other++;
        if (std::find(codes.begin(), codes.end(), v) == codes.end()) codes.push_back(v);
    }
    ASSERT_GE(codes.size(), 2u);  // not one code shared by chance
    EXPECT_EQ(other, 2 * 32 + 12);  // two (001) surface layers, the vacancy's shell
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    std::vector<std::string> cna;
    for (const QN_MORLA_row& r : sum.rows)
        if (r.column == "cna") cna.push_back(r.label);
    EXPECT_EQ(cna, (std::vector<std::string>{"fcc", "other"}));
    EXPECT_EQ(count_of(sum, "cna", "other"), other);
    EXPECT_EQ(count_of(sum, "cna", "fcc"), s.natoms - other);
    EXPECT_EQ(QN_MORLA_tsv_rows(sum, "f").find("neighbour"), std::string::npos);
    for (const std::string& line : QN_MORLA_summary_lines(sum))
        EXPECT_EQ(line.find("neighbour"), std::string::npos) << line;
}

TEST_F(MorlaSummary, PerfectCrystalStatistics) {
    QB_tools s = fcc(3);
    analyse(&s, {"cna", "baa", "csp", "cnp"});
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    EXPECT_EQ(count_of(sum, "cna", "fcc"), 108);
    EXPECT_EQ(count_of(sum, "baa", "fcc"), 108);
    EXPECT_EQ(find(sum, "cna", "fcc")->percent, 100);
    EXPECT_EQ(count_of(sum, "csp", "above 1"), 0);
    EXPECT_NEAR(find(sum, "csp", "max")->value, 0, 1e-9);
    EXPECT_NEAR(find(sum, "csp", "mean")->value, 0, 1e-9);
    ASSERT_NE(find(sum, "cnp", "max"), nullptr);
    EXPECT_NEAR(find(sum, "cnp", "max")->value, 0, 1e-9);
    EXPECT_EQ(find(sum, "cnp", "above 1"), nullptr);  // CNP has no threshold row
    // Summary order: cna, baa, cnp, csp.
    std::vector<std::string> order;
    for (const QN_MORLA_row& r : sum.rows)
        if (order.empty() || order.back() != r.column) order.push_back(r.column);
    EXPECT_EQ(order, (std::vector<std::string>{"cna", "baa", "cnp", "csp"}));
}

TEST_F(MorlaSummary, NoResultColumnsNoLines) {
    QB_tools s = fcc(2);
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    EXPECT_TRUE(sum.rows.empty());
    EXPECT_TRUE(QN_MORLA_summary_lines(sum).empty());
    EXPECT_EQ(QN_MORLA_tsv_rows(sum, "x"), "");
}

TEST_F(MorlaSummary, NotANumberIsCountedApart) {
    QB_tools s = fcc(2);  // 32 atoms
    QB_add_exdouble(&s, "cnp");
    QB_add_exdouble(&s, "csp");
    for (int i = 0; i < s.natoms; i++) {
        QB_save_data(&s, i, "cnp", i < 4 ? std::nan("") : 2.0 * i);
        QB_save_data(&s, i, "csp", i < 8 ? -1 : 0.5 * i);  // -1: no N neighbours
    }
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    EXPECT_EQ(count_of(sum, "cnp", "no value"), 4);
    EXPECT_EQ(find(sum, "cnp", "min")->value, 8);
    EXPECT_EQ(find(sum, "cnp", "max")->value, 62);
    EXPECT_EQ(find(sum, "cnp", "mean")->value, 35);
    EXPECT_EQ(find(sum, "cnp", "mean")->count, 28);
    EXPECT_EQ(count_of(sum, "csp", "no value"), 8);
    EXPECT_EQ(find(sum, "csp", "min")->value, 4);
    EXPECT_EQ(count_of(sum, "csp", "above 1"), 24);  // 0.5 i > 1 for i = 8 ... 31
    EXPECT_EQ(QN_MORLA_tsv_rows(sum, "f"),
              "f\tcnp\tmin\t28\t87.5\t8\n"
              "f\tcnp\tmean\t28\t87.5\t35\n"
              "f\tcnp\tmax\t28\t87.5\t62\n"
              "f\tcnp\tno value\t4\t12.5\t\n"
              "f\tcsp\tmin\t24\t75.0\t4\n"
              "f\tcsp\tmean\t24\t75.0\t9.75\n"
              "f\tcsp\tmax\t24\t75.0\t15.5\n"
              "f\tcsp\tno value\t8\t25.0\t\n"
              "f\tcsp\tabove 1\t24\t75.0\t1\n");
}

// x [11-2], y [111], z [1-10], twelve (111) planes in three blocks of four,
// shifted rigidly by 0, b and 2 b with b the Shockley partial a/6 [11-2]
// (a / sqrt 6 along x). Across each of the three block boundaries, the one
// across the periodic y included, the planes above are shifted by b
// against those below (2 b - b, and 0 - 2 b = b less the lattice vector
// a/2 [11-2]): three intrinsic stacking faults, each turning the two planes
// beside it hcp. (A single rigid shift of half a periodic crystal gives one
// fault and, across the boundary, planes on top of each other.)
TEST_F(MorlaSummary, StackingFaultPlanesAreHcp) {
    QB_tools s;
    QB_create_fcc(&s, kA, 1, 1, -2, 1, 1, 1, 1, -1, 0);
    const double plane = kA / std::sqrt(3.0);  // (111) spacing
    const int cell_planes = static_cast<int>(std::lround(s.size[1] / plane));
    ASSERT_EQ(cell_planes, 3);
    QB_duplicate(&s, 3, 4, 4);
    const int planes = 4 * cell_planes;
    ASSERT_EQ(s.natoms % planes, 0);
    const int per_plane = s.natoms / planes;
    ASSERT_EQ(per_plane, 96);
    const double b = kA / std::sqrt(6.0);
    auto plane_of = [&](int i) {
        return static_cast<int>(std::lround((s.atoms[i].y - s.lo[1]) / plane)) % planes;
    };
    for (int i = 0; i < s.natoms; i++) {
        QB_move_atom(&s, i, b * (plane_of(i) / 4), 0, 0);
        QB_wrap(&s, i);
    }
    analyse(&s, {"cna", "baa"});
    const QN_MORLA_summary_t sum = QN_MORLA_summary(&s);
    EXPECT_EQ(count_of(sum, "cna", "hcp"), 6 * per_plane);
    EXPECT_EQ(count_of(sum, "cna", "fcc"), s.natoms - 6 * per_plane);
    EXPECT_EQ(count_of(sum, "baa", "hcp"), 6 * per_plane);
    EXPECT_EQ(QB_format("%.1f", find(sum, "cna", "hcp")->percent), "50.0");
    // The hcp atoms are those of planes 0, 3, 4, 7, 8 and 11.
    for (int i = 0; i < s.natoms; i++) {
        const int k = plane_of(i);
        const bool beside = k % 4 == 0 || k % 4 == 3;
        EXPECT_EQ(QB_get_data(&s, i, "cna"), beside ? 3 : 1) << i << " plane " << k;
    }
}

// ------------------------------------------------------------ quelm-batch

TEST(MorlaSummaryBatch, SummaryTableOfOneFile) {
    ScratchDir scratch;
    QB_tools s = fcc(3);
    remove_atoms(&s, {40});
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("v.lmp").c_str()), 1);
    const std::string in = scratch.path("v.lmp");
    const BatchOutcome r = run_batch(scratch, "analyse " + in + " --method cna --summary " + scratch.path("s.tsv"));
    ASSERT_EQ(r.status, 0) << r.err;
    // The vacancy's neighbours are the class "other".
    const std::string other = "other";
    EXPECT_EQ(slurp(scratch.path("s.tsv")), "file\tcolumn\tclass\tcount\tpercent\tvalue\n" + in +
                                                "\tcna\tfcc\t95\t88.8\t\n" + in + "\tcna\t" + other +
                                                "\t12\t11.2\t\n");
    EXPECT_NE(r.out.find("Structure summary of 107 atoms:\ncna: fcc 95 (88.8%), " + other + " 12 (11.2%)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Summary written to " + scratch.path("s.tsv")), std::string::npos);

    // With -o the dump is written as before, and the summary printed.
    const BatchOutcome w = run_batch(scratch, "analyse " + in + " -o " + scratch.path("a.lmc") + " --method cna,csp "
                                              "-A_csp_cn=12");
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(QB_file_exists(scratch.path("a.lmc")));
    EXPECT_NE(w.out.find("csp: min "), std::string::npos) << w.out;
    EXPECT_NE(w.out.find(", 12 (11.2%) above 1\n"), std::string::npos) << w.out;
}

TEST(MorlaSummaryBatch, SeriesInNumericOrder) {
    ScratchDir scratch;
    // run.N.lmp with N = 1, 2, 10 holding 108 - N atoms (N sites removed far
    // apart enough not to matter for the counts checked).
    for (int n : {2, 10, 1}) {
        QB_tools s = fcc(3);
        std::vector<int> gone;
        for (int k = 0; k < n; k++) gone.push_back(k * 10);
        remove_atoms(&s, gone);
        ASSERT_EQ(QB_dump_lmp(&s, scratch.path("run." + std::to_string(n) + ".lmp").c_str()), 1);
    }
    // Not of the series: another ending, another name.
    QB_tools s = fcc(2);
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("run.3.lmc").c_str()), 1);
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("walk.4.lmp").c_str()), 1);
    std::filesystem::create_directory(scratch.path("dumps"));

    const BatchOutcome r = run_batch(scratch, "analyse --series " + scratch.path("run.10.lmp") +
                                                  " --method cna --summary " + scratch.path("s.tsv") + " -o " +
                                                  scratch.path("dumps"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string table = slurp(scratch.path("s.tsv"));
    ASSERT_EQ(table.rfind("file\tcolumn\tclass\tcount\tpercent\tvalue\n", 0), 0u);
    EXPECT_EQ(table.find("file\t", 1), std::string::npos);  // one header
    // Blocks in the order 1, 2, 10, each one file's rows together.
    std::vector<std::string> files;
    long long atoms = 0;
    size_t at = table.find('\n') + 1;
    while (at < table.size()) {
        const size_t end = table.find('\n', at);
        const std::string line = table.substr(at, end - at);
        std::vector<std::string> fields;
        for (size_t from = 0;;) {
            const size_t tab = line.find('\t', from);
            fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
            if (tab == std::string::npos) break;
            from = tab + 1;
        }
        ASSERT_EQ(fields.size(), 6u) << line;
        if (files.empty() || files.back() != fields[0]) files.push_back(fields[0]);
        EXPECT_EQ(fields[1], "cna");
        atoms += std::stoll(fields[3]);
        at = end + 1;
    }
    EXPECT_EQ(files, (std::vector<std::string>{scratch.path("run.1.lmp"), scratch.path("run.2.lmp"),
                                               scratch.path("run.10.lmp")}));
    EXPECT_EQ(atoms, 107 + 106 + 98);
    // The printed blocks in the same order, one dump per input in the folder.
    const size_t p1 = r.out.find("[1/3] " + scratch.path("run.1.lmp"));
    const size_t p2 = r.out.find("[2/3] " + scratch.path("run.2.lmp"));
    const size_t p3 = r.out.find("[3/3] " + scratch.path("run.10.lmp"));
    ASSERT_NE(p1, std::string::npos) << r.out;
    EXPECT_LT(p1, p2);
    EXPECT_LT(p2, p3);
    EXPECT_NE(p3, std::string::npos);
    EXPECT_NE(r.out.find("Structure summary of 98 atoms:", p3), std::string::npos);
    for (const char* name : {"run.1.lmc", "run.2.lmc", "run.10.lmc"})
        EXPECT_TRUE(QB_file_exists(scratch.path("dumps/") + name)) << name;

    // The files named on the command line keep the order given.
    const BatchOutcome g = run_batch(scratch, "analyse " + scratch.path("run.10.lmp") + " " +
                                                  scratch.path("run.1.lmp") + " --method cna --summary " +
                                                  scratch.path("g.tsv"));
    ASSERT_EQ(g.status, 0) << g.err;
    const std::string given = slurp(scratch.path("g.tsv"));
    EXPECT_LT(given.find(scratch.path("run.10.lmp")), given.find(scratch.path("run.1.lmp")));
}

// LAMMPS names a dump series dump.0, dump.100, ...: each keeps its number
// in its output name, in a folder made for them.
TEST(MorlaSummaryBatch, NumberedDumpsKeepTheirNumbers) {
    ScratchDir scratch;
    for (int step : {0, 100, 200}) {
        QB_tools s = fcc(2);
        ASSERT_EQ(QB_dump_lmc(&s, scratch.path("dump." + std::to_string(step)).c_str()), 1);
    }
    const BatchOutcome r = run_batch(scratch, "analyse --series " + scratch.path("dump.0") + " --method cna -o " +
                                                  scratch.path("OUT/"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"dump.0.lmc", "dump.100.lmc", "dump.200.lmc"})
        EXPECT_TRUE(QB_file_exists(scratch.path("OUT/") + name)) << name;
    const BatchOutcome two = run_batch(scratch, "analyse " + scratch.path("dump.0") + " " + scratch.path("dump.100") +
                                                    " --method cna -o " + scratch.path("two"));
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_TRUE(QB_file_exists(scratch.path("two/dump.0.lmc")));
    EXPECT_TRUE(QB_file_exists(scratch.path("two/dump.100.lmc")));
}

TEST(MorlaSummaryBatch, UsageRules) {
    ScratchDir scratch;
    QB_tools s = fcc(2);
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("a.1.lmp").c_str()), 1);
    ASSERT_EQ(QB_dump_lmp(&s, scratch.path("a.2.lmp").c_str()), 1);
    const std::string a1 = scratch.path("a.1.lmp"), a2 = scratch.path("a.2.lmp");
    auto run = [&](const std::string& arguments) { return run_batch(scratch, arguments).status; };
    // Several inputs: -o must be a folder.
    EXPECT_EQ(run("analyse " + a1 + " " + a2 + " --method cna -o " + scratch.path("x.lmc")), 2);
    // A folder that is not there yet is made, but only in one that is.
    EXPECT_EQ(run("analyse " + a1 + " " + a2 + " --method cna -o " + scratch.path("nowhere/deeper/")), 2);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("nowhere")));
    EXPECT_EQ(run("analyse " + a1 + " " + a2 + " --method cna -o " + scratch.path("new/")), 0);
    EXPECT_TRUE(QB_file_exists(scratch.path("new/a.1.lmc")));
    EXPECT_TRUE(QB_file_exists(scratch.path("new/a.2.lmc")));
    // Two inputs that differ only in their ending still collide.
    ASSERT_EQ(QB_dump_lmc(&s, scratch.path("a.1.lmc").c_str()), 1);
    EXPECT_EQ(run("analyse " + a1 + " " + scratch.path("a.1.lmc") + " --method cna -o " + scratch.path("new")), 2);
    // Inputs and --series together.
    EXPECT_EQ(run("analyse " + a1 + " --series " + a2 + " --method cna"), 2);
    // A missing series file.
    EXPECT_EQ(run("analyse --series " + scratch.path("b.1.lmp") + " --method cna"), 1);
    // A dump that would replace its input.
    QB_tools t = fcc(2);
    ASSERT_EQ(QB_dump_lmc(&t, scratch.path("c.lmc").c_str()), 1);
    EXPECT_EQ(run("analyse " + scratch.path("c.lmc") + " --method cna -o " + scratch.path("c.lmc")), 2);
    EXPECT_EQ(run("analyse " + scratch.path("c.lmc") + " --method cna -o " + scratch.dir()), 2);
    // A failing input leaves no table behind.
    EXPECT_EQ(run("analyse " + a1 + " " + scratch.path("missing.lmp") + " --method cna --summary " +
                  scratch.path("s.tsv")),
              1);
    EXPECT_FALSE(QB_file_exists(scratch.path("s.tsv")));
    // Without -o: only the summary.
    const BatchOutcome o = run_batch(scratch, "analyse " + a1 + " --method cna");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("cna: fcc 32 (100.0%)"), std::string::npos) << o.out;
}
