#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "qb/qb_lattice.h"
#include "qb/qb_tools.h"
#include "test_support.h"
#include "view/view_core.h"
#include "view/view_image.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Orthogonal box lo + [0, size] with type-1 atoms at the given positions.
QB_tools make_box(std::array<double, 3> lo, std::array<double, 3> size,
                  const std::vector<std::array<double, 3>>& pos = {}) {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.lo[d] = s.origin[d] = lo[d];
        s.size[d] = size[d];
        s.cell[d][d] = size[d];
    }
    for (const auto& p : pos) QB_create_atom(&s, 1, p[0], p[1], p[2]);
    return s;
}

// One double column "v" with the given values.
void add_column(QB_tools* s, const char* name, const std::vector<double>& v) {
    ASSERT_EQ(QB_add_exdouble(s, name), 1);
    for (size_t i = 0; i < v.size(); i++) QB_save_data(s, static_cast<int>(i), name, v[i]);
}

std::array<float, 7> vertex(const std::vector<float>& buf, int k) {
    std::array<float, 7> v;
    for (int f = 0; f < 7; f++) v[f] = buf[7 * static_cast<size_t>(k) + f];
    return v;
}

// Matrix (column-major) times (x, y, z, 1), divided by w.
std::array<double, 3> project(const QN_mat4& m, double x, double y, double z) {
    double r[4];
    for (int row = 0; row < 4; row++)
        r[row] = m[row] * x + m[4 + row] * y + m[8 + row] * z + m[12 + row];
    return {r[0] / r[3], r[1] / r[3], r[2] / r[3]};
}

const std::vector<double> kNoRadius;
const QN_slice_outline kNoOutline;

}  // namespace

// ---- Render data ----------------------------------------------------------

TEST(RenderData, LayoutCentringHiddenAtomsAndDrawnIndexMap) {
    QB_tools s = make_box({1, 2, 3}, {10, 20, 30},
                          {{1, 2, 3}, {6, 12, 18}, {11, 22, 33}, {2, 4, 6}});
    QB_delete_atom(&s, 1);
    std::vector<float> buf;
    QN_render_info info = QN_render_build_bar(&s, 1, -1, 5, kNoRadius, kNoOutline, buf);
    ASSERT_EQ(info.drawn, 3);
    ASSERT_EQ(buf.size(), 7u * (3 + 54));
    // Box centre (6, 12, 18).
    auto a0 = vertex(buf, 0), a1 = vertex(buf, 1), a2 = vertex(buf, 2);
    EXPECT_FLOAT_EQ(a0[0], -5);
    EXPECT_FLOAT_EQ(a0[1], -10);
    EXPECT_FLOAT_EQ(a0[2], -15);
    EXPECT_FLOAT_EQ(a1[0], 5);  // atom 2 (index 2), since index 1 is hidden
    EXPECT_FLOAT_EQ(a1[2], 15);
    EXPECT_FLOAT_EQ(a2[0], -4);
    EXPECT_FLOAT_EQ(a2[1], -8);
    EXPECT_FLOAT_EQ(a0[6], 1.0f);  // no radius table
    // Drawn index -> atom index.
    EXPECT_EQ(s.atoms[0].scratch, 0);
    EXPECT_EQ(s.atoms[1].scratch, 2);
    EXPECT_EQ(s.atoms[2].scratch, 3);

    // Axis triad after the 24 box vertices.
    const int axis = 3 + 24;
    const float expect_axes[6][3] = {{0, 0, 0}, {0.2f, 0, 0}, {0, 0, 0},
                                     {0, 0.2f, 0}, {0, 0, 0}, {0, 0, 0.2f}};
    for (int k = 0; k < 6; k++)
        for (int d = 0; d < 3; d++) EXPECT_FLOAT_EQ(vertex(buf, axis + k)[d], expect_axes[k][d]);
}

TEST(RenderData, OutlinePointsFollowTheAxes) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10}, {{1, 1, 1}});
    QN_slice_outline o;
    o.slice_count[0] = 2;
    o.slice_points[0][0] = 1.5;
    o.slice_points[1][1] = -2.5;
    o.slice_points[23][2] = 7;
    std::vector<float> buf;
    QN_render_build_bar(&s, 1, -1, 5, kNoRadius, o, buf);
    ASSERT_EQ(buf.size(), 7u * 55);
    const int first = 1 + 24 + 6;
    EXPECT_FLOAT_EQ(vertex(buf, first)[0], 1.5f);
    EXPECT_FLOAT_EQ(vertex(buf, first + 1)[1], -2.5f);
    EXPECT_FLOAT_EQ(vertex(buf, first + 23)[2], 7.0f);
}

TEST(RenderData, EmptyModelHoldsOnlyTheFixedVertices) {
    QB_tools s = make_box({0, 0, 0}, {4, 4, 4});
    std::vector<float> buf(5, 1.0f);
    QN_render_info info = QN_render_build_bar(&s, 1, 0, 1, kNoRadius, kNoOutline, buf);
    EXPECT_EQ(info.drawn, 0);
    EXPECT_EQ(buf.size(), 7u * 54);
}

TEST(BarColour, IndexRoundsToTheNearestOf64StepsAndClamps) {
    // [0, 1]: index = round(64 v).
    EXPECT_EQ(QN_render_bar_index(0.0, 0, 1), 0);
    EXPECT_EQ(QN_render_bar_index(0.0078, 0, 1), 0);      // 0.4992 -> 0
    EXPECT_EQ(QN_render_bar_index(1.0 / 128, 0, 1), 1);   // exactly half a step
    EXPECT_EQ(QN_render_bar_index(0.5, 0, 1), 32);
    EXPECT_EQ(QN_render_bar_index(62.4 / 64, 0, 1), 62);
    EXPECT_EQ(QN_render_bar_index(62.5 / 64, 0, 1), 63);
    EXPECT_EQ(QN_render_bar_index(1.0, 0, 1), 63);        // 64 clamps to 63
    EXPECT_EQ(QN_render_bar_index(1e6, 0, 1), 63);
    EXPECT_EQ(QN_render_bar_index(-0.005, 0, 1), 0);      // -0.32 + 0.5 -> 0
    EXPECT_EQ(QN_render_bar_index(-3, 0, 1), 0);
    // Shifted range [-1, 5]: type 2 sits at 3/6 of it.
    EXPECT_EQ(QN_render_bar_index(2, -1, 5), 32);
    EXPECT_EQ(QN_render_bar_index(1, -1, 5), 21);         // 21.33 + 0.5
    // A reversed range still lands in 0 ... 63.
    EXPECT_EQ(QN_render_bar_index(0.25, 1, 0), 48);
    EXPECT_EQ(QN_render_bar_index(2, 1, 0), 0);
}

TEST(BarColour, ConstantAndNonFiniteValuesGiveIndexZero) {
    EXPECT_EQ(QN_render_bar_index(2, 2, 2), 0);
    EXPECT_EQ(QN_render_bar_index(7, 2, 2), 0);
    EXPECT_EQ(QN_render_bar_index(kNaN, 0, 1), 0);
    EXPECT_EQ(QN_render_bar_index(kInf, 0, 1), 0);
    EXPECT_EQ(QN_render_bar_index(-kInf, 0, 1), 0);
    EXPECT_EQ(QN_render_bar_index(0.5, kNaN, 1), 0);
    EXPECT_EQ(QN_render_bar_index(0.5, 0, kInf), 0);
    // Finite but far beyond single precision.
    EXPECT_EQ(QN_render_bar_index(1e300, 0, 1), 63);
    EXPECT_EQ(QN_render_bar_index(-1e300, 0, 1), 0);
}

TEST(BarColour, CellColumnAndRowInTheColourFields) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10}, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}});
    add_column(&s, "v", {13, 63, kNaN, 5});
    const int slot = QB_slot_get(&s, "v");
    std::vector<float> buf;
    QN_render_build_bar(&s, slot, 0, 64, kNoRadius, kNoOutline, buf);
    // 13 = row 1, column 5.
    EXPECT_FLOAT_EQ(vertex(buf, 0)[3], 0.625f);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[4], 0.125f);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[5], 1.0f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[3], 0.875f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[4], 0.875f);
    EXPECT_FLOAT_EQ(vertex(buf, 2)[3], 0.0f);  // NaN -> cell 0
    EXPECT_FLOAT_EQ(vertex(buf, 2)[4], 0.0f);
    // A constant range colours every atom with cell 0.
    QN_render_build_bar(&s, slot, 5, 5, kNoRadius, kNoOutline, buf);
    for (int k = 0; k < 4; k++) {
        EXPECT_FLOAT_EQ(vertex(buf, k)[3], 0.0f);
        EXPECT_FLOAT_EQ(vertex(buf, k)[4], 0.0f);
    }
}

TEST(RgbColour, ThreeColumnsAreCopiedAndNonFiniteBecomesZero) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10}, {{1, 1, 1}, {2, 2, 2}});
    add_column(&s, "r", {0.25, kInf});
    add_column(&s, "g", {0.5, 1});
    add_column(&s, "b", {1, kNaN});
    std::vector<float> buf;
    QN_render_info info =
        QN_render_build_col(&s, QB_slot_get(&s, "r"), QB_slot_get(&s, "g"), QB_slot_get(&s, "b"),
                            kNoRadius, kNoOutline, buf);
    ASSERT_EQ(info.drawn, 2);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[3], 0.25f);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[4], 0.5f);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[5], 1.0f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[3], 0.0f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[4], 1.0f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[5], 0.0f);
}

TEST(RenderData, RelativeRadiusByTypeClampedToTheTable) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    QB_create_atom(&s, 1, 1, 1, 1);
    QB_create_atom(&s, 2, 1, 1, 1);
    QB_create_atom(&s, 5, 1, 1, 1);
    QB_create_atom(&s, 0, 1, 1, 1);
    QB_create_atom(&s, -7, 1, 1, 1);
    std::vector<float> buf;
    QN_render_build_bar(&s, 1, -1, 5, {0.5, 2.0}, kNoOutline, buf);
    EXPECT_FLOAT_EQ(vertex(buf, 0)[6], 0.5f);
    EXPECT_FLOAT_EQ(vertex(buf, 1)[6], 2.0f);
    EXPECT_FLOAT_EQ(vertex(buf, 2)[6], 2.0f);  // type 5 -> last entry
    EXPECT_FLOAT_EQ(vertex(buf, 3)[6], 0.5f);  // type 0 -> first entry
    EXPECT_FLOAT_EQ(vertex(buf, 4)[6], 0.5f);
    EXPECT_DOUBLE_EQ(QN_render_rel_radius(3, {}), 1.0);
    EXPECT_DOUBLE_EQ(QN_render_rel_radius(std::numeric_limits<int>::min(), {3.0}), 3.0);
}

// ---- Box edges and depth ---------------------------------------------------

namespace {

using Edge = std::pair<std::array<long, 3>, std::array<long, 3>>;

// Edges as rounded, ordered end-point pairs (units of 1e-6).
std::multiset<Edge> edge_set(const std::array<double, 72>& e) {
    std::multiset<Edge> out;
    for (int k = 0; k < 12; k++) {
        std::array<long, 3> a, b;
        for (int d = 0; d < 3; d++) {
            a[d] = std::lround(e[6 * k + d] * 1e6);
            b[d] = std::lround(e[6 * k + 3 + d] * 1e6);
        }
        out.insert(a < b ? Edge{a, b} : Edge{b, a});
    }
    return out;
}

// The 12 edges of the parallelepiped o + u a + v b + w c, shifted by -centre.
std::multiset<Edge> expected_edges(const double o[3], const double cell[3][3], const double centre[3]) {
    std::array<double, 72> e{};
    int v = 0;
    for (int along = 0; along < 3; along++)
        for (int s = 0; s < 2; s++)
            for (int t = 0; t < 2; t++) {
                const int p = (along + 1) % 3, q = (along + 2) % 3;
                for (int d = 0; d < 3; d++) {
                    const double start = o[d] + s * cell[p][d] + t * cell[q][d] - centre[d];
                    e[3 * v + d] = start;
                    e[3 * v + 3 + d] = start + cell[along][d];
                }
                v += 2;
            }
    return edge_set(e);
}

double length(const std::array<double, 72>& e, int k) {
    double s = 0;
    for (int d = 0; d < 3; d++) s += std::pow(e[6 * k + 3 + d] - e[6 * k + d], 2);
    return std::sqrt(s);
}

}  // namespace

TEST(BoxEdges, OrthogonalBoxHasFourEdgesAlongEachAxis) {
    QB_tools s = make_box({1, -2, 3}, {4, 6, 8});
    const auto e = QN_render_box_edges(&s);
    // Edges in groups of four: along x, then y, then z.
    const double len[3] = {4, 6, 8};
    for (int k = 0; k < 12; k++) EXPECT_NEAR(length(e, k), len[k / 4], 1e-12) << k;
    const double o[3] = {1, -2, 3};
    const double cell[3][3] = {{4, 0, 0}, {0, 6, 0}, {0, 0, 8}};
    const double centre[3] = {3, 1, 7};
    EXPECT_EQ(edge_set(e), expected_edges(o, cell, centre));
    for (double v : e) EXPECT_TRUE(std::fabs(std::fabs(v) - 2) < 1e-12 || std::fabs(std::fabs(v) - 3) < 1e-12 ||
                                   std::fabs(std::fabs(v) - 4) < 1e-12);
}

TEST(BoxEdges, TriclinicBoxUsesTheCellVectors) {
    QB_tools s = make_box({0, 0, 0}, {1, 1, 1});
    s.triclinic = 1;
    const double cell[3][3] = {{10, 0, 0}, {3, 8, 0}, {2, 1, 9}};
    const double o[3] = {-1, 0.5, 2};
    for (int e = 0; e < 3; e++) {
        s.origin[e] = o[e];
        for (int d = 0; d < 3; d++) s.cell[e][d] = cell[e][d];
    }
    // Bounding box of the cell.
    s.lo[0] = -1, s.lo[1] = 0.5, s.lo[2] = 2;
    s.size[0] = 15, s.size[1] = 9, s.size[2] = 9;
    const auto e = QN_render_box_edges(&s);
    const double lens[3] = {10, std::sqrt(73.0), std::sqrt(86.0)};
    for (int k = 0; k < 12; k++) EXPECT_NEAR(length(e, k), lens[k / 4], 1e-12) << k;
    const double centre[3] = {6.5, 5, 6.5};
    EXPECT_EQ(edge_set(e), expected_edges(o, cell, centre));
}

TEST(DepthRange, EveryBoxCornerStaysInsideInAnyRotation) {
    struct Case {
        std::array<double, 3> size;
        std::vector<std::array<double, 3>> atoms;
    };
    const std::vector<Case> cases = {
        {{100, 1, 1}, {}},                 // long x: max(ly, lz) alone would clip it
        {{10, 20, 30}, {{5, 5, 5}}},
        {{1, 1, 1}, {{40, -30, 0.5}}},    // an atom far outside its box
        {{0.5, 0.5, 0.5}, {}},             // small box: the padded outline reaches further
    };
    for (const Case& c : cases) {
        QB_tools s = make_box({0, 0, 0}, c.size, c.atoms);
        QN_slice_outline o = QN_slice_outline_build(&s, 0.3, 0.5, 0.8, 0.2, 0);
        std::vector<float> buf;
        const QN_render_info info = QN_render_build_bar(&s, 1, -1, 5, kNoRadius, o, buf);
        EXPECT_GE(info.depth_range, 3.464 * std::max({c.size[0], c.size[1], c.size[2]}) - 1e-9);
        const double half = info.depth_range / 2;
        for (double rx = 0; rx < 360; rx += 23)
            for (double ry = 0; ry < 360; ry += 31)
                for (double rz = 0; rz < 360; rz += 37) {
                    const QN_mat4 R = QN_camera_rotation(rx, ry, rz);
                    const size_t n = buf.size() / 7;
                    for (size_t v = 0; v < n; v++) {
                        const double z = R[2] * buf[7 * v] + R[6] * buf[7 * v + 1] + R[10] * buf[7 * v + 2];
                        ASSERT_LE(std::fabs(z), half) << "vertex " << v << " rot " << rx << "," << ry << "," << rz;
                    }
                }
    }
}

TEST(DepthRange, FallsBackWhenNothingHasExtent) {
    QB_tools s = make_box({0, 0, 0}, {0, 0, 0});
    EXPECT_EQ(QN_render_depth_range(&s, {}), QN_DEPTH_RANGE_DEFAULT);
}

// ---- Colour-bar ranges -----------------------------------------------------

TEST(ColourRange, DefaultRangeByTypeCount) {
    auto r1 = QN_render_default_range(1);
    EXPECT_DOUBLE_EQ(r1.min, -1);
    EXPECT_DOUBLE_EQ(r1.max, 5);
    auto r3 = QN_render_default_range(3);
    EXPECT_DOUBLE_EQ(r3.min, -0.5);
    EXPECT_DOUBLE_EQ(r3.max, 4.5);
    auto r2 = QN_render_default_range(2);
    EXPECT_DOUBLE_EQ(r2.min, 0);
    EXPECT_DOUBLE_EQ(r2.max, 3);
}

TEST(ColourRange, ColumnRangeRules) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10}, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}});
    add_column(&s, "flat", {2, 2, 2});
    add_column(&s, "spread", {0, 3, 1});
    add_column(&s, "cna", {1, 1, 1});
    add_column(&s, "Select", {0, 0, 7});
    add_column(&s, "holes", {1, kNaN, 3});
    add_column(&s, "junk", {kNaN, kInf, -kInf});
    QN_range r;
    ASSERT_EQ(QN_render_bar_range(&s, QB_slot_get(&s, "flat"), "flat", &r), 1);
    EXPECT_DOUBLE_EQ(r.min, 0);
    EXPECT_DOUBLE_EQ(r.max, 6);
    QN_render_bar_range(&s, QB_slot_get(&s, "spread"), "spread", &r);
    EXPECT_EQ(r.min, 0);  // the values' own range, no padding
    EXPECT_EQ(r.max, 3);
    QN_render_bar_range(&s, QB_slot_get(&s, "cna"), "cna", &r);
    EXPECT_DOUBLE_EQ(r.min, -3.66664);
    EXPECT_DOUBLE_EQ(r.max, 5.66664);
    // "baa" follows the name, whatever the values.
    QN_render_bar_range(&s, QB_slot_get(&s, "spread"), "baa", &r);
    EXPECT_DOUBLE_EQ(r.min, -3.66664);
    EXPECT_DOUBLE_EQ(r.max, 5.66664);
    QN_render_bar_range(&s, QB_slot_get(&s, "Select"), "Select", &r);
    EXPECT_DOUBLE_EQ(r.min, -0.1);
    EXPECT_DOUBLE_EQ(r.max, 1.2);
    // Non-finite values do not enter the minimum and maximum.
    QN_render_bar_range(&s, QB_slot_get(&s, "holes"), "holes", &r);
    EXPECT_EQ(r.min, 1);
    EXPECT_EQ(r.max, 3);
    QN_render_bar_range(&s, QB_slot_get(&s, "junk"), "junk", &r);
    EXPECT_DOUBLE_EQ(r.min, -2);
    EXPECT_DOUBLE_EQ(r.max, 4);
    // Type column with hidden atoms included.
    QB_delete_atom(&s, 0);
    s.atoms[2].type = 3;
    QN_render_bar_range(&s, 1, "type", &r);
    EXPECT_EQ(r.min, 1);
    EXPECT_EQ(r.max, 3);

    QB_tools empty = make_box({0, 0, 0}, {1, 1, 1});
    QN_range untouched{7, 8};
    EXPECT_EQ(QN_render_bar_range(&empty, 1, "type", &untouched), 0);
    EXPECT_EQ(untouched.min, 7);
}

// The automatic range of continuous results as the colour bar shows them:
// the lowest value in the bar's first colour and the highest in its last,
// and every atom in one colour when the values differ only by rounding.
TEST(ColourRange, DataRangeAndRoundingNoise) {
    struct Case {
        const char* what;
        std::vector<double> values;
        bool one_colour;
    };
    const Case cases[] = {
        // CSP of a polycrystal: most atoms near 0, the boundaries up to 19.6.
        {"csp of a polycrystal", {0.0007, 0.012, 0.5, 3.1, 7.75, 12.4, 19.6, 0.003}, false},
        // CSP of a perfect crystal computed from exact positions.
        {"perfect crystal", {0, 1.00973e-28, 3.78653e-29, 0, 2.2e-29, 1e-28}, true},
        {"perfect crystal, negative noise", {-1.00973e-28, 0, 5e-29}, true},
        // The same from positions read with six decimals.
        {"six-decimal positions", {1.6e-11, 1.1e-11, 8.0e-12, 2.3e-11}, true},
        {"constant", {2.5, 2.5, 2.5}, true},
        // An energy per atom of a perfect crystal: the last digits of -3.54.
        {"large magnitude", {-3.54, -3.54 + 4e-15, -3.54 - 9e-16}, true},
        // Far from 0 a double's last digits exceed the sixth decimal.
        {"far from 0", {5e4, 5e4 + 2e-5, 5e4 - 1e-5}, true},
        // Small but real differences stay spread.
        {"a spread of 1e-5", {0.00001, 0.00002, 0.0}, false},
        {"a spread of 2e-6", {1.000002, 1.0, 1.000001}, false},
    };
    for (const Case& c : cases) {
        QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
        for (size_t i = 0; i < c.values.size(); i++) QB_create_atom(&s, 1, 1.0 * i, 1, 1);
        add_column(&s, "v", c.values);
        QN_range r;
        ASSERT_EQ(QN_render_bar_range(&s, QB_slot_get(&s, "v"), "v", &r), 1) << c.what;
        const double lo = *std::min_element(c.values.begin(), c.values.end());
        const double hi = *std::max_element(c.values.begin(), c.values.end());
        EXPECT_EQ(QN_render_range_is_noise(lo, hi), c.one_colour) << c.what;
        std::set<int> colours;
        for (double v : c.values) colours.insert(QN_render_bar_index(v, r.min, r.max));
        if (c.one_colour) {
            EXPECT_EQ(colours.size(), 1u) << c.what;
            EXPECT_EQ(r.min, lo - 2) << c.what;  // the rule for equal values
            EXPECT_EQ(r.max, lo + 4) << c.what;
        } else {
            EXPECT_EQ(r.min, lo) << c.what;
            EXPECT_EQ(r.max, hi) << c.what;
            EXPECT_EQ(QN_render_bar_index(lo, r.min, r.max), 0) << c.what;
            EXPECT_EQ(QN_render_bar_index(hi, r.min, r.max), QN_ATLAS_COLOURS - 1) << c.what;
        }
    }
    // Rounding at both ends of the threshold.
    EXPECT_TRUE(QN_render_range_is_noise(0, 0.9e-6));
    EXPECT_FALSE(QN_render_range_is_noise(0, 1e-6));
    EXPECT_TRUE(QN_render_range_is_noise(5, 5));
    EXPECT_FALSE(QN_render_range_is_noise(0, kInf));
}

// ---- Slab outline -----------------------------------------------------------

TEST(SlabOutline, ZeroWidthGivesTwoCoincidingSquareLoops) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    const QN_slice_outline o = QN_slice_outline_build(&s, 1, 0, 0, 5, 0);
    ASSERT_EQ(o.slice_count[0], 4);
    ASSERT_EQ(o.slice_count[1], 4);
    for (int k = 0; k < 4; k++) {
        // Plane x = 5 is the centre; the padded box reaches +-7 in y and z.
        EXPECT_DOUBLE_EQ(o.slice_points[k][0], 0);
        EXPECT_DOUBLE_EQ(std::fabs(o.slice_points[k][1]), 7);
        EXPECT_DOUBLE_EQ(std::fabs(o.slice_points[k][2]), 7);
        for (int d = 0; d < 3; d++) EXPECT_DOUBLE_EQ(o.slice_points[4 + k][d], o.slice_points[k][d]);
    }
    // Consecutive corners of a square loop share one coordinate.
    for (int k = 0; k < 4; k++) {
        const double* a = o.slice_points[k];
        const double* b = o.slice_points[(k + 1) % 4];
        EXPECT_TRUE(a[1] == b[1] || a[2] == b[2]) << k;
        EXPECT_FALSE(a[1] == b[1] && a[2] == b[2]) << k;
    }
    for (int k = 8; k < 24; k++)
        for (int d = 0; d < 3; d++) EXPECT_EQ(o.slice_points[k][d], 0);
}

TEST(SlabOutline, WidthSplitsThePlanes) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    const QN_slice_outline o = QN_slice_outline_build(&s, 0, 0, 1, 5, 4);
    ASSERT_EQ(o.slice_count[0], 4);
    ASSERT_EQ(o.slice_count[1], 4);
    for (int k = 0; k < 4; k++) {
        EXPECT_DOUBLE_EQ(o.slice_points[k][2], 2);       // z = 7, centred
        EXPECT_DOUBLE_EQ(o.slice_points[4 + k][2], -2);  // z = 3
    }
}

TEST(SlabOutline, CornerCutGivesThreePointsInEdgeOrder) {
    // Padded box [-2, 12]^3; x + y + z = 33 cuts off the (12, 12, 12) corner.
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    const QN_slice_outline o = QN_slice_outline_build(&s, 1, 1, 1, 33, 0);
    ASSERT_EQ(o.slice_count[0], 3);
    ASSERT_EQ(o.slice_count[1], 3);
    // Edges parallel to z first, then y, then x; centre (5, 5, 5).
    const double expect[3][3] = {{7, 7, 4}, {7, 4, 7}, {4, 7, 7}};
    for (int k = 0; k < 3; k++)
        for (int d = 0; d < 3; d++) EXPECT_NEAR(o.slice_points[k][d], expect[k][d], 1e-12);
}

TEST(SlabOutline, PlaneThroughTheCentreIsAConvexPolygonInOrder) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    const double n[3] = {0.3, 0.5, 0.8};
    const double D = 8;  // n . (5, 5, 5)
    const QN_slice_outline o = QN_slice_outline_build(&s, n[0], n[1], n[2], D, 0);
    const int m = o.slice_count[0];
    ASSERT_GE(m, 4);
    ASSERT_LE(m, 12);
    // Every point on the plane (centred: n . p = 0) and on the padded box surface.
    for (int k = 0; k < m; k++) {
        const double* p = o.slice_points[k];
        EXPECT_NEAR(n[0] * p[0] + n[1] * p[1] + n[2] * p[2], 0, 1e-9);
        int on_face = 0;
        for (int d = 0; d < 3; d++) on_face += std::fabs(std::fabs(p[d]) - 7) < 1e-9;
        EXPECT_GE(on_face, 2);  // on an edge of the padded box
    }
    // Walking the loop turns the same way at every corner.
    int sign = 0;
    for (int k = 0; k < m; k++) {
        const double* a = o.slice_points[k];
        const double* b = o.slice_points[(k + 1) % m];
        const double* c = o.slice_points[(k + 2) % m];
        double u[3], v[3];
        for (int d = 0; d < 3; d++) {
            u[d] = b[d] - a[d];
            v[d] = c[d] - b[d];
        }
        const double turn = n[0] * (u[1] * v[2] - u[2] * v[1]) + n[1] * (u[2] * v[0] - u[0] * v[2]) +
                            n[2] * (u[0] * v[1] - u[1] * v[0]);
        ASSERT_NE(turn, 0);
        const int sk = turn > 0 ? 1 : -1;
        if (sign == 0) sign = sk;
        EXPECT_EQ(sk, sign) << "corner " << k;
    }
    // A convex loop that turns one way winds exactly once: angles add to 2 pi.
    double g[3] = {0, 0, 0};
    for (int k = 0; k < m; k++)
        for (int d = 0; d < 3; d++) g[d] += o.slice_points[k][d] / m;
    double total = 0;
    for (int k = 0; k < m; k++) {
        const double* a = o.slice_points[k];
        const double* b = o.slice_points[(k + 1) % m];
        double u[3], v[3];
        for (int d = 0; d < 3; d++) {
            u[d] = a[d] - g[d];
            v[d] = b[d] - g[d];
        }
        const double cosang = (u[0] * v[0] + u[1] * v[1] + u[2] * v[2]) /
                              std::sqrt((u[0] * u[0] + u[1] * u[1] + u[2] * u[2]) *
                                        (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
        total += std::acos(std::max(-1.0, std::min(1.0, cosang)));
    }
    EXPECT_NEAR(total, 2 * std::acos(-1.0), 1e-9);
}

TEST(SlabOutline, PlaneMissingTheBoxHasNoPoints) {
    QB_tools s = make_box({0, 0, 0}, {10, 10, 10});
    const QN_slice_outline o = QN_slice_outline_build(&s, 1, 0, 0, 50, 0);
    EXPECT_EQ(o.slice_count[0], 0);
    EXPECT_EQ(o.slice_count[1], 0);
    const QN_slice_outline z = QN_slice_outline_build(&s, 0, 0, 0, 0, 0);
    EXPECT_EQ(z.slice_count[0], 0);
}

// ---- Trimming ---------------------------------------------------------------

namespace {

QB_tools row_of_atoms() {
    std::vector<std::array<double, 3>> pos;
    for (int k = 1; k <= 9; k++) pos.push_back({double(k), 0.5, 0.5});
    return make_box({0, 0, 0}, {10, 1, 1}, pos);
}

std::vector<int> visible_x(const QB_tools& s) {
    std::vector<int> out;
    for (int i = 0; i < s.natoms; i++)
        if (s.atoms[i].id > 0) out.push_back(static_cast<int>(s.atoms[i].x));
    return out;
}

}  // namespace

TEST(Trimming, SlabCutWithZeroWidthIsAHalfSpace) {
    QB_tools s = row_of_atoms();
    EXPECT_EQ(QN_trim_slab_delete(&s, 1, 0, 0, 5, 0), 4);
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(QN_trim_slab_recover(&s, 1, 0, 0, 5, 0), 4);
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // Negative normal flips the half-space: -x > -3 keeps x < 3.
    QN_trim_slab_delete(&s, -1, 0, 0, -3, 0);
    EXPECT_EQ(visible_x(s), (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
}

TEST(Trimming, SlabCutWithWidthTakesTheOpenSlab) {
    QB_tools s = row_of_atoms();
    // |x - 5| < 1: only x = 5; 4 and 6 lie on the faces and stay.
    EXPECT_EQ(QN_trim_slab_delete(&s, 1, 0, 0, 5, 2), 1);
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 3, 4, 6, 7, 8, 9}));
    EXPECT_EQ(QN_trim_slab_delete(&s, 1, 0, 0, 5, 4.5), 4);
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 8, 9}));
    // Recovering a narrower slab brings back just that part.
    EXPECT_EQ(QN_trim_slab_recover(&s, 1, 0, 0, 4, 1), 1);
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 4, 8, 9}));
}

TEST(Trimming, DataRangeDeleteThenInverseShowsExactlyTheDeleted) {
    QB_tools s = row_of_atoms();
    add_column(&s, "v", {0, 1, 2, 3, 4, 5, kNaN, 2, 4.0000001});
    const int slot = QB_slot_get(&s, "v");
    EXPECT_EQ(QN_trim_data_delete(&s, slot, 2, 4), 4);  // both bounds included
    EXPECT_EQ(visible_x(s), (std::vector<int>{1, 2, 6, 7, 9}));
    EXPECT_EQ(QN_trim_inverse(&s), 9);
    EXPECT_EQ(visible_x(s), (std::vector<int>{3, 4, 5, 8}));
    // The render data follows: four atoms drawn, the map points at them.
    std::vector<float> buf;
    ASSERT_EQ(QN_render_build_bar(&s, 1, -1, 5, kNoRadius, kNoOutline, buf).drawn, 4);
    EXPECT_EQ(s.atoms[0].scratch, 2);
    EXPECT_EQ(s.atoms[3].scratch, 7);
    // Ids keep their magnitude through both negations.
    for (int i = 0; i < s.natoms; i++) EXPECT_EQ(std::abs(s.atoms[i].id), i + 1);
    EXPECT_EQ(QN_trim_recover_all(&s), 5);
    EXPECT_EQ(visible_x(s).size(), 9u);
    for (int i = 0; i < s.natoms; i++) EXPECT_EQ(s.atoms[i].id, i + 1);
}

TEST(Trimming, DataRecoverAndUnknownSlot) {
    QB_tools s = row_of_atoms();
    QN_trim_inverse(&s);
    EXPECT_TRUE(visible_x(s).empty());
    EXPECT_EQ(QN_trim_data_recover(&s, 2, 3, 5), 3);  // x in [3, 5]
    EXPECT_EQ(visible_x(s), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(QN_trim_data_delete(&s, -1, -10, 10), 0);
    EXPECT_EQ(QN_trim_data_delete(&s, QB_slot_sum(&s), -10, 10), 0);
    EXPECT_EQ(visible_x(s).size(), 3u);
}

// ---- Camera ---------------------------------------------------------------

TEST(Camera, StepRules) {
    EXPECT_DOUBLE_EQ(QN_camera_zoom_in(10, 10), 10);
    EXPECT_DOUBLE_EQ(QN_camera_zoom_in(25, 10), 15);
    EXPECT_DOUBLE_EQ(QN_camera_zoom_in(5, 10), 5);
    EXPECT_DOUBLE_EQ(QN_camera_zoom_out(10, 10), 20);
    EXPECT_DOUBLE_EQ(QN_camera_zoom_out(10, -15), 10);  // would pass through zero
    EXPECT_DOUBLE_EQ(QN_camera_perspective_minus(0.005, 0.01), 0);
    EXPECT_DOUBLE_EQ(QN_camera_perspective_minus(0.03, 0.01), 0.02);
    EXPECT_DOUBLE_EQ(QN_camera_perspective_plus(0, 0.01), 0.01);
    EXPECT_DOUBLE_EQ(QN_camera_perspective_plus(0, -0.01), 0);
}

TEST(Camera, OrthographicViewMapsCentreToScreenCentreAndScalesWithZoom) {
    QN_camera cam;  // no rotation, view height 100
    cam.depth_range = 40;
    const QN_mat4 m = QN_camera_mvp(cam, 400, 400);
    auto c = project(m, 0, 0, 0);
    EXPECT_NEAR(c[0], 0, 1e-7);
    EXPECT_NEAR(c[1], 0, 1e-7);
    EXPECT_NEAR(c[2], 0, 1e-7);
    // Half the view height reaches the top edge; x the same in a square window.
    auto top = project(m, 50, 50, 20);
    EXPECT_NEAR(top[0], 1, 1e-6);
    EXPECT_NEAR(top[1], 1, 1e-6);
    EXPECT_NEAR(top[2], -1, 1e-6);  // the near end of the depth range (towards the viewer)
    // Wide window: x spans more length units.
    auto wide = project(QN_camera_mvp(cam, 800, 400), 50, 0, 0);
    EXPECT_NEAR(wide[0], 0.5, 1e-6);
    // Zooming in to a view height of 50 doubles the screen distance.
    cam.view_height = 50;
    auto zoomed = project(QN_camera_mvp(cam, 400, 400), 10, -5, 0);
    EXPECT_NEAR(zoomed[0], 0.4, 1e-6);
    EXPECT_NEAR(zoomed[1], -0.2, 1e-6);
    EXPECT_DOUBLE_EQ(QN_camera_px_per_unit(cam, 400), 8);
    // A shift moves the picture in length units.
    cam.view_height = 100;
    cam.shift_x = 10;
    cam.shift_y = -25;
    auto shifted = project(QN_camera_mvp(cam, 400, 400), 0, 0, 0);
    EXPECT_NEAR(shifted[0], 0.2, 1e-6);
    EXPECT_NEAR(shifted[1], -0.5, 1e-6);
}

// A point of the rotation centre's plane (the screen plane through the box
// centre) moves by the drag, in pixels, whatever the zoom, rotation or lens.
TEST(Camera, PanningKeepsThePointUnderThePointer) {
    struct Case {
        double height, perspective, rot_x, rot_y;
        int w, h;
    };
    const Case cases[] = {{5, 0, 0, 0, 400, 300},   {36, 0, 20, -35, 960, 550}, {500, 0, 0, 0, 300, 600},
                          {20, 0.4, 0, 0, 400, 400}, {80, 1.5, 10, 50, 800, 500}};
    for (const Case& c : cases) {
        QN_camera cam;
        cam.view_height = c.height;
        cam.perspective = c.perspective;
        cam.rot_x = c.rot_x;
        cam.rot_y = c.rot_y;
        cam.shift_x = 3;
        // A point of the screen plane through the centre, wherever the rotation put it.
        const QN_mat4 R = QN_camera_rotation(c.rot_x, c.rot_y, 0);
        const double q[3] = {1.5, -0.75, 0};  // screen coordinates of the point before the camera shift
        double p[3];
        for (int i = 0; i < 3; i++) p[i] = R[4 * i] * q[0] + R[4 * i + 1] * q[1] + R[4 * i + 2] * q[2];
        auto pixels = [&](const QN_camera& k) {
            auto n = project(QN_camera_mvp(k, c.w, c.h), p[0], p[1], p[2]);
            return std::array<double, 2>{(n[0] + 1) / 2 * c.w, (1 - n[1]) / 2 * c.h};
        };
        const auto before = pixels(cam);
        QN_camera_pan(&cam, 25, -40, c.h);
        const auto after = pixels(cam);
        EXPECT_NEAR(after[0] - before[0], 25, 1e-3) << c.height << " " << c.perspective;
        EXPECT_NEAR(after[1] - before[1], -40, 1e-3) << c.height << " " << c.perspective;
    }
    QN_camera none;
    none.view_height = 0;  // no zoom to scale by: unchanged
    QN_camera_pan(&none, 10, 10, 100);
    EXPECT_EQ(none.shift_x, 0);
}

TEST(Camera, RotationsAboutFixedAxesInOrder) {
    QN_camera cam;
    cam.rot_z = 90;
    auto p = project(QN_camera_mvp(cam, 400, 400), 10, 0, 0);
    EXPECT_NEAR(p[0], 0, 1e-6);
    EXPECT_NEAR(p[1], 0.2, 1e-6);  // x turned onto y
    // Rx(90) Ry(90): Ry takes x to -z, then Rx takes -z to y.
    const QN_mat4 R = QN_camera_rotation(90, 90, 0);
    auto q = project(R, 1, 0, 0);
    EXPECT_NEAR(q[0], 0, 1e-6);
    EXPECT_NEAR(q[1], 1, 1e-6);
    EXPECT_NEAR(q[2], 0, 1e-6);
    auto y = project(QN_camera_rotation(90, 0, 0), 0, 1, 0);
    EXPECT_NEAR(y[2], 1, 1e-6);
}

TEST(Camera, PerspectiveProduct) {
    QN_camera cam;
    cam.perspective = 0.5;
    cam.depth_range = 100;
    const QN_mat4 m = QN_camera_mvp(cam, 400, 400);
    // Centre: T gives (0, 0, -9.6); Q gives (0, 0, 5 * -9.6 + 48 = 0, w = 9.6).
    auto c = project(m, 0, 0, 0);
    EXPECT_NEAR(c[0], 0, 1e-6);
    EXPECT_NEAR(c[2], 0, 1e-6);
    // (1, 0, 0): x = 7.5987 * 2/100 over w = 9.6.
    auto x = project(m, 1, 0, 0);
    EXPECT_NEAR(x[0], 7.5987 * 0.02 / 9.6, 1e-6);
    // (0, 0, 1): z' = 0.5 - 9.6 = -9.1, w = 9.1; z = (5 * -9.1 + 48) / 0.5 * (-2/100).
    auto z = project(m, 0, 0, 1);
    EXPECT_NEAR(z[2], (5 * -9.1 + 48) / 0.5 * -0.02 / 9.1, 1e-6);
    // Nearer points appear larger.
    auto near_pt = project(m, 1, 0, 2);
    EXPECT_GT(near_pt[0], x[0]);
}

TEST(Camera, AxisTriadSitsInTheLowerLeftCorner) {
    QN_camera cam;
    cam.view_height = 3;  // zoom and shift do not enter
    cam.shift_x = 50;
    const QN_mat4 m = QN_camera_axes(cam, 800, 400);
    auto o = project(m, 0, 0, 0);
    EXPECT_NEAR(o[0], -0.8, 1e-6);
    EXPECT_NEAR(o[1], -0.8, 1e-6);
    auto x = project(m, 0.2, 0, 0);
    EXPECT_NEAR(x[0], -0.7, 1e-6);  // squeezed by h / w
    auto y = project(m, 0, 0.2, 0);
    EXPECT_NEAR(y[1], -0.6, 1e-6);
    cam.rot_z = 90;
    auto xr = project(QN_camera_axes(cam, 800, 400), 0.2, 0, 0);
    EXPECT_NEAR(xr[0], -0.8, 1e-6);
    EXPECT_NEAR(xr[1], -0.6, 1e-6);
}

TEST(Picking, DecodesRgbAndAcceptsOnlyDrawnAtoms) {
    EXPECT_EQ(QN_pick_decode(0, 0, 0, 10), 0);  // background
    EXPECT_EQ(QN_pick_decode(1, 0, 0, 10), 1);
    EXPECT_EQ(QN_pick_decode(10, 0, 0, 10), 10);
    EXPECT_EQ(QN_pick_decode(11, 0, 0, 10), 0);
    EXPECT_EQ(QN_pick_decode(4, 1, 0, 300), 260);
    EXPECT_EQ(QN_pick_decode(0, 0, 1, 70000), 65536);
    EXPECT_EQ(QN_pick_decode(255, 255, 255, 1000), 0);  // white background
    EXPECT_EQ(QN_pick_decode(255, 255, 255, 16777215), 16777215);
    EXPECT_EQ(QN_pick_decode(5, 0, 0, 0), 0);
}

// ---- Frame reduction --------------------------------------------------------

namespace {

// Grey frame: value(x, y) in all three channels.
std::vector<unsigned char> grey(int w, int h, const std::function<int(int, int)>& value) {
    std::vector<unsigned char> f(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) f[(static_cast<size_t>(y) * w + x) * 3 + c] = static_cast<unsigned char>(value(x, y));
    return f;
}

int px(const std::vector<unsigned char>& img, int w, int x, int y, int c = 0) {
    return img[(static_cast<size_t>(y) * w + x) * 3 + c];
}

}  // namespace

TEST(Reduction, TwoByTwoBoxFilterTruncatesTheMean) {
    // 4 x 2 frame -> 2 x 1.
    const int v[2][4] = {{0, 1, 10, 10}, {2, 4, 10, 11}};
    auto f = grey(4, 2, [&](int x, int y) { return v[y][x]; });
    f[2] = 200;  // blue of pixel (0, 0)
    std::vector<unsigned char> out(2 * 1 * 3, 99);
    ASSERT_EQ(QN_reduce_frame(f.data(), 2, 1, 2, 0, out.data()), QN_IMAGE_OK);
    EXPECT_EQ(px(out, 2, 0, 0, 0), (0 + 1 + 2 + 4) / 4);  // 1
    EXPECT_EQ(px(out, 2, 0, 0, 1), 1);
    EXPECT_EQ(px(out, 2, 0, 0, 2), (200 + 1 + 2 + 4) / 4);  // channels apart
    EXPECT_EQ(px(out, 2, 1, 0, 0), 41 / 4);
}

TEST(Reduction, ScaleOneWithoutBlurCopies) {
    auto f = grey(5, 3, [](int x, int y) { return 17 * x + 50 * y; });
    f[7] = 3;
    std::vector<unsigned char> out(f.size());
    ASSERT_EQ(QN_reduce_frame(f.data(), 5, 3, 1, 0, out.data()), QN_IMAGE_OK);
    EXPECT_EQ(out, f);
}

TEST(Reduction, BlurAveragesNeighboursAndStopsAtRowEnds) {
    // Only the last column is bright: a blur that wrapped would carry it into
    // the first column of the next row.
    auto f = grey(4, 3, [](int x, int) { return x == 3 ? 240 : 0; });
    std::vector<unsigned char> out(4 * 3 * 3);
    ASSERT_EQ(QN_reduce_frame(f.data(), 4, 3, 1, 1, out.data()), QN_IMAGE_OK);
    for (int y = 0; y < 3; y++) EXPECT_EQ(px(out, 4, 0, y), 0) << y;
    EXPECT_EQ(px(out, 4, 1, 1), 0);
    EXPECT_EQ(px(out, 4, 2, 1), 3 * 240 / 9);  // inner: 3 x 3
    EXPECT_EQ(px(out, 4, 3, 1), 3 * 240 / 6);  // right end: 2 x 3
    EXPECT_EQ(px(out, 4, 2, 0), 2 * 240 / 6);  // bottom row: 3 x 2
    EXPECT_EQ(px(out, 4, 3, 2), 2 * 240 / 4);  // top-right corner: 2 x 2

    // Scale 2, blur 1: the window of output (0, 0) is frame [0, 3) x [0, 3).
    auto g = grey(4, 4, [](int x, int y) { return 10 * x + y; });
    std::vector<unsigned char> o2(2 * 2 * 3);
    ASSERT_EQ(QN_reduce_frame(g.data(), 2, 2, 2, 1, o2.data()), QN_IMAGE_OK);
    int sum = 0;
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++) sum += 10 * x + y;
    EXPECT_EQ(px(o2, 2, 0, 0), sum / 9);
    sum = 0;  // output (1, 1): frame [1, 4) x [1, 4)
    for (int y = 1; y < 4; y++)
        for (int x = 1; x < 4; x++) sum += 10 * x + y;
    EXPECT_EQ(px(o2, 2, 1, 1), sum / 9);
}

TEST(Reduction, RejectsScaleBlurAndSizeOutOfRange) {
    std::vector<unsigned char> f(64 * 64 * 3, 5), out(4 * 4 * 3, 77);
    EXPECT_EQ(QN_reduce_frame(f.data(), 4, 4, 0, 0, out.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_reduce_frame(f.data(), 4, 4, 11, 0, out.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_reduce_frame(f.data(), 4, 4, 2, -1, out.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_reduce_frame(f.data(), 4, 4, 2, 11, out.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_reduce_frame(f.data(), 0, 4, 2, 0, out.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_reduce_frame(nullptr, 4, 4, 2, 0, out.data()), QN_IMAGE_BAD_ARGUMENT);
    for (unsigned char c : out) EXPECT_EQ(c, 77);
    EXPECT_EQ(QN_reduce_frame(f.data(), 4, 4, 10, 10, out.data()), QN_IMAGE_OK);
    EXPECT_EQ(out[0], 5);
}

TEST(Reduction, SnapshotSizeLimit) {
    EXPECT_FALSE(QN_snapshot_too_large(1920, 1100, 2));  // 8 448 000
    EXPECT_TRUE(QN_snapshot_too_large(4000, 3000, 2));   // 4.8e7
    EXPECT_FALSE(QN_snapshot_too_large(6000, 6000, 1));  // exactly 3.6e7
}

// ---- Image files ----------------------------------------------------------

namespace {

// A W x H picture, bottom row first: pixel (x, y) = (x * 40, y * 60, 7).
std::vector<unsigned char> picture(int W, int H) {
    std::vector<unsigned char> p(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            unsigned char* q = &p[(static_cast<size_t>(y) * W + x) * 3];
            q[0] = static_cast<unsigned char>(x * 40);
            q[1] = static_cast<unsigned char>(y * 60);
            q[2] = 7;
        }
    return p;
}

uint32_t le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

uint32_t le16(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8;
}

int entries(const std::string& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        n++;
    }
    return n;
}

struct jpeg_test_error {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void jpeg_test_fail(j_common_ptr c) { std::longjmp(reinterpret_cast<jpeg_test_error*>(c->err)->jump, 1); }

// Decodes a JPEG file into top-first RGB rows; false on any error.
bool read_jpeg(const std::string& path, int* w, int* h, std::vector<unsigned char>* rgb) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    jpeg_decompress_struct d;
    jpeg_test_error err;
    d.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_test_fail;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        std::fclose(f);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    *w = static_cast<int>(d.output_width);
    *h = static_cast<int>(d.output_height);
    rgb->assign(static_cast<size_t>(*w) * *h * 3, 0);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = rgb->data() + static_cast<size_t>(d.output_scanline) * *w * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(f);
    return true;
}

}  // namespace

TEST(ImageFiles, BmpHeaderPaddingAndRowOrderForWidthFive) {
    ScratchDir dir;
    const int W = 5, H = 3;
    const auto pic = picture(W, H);
    ASSERT_EQ(QN_write_bmp(dir.path("a.bmp"), W, H, pic.data()), QN_IMAGE_OK);
    const std::string b = slurp(dir.path("a.bmp"));
    // Rows of 15 pixel bytes + 1 padding byte.
    ASSERT_EQ(b.size(), 54u + 16 * 3);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(le32(b, 2), 102u);
    EXPECT_EQ(le16(b, 6), 0u);
    EXPECT_EQ(le16(b, 8), 0u);
    EXPECT_EQ(le32(b, 10), 54u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le32(b, 18), 5u);
    EXPECT_EQ(le32(b, 22), 3u);
    EXPECT_EQ(le16(b, 26), 1u);
    EXPECT_EQ(le16(b, 28), 24u);
    for (size_t at = 30; at < 54; at += 4) EXPECT_EQ(le32(b, at), 0u) << at;
    // Bottom row first, blue green red, then one zero byte.
    for (int y = 0; y < H; y++) {
        const size_t row = 54 + 16 * static_cast<size_t>(y);
        for (int x = 0; x < W; x++) {
            EXPECT_EQ(static_cast<unsigned char>(b[row + 3 * x]), 7);
            EXPECT_EQ(static_cast<unsigned char>(b[row + 3 * x + 1]), y * 60);
            EXPECT_EQ(static_cast<unsigned char>(b[row + 3 * x + 2]), x * 40);
        }
        EXPECT_EQ(b[row + 15], 0);
    }

    // The top-first form stores the same picture.
    std::vector<unsigned char> flipped(pic.size());
    for (int y = 0; y < H; y++)
        std::copy_n(&pic[static_cast<size_t>(H - 1 - y) * W * 3], W * 3, &flipped[static_cast<size_t>(y) * W * 3]);
    ASSERT_EQ(QNBMP_stbi_write_bmp(dir.path("b.bmp").c_str(), W, H, 3, flipped.data()), 1);
    EXPECT_EQ(slurp(dir.path("b.bmp")), b);
    EXPECT_EQ(QNBMP_stbi_write_bmp(dir.path("c.bmp").c_str(), W, H, 4, flipped.data()), 0);
}

TEST(ImageFiles, BmpPaddingFollowsWidthModFour) {
    ScratchDir dir;
    for (int W : {1, 2, 3, 4, 6, 7}) {
        const auto pic = picture(W, 2);
        ASSERT_EQ(QN_write_bmp(dir.path("p.bmp"), W, 2, pic.data()), QN_IMAGE_OK);
        const std::string b = slurp(dir.path("p.bmp"));
        const size_t row = 3 * W + W % 4;
        EXPECT_EQ(row % 4, 0u);  // also the usual 4-byte row alignment
        EXPECT_EQ(b.size(), 54 + 2 * row) << W;
        EXPECT_EQ(le32(b, 2), b.size());
    }
}

TEST(ImageFiles, PngReadsBackTopRowFirst) {
    ScratchDir dir;
    const int W = 5, H = 3;
    const auto pic = picture(W, H);
    ASSERT_EQ(QN_write_png(dir.path("a.png"), W, H, pic.data()), QN_IMAGE_OK);
    png_image img;
    std::memset(&img, 0, sizeof(img));
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, dir.path("a.png").c_str()));
    EXPECT_EQ(img.width, 5u);
    EXPECT_EQ(img.height, 3u);
    img.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> back(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, back.data(), 0, nullptr));
    // File row 0 is the top of the picture, the last buffer row.
    for (int r = 0; r < H; r++)
        for (int x = 0; x < W; x++) {
            EXPECT_EQ(back[(static_cast<size_t>(r) * W + x) * 3], x * 40);
            EXPECT_EQ(back[(static_cast<size_t>(r) * W + x) * 3 + 1], (H - 1 - r) * 60);
            EXPECT_EQ(back[(static_cast<size_t>(r) * W + x) * 3 + 2], 7);
        }
}

TEST(ImageFiles, JpegReadsBackWithSizeAndOrientation) {
    ScratchDir dir;
    const int W = 37, H = 21;
    // Bottom part blue, top part red (buffer rows from the bottom).
    std::vector<unsigned char> pic(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            unsigned char* q = &pic[(static_cast<size_t>(y) * W + x) * 3];
            q[0] = y >= H / 2 ? 220 : 10;
            q[1] = 30;
            q[2] = y >= H / 2 ? 10 : 220;
        }
    ASSERT_EQ(QN_write_jpeg(dir.path("a.jpg"), W, H, pic.data()), QN_IMAGE_OK);
    int w = 0, h = 0;
    std::vector<unsigned char> back;
    ASSERT_TRUE(read_jpeg(dir.path("a.jpg"), &w, &h, &back));
    EXPECT_EQ(w, W);
    EXPECT_EQ(h, H);
    // First decoded row is the top: red.
    EXPECT_NEAR(back[3 * 18 + 0], 220, 12);
    EXPECT_NEAR(back[3 * 18 + 2], 10, 12);
    const size_t last = (static_cast<size_t>(H - 1) * W + 18) * 3;
    EXPECT_NEAR(back[last + 0], 10, 12);
    EXPECT_NEAR(back[last + 2], 220, 12);
}

TEST(ImageFiles, LibraryErrorsReturnInsteadOfEndingTheProgram) {
    ScratchDir dir;
    // Wider than libjpeg (65500) and than libpng's default limit (1e6) accept.
    std::vector<unsigned char> wide(2000001 * 3, 128);
    EXPECT_EQ(QN_write_jpeg(dir.path("w.jpg"), 70000, 1, wide.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QN_write_png(dir.path("w.png"), 2000001, 1, wide.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(entries(dir.dir()), 0);  // no temporary file left
    EXPECT_EQ(QN_write_png(dir.path("z.png"), 0, 1, wide.data()), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_write_jpeg(dir.path("z.jpg"), 3, 3, nullptr), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(QN_write_bmp("", 3, 3, wide.data()), QN_IMAGE_BAD_ARGUMENT);
}

TEST(ImageFiles, FailedWritesLeaveNoTemporaryAndKeepTheTarget) {
    ScratchDir dir;
    const auto pic = picture(4, 4);
    const std::string missing = dir.path("no_such_folder/x");
    EXPECT_EQ(QN_write_png(missing + ".png", 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QN_write_jpeg(missing + ".jpg", 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QN_write_bmp(missing + ".bmp", 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QNBMP_stbi_write_bmp((missing + ".bmp").c_str(), 4, 4, 3, pic.data()), 0);
    EXPECT_NE(Quelm_dump_img((missing + ".txt").c_str(), 1, 1, 0, 0, 0, 1), QN_IMAGE_OK);
    EXPECT_EQ(entries(dir.dir()), 0);

    // A target that cannot be replaced (a folder): the temporary file is
    // written, the rename fails, and nothing is left behind.
    const std::string target = dir.path("busy");
    std::filesystem::create_directory(target);
    std::filesystem::create_directory(target + "/inside");
    EXPECT_EQ(QN_write_png(target, 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QN_write_jpeg(target, 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(QN_write_bmp(target, 4, 4, pic.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(Quelm_dump_img(target.c_str(), 1, 1, 0, 0, 0, 1), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(entries(dir.dir()), 1);
    EXPECT_TRUE(std::filesystem::is_directory(target + "/inside"));

    // An existing file is replaced only by a complete write.
    const std::string old = dir.path("old.png");
    ASSERT_EQ(QN_write_png(old, 4, 4, pic.data()), QN_IMAGE_OK);
    const std::string before = slurp(old);
    std::vector<unsigned char> wide(2000001 * 3, 1);
    EXPECT_EQ(QN_write_png(old, 2000001, 1, wide.data()), QN_IMAGE_WRITE_FAILED);
    EXPECT_EQ(slurp(old), before);
}

TEST(ImageSettings, FileIsByteExact) {
    ScratchDir dir;
    ASSERT_EQ(Quelm_dump_img(dir.path("img.txt").c_str(), 1920, 1100, -30, 45, 0, 250), QN_IMAGE_OK);
    const std::string expected =
        "250 # viewer\n"
        "1 # color \n"
        "0 # back_R\n"
        "0 # back_G\n"
        "0 # back_B\n"
        "1 # metal\n"
        "cm_weather # colormap\n"
        "2  # anti alias\n"
        "7 # lightpos\n"
        "1100 # sizey\n"
        "1920 # sizex\n"
        "1.0 #zoom\n"
        "1 # cylinderbox\n"
        "0.5  # cylinderboxrad\n"
        "20 # cylinderboxmat\n"
        "14 # cylindermat\n"
        "102 # sphere\n"
        "0  # spheremat\n"
        "1.5 # radius\n"
        "0.0 # attmin\n"
        "1.0  # attmax\n"
        "1  # sphere_at_end_cylinder\n"
        "4 # input\n"
        "0 # use_material_sphere\n"
        "-30  # phix\n"
        "45  # phiy\n"
        "0  # phiz\n"
        "0 # stride\n"
        "0 # shadow\n"
        "1 # user\n"
        "0 # headlight\n"
        "0 # coordsys\n";
    EXPECT_EQ(slurp(dir.path("img.txt")), expected);
    // Overwrites an older file.
    ASSERT_EQ(Quelm_dump_img(dir.path("img.txt").c_str(), 1920, 1100, -30, 45, 0, 250), QN_IMAGE_OK);
    EXPECT_EQ(slurp(dir.path("img.txt")), expected);
    EXPECT_EQ(Quelm_dump_img(nullptr, 1, 1, 0, 0, 0, 1), QN_IMAGE_BAD_ARGUMENT);
    EXPECT_EQ(Quelm_dump_img("", 1, 1, 0, 0, 0, 1), QN_IMAGE_BAD_ARGUMENT);
}

// ---- Framing ---------------------------------------------------------------

namespace {

// Triclinic box origin + u a + v b + w c, its bounding box as lo/size.
QB_tools make_cell(std::array<double, 3> origin, std::array<std::array<double, 3>, 3> cell) {
    QB_tools s;
    QB_init(&s);
    s.triclinic = 1;
    for (int d = 0; d < 3; d++) {
        s.origin[d] = origin[d];
        double lo = origin[d], hi = origin[d];
        for (int m = 0; m < 8; m++) {
            double p = origin[d];
            for (int k = 0; k < 3; k++)
                if (m >> k & 1) p += cell[k][d];
            lo = std::min(lo, p);
            hi = std::max(hi, p);
        }
        s.lo[d] = lo;
        s.size[d] = hi - lo;
        for (int k = 0; k < 3; k++) s.cell[k][d] = cell[k][d];
    }
    return s;
}

// Fits the camera to the model's box and checks the framing through the
// matrices: every corner inside the view, centred, the limiting extent at
// 90 % of the view.
void expect_framed(QN_camera cam, const QB_tools& model, int w, int h, const std::string& what) {
    const double rx = cam.rot_x, ry = cam.rot_y, rz = cam.rot_z, p = cam.perspective;
    ASSERT_TRUE(QN_camera_fit_box(&cam, &model, w, h)) << what;
    EXPECT_EQ(cam.rot_x, rx) << what;
    EXPECT_EQ(cam.rot_y, ry) << what;
    EXPECT_EQ(cam.rot_z, rz) << what;
    EXPECT_EQ(cam.perspective, p) << what;
    const std::array<double, 24> corners = QN_render_box_corners(&model);
    QN_view_bounds b;
    ASSERT_TRUE(QN_camera_bounds(cam, corners.data(), 8, w, h, &b)) << what;
    EXPECT_GE(b.x_min, -1) << what;
    EXPECT_LE(b.x_max, 1) << what;
    EXPECT_GE(b.y_min, -1) << what;
    EXPECT_LE(b.y_max, 1) << what;
    EXPECT_NEAR(b.extent(), 0.9, 0.02) << what;
    EXPECT_NEAR(b.x_min + b.x_max, 0, 1e-3) << what;
    EXPECT_NEAR(b.y_min + b.y_max, 0, 1e-3) << what;
    // Every one of the 8 corners is a corner of the box.
    double span[3] = {0, 0, 0};
    for (int d = 0; d < 3; d++) {
        double lo = corners[d], hi = corners[d];
        for (int k = 1; k < 8; k++) {
            lo = std::min(lo, corners[3 * k + d]);
            hi = std::max(hi, corners[3 * k + d]);
        }
        span[d] = hi - lo;
        EXPECT_NEAR(span[d], model.size[d], 1e-9 * (1 + model.size[d])) << what;
    }
}

const std::array<std::array<double, 3>, 6> kTurns = {{
    {0, 0, 0}, {30, 45, 0}, {90, 0, 0}, {-20, 130, 75}, {0, 90, 0}, {200, -35, 310},
}};

}  // namespace

TEST(Framing, CornersAreTheEndsOfTheEdgesAlongA) {
    const QB_tools s = make_box({1, 2, 3}, {4, 6, 8});
    const std::array<double, 24> c = QN_render_box_corners(&s);
    std::set<std::array<double, 3>> seen;
    for (int k = 0; k < 8; k++) {
        for (int d = 0; d < 3; d++) EXPECT_DOUBLE_EQ(std::fabs(c[3 * k + d]), s.size[d] / 2) << k;
        seen.insert({c[3 * k], c[3 * k + 1], c[3 * k + 2]});
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST(Framing, CubeFillsNinetyPercentInEveryRotationAndWindowShape) {
    const QB_tools cube = make_box({0, 0, 0}, {10, 10, 10});
    for (const auto& t : kTurns)
        for (const auto& wh : std::vector<std::array<int, 2>>{{400, 400}, {940, 530}, {200, 150}, {150, 400}}) {
            QN_camera cam;
            cam.rot_x = t[0];
            cam.rot_y = t[1];
            cam.rot_z = t[2];
            expect_framed(cam, cube, wh[0], wh[1],
                          "rot " + std::to_string(t[0]) + "," + std::to_string(t[1]) + "," +
                              std::to_string(t[2]) + " view " + std::to_string(wh[0]) + "x" +
                              std::to_string(wh[1]));
        }
}

TEST(Framing, LongThinBoxesAreLimitedByTheirLongSide) {
    for (const QB_tools& box : {make_box({-50, 0, 0}, {200, 5, 5}), make_box({0, 0, 10}, {4, 4, 300}),
                                make_box({0, 0, 0}, {3, 120, 3})})
        for (const auto& t : kTurns)
            for (const auto& wh : std::vector<std::array<int, 2>>{{940, 530}, {200, 400}}) {
                QN_camera cam;
                cam.rot_x = t[0];
                cam.rot_y = t[1];
                cam.rot_z = t[2];
                expect_framed(cam, box, wh[0], wh[1], "size " + std::to_string(box.size[0]) + " rot " +
                                                          std::to_string(t[1]));
            }
    // Unrotated, a box along x in a square view is limited by the width:
    // 200 units over 90 % of the width, so 222.2 units span the height.
    QN_camera cam;
    const QB_tools along_x = make_box({0, 0, 0}, {200, 5, 5}), along_y = make_box({0, 0, 0}, {5, 200, 5});
    ASSERT_TRUE(QN_camera_fit_box(&cam, &along_x, 400, 400));
    EXPECT_NEAR(cam.view_height, 200 / 0.9, 1e-9);
    EXPECT_NEAR(cam.shift_x, 0, 1e-9);
    // In a 2:1 window the same box only needs 200 / 0.9 / 2 units of height.
    ASSERT_TRUE(QN_camera_fit_box(&cam, &along_x, 800, 400));
    EXPECT_NEAR(cam.view_height, 200 / 0.9 / 2, 1e-9);
    // A box along y is limited by the height whatever the width.
    ASSERT_TRUE(QN_camera_fit_box(&cam, &along_y, 800, 400));
    EXPECT_NEAR(cam.view_height, 200 / 0.9, 1e-9);
}

TEST(Framing, TriclinicBoxIsFramedByItsCellCorners) {
    const QB_tools tri = make_cell({1, -2, 0}, {{{20, 0, 0}, {8, 15, 0}, {-5, 3, 12}}});
    for (const auto& t : kTurns) {
        QN_camera cam;
        cam.rot_x = t[0];
        cam.rot_y = t[1];
        cam.rot_z = t[2];
        expect_framed(cam, tri, 940, 530, "triclinic rot " + std::to_string(t[0]));
    }
    // Unrotated, the projected width is that of the slanted cell, 33 (from
    // -5 to 28), not of an upright box of its height.
    QN_camera cam;
    ASSERT_TRUE(QN_camera_fit_box(&cam, &tri, 400, 400));
    EXPECT_NEAR(cam.view_height, 33 / 0.9, 1e-9);
}

TEST(Framing, TinyAndHugeCrystalsBothFill) {
    QB_tools tiny;
    QB_init(&tiny);
    testing::internal::CaptureStdout();
    ASSERT_EQ(QB_create_fcc(&tiny, 3.615, 1, 0, 0, 0, 1, 0, 0, 0, 1), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(tiny.natoms, 4);
    // The box of a 5,000,000-atom crystal (100 x 100 x 125 cells); its
    // atoms do not enter the framing.
    const QB_tools huge = make_box({0, 0, 0}, {361.5, 361.5, 451.875});
    ASSERT_EQ(4L * 100 * 100 * 125, 5000000L);
    for (const QB_tools* box : std::vector<const QB_tools*>{&tiny, &huge})
        for (const auto& t : kTurns)
            for (double p : {0.0, 0.01}) {
                QN_camera cam;
                cam.rot_x = t[0];
                cam.rot_y = t[1];
                cam.rot_z = t[2];
                cam.perspective = p;
                expect_framed(cam, *box, 940, 530,
                              "size " + std::to_string(box->size[0]) + " pers " + std::to_string(p));
            }
    // Before the fit the default camera shows the small box as a speck and
    // cuts the large one.
    QN_camera plain;
    const std::array<double, 24> a = QN_render_box_corners(&tiny), b = QN_render_box_corners(&huge);
    QN_view_bounds small_bounds, large_bounds;
    ASSERT_TRUE(QN_camera_bounds(plain, a.data(), 8, 940, 530, &small_bounds));
    ASSERT_TRUE(QN_camera_bounds(plain, b.data(), 8, 940, 530, &large_bounds));
    EXPECT_LT(small_bounds.extent(), 0.1);
    EXPECT_GT(large_bounds.extent(), 1);
}

TEST(Framing, PerspectiveCentresTheNearAndFarSides) {
    const QB_tools box = make_box({0, 0, 0}, {40, 20, 60});
    for (double p : {0.01, 0.05, 0.1})
        for (const auto& t : kTurns) {
            QN_camera cam;
            cam.rot_x = t[0];
            cam.rot_y = t[1];
            cam.rot_z = t[2];
            cam.perspective = p;
            expect_framed(cam, box, 600, 400, "pers " + std::to_string(p) + " rot " + std::to_string(t[1]));
        }
}

TEST(Framing, RefusesWhatCannotBeFramedAndKeepsTheCamera) {
    QN_camera cam;
    cam.view_height = 77;
    cam.shift_x = 3;
    // A box whose far half lies behind the eye of a strong perspective.
    cam.perspective = 0.5;
    const QB_tools big = make_box({0, 0, 0}, {100, 100, 100});
    EXPECT_FALSE(QN_camera_fit_box(&cam, &big, 400, 400));
    // No extent, nothing, not finite.
    cam.perspective = 0;
    const QB_tools empty = make_box({0, 0, 0}, {0, 0, 0});
    EXPECT_FALSE(QN_camera_fit_box(&cam, &empty, 400, 400));
    EXPECT_FALSE(QN_camera_fit(&cam, nullptr, 0, 400, 400));
    const double bad[6] = {0, 0, 0, kNaN, 1, 1};
    EXPECT_FALSE(QN_camera_fit(&cam, bad, 2, 400, 400));
    const double fine[6] = {0, 0, 0, 1, 1, 1};
    EXPECT_FALSE(QN_camera_fit(&cam, fine, 2, 400, 400, 0));
    EXPECT_FALSE(QN_camera_fit(&cam, fine, 2, 400, 400, kInf));
    EXPECT_DOUBLE_EQ(cam.view_height, 77);
    EXPECT_FLOAT_EQ(cam.shift_x, 3);
    // A flat box seen edge-on still has a width to fit.
    const QB_tools flat = make_box({0, 0, 0}, {10, 10, 0});
    EXPECT_TRUE(QN_camera_fit_box(&cam, &flat, 400, 400));
    EXPECT_NEAR(cam.view_height, 10 / 0.9, 1e-9);
    // Other fill fractions.
    EXPECT_TRUE(QN_camera_fit_box(&cam, &flat, 400, 400, 0.5));
    EXPECT_NEAR(cam.view_height, 20, 1e-9);
}

TEST(Framing, BoxChangeIsRelativeToTheBoxSize) {
    const QB_tools a = make_box({0, 0, 0}, {100, 100, 100});
    QB_tools b = a;
    EXPECT_FALSE(QN_box_changed(&a, &b));
    b.size[0] += 5e-5;  // 5e-7 of the box
    EXPECT_FALSE(QN_box_changed(&a, &b));
    b.size[0] += 2e-4;
    EXPECT_TRUE(QN_box_changed(&a, &b));
    b = a;
    b.lo[2] = 1;
    EXPECT_TRUE(QN_box_changed(&a, &b));
    b = a;
    b.triclinic = 1;
    EXPECT_TRUE(QN_box_changed(&a, &b));
    b = a;
    b.cell[1][0] = kNaN;
    EXPECT_TRUE(QN_box_changed(&a, &b));
    const QB_tools none = make_box({0, 0, 0}, {0, 0, 0});
    EXPECT_FALSE(QN_box_changed(&none, &none));
    EXPECT_TRUE(QN_box_changed(&none, &a));
}
