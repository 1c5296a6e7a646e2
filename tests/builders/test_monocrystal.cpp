// Monocrystal builder: the structures it builds, the orientations it accepts
// and refuses, the store group of its form and `quelm-batch build`.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "store/quelm_store.h"
#include "builders/monocrystal.h"
#include "qb/qb_formats.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace {

// Atoms per cell of a Pearson symbol: the digits of "cF4[225]-…".
int pearson_count(const std::string& label) {
    size_t i = 0;
    while (i < label.size() && !std::isdigit(static_cast<unsigned char>(label[i]))) i++;
    return std::atoi(label.c_str() + i);
}

// Volume of the cell a Pearson symbol counts its atoms in, from its crystal
// family letter.
double pearson_cell_volume(const std::string& label, double a, double b, double c) {
    switch (label[0]) {
        case 'c': return a * a * a;
        case 't': return a * a * c;
        case 'o': return a * b * c;
        case 'h': return std::sqrt(3.0) / 2 * a * a * c;
    }
    ADD_FAILURE() << "unknown crystal family in " << label;
    return 1;
}

double box_volume(const QB_tools& m) {
    if (m.triclinic != 1) return m.size[0] * m.size[1] * m.size[2];
    const auto& v = m.cell;
    return std::fabs(v[0][0] * (v[1][1] * v[2][2] - v[1][2] * v[2][1]) -
                     v[0][1] * (v[1][0] * v[2][2] - v[1][2] * v[2][0]) +
                     v[0][2] * (v[1][0] * v[2][1] - v[1][1] * v[2][0]));
}

// The parameters of structure k as choosing it in the form leaves them.
QN_single_params chosen(int k) {
    QN_single_params p;
    const QN_single_structure& s = QN_single_structures[k];
    p.structure = k;
    p.a = s.a;
    p.b = s.b;
    p.c = s.c;
    if (s.kind == QN_SINGLE_HCP) {  // the orthogonal cell needs y = [1 2 0]
        p.oy[0] = 1;
        p.oy[1] = 2;
    }
    return p;
}

void set_dirs(QN_single_params& p, std::vector<double> x, std::vector<double> y, std::vector<double> z) {
    for (int d = 0; d < 3; d++) {
        p.ox[d] = x[d];
        p.oy[d] = y[d];
        p.oz[d] = z[d];
    }
}

double len(const std::vector<double>& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Every atom has its id in order and lies inside the periodic cell (each site
// once, none on a far face).
void expect_inside_cell(const QB_tools& m) {
    double inv[3][3];  // rows: reciprocal vectors without 2 pi
    const auto& v = m.cell;
    const double det = v[0][0] * (v[1][1] * v[2][2] - v[1][2] * v[2][1]) -
                       v[0][1] * (v[1][0] * v[2][2] - v[1][2] * v[2][0]) +
                       v[0][2] * (v[1][0] * v[2][1] - v[1][1] * v[2][0]);
    ASSERT_GT(std::fabs(det), 0);
    for (int e = 0; e < 3; e++) {
        const double* p = v[(e + 1) % 3];
        const double* q = v[(e + 2) % 3];
        inv[e][0] = (p[1] * q[2] - p[2] * q[1]) / det;
        inv[e][1] = (p[2] * q[0] - p[0] * q[2]) / det;
        inv[e][2] = (p[0] * q[1] - p[1] * q[0]) / det;
    }
    for (int i = 0; i < m.natoms; i++) {
        const atomdata& a = m.atoms[i];
        ASSERT_EQ(a.id, i + 1);
        const double r[3] = {a.x - m.origin[0], a.y - m.origin[1], a.z - m.origin[2]};
        for (int e = 0; e < 3; e++) {
            const double f = inv[e][0] * r[0] + inv[e][1] * r[1] + inv[e][2] * r[2];
            ASSERT_GT(f, -1e-6) << "atom " << i + 1;
            ASSERT_LT(f, 1 - 1e-6) << "atom " << i + 1;
        }
    }
}

std::map<int, int> type_counts(const QB_tools& m) {
    std::map<int, int> n;
    for (int i = 0; i < m.natoms; i++) n[m.atoms[i].type]++;
    return n;
}

}  // namespace

// ---------------------------------------------------------------- structures

TEST(MonocrystalStructures, EachBuildsItsPearsonCountTimesTheRepeatsWithTheTypesOfItsBasis) {
    for (int k = 0; k < QN_SINGLE_STRUCTURE_COUNT; k++) {
        const QN_single_structure& s = QN_single_structures[k];
        SCOPED_TRACE(s.label);
        QN_single_params p = chosen(k);
        p.dpx = 2;
        p.dpy = 1;
        p.dpz = 3;
        QB_tools m;
        QB_init(&m);
        std::string message;
        ASSERT_EQ(QN_model_single_build(&m, p, message), QN_SINGLE_BUILT) << message;

        // Atoms the box holds at the density of the Pearson cell.
        const double cells = box_volume(m) / pearson_cell_volume(s.label, p.a, p.b, p.c);
        const int expected = static_cast<int>(std::lround(pearson_count(s.label) * cells));
        EXPECT_EQ(m.natoms, expected);
        EXPECT_EQ(expected % 6, 0);  // whole cells, repeated 2 x 1 x 3
        expect_inside_cell(m);

        std::map<int, int> listed;
        for (int i = 0; i < s.site_count; i++) listed[s.sites[i].type]++;
        std::map<int, int> want;
        for (const auto& t : listed) want[t.first] = m.natoms / s.site_count * t.second;
        EXPECT_EQ(type_counts(m), want);
        EXPECT_EQ(m.ntypes, listed.rbegin()->first);
        EXPECT_EQ(message, QB_format("New model detected with %d atoms and %d type%s\nBox size %lf %lf %lf", m.natoms,
                                     m.ntypes, m.ntypes == 1 ? "" : "s", m.size[0], m.size[1], m.size[2]));
    }
}

TEST(MonocrystalStructures, TableMatchesTheMenu) {
    ASSERT_EQ(QN_SINGLE_STRUCTURE_COUNT, 19);
    EXPECT_STREQ(QN_single_structures[0].label, "cF4[225]-A1(Cu)");
    EXPECT_STREQ(QN_single_structures[2].label, "hP2[194]-A3(Mg)Orthogonal");
    EXPECT_STREQ(QN_single_structures[18].label, "tP4[123]-L60(CuTi3)");
    // Only NiAl3 has three independent lattice parameters.
    for (int k = 0; k < QN_SINGLE_STRUCTURE_COUNT; k++) {
        const QN_single_structure& s = QN_single_structures[k];
        EXPECT_TRUE(s.a_enabled) << s.label;
        EXPECT_EQ(s.b_enabled, k == 15) << s.label;
        EXPECT_EQ(s.c_enabled, s.label[0] != 'c') << s.label;
    }
    // Single-precision fractions: 0.384 of pyrite and 1/3 of the hexagonal sites.
    EXPECT_EQ(QN_single_structures[10].sites[4].x, 0.384f);
    EXPECT_NEAR(static_cast<double>(QN_single_structures[3].sites[0].x), 0.333333343, 1e-9);
}

TEST(MonocrystalStructures, RotatedCubicCrystalsKeepTheirDensity) {
    const std::vector<std::vector<std::vector<double>>> orientations = {
        {{1, 1, 0}, {-1, 1, 0}, {0, 0, 1}},
        {{1, 1, 1}, {1, -1, 0}, {1, 1, -2}},
    };
    for (int k = 0; k < QN_SINGLE_STRUCTURE_COUNT; k++) {
        const QN_single_structure& s = QN_single_structures[k];
        if (s.label[0] != 'c') continue;
        for (const auto& o : orientations) {
            SCOPED_TRACE(std::string(s.label) + " x = [" + std::to_string(int(o[0][0])) + std::to_string(int(o[0][1])) +
                         std::to_string(int(o[0][2])) + "]");
            QN_single_params p = chosen(k);
            set_dirs(p, o[0], o[1], o[2]);
            p.dpy = 2;
            QB_tools m;
            QB_init(&m);
            std::string message;
            ASSERT_EQ(QN_model_single_build(&m, p, message), QN_SINGLE_BUILT) << message;
            const double want = pearson_count(s.label) * len(o[0]) * len(o[1]) * len(o[2]) * 2;
            EXPECT_EQ(m.natoms, static_cast<int>(std::lround(want)));
            EXPECT_NEAR(m.size[0], p.a * len(o[0]), 1e-9);
            EXPECT_NEAR(m.size[1], 2 * p.a * len(o[1]), 1e-9);
            EXPECT_NEAR(m.size[2], p.a * len(o[2]), 1e-9);
            EXPECT_EQ(m.triclinic, 0);
            expect_inside_cell(m);
        }
    }
}

TEST(MonocrystalStructures, HexagonalCellIgnoresTheOrientation) {
    const double a = 3.2093000412, c = 5.2102999687;
    const std::vector<std::vector<std::vector<double>>> orientations = {
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{1, 1, 0}, {1, 1, 0}, {0, 0, 1}},  // not perpendicular: no matter here
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},  // not even directions
    };
    for (const auto& o : orientations) {
        QN_single_params p = chosen(3);
        set_dirs(p, o[0], o[1], o[2]);
        QB_tools m;
        QB_init(&m);
        std::string message;
        ASSERT_EQ(QN_model_single_build(&m, p, message), QN_SINGLE_BUILT) << message;
        EXPECT_EQ(m.natoms, 2);
        EXPECT_EQ(m.triclinic, 1);
        EXPECT_NEAR(m.size[0], 1.5 * a, 1e-9);
        EXPECT_NEAR(m.size[1], 0.866025404 * a, 1e-9);
        EXPECT_NEAR(m.size[2], c, 1e-9);
        EXPECT_NEAR(m.lo[0], -0.5 * a, 1e-9);
        EXPECT_EQ(m.lo[1], 0);
        EXPECT_EQ(m.lo[2], 0);
    }
}

TEST(MonocrystalStructures, ExplicitCellsFromTheirCodes) {
    // The orthorhombic NiAl3 cell: a, b, c along x, y, z; 4 Ni and 12 Al.
    QB_tools m;
    QB_init(&m);
    EXPECT_EQ(QN_model_single_others(&m, 3020, 6.6, 7.35, 4.8, 1, 1, 0, 1, 1, 0, 0, 0, 1), 0);
    EXPECT_EQ(m.natoms, 16);
    EXPECT_EQ(type_counts(m), (std::map<int, int>{{1, 4}, {2, 12}}));
    EXPECT_EQ(m.triclinic, 1);
    EXPECT_DOUBLE_EQ(m.size[1], 7.35);
    EXPECT_DOUBLE_EQ(m.cell[2][2], 4.8);
    // A cubic basis goes through the oriented generator and returns its measure.
    QB_init(&m);
    EXPECT_GE(QN_model_single_others(&m, 1001, 5.64, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 1), 0.1);
    QB_init(&m);
    EXPECT_EQ(QN_model_single_others(&m, 1001, 5.64, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    EXPECT_EQ(m.natoms, 8);
    // An unknown code builds nothing.
    QB_init(&m);
    EXPECT_EQ(QN_model_single_others(&m, 77, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    EXPECT_EQ(m.natoms, 0);
}

// ------------------------------------------------------ rejections, refusals

TEST(MonocrystalRefusals, NonPerpendicularOrientationIsRejectedAndLeavesNoAtoms) {
    struct Case {
        int structure;
        std::vector<double> x, y, z;
    };
    const std::vector<Case> cases = {
        {0, {1, 1, 0}, {1, 1, 0}, {0, 0, 1}},
        {0, {1, 1, 0}, {1, 0, 0}, {0, 0, 1}},
        {1, {1, 1, 1}, {1, 0, 0}, {0, 0, 1}},
        {5, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}},
        {2, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},  // [010] is 120 degrees from [100] in [u v w]
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.structure);
        QN_single_params p = chosen(c.structure);
        set_dirs(p, c.x, c.y, c.z);
        QB_tools m;
        QB_init(&m);
        QB_create_atom(&m, 1, 0.5, 0.5, 0.5);  // a model from before
        std::string message;
        EXPECT_EQ(QN_model_single_build(&m, p, message), QN_SINGLE_NOT_ORTHOGONAL);
        EXPECT_EQ(message, "Building model error: not a orthogonal system");
        EXPECT_EQ(m.natoms, 0);
        EXPECT_TRUE(m.atoms.empty());
    }
}

TEST(MonocrystalRefusals, UnbuildableParametersLeaveTheModelUntouched) {
    struct Case {
        const char* what;
        QN_single_params p;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* what, int k, auto change) {
        QN_single_params p = chosen(k);
        change(p);
        cases.push_back({what, p});
    };
    add("repeat 0", 0, [](QN_single_params& p) { p.dpx = 0; });
    add("negative repeat", 13, [](QN_single_params& p) { p.dpz = -2; });
    add("a = 0", 0, [](QN_single_params& p) { p.a = 0; });
    add("a < 0 for an explicit cell", 8, [](QN_single_params& p) { p.a = -2.8; });
    add("a not a number", 5, [](QN_single_params& p) { p.a = std::nan(""); });
    add("c = 0 for orthogonal hcp", 2, [](QN_single_params& p) { p.c = 0; });
    add("c = 0 for hexagonal hcp", 3, [](QN_single_params& p) { p.c = 0; });
    add("b = 0 for NiAl3", 15, [](QN_single_params& p) { p.b = 0; });
    add("zero direction along y", 0, [](QN_single_params& p) { p.oy[0] = p.oy[1] = p.oy[2] = 0; });
    add("zero direction for a basis", 9, [](QN_single_params& p) { p.oz[2] = 0; });
    add("zero direction for hcp", 2, [](QN_single_params& p) { p.ox[0] = 0; });
    add("overflowing size", 0, [](QN_single_params& p) { p.dpx = p.dpy = 1024, p.dpz = 512; });
    add("overflowing explicit cells", 16, [](QN_single_params& p) { p.dpx = p.dpy = p.dpz = 600; });
    add("overflow through the orientation", 1, [](QN_single_params& p) {
        set_dirs(p, {1, 1, 0}, {-1, 1, 0}, {0, 0, 1});
        p.dpx = p.dpy = p.dpz = 1000;
    });
    add("no such structure", 0, [](QN_single_params& p) { p.structure = 19; });
    add("negative structure", 0, [](QN_single_params& p) { p.structure = -1; });

    QB_tools before;
    QB_init(&before);
    std::string message;
    ASSERT_EQ(QN_model_single_build(&before, chosen(6), message), QN_SINGLE_BUILT);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QB_tools m;
        QB_copy_system(&m, &before);
        message.clear();
        EXPECT_EQ(QN_model_single_check(c.p, message), QN_SINGLE_REFUSED);
        message.clear();
        EXPECT_EQ(QN_model_single_build(&m, c.p, message), QN_SINGLE_REFUSED);
        EXPECT_EQ(message.rfind("Building model error: ", 0), 0u) << message;
        EXPECT_GT(message.size(), 30u) << message;
        ASSERT_EQ(m.natoms, before.natoms);
        EXPECT_EQ(m.ntypes, before.ntypes);
        for (int d = 0; d < 3; d++) EXPECT_EQ(m.size[d], before.size[d]);
        for (int i = 0; i < m.natoms; i++) EXPECT_EQ(m.atoms[i].x, before.atoms[i].x);
    }
}

TEST(MonocrystalRefusals, UnusedInputsDoNotMatter) {
    QN_single_params p = chosen(0);
    p.b = -1;
    p.c = 0;
    std::string message;
    EXPECT_EQ(QN_model_single_check(p, message), QN_SINGLE_BUILT);
    p = chosen(11);  // explicit tetragonal cell: orientation unused
    p.ox[0] = 0;
    p.b = 0;
    EXPECT_EQ(QN_model_single_check(p, message), QN_SINGLE_BUILT);
}

// --------------------------------------------------------------------- store

class MonocrystalStore : public testing::Test {
protected:
    void SetUp() override {
        QN_store_init();
        ASSERT_EQ(QN_model_single_defaults(), 1);
    }
    void TearDown() override { QN_store_free(); }
};

TEST_F(MonocrystalStore, DefaultsAreThoseOfTheFirstStructure) {
    EXPECT_EQ(Quelm_data[0].title, "Build a single_crystal with specific structure and orientation");
    EXPECT_EQ(Quelm_data[0].bit_count, 18);
    std::string elements = "?";
    ASSERT_EQ(QN_scan_char_single(0, "M_elements", elements), 1);
    EXPECT_EQ(elements, "");  // no element made up
    std::string kind;
    ASSERT_EQ(QN_scan_char_single(0, "Model_", kind), 1);
    EXPECT_EQ(kind, "Single_Crystal");
    const std::map<std::string, double> want = {
        {"M_single_a", 3.6149098873}, {"M_single_b", 0},   {"M_single_c", 0},   {"M_single_oxh", 1},
        {"M_single_oxk", 0},          {"M_single_oxl", 0}, {"M_single_oyh", 0}, {"M_single_oyk", 1},
        {"M_single_oyl", 0},          {"M_single_ozh", 0}, {"M_single_ozk", 0}, {"M_single_ozl", 1}};
    for (const auto& w : want) {
        double v = -99;
        ASSERT_EQ(QN_scan_double_single(0, w.first, v), 1) << w.first;
        EXPECT_NEAR(v, w.second, 5e-7) << w.first;  // kept with six decimals
    }
    const std::map<std::string, int> ints = {
        {"M_single_str", 0}, {"M_single_dpx", 1}, {"M_single_dpy", 1}, {"M_single_dpz", 1}};
    for (const auto& w : ints) {
        int v = -99;
        ASSERT_EQ(QN_scan_int_single(0, w.first, v), 1) << w.first;
        EXPECT_EQ(v, w.second) << w.first;
    }
    // Built from the store as the form does: 4 fcc atoms in a cube.
    QN_single_params p;
    p.dpx = 7;
    ASSERT_EQ(QN_model_single_read(p), 1);
    QB_tools m;
    QB_init(&m);
    std::string message;
    ASSERT_EQ(QN_model_single_build(&m, p, message), QN_SINGLE_BUILT);
    EXPECT_EQ(message, "New model detected with 4 atoms and 1 type\nBox size 3.614910 3.614910 3.614910");
}

TEST_F(MonocrystalStore, ChoosingAStructureBringsItsLatticeParameters) {
    ASSERT_EQ(QN_model_single_choose(15), 1);
    QN_single_params p;
    ASSERT_EQ(QN_model_single_read(p), 1);
    EXPECT_EQ(p.structure, 15);
    EXPECT_NEAR(p.a, 6.59800005, 1e-6);
    EXPECT_NEAR(p.b, 7.352000237, 1e-6);
    EXPECT_NEAR(p.c, 4.802000046, 1e-6);
    EXPECT_EQ(QN_model_single_choose(19), -1);
    // A cubic choice leaves b and c as they were.
    ASSERT_EQ(QN_model_single_choose(6), 1);
    ASSERT_EQ(QN_model_single_read(p), 1);
    EXPECT_NEAR(p.a, 4.123000145, 1e-6);
    EXPECT_NEAR(p.c, 4.802000046, 1e-6);
}

TEST_F(MonocrystalStore, ScriptValuesReachTheFormKeysOnly) {
    std::vector<std::string> entries = {"-M_single_dpx=3", "-M_single_a=4.05", "-A_other=1", "-M_single_ozl=2"};
    std::vector<char*> names;
    for (auto& e : entries) names.push_back(&e[0]);
    const int flags[4] = {0, 0, 0, 1};
    QN_model_single_apply_script(4, names.data(), flags);
    QN_single_params p;
    ASSERT_EQ(QN_model_single_read(p), 1);
    EXPECT_EQ(p.dpx, 3);
    EXPECT_DOUBLE_EQ(p.a, 4.05);
    EXPECT_DOUBLE_EQ(p.oz[2], 1);  // slot 1 of the loop, slot 0 unchanged
    double second = 0;
    EXPECT_EQ(QN_scan_double_loop(0, "M_single_ozl", second, 1), 2);
    EXPECT_DOUBLE_EQ(second, 2);
    EXPECT_EQ(Quelm_scan_dest_single(0, "A_other"), -1);
}

// -------------------------------------------------------- quelm-batch build

namespace {

using Outcome = BatchOutcome;

class BatchBuild : public testing::Test {
protected:
    Outcome run(const std::string& arguments) const { return run_batch(scratch_, arguments); }
    std::string path(const std::string& name) const { return scratch_.path(name); }
    // Reads a written file back: its atom count, or -1.
    int atoms_in(const std::string& name, int* types = nullptr) const {
        QB_tools m;
        QB_init(&m);
        const int code = QB_read_file(&m, path(name).c_str());
        if (code != 1 && code != 3 && code != 5) return -1;
        if (types) *types = m.ntypes;
        return m.natoms;
    }
    ScratchDir scratch_;
};

}  // namespace

TEST_F(BatchBuild, DefaultsGiveTheFormsFirstModel) {
    Outcome r = run("build monocrystal -o " + path("cu.lmp"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "New model detected with 4 atoms and 1 type\nBox size 3.614910 3.614910 3.614910\n");
    EXPECT_EQ(atoms_in("cu.lmp"), 4);

    r = run("build monocrystal -M_single_dpx=3 -o " + path("cu3.lmp"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "New model detected with 12 atoms and 1 type\nBox size 10.844730 3.614910 3.614910\n");
    EXPECT_EQ(atoms_in("cu3.lmp"), 12);
}

TEST_F(BatchBuild, StructureChoiceBringsItsLatticeAndEndingsChooseTheWriter) {
    Outcome r = run("build monocrystal -M_single_str=15 -o " + path("nial3.lmc"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("New model detected with 16 atoms and 2 types\nBox size 6.598000 7.352000 4.802000\n", 0),
              0u)
        << r.out;
    int types = 0;
    EXPECT_EQ(atoms_in("nial3.lmc", &types), 16);
    EXPECT_EQ(types, 2);
    EXPECT_EQ(slurp(path("nial3.lmc")).rfind("ITEM: TIMESTEP", 0), 0u);

    // A lattice parameter given explicitly wins over the structure's own.
    r = run("build monocrystal -M_single_a=5.5 -M_single_str=5 -M_single_dpz=2 --elements Na,Cl -o " +
            path("nacl.POSCAR"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "New model detected with 16 atoms and 2 types\nBox size 5.500000 5.500000 11.000000\n");
    EXPECT_EQ(atoms_in("nacl.POSCAR"), 16);
}

TEST_F(BatchBuild, StatusFileIsLoadedFirst) {
    QN_store_init();
    ASSERT_EQ(QN_model_single_defaults(), 1);
    ASSERT_EQ(QN_model_single_choose(6), 1);  // CsCl
    QN_set_bit_int(0, "M_single_dpx", 2, 0);
    QN_set_bit_double(0, "M_single_oxh", 1, 0);
    QN_set_bit_double(0, "M_single_oxk", 1, 0);
    QN_set_bit_double(0, "M_single_oyh", -1, 0);
    ASSERT_EQ(QN_dump_status(path("cscl.qnw"), 0), 1);
    QN_store_free();

    // [110] x [-110] x [001] holds 2 * 2 cells, repeated twice along x.
    Outcome r = run("build monocrystal --status " + path("cscl.qnw") + " -o " + path("cscl.lmp"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("New model detected with 8 atoms and 2 types\n", 0), 0u) << r.out;
    r = run("build monocrystal --status " + path("cscl.qnw") + " -M_single_dpy=3 -o " + path("cscl3.lmp"));
    EXPECT_EQ(r.out.rfind("New model detected with 24 atoms and 2 types\n", 0), 0u) << r.out;

    r = run("build monocrystal --status " + path("missing.qnw") + " -o " + path("x.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("x.lmp")));
}

TEST_F(BatchBuild, RejectionsRefusalsAndUsageErrors) {
    Outcome r = run("build monocrystal -M_single_oxk=1 -M_single_oyh=1 -M_single_oyk=1 -o " + path("bad.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Building model error: not a orthogonal system\n");
    EXPECT_FALSE(std::filesystem::exists(path("bad.lmp")));

    r = run("build monocrystal -M_single_dpy=0 -o " + path("zero.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Building model error: ", 0), 0u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("zero.lmp")));

    r = run("build monocrystal -o " + path("no/such/folder/cu.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Writing file failed\n", 0), 0u) << r.err;

    r = run("build monocrystal -M_single_colour=3 -o " + path("u.lmp"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("M_single_colour"), std::string::npos) << r.err;
    EXPECT_EQ(run("build monocrystal -o " + path("cu.xyz")).status, 2);
    EXPECT_EQ(run("build monocrystal").status, 2);
    EXPECT_EQ(run("build -o " + path("cu.lmp")).status, 2);
    EXPECT_EQ(run("build quasicrystal -o " + path("cu.lmp")).status, 2);
    EXPECT_FALSE(std::filesystem::exists(path("u.lmp")));
    EXPECT_FALSE(std::filesystem::exists(path("cu.lmp")));
}

TEST_F(BatchBuild, ListAndHelpNameTheBuilders) {
    Outcome r = run("build --list");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "monocrystal\npolycrystal\nnanocomposite\nbilayer\nmultilayer\nnanoparticle\nnanowire\nnanosheet\ncoreshell\n"
              "dislocation\ncrack\nsolution\n");
    r = run("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("build KIND"), std::string::npos);
    EXPECT_NE(r.out.find("build --list"), std::string::npos);
}
