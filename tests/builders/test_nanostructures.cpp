// Nanostructures, layers and the lattice-mismatch scan: known counts and
// lengths, structure of what is built, the scan's matches, and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "builders/layers.h"
#include "builders/nanostructures.h"
#include "qb/qb_formats.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace {

constexpr double kCu = 3.615, kNi = 3.524;
const double kPi = std::acos(-1.0);

std::string fcc_cell(double a) {
    const double h = a / 2;
    return QB_format("fcc\n4 atoms\n1 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo zhi\n\nAtoms\n\n1 1 0 0 0\n"
                     "2 1 %.10f %.10f 0\n3 1 %.10f 0 %.10f\n4 1 0 %.10f %.10f\n",
                     a, a, a, h, h, h, h, h, h);
}

// Hexagonal close-packed in its hexagonal (tilted) cell, to six decimals.
std::string hcp_cell(double a, double c) {
    const double r3 = std::sqrt(3.0);
    return QB_format("hcp\n2 atoms\n1 atom types\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n%lf 0 0 xy xz yz\n\nAtoms\n\n"
                     "1 1 0 0 0\n2 1 0 %lf %lf\n",
                     a, r3 / 2 * a, c, -a / 2, a / r3, c / 2);
}

class Nano : public QuietStdoutTest {
protected:
    void SetUp() override {
        QuietStdoutTest::SetUp();
        QN_store_init();
        cu_ = write("cu.lmp", fcc_cell(kCu));
        ni_ = write("ni.lmp", fcc_cell(kNi));
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(scratch_.path(name), std::ios::binary) << text;
        return scratch_.path(name);
    }
    ScratchDir scratch_;
    std::string cu_, ni_;
};

double distance(const atomdata& a, const atomdata& b) { return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z); }

// Neighbours of each atom within r (no periodic images).
std::vector<int> coordination(const QB_tools& s, double r) {
    std::vector<int> n(static_cast<size_t>(s.natoms), 0);
    for (int i = 0; i < s.natoms; i++)
        for (int j = i + 1; j < s.natoms; j++)
            if (distance(s.atoms[i], s.atoms[j]) < r) n[static_cast<size_t>(i)]++, n[static_cast<size_t>(j)]++;
    return n;
}

double closest_pair(const QB_tools& s) {
    double best = 1e300;
    for (int i = 0; i < s.natoms; i++)
        for (int j = i + 1; j < s.natoms; j++) best = std::min(best, distance(s.atoms[i], s.atoms[j]));
    return best;
}

}  // namespace

// Every pair of sites over the images two cells away: the definition the
// nearest distance of a crystal keeps.
double nearest_of_every_pair(const QN_crystal& c) {
    double best = 1e300;
    for (size_t k = 0; k < c.sites.size(); k++)
        for (size_t l = 0; l < c.sites.size(); l++)
            for (int i = -2; i <= 2; i++)
                for (int j = -2; j <= 2; j++)
                    for (int m = -2; m <= 2; m++) {
                        double d[3];
                        for (int a = 0; a < 3; a++)
                            d[a] = c.sites[l][a] - c.sites[k][a] + i * c.cell[0][a] + j * c.cell[1][a] + m * c.cell[2][a];
                        const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                        if (r > 1e-6) best = std::min(best, r);
                    }
    return best;
}

// ------------------------------------------------------------ crystals

TEST_F(Nano, TheNearestDistanceOfACrystalIsThatOfEveryPair) {
    // Supercells, a tilted cell, two species, a jittered crystal, a lone site.
    std::vector<std::string> texts = {fcc_cell(kCu), hcp_cell(3.21, 5.21)};
    for (int n : {2, 5}) {
        std::string atoms;
        int id = 0;
        QB_random g;
        g.seed(11);
        const double basis[4][3] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.5, 0, 0.5}, {0, 0.5, 0.5}};
        for (int i = 0; i < n; i++)
            for (int j = 0; j < n; j++)
                for (int k = 0; k < n; k++)
                    for (const auto& b : basis) {
                        const double jitter = n == 5 ? 0.05 * (g.next() / 32767.0 - 0.5) : 0;
                        atoms += QB_format("%d %d %.10f %.10f %.10f\n", ++id, 1 + id % 2, (i + b[0]) * kCu + jitter,
                                           (j + b[1]) * kCu - jitter, (k + b[2]) * kCu);
                    }
        const double L = n * kCu;
        texts.push_back(QB_format("c\n%d atoms\n2 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo zhi\n\n"
                                  "Atoms\n\n", id, L, L, L) + atoms);
    }
    texts.push_back("one\n1 atoms\n1 atom types\n0 2.5 xlo xhi\n0 3 ylo yhi\n0 4 zlo zhi\n\nAtoms\n\n1 1 0.2 0.3 0.4\n");
    for (size_t t = 0; t < texts.size(); t++) {
        SCOPED_TRACE(t);
        QN_crystal c;
        std::string message;
        ASSERT_EQ(QN_read_crystal(write("c.lmp", texts[t]), c, message), 1) << message;
        EXPECT_EQ(QN_crystal_nearest(c), nearest_of_every_pair(c));  // to the last bit
    }
    QN_crystal c;
    std::string message;
    ASSERT_EQ(QN_read_crystal(write("c.lmp", texts[0]), c, message), 1);
    EXPECT_NEAR(QN_crystal_nearest(c), kCu / std::sqrt(2.0), 1e-9);
}

// ------------------------------------------------------------ nanoparticles

TEST_F(Nano, NanoparticlesOfCopperCountAndSurface) {
    const struct {
        int shape;
        double R;
        int atoms;
    } cases[] = {{0, 10, 369}, {0, 20, 2899}, {2, 10, 665}, {3, 10, 489}, {1, 5, 133}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QB_format("shape %d R %g", c.shape, c.R));
        QB_tools p;
        std::string message;
        ASSERT_EQ(QB_cluster(c.shape, cu_.c_str(), c.R, 1, 0, 0, 0, 1, 0, 0, 0, 1, &p, &message), 1) << message;
        EXPECT_EQ(p.natoms, c.atoms);
        EXPECT_EQ(message.rfind(QB_format("New model detected with %d atoms", c.atoms), 0), 0u);
        // Every atom inside the padded box, ids 1 ... N.
        for (int i = 0; i < p.natoms; i++) {
            EXPECT_EQ(p.atoms[i].id, i + 1);
            EXPECT_GE(p.atoms[i].x, p.lo[0]);
            EXPECT_LE(p.atoms[i].x, p.lo[0] + p.size[0]);
        }
        if (c.shape != 0) continue;
        // Under-coordinated atoms lie at the surface, the others are whole.
        const auto n = coordination(p, 3.0);
        for (int i = 0; i < p.natoms; i++) {
            const double depth = c.R - std::hypot(p.atoms[i].x, p.atoms[i].y, p.atoms[i].z);
            EXPECT_LE(n[static_cast<size_t>(i)], 12) << i;
            if (n[static_cast<size_t>(i)] < 12) {
                EXPECT_LT(depth, 2.6) << i;
            }
        }
    }
    // A cube turned by 45 degrees about z: still 665 atoms, none outside.
    QB_tools t;
    std::string message;
    ASSERT_EQ(QB_cluster(2, cu_.c_str(), 10, 1, 1, 0, -1, 1, 0, 0, 0, 1, &t, &message), 1) << message;
    for (const auto& a : t.atoms) {
        EXPECT_LE(std::fabs(a.x + a.y) / std::sqrt(2.0), 10 + 1e-9);
        EXPECT_LE(std::fabs(a.z), 10 + 1e-9);
    }
    // From a hexagonal (tilted) cell: no atom doubled, the crystal's density.
    const std::string hcp = write("hcp.lmp", hcp_cell(2.95, 4.68));
    ASSERT_EQ(QB_cluster(0, hcp.c_str(), 12, 1, 0, 0, 0, 1, 0, 0, 0, 1, &t, &message), 1) << message;
    EXPECT_GT(closest_pair(t), 2.85);
    const double density = 2 / (2.95 * 2.95 * std::sqrt(3.0) / 2 * 4.68);
    EXPECT_NEAR(t.natoms, density * 4.0 / 3 * kPi * 12 * 12 * 12, 0.06 * t.natoms);
}

// Every column of atoms along a wire's axis holds one atom per period, so
// the wire repeats along its own axis: along each axis of a hexagonal and an
// orthogonal hcp cell and of a tilted (primitive) fcc cell.
TEST_F(Nano, WireColumnsHoldOneAtomPerPeriod) {
    const double a = 3.2093, c = 5.2408, r3 = std::sqrt(3.0);
    const std::string hexagonal = write("hex.lmp", hcp_cell(a, c));
    const std::string orthogonal = write(
        "ortho.lmp", QB_format("hcp\n4 atoms\n1 atom types\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n\nAtoms\n\n"
                               "1 1 0 0 0\n2 1 %lf %lf 0\n3 1 0 %lf %lf\n4 1 %lf %lf %lf\n",
                               a, r3 * a, c, a / 2, r3 / 2 * a, r3 / 3 * a, c / 2, a / 2, 5 * r3 / 6 * a, c / 2));
    const double L = kCu / std::sqrt(2.0);  // fcc's primitive cell: three vectors of L at 60 degrees
    const std::string tilted = write(
        "prim.lmp", QB_format("fcc\n1 atoms\n1 atom types\n0 %lf xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n%lf %lf %lf xy xz yz\n\n"
                              "Atoms\n\n1 1 0 0 0\n",
                              L, L * r3 / 2, L * std::sqrt(2.0 / 3), L / 2, L / 2, L / (2 * r3)));
    const struct {
        const char* name;
        std::string file;
        double period[3];
    } cells[] = {
        {"hexagonal hcp", hexagonal, {a, r3 * a, c}},
        {"orthogonal hcp", orthogonal, {a, r3 * a, c}},
        {"primitive fcc", tilted, {L, r3 * L, std::sqrt(6.0) * L}},
    };
    for (const auto& cell : cells)
        for (int axis = 0; axis < 3; axis++)
            for (int section : {0, 2}) {
                SCOPED_TRACE(std::string(cell.name) + " axis " + std::to_string(axis) + " section " + std::to_string(section));
                QB_tools w;
                std::string message;
                ASSERT_EQ(QB_wire(section, axis, cell.file.c_str(), 7, 10, &w, &message), 1) << message;
                const double periods = std::floor(10 / cell.period[axis] + 1);
                EXPECT_NEAR(w.size[axis], periods * cell.period[axis], 1e-5);
                // Atoms by their place in the cross-section.
                const int u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
                std::vector<std::pair<long, long>> places;
                for (const atomdata& at : w.atoms) {
                    const double p[3] = {at.x, at.y, at.z};
                    EXPECT_TRUE(p[axis] >= w.lo[axis] && p[axis] < w.lo[axis] + w.size[axis]) << p[axis];
                    places.push_back({std::lround(p[u] * 1e4), std::lround(p[v] * 1e4)});
                }
                std::sort(places.begin(), places.end());
                ASSERT_FALSE(places.empty());
                for (size_t i = 0; i < places.size();) {
                    size_t j = i;
                    while (j < places.size() && places[j] == places[i]) j++;
                    EXPECT_EQ(j - i, static_cast<size_t>(periods)) << "column at " << places[i].first << ", " << places[i].second;
                    i = j;
                }
            }
    // The case as it was reported: 4 periods of 21 columns.
    QB_tools w;
    std::string message;
    ASSERT_EQ(QB_wire(0, 0, hexagonal.c_str(), 7, 10, &w, &message), 1) << message;
    EXPECT_EQ(w.natoms, 84);
}

TEST_F(Nano, WiresSheetsAndCoreShells) {
    std::string message;
    // A hexagonal wire of the hcp crystal along z: whole periods, the density.
    const std::string hcp = write("hcp.lmp", hcp_cell(2.95, 4.68));
    QB_tools w;
    // The counts were taken by enumerating the hcp lattice in Python.
    ASSERT_EQ(QB_wire(2, 2, hcp.c_str(), 25, 20, &w, &message), 1) << message;
    EXPECT_NEAR(w.size[2], 5 * 4.68, 1e-5);  // int(20 / 4.68 + 1) periods
    EXPECT_EQ(w.natoms, 2720);
    QB_tools thin;
    ASSERT_EQ(QB_wire(2, 2, hcp.c_str(), 10, 20, &thin, &message), 1) << message;
    EXPECT_EQ(thin.natoms, 425);
    EXPECT_GT(closest_pair(w), 2.85);
    for (const auto& a : w.atoms) {
        for (int k = 0; k < 6; k++) EXPECT_LE(std::cos(k * kPi / 3) * a.x + std::sin(k * kPi / 3) * a.y, 25 + 1e-9);
        EXPECT_TRUE(a.z >= -w.size[2] / 2 && a.z < w.size[2] / 2);
    }
    // A cylinder of fcc along x.
    ASSERT_EQ(QB_wire(0, 0, cu_.c_str(), 8, 10, &w, &message), 1) << message;
    EXPECT_NEAR(w.size[0], 3 * kCu, 1e-9);
    for (const auto& a : w.atoms) EXPECT_LE(a.y * a.y + a.z * a.z, 64 + 1e-9);

    // A sheet of thickness 5 and vacuum 5 from a cubic cell of edge 4: box
    // height 10, the slab between heights 2.5 and 7.5, its middle plane where
    // the centre was (the plane z = 4 of the crystal lies at height 5).
    const std::string cube = write("cube.lmp", "sc\n1 atoms\n1 atom types\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\nAtoms\n\n1 1 0 0 0\n");
    QB_tools s;
    ASSERT_EQ(QB_sheet(0, cube.c_str(), 0, 0, 4, 0, 2, 3, 5, 5, &s, &message), 1) << message;
    EXPECT_NEAR(s.size[2], 10, 1e-12);
    EXPECT_NEAR(s.size[0], 8, 1e-12);
    EXPECT_NEAR(s.size[1], 12, 1e-12);
    EXPECT_EQ(s.natoms, 6);  // 2 x 3 cells of the one plane z = 4 between 1.5 and 6.5
    for (const auto& a : s.atoms) EXPECT_TRUE(a.z >= 2.5 && a.z < 7.5) << a.z;
    int middle = 0;
    for (const auto& a : s.atoms) middle += std::fabs(a.z - 5) < 1e-9;
    EXPECT_EQ(middle, 6);

    // Core-shell: no two atoms closer than the minimum distance at the
    // interface; the removed shell atoms are counted; swapped radii agree.
    QB_tools cs, swapped;
    int removed = -1;
    ASSERT_EQ(QB_coreshell(0, 1, cu_.c_str(), ni_.c_str(), 14, 8, 1, 0, 0, 0, 1, 0, 0, 0, 1, &cs, &message, 0, &removed), 1)
        << message;
    EXPECT_GT(removed, 0);
    EXPECT_NE(message.find(QB_format("\n%d shell atoms closer than", removed)), std::string::npos);
    EXPECT_GE(closest_pair(cs), 0.75 * std::min(kCu, kNi) / std::sqrt(2.0) - 1e-9);
    EXPECT_EQ(cs.ntypes, 2);
    int core = 0;
    for (const auto& a : cs.atoms) {
        const double r = std::hypot(a.x, a.y, a.z);
        if (a.type == 2) {
            core++;
            EXPECT_LT(r, 8);
        } else {
            EXPECT_TRUE(r <= 14 + 1e-9 && r >= 8 - 1e-9) << r;
        }
    }
    EXPECT_GT(core, 100);
    ASSERT_EQ(QB_coreshell(0, 1, cu_.c_str(), ni_.c_str(), 8, 14, 1, 0, 0, 0, 1, 0, 0, 0, 1, &swapped, &message), 1);
    EXPECT_EQ(swapped.natoms, cs.natoms);
    // Empty core: a hollow shell; a chosen minimum distance of 0 means automatic.
    QB_tools hollow;
    ASSERT_EQ(QB_coreshell(3, 0, cu_.c_str(), "", 12, 6, 1, 0, 0, 0, 1, 0, 0, 0, 1, &hollow, &message), 1) << message;
    for (const auto& a : hollow.atoms) EXPECT_GT(std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z), std::sqrt(3.0) * 6 - 1e-9);
}

// ------------------------------------------------------------------ layers

TEST_F(Nano, BilayersAndMultilayers) {
    // Cu on Ni, 39 and 40 cells: the lateral period and the mismatch.
    QB_tools b;
    std::string message;
    double mismatch[2];
    ASSERT_EQ(QB_double_layer(2, cu_.c_str(), 39, 39, 0, ni_.c_str(), 40, 40, 0, 10, &b, &message, mismatch), 1) << message;
    EXPECT_NEAR(b.size[0], 140.9725, 1e-9);
    EXPECT_NEAR(b.size[1], 140.9725, 1e-9);
    EXPECT_NEAR(mismatch[0], 1.7734e-4, 1e-8);
    EXPECT_NEAR(mismatch[1], 1.7734e-4, 1e-8);
    EXPECT_EQ(b.natoms, 4 * 39 * 39 + 4 * 40 * 40);  // one cell layer each
    EXPECT_EQ(b.ntypes, 2);
    EXPECT_NEAR(b.size[2], kCu + kNi + 10, 1e-9);  // half the gap below, half above
    EXPECT_NEAR(b.lo[2], -kCu - 5, 1e-9);
    int upper = 0;
    for (const auto& a : b.atoms) {
        upper += a.type == 2;
        EXPECT_EQ(a.type == 2, a.z >= 0) << a.z;
    }
    EXPECT_EQ(upper, 4 * 40 * 40);

    // Thickness 2.5 cells gives three layers of each.
    ASSERT_EQ(QB_double_layer(0, cu_.c_str(), 1, 1, 2.5 * kCu, cu_.c_str(), 1, 1, 2.5 * kCu, 0, &b, &message), 1);
    EXPECT_EQ(b.natoms, 4 * 6);
    // Whole numbers of cells written in decimals: 79 cells of 3.615 (285.585
    // divides to just under 79) count as 79, plus the layer at the interface.
    ASSERT_EQ(QB_double_layer(0, cu_.c_str(), 1, 1, 285.585, ni_.c_str(), 1, 1, 7 * kNi, 0, &b, &message), 1);
    EXPECT_EQ(b.natoms, 4 * 80 + 4 * 8);

    // A multilayer of copper with itself is a perfect crystal, through its periodic box.
    QN_model_double_defaults(1);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_filea", cu_);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_fileb", cu_);
    for (const char* k : {"M_double_ax", "M_double_ay", "M_double_bx", "M_double_by"}) QN_set_bit_int(QN_DOUBLE_GROUP, k, 3, 0);
    QN_set_bit_double(QN_DOUBLE_GROUP, "M_double_at", kCu, 0);
    QN_set_bit_double(QN_DOUBLE_GROUP, "M_double_bt", 0, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_dir", 1, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_period", 3, 0);
    QB_tools m;
    ASSERT_EQ(QN_model_double_build(1, &m, message), 1) << message;
    EXPECT_EQ(m.natoms, 3 * 4 * 9 * 3);  // (2 + 1) cell layers, 3 x 3 laterally, 3 periods
    EXPECT_NEAR(m.size[1], 3 * 3 * kCu, 1e-9);
    EXPECT_NE(message.find("\nInterface Mismatch x: 0.000000\nInterface Mismatch z: 0.000000"), std::string::npos);
    QN_store_init();
    QN_analy_defaults(m.ntypes);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_active", 1, 0);
    ASSERT_EQ(QN_MORLA_compute(&m), 1);
    for (int i = 0; i < m.natoms; i++) ASSERT_EQ(QB_get_data(&m, i, "cna"), 1) << i;

    // The form's rules: display, Auto, refusals.
    EXPECT_NEAR(QN_double_mismatch(3, 4.0, 2, 6.1), 0.4 / 24.2, 1e-12);
    EXPECT_EQ(QN_double_mismatch(0, 4.0, 0, 6.1), 0);
    EXPECT_EQ(QN_double_mismatch(1, 4.0, 0, 6.1), 2);
    int bottom = 0, up = 0;
    QN_double_auto(3.0, 4.0, 5, bottom, up);
    EXPECT_EQ(bottom, 4);
    EXPECT_EQ(up, 3);
    bottom = up = 7;
    QN_double_auto(3.0, 4.0, 1, bottom, up);
    EXPECT_EQ(bottom, 7);

    QN_store_init();
    QN_model_double_defaults(0);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_filea", cu_);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_fileb", ni_);
    for (const char* k : {"M_double_ax", "M_double_ay", "M_double_bx", "M_double_by"}) QN_set_bit_int(QN_DOUBLE_GROUP, k, 2, 0);
    QB_tools keep;
    QB_create_atom(&keep, 1, 0, 0, 0);
    EXPECT_EQ(QN_model_double_build(0, &keep, message, QN_DOUBLE_ASK_MISMATCH), QN_DOUBLE_LARGE_MISMATCH);
    EXPECT_EQ(message.rfind("The current model has a large mismatch.", 0), 0u);
    EXPECT_EQ(keep.natoms, 1);
    EXPECT_EQ(QN_model_double_build(0, &keep, message, -1), 1) << message;
}

// -------------------------------------------------------------------- scan

TEST_F(Nano, ScanFindsCommensuratePeriods) {
    auto read = [](const std::string& path) {
        QB_tools s;
        EXPECT_EQ(QB_read_file(&s, path.c_str()) % 2, 1);
        return s;
    };
    // Two identical square lattices: 0 with 90 degrees, one period each, no mismatch.
    const std::string square = write("sq.lmp", "sc\n1 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms\n\n1 1 0 0 0\n");
    const QB_tools sq = read(square);
    QB_mismatch_set(5, 20, 1e-4);
    QB_angle_set(0, 360, 0, 360);
    std::vector<scaned_data> rows;
    ASSERT_GT(QB_mismatch_scan(&sq, &sq, rows), 0);
    bool found = false;
    for (const auto& r : rows) {
        EXPECT_NE(r.theta1, r.theta2);
        if (r.theta1 == 0 && r.theta2 == 90) {
            found = true;
            EXPECT_EQ(r.n1y, 1);
            EXPECT_EQ(r.n2y, 1);
            EXPECT_EQ(r.n1z, 1);
            EXPECT_EQ(r.n2z, 1);
            EXPECT_EQ(r.mismatchy, 0);
            EXPECT_EQ(r.mismatchz, 0);
            EXPECT_DOUBLE_EQ(r.d1y, 3);
        }
    }
    EXPECT_TRUE(found);

    // Cu on Ni: 39 periods of [011]/2 against 40 within 2e-4.
    const QB_tools cu = read(cu_), ni = read(ni_);
    QB_mismatch_set(30, 200, 2e-4);
    ASSERT_GT(QB_mismatch_scan(&cu, &ni, rows), 0);
    found = false;
    for (const auto& r : rows) {
        found = found || (r.n1y == 39 && r.n2y == 40 && r.n1z == 39 && r.n2z == 40);
        EXPECT_LT(r.mismatchy, 2e-4);
        EXPECT_LT(r.mismatchz, 2e-4);
    }
    EXPECT_TRUE(found);
    // Angle windows limit the matches.
    QB_angle_set(40, 50, 130, 140);
    QB_mismatch_scan(&cu, &ni, rows);
    ASSERT_FALSE(rows.empty());
    for (const auto& r : rows) {
        EXPECT_TRUE(r.theta1 >= 40 && r.theta1 <= 50);
        EXPECT_TRUE(r.theta2 >= 130 && r.theta2 <= 140);
    }

    // An hcp basal plane written to six decimals: directions every 30
    // degrees, each with its partner, so 0 pairs with 60 at one period.
    const double a = 2.95, r3 = std::sqrt(3.0);
    const std::string basal = write(
        "basal.lmp", QB_format("hcp\n4 atoms\n1 atom types\n0 4.680000 xlo xhi\n0 %lf ylo yhi\n0 %lf zlo zhi\n\nAtoms\n\n"
                               "1 1 0 0 0\n2 1 0 %lf %lf\n3 1 2.340000 0 %lf\n4 1 2.340000 %lf %lf\n",
                               a, r3 * a, a / 2, r3 / 2 * a, r3 / 3 * a, a / 2, r3 * 5 / 6 * a));
    const QB_tools h = read(basal);
    QB_mismatch_set(6, 20, 1e-4);
    QB_angle_set(0, 360, 0, 360);
    ASSERT_GT(QB_mismatch_scan(&h, &h, rows), 0);
    found = false;
    for (const auto& r : rows)
        if (std::fabs(r.theta1) < 1e-3 && std::fabs(r.theta2 - 60) < 1e-3) {
            found = true;
            EXPECT_EQ(r.n1y, 1);
            EXPECT_EQ(r.n2y, 1);
            EXPECT_NEAR(r.d1z, r3 * a, 1e-5);
        }
    EXPECT_TRUE(found);

    // Coincident atoms do not make zero-length directions.
    const std::string doubled = write("dbl.lmp", "sc\n2 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms\n\n"
                                                 "1 1 0 0 0\n2 1 0 0.01 0\n");
    const QB_tools d = read(doubled);
    QB_mismatch_set(5, 20, 1e-4);
    std::string remarks;
    EXPECT_GT(QB_mismatch_scan(&d, &sq, rows, &remarks), 0);
    EXPECT_EQ(remarks, "crystal 1: 1 atoms closer than 0.1 to the first atom passed over\n");

    // The selection into the crack wizard's group: "reset" without rows,
    // loops of the selected rows in order.
    QN_store_init();
    QN_reset_group(QN_CRACK_GROUP, " ");
    std::vector<scaned_data> none = rows;
    QN_tiltscan_save(none);
    std::string text;
    ASSERT_EQ(QN_scan_char_single(QN_CRACK_GROUP, "S_anga", text), 1);
    EXPECT_EQ(text, "reset");
    rows[0].selected = 1;
    rows[2].selected = 1;
    QN_tiltscan_save(rows);
    double v = 0;
    EXPECT_EQ(QN_scan_double_loop(QN_CRACK_GROUP, "S_n1y", v, 1), 2);
    EXPECT_EQ(v, rows[2].n1y);
    QN_scan_double_loop(QN_CRACK_GROUP, "S_angb", v, 0);
    EXPECT_EQ(v, rows[0].theta2);
}

// ---------------------------------------------------------------- refusals

TEST_F(Nano, RefusalsBuildNothing) {
    const std::string empty = write("empty.lmp", "none\n0 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms\n\n");
    const std::string flat = write("flat.lmc", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS pp pp pp\n0 3\n0 3\n"
                                              "0 0\nITEM: ATOMS id type x y z\n1 1 0 0 0\n");
    const std::string hcp = write("hcp.lmp", hcp_cell(2.95, 4.68));
    // A tilt of -0.9 against a = 2.95: no lattice vector lies along y.
    const std::string skew = write("skew.lmp", "skew\n1 atoms\n1 atom types\n0 2.95 xlo xhi\n0 2.5 ylo yhi\n0 4 zlo zhi\n"
                                               "-0.9 0 0 xy xz yz\n\nAtoms\n\n1 1 0 0 0\n");
    const std::string missing = scratch_.path("nowhere.lmp");
    const struct {
        const char* name;
        std::function<int(QB_tools*, std::string*)> build;
        std::string message;
    } cases[] = {
        {"missing file", [&](QB_tools* o, std::string* m) { return QB_cluster(0, missing.c_str(), 10, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory"},
        {"empty file", [&](QB_tools* o, std::string* m) { return QB_cluster(0, empty.c_str(), 10, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: " + empty + " holds no atoms"},
        {"flat box", [&](QB_tools* o, std::string* m) { return QB_cluster(0, flat.c_str(), 10, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: the box of " + flat + " has no volume"},
        {"radius 0", [&](QB_tools* o, std::string* m) { return QB_cluster(0, cu_.c_str(), 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: the radius must be above 0"},
        {"shape 6", [&](QB_tools* o, std::string* m) { return QB_cluster(6, cu_.c_str(), 5, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: no such structure"},
        {"zero row", [&](QB_tools* o, std::string* m) { return QB_cluster(2, cu_.c_str(), 5, 1, 0, 0, 0, 0, 0, 0, 0, 1, o, m); },
         "Building model error: the orientation rows must be non-zero and perpendicular"},
        {"skew rows", [&](QB_tools* o, std::string* m) { return QB_cluster(3, cu_.c_str(), 5, 1, 0, 0, 1, 1, 0, 0, 0, 1, o, m); },
         "Building model error: the orientation rows must be non-zero and perpendicular"},
        {"too many atoms", [&](QB_tools* o, std::string* m) { return QB_cluster(0, cu_.c_str(), 1e5, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: too many atoms for one model"},
        {"height 0", [&](QB_tools* o, std::string* m) { return QB_wire(0, 2, cu_.c_str(), 5, 0, o, m); },
         "Building model error: the height must be above 0"},
        {"no lattice vector along the wire axis", [&](QB_tools* o, std::string* m) { return QB_wire(0, 1, skew.c_str(), 5, 5, o, m); },
         "Building model error: no lattice vector of the crystal lies along the wire axis"},
        {"section 4", [&](QB_tools* o, std::string* m) { return QB_wire(4, 2, cu_.c_str(), 5, 5, o, m); },
         "Building model error: no such structure"},
        {"sheet thickness 0", [&](QB_tools* o, std::string* m) { return QB_sheet(0, cu_.c_str(), 0, 0, 0, 0, 1, 1, 0, 5, o, m); },
         "Building model error: the thickness must be above 0"},
        {"sheet vacuum negative", [&](QB_tools* o, std::string* m) { return QB_sheet(0, cu_.c_str(), 0, 0, 0, 0, 1, 1, 5, -1, o, m); },
         "Building model error: the vacuum must not be negative"},
        {"sheet count 0", [&](QB_tools* o, std::string* m) { return QB_sheet(1, cu_.c_str(), 0, 0, 0, 0, 0, 1, 5, 5, o, m); },
         "Building model error: the duplicate counts must be 1 or more"},
        {"solid core unreadable",
         [&](QB_tools* o, std::string* m) { return QB_coreshell(0, 1, cu_.c_str(), missing.c_str(), 10, 5, 1, 0, 0, 0, 1, 0, 0, 0, 1, o, m); },
         "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory"},
        {"bilayer count 0",
         [&](QB_tools* o, std::string* m) { return QB_double_layer(2, cu_.c_str(), 0, 1, 0, ni_.c_str(), 1, 1, 0, 0, o, m); },
         "ERROR: Low area in bilayer or multilayer"},
        {"bilayer negative thickness",
         [&](QB_tools* o, std::string* m) { return QB_double_layer(2, cu_.c_str(), 1, 1, -1, ni_.c_str(), 1, 1, 0, 0, o, m); },
         "Building model error: a thickness is negative"},
        {"bilayer negative gap",
         [&](QB_tools* o, std::string* m) { return QB_double_layer(2, cu_.c_str(), 1, 1, 0, ni_.c_str(), 1, 1, 0, -2, o, m); },
         "Building model error: the vacuum must not be negative"},
        {"bilayer triclinic",
         [&](QB_tools* o, std::string* m) { return QB_double_layer(2, hcp.c_str(), 1, 1, 0, ni_.c_str(), 1, 1, 0, 0, o, m); },
         "Building model error: not a orthogonal model"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QB_tools m;
        QB_create_atom(&m, 1, 1, 2, 3);
        std::string message;
        EXPECT_LT(c.build(&m, &message), 0);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(m.natoms, 1);
    }
    QN_model_double_defaults(1);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_period", 0, 0);
    QB_tools m;
    std::string message;
    EXPECT_LT(QN_model_double_build(1, &m, message), 0);
    EXPECT_EQ(message, "ERROR: Zero layers in multilayer");
}

// ------------------------------------------------------------- quelm-batch

TEST_F(Nano, BatchBuildsEveryKindAndScans) {
    BatchOutcome r = run_batch(scratch_, "build --list");
    for (const char* kind : {"\nbilayer\n", "\nmultilayer\n", "\nnanoparticle\n", "\nnanowire\n", "\nnanosheet\n", "\ncoreshell\n"})
        EXPECT_NE(r.out.find(kind), std::string::npos) << kind;

    r = run_batch(scratch_, "build nanoparticle -M_cluster_input=" + cu_ + " -M_cluster_mode=2 -o " + scratch_.path("cube.lmp"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("New model detected with 665 atoms and 1 type\n"), std::string::npos) << r.out;
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch_.path("cube.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, 665);

    // A mismatch the form would ask about is refused unless accepted.
    const std::string layers = " -M_double_filea=" + cu_ + " -M_double_fileb=" + ni_ +
                               " -M_double_ax=2 -M_double_ay=2 -M_double_bx=2 -M_double_by=2 -o " + scratch_.path("b.lmp");
    r = run_batch(scratch_, "build bilayer" + layers);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "The current model has a large mismatch.\nInterface Mismatch y: 0.025494\nInterface Mismatch z: "
                     "0.025494\ngive --accept-mismatch to build it anyway\n");
    EXPECT_FALSE(std::ifstream(scratch_.path("b.lmp")).good());
    r = run_batch(scratch_, "build bilayer --accept-mismatch" + layers);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("New model detected with 32 atoms and 2 types\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nInterface Mismatch y: 0.025494\nInterface Mismatch z: 0.025494\n"), std::string::npos);
    r = run_batch(scratch_, "build multilayer -M_double_period=0" + layers);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Zero layers in multilayer\n");
    r = run_batch(scratch_, "build nanowire -M_wire_mode=9 -M_wire_input=" + cu_ + " -o " + scratch_.path("w.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Building model error: no such structure\n");

    // Without -o the table alone on standard output, the reports on standard error.
    r = run_batch(scratch_, "scan " + cu_ + " " + ni_ + " -S_maxmis=0.0002");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Theta1\tTheta2\tBoxy\tMismatchy\tBoxz\tMismatchz\tn1y\tn2y\tn1z\tn2z\n"
                          "45.000000\t135.000000\t99.682611\t0.000177\t99.682611\t0.000177\t39\t40\t39\t40\n",
                          0),
              0u)
        << r.out.substr(0, 300);
    EXPECT_EQ(r.out.find(">>"), std::string::npos);
    EXPECT_NE(r.err.find("LMP file detected with 4 atoms and 1 type\nBox size 3.524000 3.524000 3.524000\n"), std::string::npos);
    const BatchOutcome saved = run_batch(scratch_, "scan " + cu_ + " " + ni_ + " -S_maxmis=0.0002 -o " + scratch_.path("t.tsv"));
    EXPECT_EQ(saved.status, 0);
    EXPECT_EQ(slurp(scratch_.path("t.tsv")), r.out);
    EXPECT_EQ(run_batch(scratch_, "scan " + cu_).status, 2);
}

// ------------------------------------------------------------ element names

// The crystal files' element names (POSCAR species) name the types of what is
// built from them, the core's after the shell's and the upper crystal's after
// the lower's; "Elements:" (M_elements) replaces them, and a list that does
// not fit refuses the build.
TEST_F(Nano, ElementNamesComeFromTheCrystalsOrTheElementsField) {
    auto poscar = [&](const char* name, const char* element, double a) {
        const double h = a / 2;
        return write(name, QB_format("fcc\n1.0\n%.10f 0 0\n0 %.10f 0\n0 0 %.10f\n%s\n4\nCartesian\n0 0 0\n%.10f %.10f 0\n"
                                     "%.10f 0 %.10f\n0 %.10f %.10f\n",
                                     a, a, a, element, h, h, h, h, h, h));
    };
    const std::string cu = poscar("cu.POSCAR", "Cu", kCu), ni = poscar("ni.POSCAR", "Ni", kNi);
    QB_tools m;
    std::string message;
    ASSERT_EQ(QB_cluster(3, cu.c_str(), 8, 1, 0, 0, 0, 1, 0, 0, 0, 1, &m, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Cu");
    ASSERT_EQ(QB_sheet(0, ni.c_str(), 0, 0, 0, 0, 2, 2, 5, 5, &m, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Ni");
    ASSERT_EQ(QB_coreshell(0, 1, ni.c_str(), cu.c_str(), 10, 5, 1, 0, 0, 0, 1, 0, 0, 0, 1, &m, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Ni,Cu");
    ASSERT_EQ(QB_coreshell(0, 1, cu_.c_str(), cu.c_str(), 10, 5, 1, 0, 0, 0, 1, 0, 0, 0, 1, &m, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), ",Cu");  // the data file names nothing
    // Layers take POSCAR crystals too (their cells lie along x, y and z).
    ASSERT_EQ(QB_double_layer(2, cu.c_str(), 4, 4, 0, ni.c_str(), 4, 4, 0, 2, &m, &message), 1) << message;
    EXPECT_EQ(m.natoms, 2 * 4 * 4 * 4);
    EXPECT_EQ(QB_elename_list(&m), "Cu,Ni");
    ASSERT_EQ(QB_double_layer(2, cu_.c_str(), 4, 4, 0, ni.c_str(), 4, 4, 0, 2, &m, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), ",Ni");

    // The forms' builds, from the store.
    ASSERT_EQ(QN_model_wire_defaults(), 1);
    QN_set_bit_char(QN_NANO_GROUP, "M_wire_input", cu);
    ASSERT_EQ(QN_model_wire_build(&m, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Cu");
    QN_set_bit_char(QN_NANO_GROUP, "M_elements", "Ag");
    ASSERT_EQ(QN_model_wire_build(&m, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Ag");
    ASSERT_EQ(QN_model_cluster_defaults(), 1);
    QN_set_bit_char(QN_NANO_GROUP, "M_cluster_input", cu);
    QN_set_bit_char(QN_NANO_GROUP, "M_elements", "Au, Pd");
    const int atoms = m.natoms;
    EXPECT_EQ(QN_model_cluster_build(&m, message), -1);
    EXPECT_EQ(message, "Building model error: Elements: 2 element names given for 1 atom type: give one per type, in type order");
    EXPECT_EQ(m.natoms, atoms);  // the model stays
    EXPECT_EQ(QB_elename_list(&m), "Ag");
    QN_set_bit_char(QN_NANO_GROUP, "M_elements", "Au");
    ASSERT_EQ(QN_model_cluster_build(&m, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Au");
    ASSERT_EQ(QN_model_double_defaults(0), 1);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_filea", cu_);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_fileb", ni);
    for (const char* k : {"M_double_ax", "M_double_ay", "M_double_bx", "M_double_by"}) QN_set_bit_int(QN_DOUBLE_GROUP, k, 2, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_dir", 2, 0);
    ASSERT_EQ(QN_model_double_build(0, &m, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), ",Ni");
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_elements", "Cu Ni");
    ASSERT_EQ(QN_model_double_build(0, &m, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&m), "Cu,Ni");
}
