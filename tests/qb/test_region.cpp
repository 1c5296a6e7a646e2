#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "qb/qb_region.h"
#include "qb/qb_tools.h"

namespace {

using V = std::array<double, 3>;
using Pred = std::function<bool(double, double, double)>;
const double kPi = std::acos(-1.0);

atomdata atom_at(double x, double y, double z) { return {1, 1, x, y, z, 0}; }

bool inside(int k, double x, double y, double z) {
    return QB_region_extract(0, atom_at(x, y, z), k) != 0;
}

// Calls f on the points o + h * (i, j, l) with i, j, l in [-n, n].
template <class F>
void for_grid(int n, double h, const V& o, F f) {
    for (int i = -n; i <= n; i++)
        for (int j = -n; j <= n; j++)
            for (int l = -n; l <= n; l++) f(o[0] + h * i, o[1] + h * j, o[2] + h * l);
}

int count_region(int k, int n, double h = 1, V o = {0, 0, 0}) {
    int c = 0;
    for_grid(n, h, o, [&](double x, double y, double z) { c += inside(k, x, y, z); });
    return c;
}

// Expects region k to agree with p on every grid point; returns the count.
int agree(int k, int n, double h, V o, const Pred& p) {
    int c = 0, wrong = 0;
    for_grid(n, h, o, [&](double x, double y, double z) {
        const bool want = p(x, y, z);
        c += want;
        wrong += inside(k, x, y, z) != want;
    });
    EXPECT_EQ(wrong, 0) << "region " << k;
    return c;
}

// Volume of region k estimated from a low-discrepancy (R3) point sequence
// over [-half, half]^3; unlike a grid it has no preferred planes.
double sample_volume(int k, double half, int n = 200000) {
    const double g = 1.2207440845665774;  // root of g^4 = g + 1
    const double step[3] = {1 / g, 1 / (g * g), 1 / (g * g * g)};
    double u[3] = {0.5, 0.5, 0.5};
    int c = 0;
    for (int m = 0; m < n; m++) {
        for (int d = 0; d < 3; d++) u[d] = std::fmod(u[d] + step[d], 1.0);
        c += inside(k, (2 * u[0] - 1) * half, (2 * u[1] - 1) * half, (2 * u[2] - 1) * half);
    }
    return 8 * half * half * half * c / n;
}

// Polyhedron about the origin (or c) with normals n1 ... n3 and distances R.
int poly(int kind, int surfaces, V n1, V n2, V n3, V R, V c = {0, 0, 0}) {
    return QB_region_polyhedron(kind, surfaces, c[0], c[1], c[2], n1[0], n1[1], n1[2], n2[0], n2[1],
                                n2[2], n3[0], n3[1], n3[2], R[0], R[1], R[2]);
}

int count_atoms(const QB_tools& s, int k) {
    int c = 0;
    for (int i = 0; i < s.natoms; i++) c += QB_region_extract(i, s.atoms[i], k) != 0;
    return c;
}

// Orthogonal box lo + [0, L]^3 with n^3 atoms at the cell centres of an n^3 grid.
QB_tools grid_box(int n, double L, double lo = 0) {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.lo[d] = s.origin[d] = lo;
        s.size[d] = s.cell[d][d] = L;
    }
    const double h = L / n;
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int l = 0; l < n; l++)
                QB_create_atom(&s, 1 + (i + j + l) % 3, lo + (i + 0.5) * h, lo + (j + 0.5) * h,
                               lo + (l + 0.5) * h);
    return s;
}

void make_triclinic(QB_tools* s, const double (&cell)[3][3], const V& origin) {
    s->triclinic = 1;
    for (int e = 0; e < 3; e++) {
        s->origin[e] = origin[e];
        for (int d = 0; d < 3; d++) s->cell[e][d] = cell[e][d];
    }
}

class Region : public ::testing::Test {
protected:
    void SetUp() override {
        QB_region_free();
        QB_region_set_invest_system(nullptr);
    }
    void TearDown() override {
        QB_region_free();
        QB_region_set_invest_system(nullptr);
    }
};

}  // namespace

TEST_F(Region, TableKeepsRecordsAtTheGlobalIndex) {
    EXPECT_EQ(QB_region_add(DEAL_ALL, VOL_BOX()), 0);
    EXPECT_EQ(VOL_BOX(), 1);
    EXPECT_EQ(QB_region_cuboid(0, 0, 0, 1, 2, 3), 1);
    EXPECT_EQ(QB_region_sphere(1, 2, 3, 2), 2);
    EXPECT_EQ(QB_region_get_sum(), 3);
    ASSERT_EQ(QB_region_sphere_sum, 3);
    ASSERT_EQ(QB_region_spheredata.size(), 3u);
    EXPECT_EQ(QB_region_cuboid_sum, 2);
    EXPECT_EQ(QB_region_spheredata[2].r, 2);
    EXPECT_EQ(QB_region_spheredata[2].cz, 3);
    EXPECT_EQ(QB_region_cuboiddata[1].y1, 2);

    EXPECT_EQ(QB_region_extract(0, atom_at(1e9, 0, 0), 0), 1);
    EXPECT_EQ(QB_region_extract(0, atom_at(1, 2, 3), 3), 0);   // past the end
    EXPECT_EQ(QB_region_extract(0, atom_at(1, 2, 3), -1), 0);  // negative
    EXPECT_TRUE(inside(2, 1, 2, 3));
    EXPECT_EQ(QB_region_get_invest(), 2);

    // Volumes: geometric for the shapes, settable for valid indices only.
    EXPECT_DOUBLE_EQ(QB_region_volume(2), 4.0 / 3 * kPi * 8);
    EXPECT_DOUBLE_EQ(QB_region_volume(1), 6);
    EXPECT_EQ(QB_region_get_invest(), 1);
    EXPECT_EQ(QB_region_vol(1, 7), 1);
    EXPECT_DOUBLE_EQ(QB_region_volume(1), 7);
    EXPECT_EQ(QB_region_vol(3, 7), QB_REFUSED);
    EXPECT_EQ(QB_region_vol(-1, 7), QB_REFUSED);

    // Editing the record in place changes the selection.
    QB_region_spheredata[2].r = 0;
    EXPECT_FALSE(inside(2, 1, 2, 3));

    // An entry without a test selects nothing.
    const int none = QB_region_add(nullptr, 1);
    EXPECT_FALSE(inside(none, 0, 0, 0));

    QB_region_logic_memory();
    EXPECT_EQ(QB_region_logic_sum, QB_region_get_sum());
    EXPECT_EQ(QB_region_math.size(), static_cast<size_t>(QB_region_get_sum()));

    // clean drops the table only; free drops everything.
    QB_region_clean();
    EXPECT_EQ(QB_region_get_sum(), 0);
    EXPECT_EQ(QB_region_sphere_sum, 3);
    EXPECT_EQ(QB_region_sphere(0, 0, 0, 1), 0);
    EXPECT_TRUE(inside(0, 0.5, 0, 0));
    QB_region_free();
    EXPECT_EQ(QB_region_get_sum(), 0);
    EXPECT_EQ(QB_region_sphere_sum, 0);
    EXPECT_EQ(QB_region_cuboid_sum, 0);
    EXPECT_TRUE(QB_region_control.empty());
    EXPECT_FALSE(inside(0, 0, 0, 0));
}

TEST_F(Region, CuboidIncludesLowerAndExcludesUpperFaces) {
    const int k = QB_region_cuboid(0, 0, 0, 2, 3, 4);
    EXPECT_TRUE(inside(k, 0, 0, 0));
    EXPECT_FALSE(inside(k, 2, 0, 0));
    EXPECT_FALSE(inside(k, 0, 3, 0));
    EXPECT_FALSE(inside(k, 0, 0, 4));
    EXPECT_TRUE(inside(k, 1.999, 2.999, 3.999));
    EXPECT_EQ(count_region(k, 6), 2 * 3 * 4);
    // An all-zero cuboid selects nothing.
    EXPECT_EQ(count_region(QB_region_cuboid(0, 0, 0, 0, 0, 0), 2), 0);
}

TEST_F(Region, RoundShapesMatchLatticeCountsAndVolumes) {
    // Sphere of radius 2: the 27 points with x^2 + y^2 + z^2 <= 3; the six
    // at distance exactly 2 are outside.
    EXPECT_EQ(count_region(QB_region_sphere(0, 0, 0, 2), 4), 27);
    EXPECT_EQ(count_region(QB_region_sphere(10, -5, 3, 2), 4, 1, {10, -5, 3}), 27);
    EXPECT_NEAR(sample_volume(QB_region_sphere(0, 0, 0, 1), 1.1), 4.0 / 3 * kPi, 0.01 * 4.2);

    // Cylinder r 2, length 4 about each axis: 9 points per section, 3 sections.
    for (int axis = 0; axis < 3; axis++) {
        const int k = QB_region_cylinder(0, 0, 0, 2, 4, axis);
        EXPECT_EQ(count_region(k, 4), 27) << axis;
        V along = {0, 0, 0}, across = {0, 0, 0};
        along[axis] = 1.9;
        across[(axis + 1) % 3] = 1.9;
        EXPECT_TRUE(inside(k, along[0], along[1], along[2]));
        EXPECT_TRUE(inside(k, across[0], across[1], across[2]));
        along[axis] = 2.1;
        EXPECT_FALSE(inside(k, along[0], along[1], along[2]));
        across[(axis + 1) % 3] = 2.1;
        EXPECT_FALSE(inside(k, across[0], across[1], across[2]));
    }
    EXPECT_EQ(count_region(QB_region_cylinder(0, 0, 0, 2, 4, 3), 4), 0);
    EXPECT_NEAR(sample_volume(QB_region_cylinder(0, 0, 0, 1, 2, 2), 1.1), 2 * kPi, 0.01 * 6.3);

    // Cone, base radius 2, height 4: sections z = 1, 2, 3 hold 9, 1, 1
    // points; base and tip are excluded. Each direction points its own way.
    for (int dir = 0; dir < 6; dir++) {
        const int k = QB_region_cone(0, 0, 0, 2, 4, dir);
        EXPECT_EQ(count_region(k, 5), 11) << dir;
        V p = {0, 0, 0};
        p[dir / 2] = dir % 2 ? -1 : 1;
        EXPECT_TRUE(inside(k, p[0], p[1], p[2])) << dir;
        EXPECT_FALSE(inside(k, -p[0], -p[1], -p[2])) << dir;
    }
    EXPECT_EQ(count_region(QB_region_cone(0, 0, 0, 2, 4, 6), 5), 0);
    EXPECT_NEAR(sample_volume(QB_region_cone(0, 0, -0.5, 1, 2, 4), 1.5), kPi * 2 / 3, 0.01 * 2.1);
    EXPECT_DOUBLE_EQ(QB_region_volume(QB_region_cone(0, 0, 0, 3, 2, 0)), kPi * 9 * 2 / 3);
}

TEST_F(Region, SlabAndHalfSpace) {
    // Width 0: the open half-space x > 10.
    const int half = QB_region_plane(1, 0, 0, 10, 3, -7, 0);
    EXPECT_DOUBLE_EQ(QB_region_planedata[half].d, 10);
    EXPECT_FALSE(inside(half, 10, 0, 0));
    EXPECT_TRUE(inside(half, 10.001, 50, 50));
    EXPECT_EQ(count_region(half, 2, 1, {10, 0, 0}), 2 * 25);
    // Width 2 about x = 10: x in {9, 10, 11}.
    const int slab = QB_region_plane(1, 0, 0, 10, 0, 0, 2);
    EXPECT_EQ(count_region(slab, 3, 1, {10, 0, 0}), 3 * 49);
    // The half-space lies on the normal's side.
    const int down = QB_region_plane(0, 0, -1, 0, 0, 5, 0);
    EXPECT_TRUE(inside(down, 0, 0, 4));
    EXPECT_FALSE(inside(down, 0, 0, 6));
}

TEST_F(Region, PrismSectionsAndAxes) {
    // Square of apothem 1.5, length 2: 3 x 3 points on 3 layers.
    EXPECT_EQ(count_region(QB_region_prism(0, 0, 0, 1.5, 2, 4, 2), 4), 27);
    // The axial bounds are inclusive.
    const int sq = QB_region_prism(0, 0, 0, 1.5, 2, 4, 0);
    EXPECT_TRUE(inside(sq, 1, 0, 0));
    EXPECT_FALSE(inside(sq, 1.001, 0, 0));
    // Hexagon: area 2 sqrt(3) r^2.
    EXPECT_NEAR(sample_volume(QB_region_prism(0, 0, 0, 1, 2, 6, 2), 1.2), 4 * std::sqrt(3.0),
                0.01 * 6.9);
    // Triangle of apothem 1: the first face faces +u, the opposite vertex is
    // at u = -2; the faces at 120 and 240 degrees cut the v axis at 2/sqrt(3).
    // (u, v) is (y, z) about x, (x, z) about y and (x, y) about z.
    int about[3];
    for (int a = 0; a < 3; a++) about[a] = QB_region_prism(0, 0, 0, 1, 2, 3, a);
    const int u_of[3] = {1, 0, 0}, v_of[3] = {2, 2, 1};
    for (int a = 0; a < 3; a++) {
        auto at = [&](double u, double v) {
            V p = {0, 0, 0};
            p[u_of[a]] = u;
            p[v_of[a]] = v;
            return inside(about[a], p[0], p[1], p[2]);
        };
        EXPECT_TRUE(at(-1.9, 0)) << a;
        EXPECT_FALSE(at(1.1, 0)) << a;
        EXPECT_TRUE(at(0, 1.1)) << a;
        EXPECT_FALSE(at(0, 1.2)) << a;
        EXPECT_FALSE(at(0, -1.2)) << a;
    }
    // No sides: the whole slab; an unknown axis: everything.
    const int slab = QB_region_prism(0, 0, 0, 1, 2, 0, 2);
    EXPECT_TRUE(inside(slab, 100, -100, 0.5));
    EXPECT_FALSE(inside(slab, 0, 0, 1.5));
    EXPECT_TRUE(inside(QB_region_prism(0, 0, 0, 1, 2, 3, 5), 100, 100, 100));
}

TEST_F(Region, SymmetricPolyhedraAreOctahedraCubesAndTheirIntersections) {
    const double s3 = std::sqrt(3.0);
    // |x| + |y| + |z| <= 3 holds (2n + 1)(2n^2 + 2n + 3) / 3 = 63 points for n = 3.
    const int octa = poly(0, 0, {1, 1, 1}, {0, 0, 1}, {0, 0, 1}, {3.5 / s3, 0, 0});
    EXPECT_EQ(count_region(octa, 5), 63);
    EXPECT_EQ(count_region(poly(0, 0, {2, 2, 2}, {0, 0, 0}, {0, 0, 0}, {3.5 / s3, 0, 0}), 5), 63);
    EXPECT_EQ(count_region(poly(4, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {3.5 / s3, 0, 0}), 5), 63);
    // Cubes of half-edge 2.5: 5^3 points.
    EXPECT_EQ(count_region(poly(1, 0, {1, 0, 0}, {0, 0, 1}, {0, 0, 1}, {2.5, 0, 0}), 4), 125);
    EXPECT_EQ(count_region(poly(1, 0, {0, 3, 0}, {0, 0, 1}, {0, 0, 1}, {2.5, 0, 0}), 4), 125);
    const int cube = poly(3, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {2.5, 0, 0}, {7, 7, 7});
    EXPECT_EQ(count_region(cube, 4, 1, {7, 7, 7}), 125);
    // The form edits the record in place: the cube shrinks.
    QB_region_polyhedrondata[cube].R1 = 1.5;
    EXPECT_EQ(count_region(cube, 4, 1, {7, 7, 7}), 27);
    // Two mirror surfaces: the slab |x| <= 2.5 (a mirror normal is not
    // permuted) cut by the octahedron.
    const int both = poly(0, 1, {1, 0, 0}, {1, 1, 1}, {0, 0, 1}, {2.5, 3.5 / s3, 0});
    const int n = agree(both, 5, 1, {0, 0, 0}, [](double x, double y, double z) {
        return std::fabs(x) <= 2.5 && std::fabs(x) + std::fabs(y) + std::fabs(z) <= 3.5;
    });
    EXPECT_EQ(n, 63 - 2);  // the vertices (+-3, 0, 0) are cut off
    // Three axial surfaces: cubes of half-edge 2.5 and 9 and the octahedron;
    // the octahedron's six vertices leave the small cube.
    const int three = poly(1, 2, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}, {2.5, 9, 3.5 / s3});
    EXPECT_EQ(count_region(three, 4), 63 - 6);
    // The form's defaults (radius 0) and unknown modes select nothing.
    EXPECT_EQ(count_region(poly(0, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 0}), 2), 0);
    EXPECT_EQ(count_region(poly(9, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {2, 2, 2}), 2), 0);
    // A surface count out of range is held to 1 ... 3 normals.
    EXPECT_EQ(count_region(poly(1, 7, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {2.5, 2.5, 2.5}), 4), 125);
}

TEST_F(Region, RegularSolidsHaveTheirVolumeAndRadii) {
    // Inradius 1; circumradius / inradius and volume from the edge a.
    const double s5 = std::sqrt(5.0);
    const double a_dod = 2 / std::sqrt((25 + 11 * s5) / 10);
    const double a_ico = 12 / (std::sqrt(3.0) * (3 + s5));
    struct Solid {
        int kind;
        double circum, volume;
    } solids[] = {
        {2, 3, 8 * std::sqrt(3.0)},
        {3, std::sqrt(3.0), 8},
        {4, std::sqrt(3.0), 4 * std::sqrt(3.0)},
        {5, a_dod * std::sqrt(3.0) / 4 * (1 + s5), (15 + 7 * s5) / 4 * std::pow(a_dod, 3)},
        {6, a_ico / 4 * std::sqrt(10 + 2 * s5), 5.0 / 12 * (3 + s5) * std::pow(a_ico, 3)},
    };
    for (const Solid& s : solids) {
        const int k = poly(s.kind, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {1, 0, 0});
        EXPECT_TRUE(inside(k, 0, 0, 0)) << s.kind;
        EXPECT_NEAR(sample_volume(k, s.circum * 1.02), s.volume, 0.01 * s.volume) << s.kind;
        // Directions spread over the sphere.
        for (int m = 0; m < 200; m++) {
            const double z = 1 - (m + 0.5) / 100, r = std::sqrt(1 - z * z), phi = m * 2.399963;
            const V d = {r * std::cos(phi), r * std::sin(phi), z};
            EXPECT_TRUE(inside(k, 0.999 * d[0], 0.999 * d[1], 0.999 * d[2])) << s.kind << " " << m;
            const double f = 1.001 * s.circum;
            EXPECT_FALSE(inside(k, f * d[0], f * d[1], f * d[2])) << s.kind << " " << m;
        }
    }
    // An icosahedron away from the origin keeps its centre.
    const int ico = poly(6, 0, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0.5, 0, 0}, {5, -3, 2});
    EXPECT_TRUE(inside(ico, 5, -3, 2));
    EXPECT_FALSE(inside(ico, 5, -3, 2.7));
}

TEST_F(Region, LogicCombinationsFollowSetAlgebra) {
    // On the 8^3 points 0 ... 7: |A| = |B| = 64, |A and B| = 32.
    const int A = QB_region_cuboid(0, 0, 0, 4, 4, 4);
    const int B = QB_region_cuboid(2, 0, 0, 6, 4, 4);
    auto count = [](int k) {
        int c = 0;
        for (int i = 0; i < 8; i++)
            for (int j = 0; j < 8; j++)
                for (int l = 0; l < 8; l++) c += inside(k, i, j, l);
        return c;
    };
    const int N = 512, a = 64, b = 64, ab = 32;
    const double vol = VOL_BOX();
    EXPECT_EQ(count(QB_region_and(A, B, vol)), ab);
    EXPECT_EQ(count(QB_region_or(A, B, vol)), a + b - ab);
    EXPECT_EQ(count(QB_region_comple(A, B, vol)), a + b - 2 * ab);
    EXPECT_EQ(count(QB_region_neither(A, B, vol)), N - (a + b - ab));
    const int notA = QB_region_not(A, vol);
    EXPECT_EQ(count(notA), N - a);
    EXPECT_EQ(QB_region_get_invest(), notA);
    EXPECT_EQ(QB_region_math[notA].operation, 5);
    EXPECT_EQ(count(QB_region_comple(A, A, vol)), 0);
    EXPECT_EQ(count(QB_region_and(notA, A, vol)), 0);

    // Operands that do not exist are outside.
    EXPECT_EQ(count(QB_region_not(99, vol)), N);
    EXPECT_EQ(count(QB_region_and(A, 99, vol)), 0);
    EXPECT_EQ(count(QB_region_or(A, 99, vol)), a);
    EXPECT_EQ(count(QB_region_neither(A, 99, vol)), N - a);
    EXPECT_EQ(count(QB_region_comple(99, B, vol)), b);

    // An operand named before it exists counts once it is created.
    const int later = QB_region_and(A, QB_region_get_sum() + 1, vol);
    EXPECT_EQ(count(later), 0);
    EXPECT_EQ(QB_region_cuboid(2, 0, 0, 6, 4, 4), QB_region_math[later].b);
    EXPECT_EQ(count(later), ab);

    // Negative operands are refused, or count as missing when set in place.
    const int before = QB_region_get_sum();
    EXPECT_EQ(QB_region_and(-1, A, vol), QB_REFUSED);
    EXPECT_EQ(QB_region_not(-2, vol), QB_REFUSED);
    EXPECT_EQ(QB_region_get_sum(), before);
    QB_region_math[notA].a = -5;
    EXPECT_EQ(count(notA), N);
    QB_region_math[later].a = -5;
    EXPECT_EQ(count(later), 0);
}

TEST_F(Region, DeformMapsTheOperandByTheMatrix) {
    double M[3][3] = {{1, 2, 0}, {0, 1, 3}, {4, 0, 1}}, T[3][3];
    ASSERT_EQ(QB_region_matrix_reverse(M, T), 1);
    // T is the transpose of the inverse: M * T^t = I.
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            EXPECT_NEAR(M[i][0] * T[j][0] + M[i][1] * T[j][1] + M[i][2] * T[j][2], i == j, 1e-12);
    double S[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 0, 1}};
    EXPECT_EQ(QB_region_matrix_reverse(S, T), 0);

    // A sphere stretched by 2 along x about its centre: an ellipsoid.
    const int ball = QB_region_sphere(1, 2, 3, 3);
    const int ell = QB_region_deform(ball, 1, 2, 3, 2, 0, 0, 0, 1, 0, 0, 0, 1);
    const int n = agree(ell, 7, 1, {1, 2, 3}, [](double x, double y, double z) {
        return (x - 1) * (x - 1) / 4 + (y - 2) * (y - 2) + (z - 3) * (z - 3) < 9;
    });
    EXPECT_GT(n, count_region(ball, 7, 1, {1, 2, 3}));
    EXPECT_DOUBLE_EQ(QB_region_volume(ell), QB_region_volume(ball));

    // A shear x' = x + y of the cube [0, 3)^3: 0 <= x - y < 3.
    const int cube = QB_region_cuboid(0, 0, 0, 3, 3, 3);
    const int shear = QB_region_deform(cube, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_EQ(agree(shear, 14, 0.5, {0.25, 0.25, 0.25},
                    [](double x, double y, double z) {
                        return 0 <= x - y && x - y < 3 && 0 <= y && y < 3 && 0 <= z && z < 3;
                    }),
              6 * 6 * 6);
    // Singular matrices select nothing.
    EXPECT_EQ(count_region(QB_region_deform(cube, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0), 4), 0);
    // An operand created later.
    const int fwd = QB_region_deform(QB_region_get_sum() + 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_FALSE(inside(fwd, 0, 0, 0));
    QB_region_sphere(0, 0, 0, 1);
    EXPECT_TRUE(inside(fwd, 0, 0, 0));
    EXPECT_EQ(QB_region_deform(-1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1), QB_REFUSED);
}

TEST_F(Region, RotateTurnsTheOperandRightHanded) {
    // The cuboid [0, 4) x [0, 2) x [0, 1) turned by 90 degrees about z
    // through its centre (2, 1, 0.5) covers [1, 3) x [-1, 3) in x, y.
    const int box = QB_region_cuboid(0, 0, 0, 4, 2, 1);
    const int turned = QB_region_rotate(box, 2, 1, 0.5, 0, 0, 1, 90);
    EXPECT_EQ(agree(turned, 12, 0.5, {2.25, 1.25, 0.25},
                    [](double x, double y, double z) {
                        return std::fabs(x - 2) < 1 && std::fabs(y - 1) < 2 && 0 < z && z < 1;
                    }),
              4 * 8 * 2);
    EXPECT_NEAR(QB_region_rotatedata[turned].cos_angle, 0, 1e-15);
    EXPECT_DOUBLE_EQ(QB_region_rotatedata[turned].sin_angle, 1);

    // Right-hand sense: +90 degrees about +z takes +x to +y.
    const int ball = QB_region_sphere(3, 0, 0, 0.5);
    for (const V axis : {V{0, 0, 1}, V{0, 0, 2.5}}) {
        const int k = QB_region_rotate(ball, 0, 0, 0, axis[0], axis[1], axis[2], 90);
        EXPECT_TRUE(inside(k, 0, 3, 0));
        EXPECT_FALSE(inside(k, 0, -3, 0));
        EXPECT_FALSE(inside(k, 3, 0, 0));
    }
    const int about_x = QB_region_rotate(ball, 0, 0, 0, 1, 0, 0, 90);
    EXPECT_TRUE(inside(about_x, 3, 0, 0));
    const int about_y = QB_region_rotate(ball, 0, 0, 0, 0, 1, 0, 90);  // +x goes to -z
    EXPECT_TRUE(inside(about_y, 0, 0, -3));
    EXPECT_FALSE(inside(QB_region_rotate(ball, 0, 0, 0, 0, 0, 0, 90), 3, 0, 0));

    // Operands that do not exist are refused with a remark.
    const int before = QB_region_get_sum();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_region_rotate(before, 0, 0, 0, 0, 0, 1, 10), QB_REFUSED);
    EXPECT_EQ(QB_region_rotate(-1, 0, 0, 0, 0, 0, 1, 10), QB_REFUSED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Create region failed: dealing with empty region\n"
              "Create region failed: dealing with empty region\n");
    EXPECT_EQ(QB_region_get_sum(), before);
}

TEST_F(Region, MoveInLengthAndBoxUnits) {
    const int ball = QB_region_sphere(0, 0, 0, 1);
    const int moved = QB_region_move(ball, 0, 5, 0, 0);
    EXPECT_TRUE(inside(moved, 5.5, 0, 0));
    EXPECT_FALSE(inside(moved, 0, 0, 0));

    const int half = QB_region_move(ball, 1, 0.5, 0.25, 0);
    EXPECT_FALSE(inside(half, 5, 5, 0));  // box units need a system
    QB_tools s = grid_box(2, 10);
    s.size[1] = 20;
    QB_region_set_invest_system(&s);
    EXPECT_TRUE(inside(half, 5, 5, 0));
    EXPECT_FALSE(inside(half, 0, 0, 0));

    const double cell[3][3] = {{10, 0, 0}, {5, 10, 0}, {0, 0, 10}};
    make_triclinic(&s, cell, {0, 0, 0});
    const int by_b = QB_region_move(ball, 1, 0, 1, 0);
    const int by_all = QB_region_move(ball, 1, 1, 1, 1);
    EXPECT_TRUE(inside(by_b, 5, 10, 0));
    EXPECT_FALSE(inside(by_b, 0, 10, 0));
    EXPECT_TRUE(inside(by_all, 15, 10, 10));

    const int before = QB_region_get_sum();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_region_move(before, 0, 1, 1, 1), QB_REFUSED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Create region failed: dealing with empty region\n");
    EXPECT_EQ(QB_region_get_sum(), before);
}

TEST_F(Region, PeriodicImagesReachEveryCorner) {
    QB_tools s = grid_box(10, 10);  // atoms at 0.5 ... 9.5
    const int corner = QB_region_sphere(0, 0, 0, 2);
    const int images = QB_region_periodic(corner);
    EXPECT_EQ(count_atoms(s, images), 0);  // needs the system
    QB_region_set_invest_system(&s);
    // Near each corner: the offsets (0.5, 0.5, 0.5) and the three (1.5, 0.5, 0.5).
    EXPECT_EQ(count_atoms(s, corner), 4);
    EXPECT_EQ(count_atoms(s, images), 32);
    for (double x : {0.5, 9.5})
        for (double y : {0.5, 9.5})
            for (double z : {0.5, 9.5}) EXPECT_TRUE(inside(images, x, y, z));
    EXPECT_FALSE(inside(images, 5, 5, 5));
    EXPECT_DOUBLE_EQ(QB_region_volume(images), QB_region_volume(corner));

    // Triclinic: the images follow the cell vectors.
    const double cell[3][3] = {{10, 0, 0}, {4, 10, 0}, {0, 0, 10}};
    make_triclinic(&s, cell, {0, 0, 0});
    const int small = QB_region_periodic(QB_region_sphere(0, 0, 0, 1));
    EXPECT_TRUE(inside(small, 13.7, 9.7, 9.7));   // near a + b + c = (14, 10, 10)
    EXPECT_TRUE(inside(small, 4.3, 9.8, 0));      // near b
    EXPECT_FALSE(inside(small, 0.3, 9.8, 0));     // near (0, 10, 0), no image there
    EXPECT_EQ(QB_region_periodic(QB_region_get_sum()), QB_REFUSED);
    EXPECT_EQ(QB_region_periodic(-1), QB_REFUSED);
}

TEST_F(Region, BoxRegionTestsTheQueryPoint) {
    const int box = QB_region_inbox();
    QB_tools s = grid_box(2, 4, -1);  // [-1, 3]^3
    EXPECT_FALSE(inside(box, 1, 1, 1));  // no system
    QB_region_set_invest_system(&s);
    s.size[1] = 5;
    s.size[2] = 6;
    EXPECT_EQ(agree(box, 8, 0.5, {1, 1.5, 2},
                    [](double x, double y, double z) {
                        return -1 <= x && x <= 3 && -1 <= y && y <= 4 && -1 <= z && z <= 5;
                    }),
              9 * 11 * 13);  // both faces included
    // The query point counts, not the investigated system's record.
    EXPECT_FALSE(QB_region_extract(0, atom_at(50, 0, 0), box));
    EXPECT_EQ(count_atoms(s, box), 8);

    // Moved and rotated box regions follow their transform.
    const int moved = QB_region_move(box, 0, 100, 0, 0);
    EXPECT_TRUE(inside(moved, 101, 1, 1));
    EXPECT_FALSE(inside(moved, 1, 1, 1));
    const int flipped = QB_region_rotate(box, 0, 0, 0, 0, 0, 1, 180);
    EXPECT_TRUE(inside(flipped, -2.5, -3.5, 1));
    EXPECT_FALSE(inside(flipped, 2.5, 3.5, 1));
    const int in_box_units = QB_region_move(box, 1, 1, 0, 0);
    EXPECT_TRUE(inside(in_box_units, 5, 0, 0));
    EXPECT_FALSE(inside(in_box_units, 2, 0, 0));

    // Triclinic: lower faces in, upper faces out. Fractions i / 8 for
    // i = -2 ... 9: the 8^3 with 0 <= i < 8 are inside.
    const double cell[3][3] = {{10, 0, 0}, {5, 10, 0}, {2, 3, 10}};
    const V o = {1, 1, 1};
    make_triclinic(&s, cell, o);
    int c = 0, want = 0;
    for (int i = -2; i <= 9; i++)
        for (int j = -2; j <= 9; j++)
            for (int l = -2; l <= 9; l++) {
                const double f[3] = {i / 8.0, j / 8.0, l / 8.0};
                V p = o;
                for (int d = 0; d < 3; d++)
                    for (int e = 0; e < 3; e++) p[d] += f[e] * cell[e][d];
                c += inside(box, p[0], p[1], p[2]);
                want += i >= 0 && i < 8 && j >= 0 && j < 8 && l >= 0 && l < 8;
            }
    EXPECT_EQ(c, want);
    EXPECT_EQ(want, 512);
    // Left-handed cells get their normals turned inward.
    const double left[3][3] = {{10, 0, 0}, {0, 0, 10}, {0, 10, 0}};
    make_triclinic(&s, left, {0, 0, 0});
    EXPECT_TRUE(inside(box, 5, 5, 5));
    EXPECT_FALSE(inside(box, 5, 5, 10));
}

TEST_F(Region, ExpressionSelectsBySlotValue) {
    QB_tools s = grid_box(4, 8);  // types 1 + (i + j + l) % 3
    int type2 = 0;
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++)
            for (int l = 0; l < 4; l++) type2 += (i + j + l) % 3 == 1;
    ASSERT_EQ(QB_add_exdouble(&s, "charge"), 1);
    for (int i = 0; i < s.natoms; i++) QB_save_data(&s, i, "charge", i < 10 ? 1.5 : -1);

    const int by_type = QB_region_expression("type", 2, 2);
    EXPECT_EQ(QB_region_expressiondata[by_type].name, "type");
    EXPECT_EQ(count_atoms(s, by_type), 0);  // needs the system
    QB_region_set_invest_system(&s);
    EXPECT_EQ(count_atoms(s, by_type), type2);
    EXPECT_EQ(count_atoms(s, QB_region_expression("charge", 1, 2)), 10);
    EXPECT_EQ(count_atoms(s, QB_region_expression("x", 0, 2)), 16);  // first layer at x = 1
    // An unknown name reads 0.
    EXPECT_EQ(count_atoms(s, QB_region_expression("nothing", 0, 0)), s.natoms);
    EXPECT_EQ(count_atoms(s, QB_region_expression("nothing", 1, 2)), 0);
    // Positions come from the tested point: a moved x range follows the move.
    const int xr = QB_region_expression("x", 0, 2);
    const int moved = QB_region_move(xr, 0, 4, 0, 0);
    EXPECT_EQ(count_atoms(s, moved), 16);
    EXPECT_TRUE(QB_region_extract(0, s.atoms[0], xr));
    EXPECT_FALSE(QB_region_extract(0, s.atoms[0], moved));
    QB_region_set_invest_system(nullptr);
    EXPECT_EQ(QB_invest_system_flag, 0);
}

TEST_F(Region, CyclesOfOperandsAnswerOutside) {
    QB_region_add(DEAL_ALL, VOL_BOX());
    // 1 = not 2, named before 2 exists: everything; then 2 = not 1 closes a cycle.
    const int n1 = QB_region_not(2, 1);
    EXPECT_TRUE(inside(n1, 0, 0, 0));
    const int n2 = QB_region_not(n1, 1);
    EXPECT_FALSE(inside(n1, 0, 0, 0));
    EXPECT_FALSE(inside(n2, 0, 0, 0));
    // And-cycle through a forward reference.
    const int a1 = QB_region_and(0, QB_region_get_sum() + 1, 1);
    const int a2 = QB_region_and(0, a1, 1);
    EXPECT_FALSE(inside(a1, 1, 1, 1));
    EXPECT_FALSE(inside(a2, 1, 1, 1));
    // A deform region naming itself.
    const int self = QB_region_deform(QB_region_get_sum(), 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_FALSE(inside(self, 0, 0, 0));
    // Rotate, move and periodic regions whose operand is set in place to a
    // later region that refers back.
    QB_tools s = grid_box(2, 10);
    QB_region_set_invest_system(&s);
    const int rot = QB_region_rotate(0, 0, 0, 0, 0, 0, 1, 30);
    const int mov = QB_region_move(rot, 1, 0.1, 0, 0);
    const int per = QB_region_periodic(mov);
    const int top = QB_region_or(per, 0, 1);
    EXPECT_TRUE(inside(top, 1, 1, 1));
    QB_region_rotatedata[rot].k = top;
    EXPECT_FALSE(inside(top, 1, 1, 1));
    EXPECT_FALSE(inside(rot, 1, 1, 1));
    EXPECT_EQ(count_atoms(s, per), 0);
    // Regions outside the cycle still work, and evaluation state is clean.
    EXPECT_TRUE(inside(0, 1, 1, 1));
    const int ball = QB_region_sphere(0, 0, 0, 1);
    EXPECT_TRUE(inside(QB_region_or(ball, ball, 1), 0.5, 0, 0));

    // Long acyclic chains and shared operands are not cycles.
    int k = QB_region_sphere(0, 0, 0, 1);
    for (int m = 0; m < 2000; m++) k = QB_region_not(k, 1);
    EXPECT_TRUE(inside(k, 0, 0, 0));
    EXPECT_FALSE(inside(k, 2, 0, 0));
    const int shared = QB_region_and(QB_region_or(ball, ball, 1), QB_region_or(ball, ball, 1), 1);
    EXPECT_TRUE(inside(QB_region_periodic(shared), 9.5, 0, 0));
}
