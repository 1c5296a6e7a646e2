// The everyday measurements: radial distribution, coordination, clusters
// and Wigner-Seitz defects, against LAMMPS (compute rdf, coord/atom,
// cluster/atom on the configurations of fixtures/everyday), known physics,
// hand-made defects and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/measure.h"
#include "analysis/measure_driver.h"
#include "everyday_fixtures.h"
#include "model_columns.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_progress.h"
#include "qb/qb_tools.h"
#include "store/quelm_store.h"
#include "test_support.h"

namespace {

const std::string& kDir = kEverydayDir;
const auto& kConfigs = kEverydayConfigs;

QB_tools read(const std::string& name) { return read_everyday(name); }

// The rows of a fix ave/time vector file: each row's numbers after its index.
std::vector<std::vector<double>> ave_time_rows(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::vector<std::vector<double>> rows;
    int header = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (header++ == 0) continue;  // "TimeStep Number-of-rows"
        std::istringstream s(line);
        double index = 0, v = 0;
        s >> index;
        std::vector<double> row;
        while (s >> v) row.push_back(v);
        rows.push_back(row);
    }
    return rows;
}

// The per-atom columns of a LAMMPS dump after "id type": by id.
std::map<int, std::vector<double>> dump_by_id(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::map<int, std::vector<double>> out;
    bool atoms = false;
    while (std::getline(in, line)) {
        if (line.rfind("ITEM: ATOMS", 0) == 0) {
            atoms = true;
            continue;
        }
        if (!atoms || line.empty()) continue;
        std::istringstream s(line);
        int id = 0, type = 0;
        s >> id >> type;
        std::vector<double> v;
        double x;
        while (s >> x) v.push_back(x);
        out[id] = v;
    }
    return out;
}

// Agreement to LAMMPS's six printed digits.
void expect_printed(double ours, double lammps, const std::string& what) {
    EXPECT_NEAR(ours, lammps, 6e-6 * std::fabs(lammps) + 1e-9) << what;
}

QB_tools perfect_fcc(int cells, double a = 3.615) {
    QB_tools m;
    QB_create_fcc(&m, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&m, cells, cells, cells);
    return m;
}

}  // namespace

// ---- Radial distribution function -------------------------------------------

TEST(Rdf, AgreesWithLammpsBinByBinTotalAndPerPair) {
    for (const char* name : kConfigs) {
        SCOPED_TRACE(name);
        const QB_tools m = read(name);
        QN_rdf_options o;
        o.cutoff = 8;
        o.bins = 200;
        QN_table t;
        std::string message;
        ASSERT_EQ(QN_rdf(&m, o, &t, &message), 1) << message;
        const auto rows = ave_time_rows(kDir + "measure_rdf_" + name + ".txt");
        ASSERT_EQ(rows.size(), 200u);
        ASSERT_EQ(t.rows(), 200u);
        for (size_t b = 0; b < 200; b++) {
            expect_printed(t.column("r")->at(b), rows[b][0], "r " + std::to_string(b));
            expect_printed(t.column("g")->at(b), rows[b][1], "g " + std::to_string(b));
            expect_printed(t.column("n")->at(b), rows[b][2], "n " + std::to_string(b));
        }
        if (std::string(name) != "cuni_alloy") continue;
        const auto pairs = ave_time_rows(kDir + "measure_rdf_cuni_alloy_pairs.txt");
        ASSERT_EQ(pairs.size(), 200u);
        const char* const columns[6] = {"g_1_1", "n_1_1", "g_1_2", "n_1_2", "g_2_2", "n_2_2"};
        for (int c = 0; c < 6; c++) {
            ASSERT_NE(t.column(columns[c]), nullptr) << columns[c];
            for (size_t b = 0; b < 200; b++)
                expect_printed(t.column(columns[c])->at(b), pairs[b][1 + static_cast<size_t>(c)],
                               std::string(columns[c]) + " " + std::to_string(b));
        }
    }
}

TEST(Rdf, PerfectFccHasTwelveNeighboursInItsFirstPeakAtAOverRootTwo) {
    const QB_tools m = perfect_fcc(5);
    QN_rdf_options o;
    o.cutoff = 6;
    o.bins = 150;  // 0.04 Å
    QN_table t;
    std::string message;
    ASSERT_EQ(QN_rdf(&m, o, &t, &message), 1) << message;
    const std::vector<double>& g = *t.column("g");
    const std::vector<double>& n = *t.column("n");
    size_t peak = 0;
    for (size_t b = 0; b < g.size(); b++)
        if (g[b] > g[peak]) peak = b;
    const double first = 3.615 / std::sqrt(2.0);
    EXPECT_LE(peak * 0.04, first);
    EXPECT_GT((peak + 1) * 0.04, first);
    EXPECT_DOUBLE_EQ(n[peak], 12);
    EXPECT_DOUBLE_EQ(n[peak - 1], 0);
    // The second shell, 6 atoms at a: 18 by then.
    EXPECT_DOUBLE_EQ(n[static_cast<size_t>(3.615 / 0.04)], 18);
    // A single type has no partial columns.
    EXPECT_EQ(t.column("g_1_1"), nullptr);
    EXPECT_EQ(QN_table_tsv(t).substr(0, 6), "r\tg\tn\n");
}

TEST(Rdf, TheSameOnAnyNumberOfThreads) {
    const QB_tools m = read("cuni_alloy");
    std::string first;
    for (int threads : {1, 2, 8}) {
        QN_rdf_options o;
        o.threads = threads;
        QN_table t;
        ASSERT_EQ(QN_rdf(&m, o, &t, nullptr), 1);
        const std::string tsv = QN_table_tsv(t);
        if (first.empty()) first = tsv;
        EXPECT_EQ(tsv, first) << threads;
    }
}

// ---- Coordination ------------------------------------------------------------

TEST(Coordination, EqualsLammpsAtomByAtom) {
    for (const char* name : kConfigs) {
        SCOPED_TRACE(name);
        const QB_tools m = read(name);
        const auto ref = dump_by_id(kDir + "measure_atoms_" + name + ".txt");
        ASSERT_EQ(ref.size(), static_cast<size_t>(m.natoms));
        for (bool only_type2 : {false, true}) {
            QN_coordination_options o;
            o.cutoff = 3;
            if (only_type2) o.types = {2};
            std::vector<double> c;
            std::string message;
            ASSERT_EQ(QN_coordination(&m, o, &c, &message), 1) << message;
            for (int i = 0; i < m.natoms; i++)
                EXPECT_EQ(c[static_cast<size_t>(i)], ref.at(m.atoms[static_cast<size_t>(i)].id)[only_type2 ? 1 : 0])
                    << "id " << m.atoms[static_cast<size_t>(i)].id << (only_type2 ? " type 2" : "");
        }
    }
}

// ---- Clusters ----------------------------------------------------------------

TEST(Clusters, PartitionTheAtomsAsLammpsDoes) {
    for (const char* name : kConfigs) {
        for (int which : {0, 1}) {
            const double cutoff = which ? 2.3 : 2.6;
            SCOPED_TRACE(std::string(name) + " " + std::to_string(cutoff));
            const QB_tools m = read(name);
            const auto ref = dump_by_id(kDir + "measure_atoms_" + name + ".txt");
            QN_cluster_options o;
            o.cutoff = cutoff;
            QN_cluster_result r;
            std::string message;
            ASSERT_EQ(QN_clusters(&m, o, &r, &message), 1) << message;
            // The same partition: each of our clusters is one of LAMMPS's, and
            // as many of them.
            std::map<double, double> lammps_of;
            std::set<double> lammps;
            for (int i = 0; i < m.natoms; i++) {
                const double theirs = ref.at(m.atoms[static_cast<size_t>(i)].id)[2 + static_cast<size_t>(which)];
                lammps.insert(theirs);
                const double ours = r.cluster[static_cast<size_t>(i)];
                auto [it, fresh] = lammps_of.emplace(ours, theirs);
                EXPECT_EQ(it->second, theirs) << "id " << m.atoms[static_cast<size_t>(i)].id;
                (void)fresh;
            }
            EXPECT_EQ(lammps_of.size(), lammps.size());
            EXPECT_EQ(r.table.rows(), lammps.size());
            // Largest first, sizes summing to the atoms.
            const std::vector<double>& size = *r.table.column("size");
            double total = 0;
            for (size_t c = 0; c < size.size(); c++) {
                total += size[c];
                if (c) {
                    EXPECT_LE(size[c], size[c - 1]);
                }
            }
            EXPECT_EQ(total, m.natoms);
        }
    }
}

TEST(Clusters, ASelectionAcrossAPeriodicFaceStaysWholeWithItsCentre) {
    // A 3-atom chain across the x face of a 20 Å box, and one atom alone.
    QB_tools m;
    for (int d = 0; d < 3; d++) {
        m.lo[d] = 0;
        m.size[d] = m.cell[d][d] = 20;
    }
    QB_create_atom(&m, 1, 19.0, 5, 5);
    QB_create_atom(&m, 1, 1.0, 5, 5);   // 2 Å from the first, across the face
    QB_create_atom(&m, 1, 3.0, 5, 5);
    QB_create_atom(&m, 1, 10.0, 10, 10);
    QB_create_atom(&m, 2, 12.0, 10, 10);  // near the lone atom, but left out
    QN_cluster_options o;
    o.cutoff = 2.5;
    std::string message;
    ASSERT_TRUE(QN_measure_select(&m, "type", "=", 1, &o.include, &message)) << message;
    QN_cluster_result r;
    ASSERT_EQ(QN_clusters(&m, o, &r, &message), 1) << message;
    EXPECT_EQ(r.cluster, (std::vector<double>{1, 1, 1, 2, 0}));
    ASSERT_EQ(r.table.rows(), 2u);
    EXPECT_EQ(r.table.column("size")->at(0), 3);
    EXPECT_NEAR(r.table.column("x")->at(0), 1.0, 1e-12);  // the middle atom, not 7.67
    EXPECT_NEAR(r.table.column("rg")->at(0), std::sqrt(8.0 / 3.0), 1e-12);
    EXPECT_EQ(r.table.column("rg")->at(1), 0);
    // The same on any number of threads.
    for (int threads : {1, 2, 8}) {
        o.threads = threads;
        QN_cluster_result again;
        ASSERT_EQ(QN_clusters(&m, o, &again, nullptr), 1);
        EXPECT_EQ(again.cluster, r.cluster);
        EXPECT_EQ(QN_table_tsv(again.table), QN_table_tsv(r.table));
    }
}

// ---- Wigner-Seitz ------------------------------------------------------------

namespace {
struct Counts {
    long long vacancies, interstitials;
};
Counts defects(const QB_tools& model, const QB_tools& reference, QN_defect_result* keep = nullptr) {
    QN_defect_result r;
    std::string message;
    EXPECT_EQ(QN_wigner_seitz(&model, &reference, &r, &message), 1) << message;
    if (keep) *keep = r;
    return {r.vacancies, r.interstitials};
}
// The record of the atom nearest to (x, y, z), without periodic images.
int record_at(const QB_tools& m, double x, double y, double z) {
    int best = -1;
    double d = 1e300;
    for (int i = 0; i < m.natoms; i++) {
        const atomdata& a = m.atoms[static_cast<size_t>(i)];
        const double e = (a.x - x) * (a.x - x) + (a.y - y) * (a.y - y) + (a.z - z) * (a.z - z);
        if (e < d) d = e, best = i;
    }
    return best;
}
}  // namespace

TEST(WignerSeitz, VacanciesInterstitialsAndFrenkelPairs) {
    const double a = 3.615;
    const QB_tools ref = perfect_fcc(4, a);
    {
        const Counts c = defects(ref, ref);
        EXPECT_EQ(c.vacancies, 0);
        EXPECT_EQ(c.interstitials, 0);
    }
    {  // one vacancy: the reference may hold more atoms than the model
        QB_tools m = ref;
        QB_delete_atom(&m, 17);
        QB_affine_delete(&m);
        const Counts c = defects(m, ref);
        EXPECT_EQ(c.vacancies, 1);
        EXPECT_EQ(c.interstitials, 0);
    }
    {  // one interstitial at an octahedral site
        QB_tools m = ref;
        QB_create_atom(&m, 1, 1.5 * a, 1.5 * a, 1.5 * a + 0.0);
        QN_defect_result r;
        const Counts c = defects(m, ref, &r);
        EXPECT_EQ(c.vacancies, 0);
        EXPECT_EQ(c.interstitials, 1);
        EXPECT_EQ(r.occupancy.back(), 2);
    }
    {  // a Frenkel pair: an atom moved from its site to an octahedral one
        QB_tools m = ref;
        const int i = record_at(m, a, a, a);
        m.atoms[static_cast<size_t>(i)].x = 2.5 * a;
        m.atoms[static_cast<size_t>(i)].y = 1.5 * a;
        m.atoms[static_cast<size_t>(i)].z = 1.5 * a + 0.1;
        const Counts c = defects(m, ref);
        EXPECT_EQ(c.vacancies, 1);
        EXPECT_EQ(c.interstitials, 1);
    }
    {  // a strained box (mapped onto the reference's by its corners): no defect
        QB_tools m = ref;
        for (atomdata& at : m.atoms) at.x *= 1.03;
        m.size[0] *= 1.03;
        m.cell[0][0] *= 1.03;
        const Counts c = defects(m, ref);
        EXPECT_EQ(c.vacancies, 0);
        EXPECT_EQ(c.interstitials, 0);
    }
}

TEST(WignerSeitz, AVacancyMovedAcrossAPeriodicFace) {
    const double a = 3.615, L = 4 * a;
    const QB_tools ref = perfect_fcc(4, a);
    QB_tools m = ref;
    // The site at the origin empties; the atom beside it across the x face
    // (at L - a/2, a/2, 0) hops into it, arriving at its image x = L.
    const int origin = record_at(m, 0, 0, 0);
    const int across = record_at(m, L - a / 2, a / 2, 0);
    QB_delete_atom(&m, origin);
    m.atoms[static_cast<size_t>(across)].x = L + 0.05;
    m.atoms[static_cast<size_t>(across)].y = 0.05;
    QB_affine_delete(&m);
    QN_defect_result r;
    const Counts c = defects(m, ref, &r);
    EXPECT_EQ(c.vacancies, 1);
    EXPECT_EQ(c.interstitials, 0);
    EXPECT_EQ(r.site_occupancy[static_cast<size_t>(record_at(ref, 0, 0, 0))], 1);
    EXPECT_EQ(r.site_occupancy[static_cast<size_t>(record_at(ref, L - a / 2, a / 2, 0))], 0);
    EXPECT_EQ(QN_defect_summary(r), "Wigner-Seitz: 1 vacancy, 0 interstitials (256 sites, 255 atoms)");
    // Any number of threads.
    for (int threads : {1, 2, 8}) {
        QN_defect_result again;
        ASSERT_EQ(QN_wigner_seitz(&m, &ref, &again, nullptr, threads), 1);
        EXPECT_EQ(again.site, r.site);
    }
}

// ---- Refusals ------------------------------------------------------------------

TEST(Measure, BadInputIsRefusedWithAReasonAndNothingWritten) {
    const QB_tools m = perfect_fcc(3);
    const QB_tools empty;
    QN_table t;
    t.names = {"kept"};
    std::string message;
    struct Case {
        double cutoff;
        int bins;
        const char* says;
    };
    const Case cases[] = {{0, 100, "above 0"},
                          {-1, 100, "above 0"},
                          {std::numeric_limits<double>::quiet_NaN(), 100, "above 0"},
                          {std::numeric_limits<double>::infinity(), 100, "above 0"},
                          {11, 100, "longer than the box is wide"},
                          {5, 0, "number of bins"},
                          {5, QN_RDF_MAX_BINS + 1, "number of bins"}};
    for (const Case& c : cases) {
        QN_rdf_options o;
        o.cutoff = c.cutoff;
        o.bins = c.bins;
        message.clear();
        EXPECT_EQ(QN_rdf(&m, o, &t, &message), -1) << c.cutoff << " " << c.bins;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
        EXPECT_EQ(t.names, std::vector<std::string>{"kept"});
    }
    EXPECT_EQ(QN_rdf(&empty, QN_rdf_options(), &t, &message), -1);
    EXPECT_EQ(message, "RDF: the model has no atoms");

    std::vector<double> c{7};
    QN_coordination_options co;
    co.types = {3};
    EXPECT_EQ(QN_coordination(&m, co, &c, &message), -1);
    EXPECT_EQ(message, "Coordination: the model has no atom type 3");
    EXPECT_EQ(c, std::vector<double>{7});

    QN_cluster_options cl;
    cl.include.assign(static_cast<size_t>(m.natoms), false);
    QN_cluster_result r;
    EXPECT_EQ(QN_clusters(&m, cl, &r, &message), -1);
    EXPECT_EQ(message, "Clusters: no atom is selected");
    std::vector<bool> sel;
    EXPECT_FALSE(QN_measure_select(&m, "nothing", "=", 1, &sel, &message));
    EXPECT_EQ(message, "The model has no column \"nothing\"");
    EXPECT_FALSE(QN_measure_select(&m, "type", "~", 1, &sel, &message));

    QN_defect_result d;
    EXPECT_EQ(QN_wigner_seitz(&m, &empty, &d, &message), -1);
    EXPECT_EQ(message, "Wigner-Seitz: the reference has no atoms");
    EXPECT_EQ(QN_wigner_seitz(&empty, &m, &d, &message), -1);
    EXPECT_EQ(message, "Wigner-Seitz: the model has no atoms");
    EXPECT_TRUE(d.site.empty());
}

TEST(Measure, ResultsBecomeColumnsAndTablesText) {
    QB_tools m = perfect_fcc(3);
    QN_coordination_options o;
    std::vector<double> c;
    ASSERT_EQ(QN_coordination(&m, o, &c, nullptr), 1);
    ASSERT_EQ(QN_measure_store(&m, "coord", c), 1);
    const int slot = QB_slot_get(&m, "coord");
    ASSERT_GE(slot, 5);
    for (int i = 0; i < m.natoms; i++) EXPECT_EQ(QB_slot_data(&m, slot, i), 12);
    // A re-run reuses the column.
    ASSERT_EQ(QN_measure_store(&m, "coord", c), 1);
    EXPECT_EQ(QB_slot_sum(&m), slot + 1);
    EXPECT_EQ(QN_measure_store(&m, "coord", std::vector<double>(3, 0)), -1);
    QN_table t;
    t.names = {"a", "b"};
    t.columns = {{1.5, 2}, {NAN, 1e-12}};
    EXPECT_EQ(QN_table_tsv(t), "a\tb\n1.5\tnan\n2\t1e-12\n");
}

// ---- Stopping on request -------------------------------------------------------

namespace {

// Clears the request however the test leaves.
struct StopRequestGuard {
    ~StopRequestGuard() { QB_progress_request_stop(false); }
};

}  // namespace

// With a stop requested, the neighbour passes take no atom: the methods
// built on them fail and leave their outputs as they were.
TEST(Measure, TheNeighbourPassesStopOnRequest) {
    StopRequestGuard guard;
    const QB_tools m = perfect_fcc(5);
    QB_progress_request_stop(true);
    QN_table t;
    t.names = {"kept"};
    EXPECT_EQ(QN_rdf(&m, QN_rdf_options(), &t, nullptr), -1);
    EXPECT_EQ(t.names, std::vector<std::string>{"kept"});
    std::vector<double> c{7};
    EXPECT_EQ(QN_coordination(&m, QN_coordination_options(), &c, nullptr), -1);
    EXPECT_EQ(c, std::vector<double>{7});
    QN_cluster_result r;
    EXPECT_EQ(QN_clusters(&m, QN_cluster_options(), &r, nullptr), -1);
    EXPECT_TRUE(r.cluster.empty());
    QB_progress_request_stop(false);
    EXPECT_EQ(QN_rdf(&m, QN_rdf_options(), &t, nullptr), 1);
    EXPECT_EQ(QN_coordination(&m, QN_coordination_options(), &c, nullptr), 1);
    EXPECT_EQ(c.size(), static_cast<size_t>(m.natoms));
}

// Every measurement run fails with the stop's message and adds no column
// while a stop is requested, and runs as usual once it is cleared.
TEST(Measure, AStopRequestFailsEveryMethodAndAddsNoColumn) {
    StopRequestGuard guard;
    QB_tools base = perfect_fcc(5);
    ASSERT_EQ(QB_add_exdouble(&base, "marker"), 1);
    const QB_tools reference = perfect_fcc(5);
    QN_store_init();
    ASSERT_GE(QN_measure_defaults(), 0);
    const std::map<int, std::vector<std::string>> added = {
        {QN_M_RDF, {}},
        {QN_M_COORD, {"coord"}},
        {QN_M_STEINHARDT, {"q4", "q6"}},
        {QN_M_VORONOI, {"voronoi_volume", "voronoi_faces"}},
        {QN_M_CLUSTERS, {"cluster"}},
        {QN_M_DEFECTS, {"ws_site", "ws_occupancy"}},
    };
    ASSERT_EQ(added.size(), static_cast<size_t>(QN_M_COUNT));
    for (const auto& [k, columns] : added) {
        SCOPED_TRACE(QN_measure_kinds[k].name);
        QB_tools m = base;
        QB_progress_request_stop(true);
        QN_measure_output out;
        EXPECT_EQ(QN_measure_run(&m, k, &out, &reference, 1), -1);
        EXPECT_EQ(out.message, "Stopped on request");
        EXPECT_EQ(out.message, QB_STOPPED_MESSAGE);
        EXPECT_TRUE(out.columns.empty());
        EXPECT_EQ(m.natoms, base.natoms);
        EXPECT_EQ(column_names(m), std::vector<std::string>{"marker"});

        QB_progress_request_stop(false);
        QN_measure_output done;
        ASSERT_EQ(QN_measure_run(&m, k, &done, &reference, 1), 1) << done.message;
        EXPECT_EQ(done.columns, columns);
        std::vector<std::string> names{"marker"};
        names.insert(names.end(), columns.begin(), columns.end());
        EXPECT_EQ(column_names(m), names);
    }
}

// ---- quelm-batch analyse -------------------------------------------------------

TEST(MeasureBatch, TablesValuesAndSummaryOfASeries) {
    ScratchDir scratch;
    const std::string liquid = kDir + "cu_liquid.data", crystal = kDir + "cu_thermal.data";
    const BatchOutcome r = run_batch(scratch, "analyse " + liquid + " " + liquid +
                                                  " --method rdf,coordination,clusters -E_rdf_cut=6 -E_rdf_bins=60"
                                                  " -E_cl_select='coord<11' --table " + scratch.path("t.tsv") +
                                                  " --values " + scratch.path("v.tsv") + " --summary " +
                                                  scratch.path("s.tsv"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("RDF of 864 atoms to 6 Å in 60 bins"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("coord: min 7, mean 11.0208, max 14"), std::string::npos) << r.out;
    // The RDF of each input under one header, with the input's name first.
    const std::string rdf = slurp(scratch.path("t.rdf.tsv"));
    EXPECT_EQ(rdf.rfind("file\tr\tg\tn\t", 0), 0u) << rdf.substr(0, 80);
    EXPECT_EQ(std::count(rdf.begin(), rdf.end(), '\n'), 1 + 2 * 60);
    EXPECT_NE(slurp(scratch.path("t.clusters.tsv")).find("\n" + liquid + "\t1\t"), std::string::npos);
    // One row of single numbers per input.
    const std::string values = slurp(scratch.path("v.tsv"));
    EXPECT_EQ(values.rfind("file\tindex\trdf peak\tmean coord\tclusters\tlargest cluster\n", 0), 0u) << values;
    EXPECT_EQ(std::count(values.begin(), values.end(), '\n'), 3);
    EXPECT_NE(slurp(scratch.path("s.tsv")).find(liquid + "\tcoord\tmean\t864\t100.0\t11.0208"), std::string::npos);

    // Wigner-Seitz against the crystal it was made from.
    const BatchOutcome ws = run_batch(scratch, "analyse " + crystal + " --method defects --reference " + crystal +
                                                   " -o " + scratch.path("ws.lmc"));
    ASSERT_EQ(ws.status, 0) << ws.err;
    EXPECT_NE(ws.out.find("Wigner-Seitz: 0 vacancies, 0 interstitials (864 sites, 864 atoms)"), std::string::npos);
    EXPECT_NE(slurp(scratch.path("ws.lmc")).find("ws_site ws_occupancy"), std::string::npos);

    // Refusals name what is wrong and write nothing.
    for (const std::string& bad : {std::string(" --method rdf -E_rdf_cut=0"), std::string(" --method rdf -E_rdf_bins=0"),
                                   std::string(" --method clusters -E_cl_select='type>5'"),
                                   std::string(" --method defects"), std::string(" --method nothing")}) {
        const BatchOutcome no = run_batch(scratch, "analyse " + crystal + bad + " --table " + scratch.path("no.tsv"));
        EXPECT_NE(no.status, 0) << bad;
        EXPECT_FALSE(no.err.empty()) << bad;
        EXPECT_FALSE(std::filesystem::exists(scratch.path("no.tsv"))) << bad;
    }
}

TEST(MeasureBatch, DefectsCountedOverASeries) {
    // The reference crystal, then the same with one atom gone and one more.
    ScratchDir scratch;
    QB_tools ref = perfect_fcc(4);
    ASSERT_EQ(QB_dump_lmp(&ref, scratch.path("run.0.lmp").c_str()), 1);
    QB_tools vacancy = ref;
    QB_delete_atom(&vacancy, 5);
    QB_affine_delete(&vacancy);
    ASSERT_EQ(QB_dump_lmp(&vacancy, scratch.path("run.10.lmp").c_str()), 1);
    QB_tools extra = ref;
    QB_create_atom(&extra, 1, 1.5 * 3.615, 1.5 * 3.615, 1.5 * 3.615);
    ASSERT_EQ(QB_dump_lmp(&extra, scratch.path("run.20.lmp").c_str()), 1);
    const BatchOutcome r = run_batch(scratch, "analyse --series " + scratch.path("run.0.lmp") +
                                                  " --method defects --reference " + scratch.path("run.0.lmp") +
                                                  " --values " + scratch.path("v.tsv") + " --plot " +
                                                  scratch.path("ws.svg") + " --plot-value vacancies,interstitials");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string v = slurp(scratch.path("v.tsv"));
    EXPECT_EQ(v, "file\tindex\tvacancies\tinterstitials\n" + scratch.path("run.0.lmp") + "\t0\t0\t0\n" +
                     scratch.path("run.10.lmp") + "\t1\t1\t0\n" + scratch.path("run.20.lmp") + "\t2\t0\t1\n");
    // The plot's data: both counts over the numbers in the file names.
    EXPECT_EQ(slurp(scratch.path("ws.tsv")),
              "vacancies x\tvacancies y\tinterstitials x\tinterstitials y\n0\t0\t0\t0\n10\t1\t10\t0\n20\t0\t20\t1\n");
    EXPECT_NE(slurp(scratch.path("ws.svg")).find("Number in the file name (step)"), std::string::npos);
}
