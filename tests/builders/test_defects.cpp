// Dislocations, cracks and solid solutions: the textbook displacement fields
// at hand-computed points, Burgers circuits, the crack opening, no NaN at the
// line or tip, exact and even substitution, tetrahedral interstitials, and
// the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "store/quelm_store.h"
#include "builders/defects.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace {

const double kPi = std::acos(-1.0);
constexpr double kCu = 3.615;

class Defects : public QuietStdoutTest {
protected:
    // Writes a model as a data file in the scratch folder.
    std::string file(const std::string& name, const QB_tools& s) const {
        const std::string path = scratch_.path(name);
        QB_tools copy = s;
        EXPECT_EQ(QB_dump_lmp(&copy, path.c_str()), 1);
        return path;
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(scratch_.path(name), std::ios::binary) << text;
        return scratch_.path(name);
    }
    ScratchDir scratch_;
};

// Atoms at the given points in an orthogonal box [lo, lo + L).
QB_tools points(const std::vector<std::array<double, 3>>& at, double lo, double L) {
    QB_tools s;
    QB_init(&s);
    for (const auto& p : at) QB_create_atom(&s, 1, p[0], p[1], p[2]);
    for (int d = 0; d < 3; d++) {
        s.lo[d] = s.origin[d] = lo;
        s.size[d] = s.cell[d][d] = L;
    }
    return s;
}

// A simple cubic crystal of n^3 sites with spacing a, centred on the origin.
QB_tools simple_cubic(int n, double a) {
    std::vector<std::array<double, 3>> at;
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++) at.push_back({(i - n / 2) * a + a / 2, (j - n / 2) * a + a / 2, (k - n / 2) * a});
    return points(at, -n / 2 * a, n * a);
}

// fcc copper of n x n x n cells with its box at the origin.
QB_tools copper(int n) {
    QB_tools s;
    QB_init(&s);
    const double h = kCu / 2;
    const double basis[4][3] = {{0, 0, 0}, {h, h, 0}, {h, 0, h}, {0, h, h}};
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++)
                for (const auto& b : basis) QB_create_atom(&s, 1, i * kCu + b[0], j * kCu + b[1], k * kCu + b[2]);
    for (int d = 0; d < 3; d++) s.size[d] = s.cell[d][d] = n * kCu;
    return s;
}

// The same crystal moved by (0.5, 0.7, 1.1) and wrapped, so that the box's
// faces cut between the atomic planes.
QB_tools shifted_copper(int n) {
    QB_tools s = copper(n);
    for (auto& a : s.atoms) {
        a.x += 0.5;
        a.y += 0.7;
        a.z += 1.1;
    }
    for (int i = 0; i < s.natoms; i++) QB_wrap(&s, i);
    return s;
}

// bcc of n x n x n cells with its box at the origin.
QB_tools bcc(int n, double a) {
    QB_tools s;
    QB_init(&s);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++) {
                QB_create_atom(&s, 1, i * a, j * a, k * a);
                QB_create_atom(&s, 1, (i + 0.5) * a, (j + 0.5) * a, (k + 0.5) * a);
            }
    for (int d = 0; d < 3; d++) s.size[d] = s.cell[d][d] = n * a;
    return s;
}

// Minimum-image distance in a cubic periodic box of edge L.
double periodic_distance(const atomdata& p, const atomdata& q, double L) {
    double d2 = 0;
    for (double d : {p.x - q.x, p.y - q.y, p.z - q.z}) {
        d -= L * std::round(d / L);
        d2 += d * d;
    }
    return std::sqrt(d2);
}

// The nearest point of the lattice a Z^3 to v.
std::array<double, 3> nearest_lattice(const std::array<double, 3>& v, double a) {
    return {std::round(v[0] / a) * a, std::round(v[1] / a) * a, std::round(v[2] / a) * a};
}

}  // namespace

// ------------------------------------------------------------ dislocations

TEST_F(Defects, EdgeFieldAtAHandComputedPoint) {
    double u[2];
    QN_edge_displacement(10, 10, 2.556, 0.3, u);
    EXPECT_NEAR(u[0], 0.46479, 5e-6);
    EXPECT_NEAR(u[1], -0.30791, 5e-6);

    // The same point through the builder: line along z, Burgers direction x,
    // so the frame's second direction z x x is +y.
    const std::string one = file("one.lmp", points({{10, 10, 0}, {-7, 3, 1}}, -20, 40));
    QB_tools out;
    std::string message;
    ASSERT_EQ(QB_dislocation(1, one.c_str(), 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 2.556, 0.3, &out, &message), 1) << message;
    EXPECT_NEAR(out.atoms[0].x, 10.46479, 5e-6);
    EXPECT_NEAR(out.atoms[0].y, 10 - 0.30791, 5e-6);
    EXPECT_DOUBLE_EQ(out.atoms[0].z, 0);
    QN_edge_displacement(-7, 3, 2.556, 0.3, u);
    EXPECT_DOUBLE_EQ(out.atoms[1].x, -7 + u[0]);
    EXPECT_DOUBLE_EQ(out.atoms[1].y, 3 + u[1]);
    EXPECT_EQ(message, "New model detected with 2 atoms and 1 type\nBox size 40.000000 40.000000 40.000000\n"
                       "0 atoms on the dislocation line left in place");

    // A screw along z with slip normal y, centred on the origin: (1, 1, 0)
    // moves by b (pi / 4) / (2 pi) along z; just below the cut by almost -b/2.
    const std::string two = file("two.lmp", points({{1, 1, 0}, {-1, -0.001, 0}, {-1, 0.001, 0}}, -5, 10));
    ASSERT_EQ(QB_dislocation(0, two.c_str(), 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 2.5, 0, &out, &message), 1) << message;
    EXPECT_NEAR(out.atoms[0].z, 0.3125, 1e-12);
    EXPECT_NEAR(out.atoms[1].z, -1.25, 1e-3);
    EXPECT_NEAR(out.atoms[2].z, 1.25, 1e-3);
    // The centre in box units: the middle of [-5, 5) is the origin.
    QB_tools boxed;
    ASSERT_EQ(QB_dislocation(0, two.c_str(), 0.5, 0.5, 0.5, 1, 0, 0, 1, 0, 1, 0, 2.5, 0, &boxed, &message), 1);
    EXPECT_NEAR(boxed.atoms[0].z, 0.3125, 1e-12);
}

// A closed circuit of lattice steps around the line, walked right-handed
// about the line direction: in the dislocated crystal each step is read as
// the nearest perfect-lattice vector, and the sum of those steps, from finish
// back to start, is the Burgers vector.
TEST_F(Defects, BurgersCircuitsCloseToPlusB) {
    const double a = 2.556;
    const QB_tools crystal = simple_cubic(16, a);
    const std::string path = file("sc.lmp", crystal);
    // The circuit: the square of half-width 5 lattice steps around the line
    // at (a/2 offsets) the origin, counter-clockwise in the x-y plane.
    auto index_of = [&](int i, int j) {  // site (i a + a/2, j a + a/2, 0)
        for (int k = 0; k < crystal.natoms; k++) {
            const atomdata& p = crystal.atoms[static_cast<size_t>(k)];
            if (std::fabs(p.x - (i * a + a / 2)) < 1e-9 && std::fabs(p.y - (j * a + a / 2)) < 1e-9 && std::fabs(p.z) < 1e-9)
                return k;
        }
        return -1;
    };
    std::vector<int> loop;
    for (int i = -5; i < 4; i++) loop.push_back(index_of(i, -5));
    for (int j = -5; j < 4; j++) loop.push_back(index_of(4, j));
    for (int i = 4; i > -5; i--) loop.push_back(index_of(i, 4));
    for (int j = 4; j > -5; j--) loop.push_back(index_of(-5, j));
    ASSERT_EQ(std::count(loop.begin(), loop.end(), -1), 0);

    auto closure = [&](const QB_tools& bent) {
        std::array<double, 3> sum{0, 0, 0};
        for (size_t k = 0; k < loop.size(); k++) {
            const atomdata& p = bent.atoms[static_cast<size_t>(loop[k])];
            const atomdata& q = bent.atoms[static_cast<size_t>(loop[(k + 1) % loop.size()])];
            const auto step = nearest_lattice({q.x - p.x, q.y - p.y, q.z - p.z}, a);
            for (int d = 0; d < 3; d++) sum[d] -= step[d];
        }
        return sum;
    };
    // Line along +z through the origin; the screw with slip normal y, the
    // edge with Burgers direction x, each with b = a.
    const struct {
        int mode;
        double s[3];
        std::array<double, 3> b;
    } cases[] = {{0, {0, 1, 0}, {0, 0, a}}, {1, {1, 0, 0}, {a, 0, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode ? "edge" : "screw");
        QB_tools bent;
        std::string message;
        ASSERT_EQ(QB_dislocation(c.mode, path.c_str(), 0, 0, 0, 0, 0, 0, 1, c.s[0], c.s[1], c.s[2], a, 0.3, &bent, &message), 1)
            << message;
        const auto b = closure(bent);
        for (int d = 0; d < 3; d++) EXPECT_NEAR(b[d], c.b[d], 1e-6) << d;
    }
    // The opposite line direction reverses the circuit's sense: -b.
    QB_tools bent;
    ASSERT_EQ(QB_dislocation(1, path.c_str(), 0, 0, 0, 0, 0, 0, -1, 1, 0, 0, a, 0.3, &bent, nullptr), 1);
    EXPECT_NEAR(closure(bent)[0], -a, 1e-6);
}

TEST_F(Defects, AtomsOnTheLineOrAtTheTipStayWithoutNaN) {
    // Sites on the line x = y = 0 (along z), one 5e-7 off it, one well away;
    // written with ten decimals.
    const std::string path = write("line.lmp", "line\n4 atoms\n1 atom types\n-5 5 xlo xhi\n-5 5 ylo yhi\n-5 5 zlo zhi\n\n"
                                               "Atoms\n\n1 1 0 0 0\n2 1 0 0 2\n3 1 0.0000005000 0 1\n4 1 1 0 0\n");
    QB_tools out;
    std::string message;
    int on_line = -1;
    for (int mode : {0, 1}) {
        ASSERT_EQ(QB_dislocation(mode, path.c_str(), 0, 0, 0, 0, 0, 0, 1, mode ? 1 : 0, mode ? 0 : 1, 0, 2.5, 0.3, &out,
                                 &message, &on_line),
                  1);
        EXPECT_EQ(on_line, 3);
        EXPECT_EQ(message.substr(message.rfind('\n') + 1), "3 atoms on the dislocation line left in place");
        EXPECT_DOUBLE_EQ(out.atoms[0].z, 0);
        EXPECT_DOUBLE_EQ(out.atoms[2].x, 5e-7);
        for (const auto& a : out.atoms) EXPECT_TRUE(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z));
    }
    // The crack tip of "X+" with length 5 from xlo = -5 lies at x = 0, the
    // middle of y at 0.
    int at_tip = -1;
    ASSERT_EQ(QB_crack(0, 0, 1, path.c_str(), 5, 50, 0.3, 0.5, &out, &message, &at_tip), 1) << message;
    EXPECT_EQ(at_tip, 3);
    EXPECT_EQ(message.substr(message.rfind('\n') + 1), "3 atoms at the crack tip left in place");
    for (const auto& a : out.atoms) EXPECT_TRUE(std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z));
}

// ------------------------------------------------------------------ cracks

TEST_F(Defects, CrackFieldsAreTheTextbookOnes) {
    // K = 0.5 MPa m^1/2, G = 50 GPa, nu = 0.25, plane strain, r = 16 A.
    double up[3], down[3];
    QN_crack_displacement(0, 16, kPi, 50, 0.25, 0.5, up);
    QN_crack_displacement(0, 16, -kPi, 50, 0.25, 0.5, down);
    EXPECT_NEAR(up[1] - down[1], 4.787, 5e-4);
    EXPECT_NEAR(up[0], 0, 1e-12);
    QN_crack_displacement(4, 16, kPi, 50, 0.25, 0.5, up);
    EXPECT_NEAR(up[2], 3.1915, 5e-5);
    EXPECT_EQ(up[0], 0);
    // Plane stress uses (3 - nu) / (1 + nu): kappa = 2.2 for nu = 0.25.
    QN_crack_displacement(1, 16, kPi, 50, 0.25, 0.5, up);
    EXPECT_NEAR(up[1], 0.5 * std::sqrt(16 / (2 * kPi)) * 3.2, 1e-9);
    // Mode II slides the faces along the crack: at theta = pi, u_t = A (kappa + 1).
    QN_crack_displacement(2, 16, kPi, 50, 0.25, 0.5, up);
    EXPECT_NEAR(up[0], 0.5 * std::sqrt(16 / (2 * kPi)) * 3, 1e-9);
    EXPECT_NEAR(up[1], 0, 1e-12);

    // Through the builder: "X+", normal "Y", tip at x = xlo + 20 = 0 in a
    // box [-20, 20)^3, middle of y at 0. Atoms at +-h behind the tip open
    // symmetrically; atoms ahead on the plane move only along x.
    const std::string path = file(
        "crack.lmp", points({{-16, 1e-6, 0}, {-16, -1e-6, 0}, {-8, 3, 1}, {-8, -3, 1}, {6, 0, 0}, {0, 0, 7}}, -20, 40));
    QB_tools out;
    std::string message;
    ASSERT_EQ(QB_crack(0, 0, 1, path.c_str(), 20, 50, 0.25, 0.5, &out, &message), 1) << message;
    EXPECT_NEAR(out.atoms[0].y - out.atoms[1].y, 4.787, 5e-4);
    EXPECT_NEAR(out.atoms[2].y, -out.atoms[3].y, 1e-12);
    EXPECT_GT(out.atoms[2].y, 3);
    EXPECT_NEAR(out.atoms[2].x, out.atoms[3].x, 1e-12);
    EXPECT_GT(out.atoms[4].x, 6);
    EXPECT_EQ(out.atoms[4].y, 0);
    EXPECT_EQ(out.atoms[4].z, 0);
    // "X-" enters from the other face: the same crack mirrored in x.
    const std::string mirrored = file(
        "mirror.lmp", points({{16, 1e-6, 0}, {16, -1e-6, 0}, {8, 3, 1}, {8, -3, 1}, {-6, 0, 0}, {0, 0, 7}}, -20, 40));
    QB_tools back;
    ASSERT_EQ(QB_crack(0, 1, 1, mirrored.c_str(), 20, 50, 0.25, 0.5, &back, &message), 1) << message;
    for (int i = 0; i < 5; i++) {
        EXPECT_NEAR(back.atoms[static_cast<size_t>(i)].x, -out.atoms[static_cast<size_t>(i)].x, 1e-12) << i;
        EXPECT_NEAR(back.atoms[static_cast<size_t>(i)].y, out.atoms[static_cast<size_t>(i)].y, 1e-12) << i;
    }
    // Mode III moves along the third axis, z.
    ASSERT_EQ(QB_crack(4, 0, 1, path.c_str(), 20, 50, 0.25, 0.5, &out, &message), 1) << message;
    EXPECT_NEAR(out.atoms[0].z - out.atoms[1].z, 2 * 3.1915, 1e-4);
    EXPECT_EQ(out.atoms[0].y, 1e-6);

    // The box: x and y refitted from the centre, z kept; off-diagonals 0.
    ASSERT_EQ(QB_crack(0, 0, 1, path.c_str(), 20, 50, 0.25, 0.5, &out, &message), 1);
    double top = -1e300, bottom = 1e300;
    for (const auto& a : out.atoms) top = std::max(top, a.y), bottom = std::min(bottom, a.y);
    EXPECT_NEAR(out.lo[1], bottom - 0.2, 1e-12);
    EXPECT_NEAR(out.lo[1] + out.size[1], top + 0.2, 1e-12);
    EXPECT_EQ(out.lo[2], -20);
    EXPECT_EQ(out.size[2], 40);
    EXPECT_EQ(out.cell[1][0], 0);
}

// --------------------------------------------------------------- solutions

TEST_F(Defects, CountsAreExactForTheDecimalsGiven) {
    const struct {
        int64_t n;
        double c;
        int64_t count;
    } cases[] = {{100, 0.57, 57}, {1000188, 0.01, 10001}, {1000, 0.01, 10}, {3, 1.0 / 3, 0},   {7, 0, 0},
                 {10, 1, 10},     {100, 0.29, 29},        {1000, 0.001, 1}, {999999, 0.000001, 0}, {5000000, 0.000001, 5}};
    for (const auto& c : cases) EXPECT_EQ(QN_fraction_count(c.n, c.c), c.count) << c.n << " x " << c.c;
    EXPECT_EQ(static_cast<int64_t>(100 * 0.57), 56);  // what a plain product gives
}

TEST_F(Defects, DrawsReachEveryHost) {
    // Over a million choices, joined draws reach far more values than the
    // 32,768 a single 15-bit draw scaled to the range can.
    QB_random g;
    g.seed(3);
    std::set<int64_t> seen;
    int64_t top = 0;
    for (int k = 0; k < 200000; k++) {
        const int64_t v = QB_random_below(g, 1000000);
        ASSERT_TRUE(v >= 0 && v < 1000000);
        seen.insert(v);
        top = std::max(top, v);
    }
    EXPECT_GT(seen.size(), 180000u);
    EXPECT_GT(top, 999900);
    EXPECT_EQ(QB_random_below(g, 1), 0);
    const int64_t big = int64_t{3} << 40;
    EXPECT_LT(QB_random_below(g, big), big);
}

TEST_F(Defects, SubstitutionConvertsExactlyAndEvenly) {
    // 1,000,188 atoms (63^3 fcc cells), c = 0.01: exactly 10,001 converted,
    // spread evenly over 4 x 4 x 4 sub-boxes.
    QB_tools big;
    ASSERT_EQ(QB_create_fcc(&big, kCu, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    ASSERT_EQ(QB_duplicate(&big, 63, 63, 63), 1);
    ASSERT_EQ(big.natoms, 1000188);
    QB_tools out;
    std::string message;
    int placed = 0;
    ASSERT_EQ(QB_solute_model(&big, 0, 0.01, 3, 2, 0, &out, &message, &placed), 1) << message;
    EXPECT_EQ(placed, 10001);
    EXPECT_EQ(message.substr(message.rfind('\n') + 1), "10001 atoms converted");
    EXPECT_EQ(out.ntypes, 2);
    std::vector<int> bins(64, 0);
    int solutes = 0;
    for (const auto& a : out.atoms) {
        if (a.type != 2) continue;
        solutes++;
        auto quarter = [&](double v, int d) { return std::min(3, static_cast<int>((v - out.lo[d]) / out.size[d] * 4)); };
        const int i = quarter(a.x, 0), j = quarter(a.y, 1), k = quarter(a.z, 2);
        bins[static_cast<size_t>(16 * i + 4 * j + k)]++;
    }
    EXPECT_EQ(solutes, 10001);
    double chi2 = 0;
    for (int b : bins) chi2 += (b - solutes / 64.0) * (b - solutes / 64.0) / (solutes / 64.0);
    EXPECT_LT(chi2, 110);  // 63 degrees of freedom: mean 63, sd 11

    // 100 atoms at c = 0.57 convert 57; the same seed the same atoms, another seed others.
    const QB_tools small = simple_cubic(5, 2);  // 125 atoms
    QB_tools hundred = small;
    hundred.atoms.resize(100);
    hundred.natoms = 100;
    QB_tools first, again, other;
    ASSERT_EQ(QB_solute_model(&hundred, 0, 0.57, 3, 2, 7, &first, &message, &placed), 1);
    EXPECT_EQ(placed, 57);
    ASSERT_EQ(QB_solute_model(&hundred, 0, 0.57, 3, 2, 7, &again, &message), 1);
    ASSERT_EQ(QB_solute_model(&hundred, 0, 0.57, 3, 2, 8, &other, &message), 1);
    int same = 0, differ = 0;
    for (int i = 0; i < 100; i++) {
        same += first.atoms[static_cast<size_t>(i)].type == again.atoms[static_cast<size_t>(i)].type;
        differ += first.atoms[static_cast<size_t>(i)].type != other.atoms[static_cast<size_t>(i)].type;
    }
    EXPECT_EQ(same, 100);
    EXPECT_GT(differ, 0);

    // c = 1 in a crystal already holding solutes converts every remaining host.
    QB_tools mixed = small;
    for (int i = 0; i < 10; i++) mixed.atoms[static_cast<size_t>(i)].type = 2;
    mixed.ntypes = 2;
    ASSERT_EQ(QB_solute_model(&mixed, 0, 1.0, 3, 2, 0, &out, &message, &placed), 1);
    EXPECT_EQ(placed, 115);
    for (const auto& a : out.atoms) EXPECT_EQ(a.type, 2);
}

TEST_F(Defects, InterstitialsSitInTetrahedralHoles) {
    // 4 x 4 x 4 copper cells, 256 atoms, c = 0.05: 12 interstitials.
    const QB_tools crystal = shifted_copper(4);
    const double L = 4 * kCu;
    QB_tools out;
    std::string message;
    int placed = 0;
    ASSERT_EQ(QB_solute_model(&crystal, 1, 0.05, 3.0, 2, 5, &out, &message, &placed), 1) << message;
    EXPECT_EQ(placed, 12);
    EXPECT_EQ(out.natoms, 268);
    EXPECT_EQ(message.substr(message.rfind('\n') + 1), "12 interstitial atoms placed");
    auto distance = [&](const atomdata& p, const atomdata& q) { return periodic_distance(p, q, L); };
    const double tetra = kCu * std::sqrt(3.0) / 4;
    std::set<int> ids;
    for (int i = 256; i < out.natoms; i++) {
        const atomdata& s = out.atoms[static_cast<size_t>(i)];
        EXPECT_EQ(s.type, 2);
        EXPECT_TRUE(s.x >= 0 && s.x <= L && s.y >= 0 && s.y <= L && s.z >= 0 && s.z <= L);
        int corners = 0;
        double nearest = 1e300;
        for (int h = 0; h < 256; h++) {
            const double d = distance(s, out.atoms[static_cast<size_t>(h)]);
            nearest = std::min(nearest, d);
            corners += std::fabs(d - tetra) < 1e-9;
        }
        EXPECT_EQ(corners, 4) << i;
        EXPECT_NEAR(nearest, tetra, 1e-9);
        for (int j = 256; j < i; j++) EXPECT_GE(distance(s, out.atoms[static_cast<size_t>(j)]), kCu / 2 - 1e-9);
        ids.insert(s.id);
    }
    for (int h = 0; h < 256; h++) ids.insert(out.atoms[static_cast<size_t>(h)].id);
    EXPECT_EQ(ids.size(), 268u);  // ids stay unique

    // Every host has two tetrahedral holes: c = 1 fills half of them, the
    // ones at the faces too, each still in its hole and in the box.
    ASSERT_EQ(QB_solute_model(&crystal, 1, 1.0, 3.0, 2, 1, &out, &message, &placed), 1) << message;
    EXPECT_EQ(placed, 256);
    int in_holes = 0, inside = 0;
    for (int i = 256; i < out.natoms; i++) {
        const atomdata& s = out.atoms[static_cast<size_t>(i)];
        inside += s.x >= 0 && s.x <= L && s.y >= 0 && s.y <= L && s.z >= 0 && s.z <= L;
        int corners = 0;
        for (int h = 0; h < 256; h++) corners += std::fabs(distance(s, out.atoms[static_cast<size_t>(h)]) - tetra) < 1e-9;
        in_holes += corners == 4;
    }
    EXPECT_EQ(in_holes, 256);
    EXPECT_EQ(inside, 256);
    // A cut-off below the nearest-neighbour distance finds no site: refused.
    EXPECT_LT(QB_solute_model(&crystal, 1, 0.05, 2.0, 2, 5, &out, &message, &placed), 0);
    EXPECT_EQ(placed, 0);
    EXPECT_EQ(message, "Building model error: placed 0 of 12 interstitial atoms; the cut-off finds no more free sites");
}

TEST_F(Defects, InterstitialsInBccKeepTheirHolesApartAcrossTheFaces) {
    // bcc iron: the tetrahedral holes lie a sqrt(5) / 4 from their four
    // corners but only a sqrt(2) / 4 from each other, so a hole next to a
    // taken one, across a periodic face too, stays empty.
    const double a = 2.87, L = 4 * a;
    const QB_tools crystal = bcc(4, a);
    QB_tools out;
    std::string message;
    int placed = 0;
    ASSERT_EQ(QB_solute_model(&crystal, 1, 1.0, 3.0, 2, 9, &out, &message, &placed), 1) << message;
    EXPECT_EQ(placed, 128);
    const double corner = a * std::sqrt(5.0) / 4;
    for (int i = 128; i < out.natoms; i++) {
        const atomdata& s = out.atoms[static_cast<size_t>(i)];
        int corners = 0;
        for (int h = 0; h < 128; h++) corners += std::fabs(periodic_distance(s, out.atoms[static_cast<size_t>(h)], L) - corner) < 1e-9;
        EXPECT_EQ(corners, 4) << i;
        for (int j = 128; j < i; j++)
            EXPECT_GE(periodic_distance(s, out.atoms[static_cast<size_t>(j)], L), corner * (1 - 1e-3)) << i << " " << j;
    }
}

TEST_F(Defects, AnInterstitialNeedsAnEmptyHole) {
    // A regular tetrahedron of edge 2.556 around (10, 10, 10) in a box of 20.
    const double e = 2.556 / std::sqrt(8.0);
    auto tetrahedron = [&] {
        QB_tools s = points({{10 + e, 10 + e, 10 + e}, {10 + e, 10 - e, 10 - e}, {10 - e, 10 + e, 10 - e}, {10 - e, 10 - e, 10 + e}},
                            0, 20);
        return s;
    };
    QB_tools empty = tetrahedron();
    const int added = QB_add_solute(&empty, 2, 10.2, 9.9, 10, 3.0);
    ASSERT_EQ(added, 4);
    EXPECT_NEAR(empty.atoms[4].x, 10, 1e-12);
    EXPECT_NEAR(empty.atoms[4].z, 10, 1e-12);
    EXPECT_EQ(empty.atoms[4].type, 2);
    // An atom of the solute's type in the hole, nearer than the corners
    // (1.565 A): refused; one beyond them: the hole is free.
    for (const auto& c : {std::make_pair(0.3, -1), std::make_pair(1.7, 5)}) {
        QB_tools s = tetrahedron();
        QB_create_atom(&s, 2, 10 + c.first, 10, 10);
        EXPECT_EQ(QB_add_solute(&s, 2, 10, 10, 10, 3.0), c.second) << c.first;
    }
    // Solutes make no sites: four solutes around the point give nothing.
    QB_tools solutes = tetrahedron();
    for (auto& a : solutes.atoms) a.type = 2;
    EXPECT_EQ(QB_add_solute(&solutes, 2, 10, 10, 10, 3.0), -1);
    EXPECT_EQ(solutes.natoms, 4);
}

// ---------------------------------------------------------------- refusals

TEST_F(Defects, RefusalsBuildNothing) {
    const std::string cu = file("cu.lmp", copper(2));
    const std::string empty = write("empty.lmp", "none\n0 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms\n\n");
    const std::string tilted = write("tilted.lmp", "t\n1 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n"
                                                   "1 0 0 xy xz yz\n\nAtoms\n\n1 1 0 0 0\n");
    const std::string missing = scratch_.path("nowhere.lmp");
    using Build = std::function<int(QB_tools*, std::string*)>;
    auto screw = [&](double dx, double dy, double dz, double sx, double sy, double sz, double b) -> Build {
        return [=](QB_tools* o, std::string* m) { return QB_dislocation(0, cu.c_str(), 0, 0, 0, 0, dx, dy, dz, sx, sy, sz, b, 0.3, o, m); };
    };
    auto edge = [&](double nu) -> Build {
        return [=](QB_tools* o, std::string* m) { return QB_dislocation(1, cu.c_str(), 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 2.5, nu, o, m); };
    };
    auto crack = [&](int direction, int normal, double length, double G, double nu, const std::string& path = "") -> Build {
        return [=](QB_tools* o, std::string* m) {
            return QB_crack(0, direction, normal, (path.empty() ? cu : path).c_str(), length, G, nu, 0.5, o, m);
        };
    };
    auto solute = [&](int mode, double c, int type, double cutoff = 3, const std::string& path = "") -> Build {
        return [=](QB_tools* o, std::string* m) { return QB_solute(mode, (path.empty() ? cu : path).c_str(), c, cutoff, type, 0, o, m); };
    };
    const std::string perpendicular = "Building model error: the line direction and the slip normal must be non-zero and perpendicular";
    const struct {
        const char* name;
        Build build;
        std::string message;
    } cases[] = {
        {"zero line", screw(0, 0, 0, 0, 1, 0, 2.5), perpendicular},
        {"zero normal", screw(0, 0, 1, 0, 0, 0, 2.5), perpendicular},
        {"not perpendicular", screw(1, 0, 0, 1, 1, 0, 2.5), perpendicular},
        {"almost perpendicular", screw(1, 0, 0, 1e-5, 1, 0, 2.5), perpendicular},
        {"b = 0", screw(0, 0, 1, 0, 1, 0, 0), "Building model error: the Burgers length must not be 0"},
        {"nu = 1", edge(1), "Building model error: the Poisson ratio must lie above -1 and at most 0.5"},
        {"nu = -1", edge(-1), "Building model error: the Poisson ratio must lie above -1 and at most 0.5"},
        {"edge not perpendicular",
         [&](QB_tools* o, std::string* m) { return QB_dislocation(1, cu.c_str(), 0, 0, 0, 0, 1, 1, 0, 1, 0, 0, 2.5, 0.3, o, m); },
         "Building model error: the line direction and the Burgers direction must be non-zero and perpendicular"},
        {"unreadable", [&](QB_tools* o, std::string* m) { return QB_dislocation(0, missing.c_str(), 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 2.5, 0, o, m); },
         "Building model error: cannot read " + missing + ": cannot open " + missing + ": No such file or directory"},
        {"empty", [&](QB_tools* o, std::string* m) { return QB_dislocation(0, empty.c_str(), 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 2.5, 0, o, m); },
         "Building model error: " + empty + " holds no atoms"},
        {"G = 0", crack(0, 1, 3, 0, 0.3), "Building model error: the shear modulus must be above 0"},
        {"crack nu", crack(0, 1, 3, 50, 0.6), "Building model error: the Poisson ratio must lie above -1 and at most 0.5"},
        {"normal along the crack", crack(2, 1, 3, 50, 0.3), "Building model error: the crack normal lies along the crack direction"},
        {"crack longer than the box", crack(0, 1, 7.3, 50, 0.3), "Building model error: the crack length lies outside the box"},
        {"negative crack", crack(0, 1, -1, 50, 0.3), "Building model error: the crack length lies outside the box"},
        {"crack direction 6", crack(6, 1, 3, 50, 0.3), "Building model error: no such direction"},
        {"tilted crack box", crack(0, 1, 1, 50, 0.3, tilted), "Building model error: not a orthogonal model"},
        {"c above 1", solute(0, 1.5, 2), "Building model error: the concentration must lie between 0 and 1"},
        {"c negative", solute(0, -0.1, 2), "Building model error: the concentration must lie between 0 and 1"},
        {"no solute", solute(0, 0.01, 2), "Building model error: 32 atoms at this concentration make no solute atom"},
        {"type 0", solute(0, 0.5, 0), "Building model error: the solute type must lie between 1 and 1000000"},
        {"cut-off 0", solute(1, 0.5, 2, 0), "Building model error: the cut-off must be above 0"},
        {"solution mode 2", solute(2, 0.5, 2), "Building model error: no such mode"},
        {"solution of nothing", solute(0, 0.5, 2, 3, empty), "Building model error: " + empty + " holds no atoms"},
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
}

// ------------------------------------------------------------- quelm-batch

TEST_F(Defects, BatchBuildsEachKind) {
    const std::string cu = file("cu.lmp", copper(3));
    BatchOutcome r = run_batch(scratch_, "build --list");
    for (const char* kind : {"\ndislocation\n", "\ncrack\n", "\nsolution\n"}) EXPECT_NE(r.out.find(kind), std::string::npos) << kind;

    r = run_batch(scratch_, "build dislocation -M_dislocation_input=" + cu +
                                " -M_dislocation_mode=1 -M_dislocation_dx=0 -M_dislocation_dz=1 -M_dislocation_bx=1"
                                " -M_dislocation_by=0 -M_dislocation_bl=2.556 -M_dislocation_miu=0.3 -o " +
                                scratch_.path("d.lmp"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("New model detected with 108 atoms and 1 type\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n3 atoms on the dislocation line left in place\n"), std::string::npos) << r.out;
    r = run_batch(scratch_, "build dislocation -M_dislocation_input=" + cu + " -o " + scratch_.path("zero.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Building model error: the Burgers length must not be 0\n");

    r = run_batch(scratch_, "build solution -M_solute_input=" + cu + " -M_solute_cont=0.25 -M_solute_seed=4 -o " +
                                scratch_.path("s.lmp"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n27 atoms converted\n"), std::string::npos) << r.out;
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, scratch_.path("s.lmp").c_str()), 1);
    EXPECT_EQ(back.ntypes, 2);
    EXPECT_EQ(std::count_if(back.atoms.begin(), back.atoms.end(), [](const atomdata& a) { return a.type == 2; }), 27);

    r = run_batch(scratch_, "build crack -M_crack_input=" + cu + " -M_crack_lenth=5 -M_crack_g=50 -M_crack_nu=0.3"
                                " -M_crack_KI=0.5 -M_crack_dirp=1 -o " + scratch_.path("c.lmp"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n0 atoms at the crack tip left in place\n"), std::string::npos) << r.out;
    r = run_batch(scratch_, "build crack -M_crack_input=" + cu + " -o " + scratch_.path("c0.lmp"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Building model error: the crack normal lies along the crack direction\n");
}

// ------------------------------------------------- fields checked with LAMMPS

// The fixtures hold copper crystals, the quelm-batch command that changes
// each and the positions an independent evaluation of the textbook field
// gives (tests/builders/oracle/check_dislocation_lammps.py and
// check_crack_lammps.py, which also check the results with LAMMPS).
TEST_F(Defects, FieldsMatchTheIndependentEvaluation) {
    const std::string dir = std::string(QUELM_TEST_DATA) + "/builders/fixtures/defects/";
    const struct {
        const char* expected;
        const char* input;
        const char* report;
    } cases[] = {
        {"edge_cu_expected.txt", "edge_cu.lmp", "0 atoms on the dislocation line left in place"},
        {"crack_cu_mode3_expected.txt", "crack_cu.lmp", "0 atoms at the crack tip left in place"},
        {"crack_cu_mode1_expected.txt", "crack_cu.lmp", "0 atoms at the crack tip left in place"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        std::ifstream in(dir + c.expected);
        ASSERT_TRUE(in.good());
        std::string command;
        std::map<int, std::array<double, 3>> expected;
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find("quelm-batch build ");
            if (line.rfind("#", 0) == 0) {
                if (at != std::string::npos) command = line.substr(at + std::string("quelm-batch ").size());
                continue;
            }
            int id = 0;
            std::array<double, 3> p{};
            if (std::sscanf(line.c_str(), "%d %lf %lf %lf", &id, &p[0], &p[1], &p[2]) == 4) expected[id] = p;
        }
        ASSERT_FALSE(command.empty());
        command.replace(command.find(c.input), std::string(c.input).size(), dir + c.input);
        command.replace(command.rfind("OUT"), 3, scratch_.path("out.lmp"));
        const BatchOutcome r = run_batch(scratch_, command);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string("\n") + c.report + "\n"), std::string::npos) << r.out;
        QB_tools original, out;
        ASSERT_EQ(QB_read_file(&original, (dir + c.input).c_str()), 1);
        ASSERT_EQ(QB_read_file(&out, scratch_.path("out.lmp").c_str()), 1);
        ASSERT_EQ(out.natoms, static_cast<int>(expected.size()));
        for (const auto& a : out.atoms) {
            const auto e = expected.find(a.id);
            ASSERT_NE(e, expected.end()) << a.id;
            EXPECT_NEAR(a.x, e->second[0], 2e-6) << a.id;
            EXPECT_NEAR(a.y, e->second[1], 2e-6) << a.id;
            EXPECT_NEAR(a.z, e->second[2], 2e-6) << a.id;
        }
        // The dislocation keeps the box; the crack refits x and y around its
        // atoms (within 0.2 A) and keeps z.
        const bool crack = std::string(c.input) == "crack_cu.lmp";
        for (int d = 0; d < 3; d++) {
            if (crack && d < 2) {
                double low = 1e300, high = -1e300;
                for (const auto& a : out.atoms) {
                    const double v = d == 0 ? a.x : a.y;
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
                EXPECT_TRUE(low - out.lo[d] >= -1e-6 && low - out.lo[d] <= 0.2 + 1e-6) << d;
                EXPECT_TRUE(out.lo[d] + out.size[d] - high >= -1e-6 && out.lo[d] + out.size[d] - high <= 0.2 + 1e-6) << d;
            } else {
                EXPECT_NEAR(out.lo[d], original.lo[d], 1e-6) << d;
                EXPECT_NEAR(out.size[d], original.size[d], 1e-6) << d;
            }
        }
    }
}

// The changed model keeps its file's element names; a new solute type has
// none until "Elements:" (M_elements) names every type.
TEST_F(Defects, ElementNamesStayAndNewTypesAreNamedByTheForm) {
    QB_tools cu = simple_cubic(4, 2.5);
    QB_save_elename(&cu, 0, "Cu");
    const std::string host = scratch_.path("cu.xyz");
    ASSERT_EQ(QB_dump_extxyz(&cu, host.c_str()), 1);
    QB_tools out;
    std::string message;
    ASSERT_EQ(QB_solute(0, host.c_str(), 0.25, 3, 2, 7, &out, &message), 1) << message;
    EXPECT_EQ(out.ntypes, 2);
    EXPECT_EQ(QB_elename_list(&out), "Cu,");
    ASSERT_EQ(QB_dislocation(0, host.c_str(), 0.5, 0.5, 0.5, 1, 0, 0, 1, 1, 0, 0, 2.5, 0.3, &out, &message), 1) << message;
    EXPECT_EQ(QB_elename_list(&out), "Cu");

    QN_store_init();
    ASSERT_EQ(QN_model_solute_defaults(), 1);
    QN_set_bit_char(QN_DEFECT_GROUP, "M_solute_input", host);
    QN_set_bit_double(QN_DEFECT_GROUP, "M_solute_cont", 0.25, 0);
    ASSERT_EQ(QN_model_solute_build(&out, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&out), "Cu,");
    QN_set_bit_char(QN_DEFECT_GROUP, "M_elements", "Cu,Zn");
    ASSERT_EQ(QN_model_solute_build(&out, message), 1) << message;
    EXPECT_EQ(QB_elename_list(&out), "Cu,Zn");
    QN_set_bit_char(QN_DEFECT_GROUP, "M_elements", "Cu,Zz");
    EXPECT_EQ(QN_model_solute_build(&out, message), -1);
    EXPECT_EQ(message, "Building model error: Elements: \"Zz\" is not an element symbol (such as Cu, Ni, O)");
    EXPECT_EQ(QB_elename_list(&out), "Cu,Zn");
    QN_store_free();
}
