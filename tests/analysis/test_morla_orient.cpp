#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/morla_orient.h"
#include "neighbourhoods.h"
#include "qb/qb_file.h"
#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"

using namespace MORLA_METHOD;

namespace {

const double kCu = 3.615;  // fcc lattice parameter
const double kFe = 2.855;  // bcc lattice parameter
const double kMg = 3.21;   // hcp a

QB_tools fcc_crystal(double a, const P3& x, const P3& y, const P3& z, int nx, int ny, int nz) {
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, a, x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
    QB_duplicate(&s, nx, ny, nz);
    return s;
}

QB_tools bcc_crystal(double a, const P3& x, const P3& y, const P3& z, int nx, int ny, int nz) {
    QB_tools s;
    QB_init(&s);
    QB_create_bcc(&s, a, x[0], x[1], x[2], y[0], y[1], y[2], z[0], z[1], z[2]);
    QB_duplicate(&s, nx, ny, nz);
    return s;
}

struct Result {
    double s, r, g, b;
};

template <class M>
std::vector<Result> run(M& m, const Neighbourhoods& h) {
    std::vector<Result> out;
    for (size_t i = 0; i < h.centre.size(); i++) {
        Call c(h.centre[i], h.near[i]);
        m.analysis(c.centre(), c.list(), c.n(), h.type[i]);
        out.push_back({m.s, m.r, m.g, m.b});
    }
    return out;
}

template <class M>
void manual(M& m, double mindis, const P3& d, double cut) {
    m.mindis = mindis;
    const double l = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (int k = 0; k < 3; k++) m.dir[k] = d[k] / l;
    m.ntypes = 1;
    m.cut = {cut};
    m.isadaptive = false;
}

// Every atom has code s and colour (r, g, b).
void expect_all(const std::vector<Result>& v, double s, double r, double g, double b, double tol, const char* what) {
    ASSERT_FALSE(v.empty());
    for (size_t i = 0; i < v.size(); i++) {
        ASSERT_EQ(v[i].s, s) << what << " atom " << i;
        ASSERT_NEAR(v[i].r, r, tol) << what << " atom " << i;
        ASSERT_NEAR(v[i].g, g, tol) << what << " atom " << i;
        ASSERT_NEAR(v[i].b, b, tol) << what << " atom " << i;
    }
}

// Every atom has code s and the colour of atom 0.
void expect_uniform(const std::vector<Result>& v, double s, const char* what) {
    ASSERT_FALSE(v.empty());
    for (size_t i = 0; i < v.size(); i++) {
        ASSERT_EQ(v[i].s, s) << what << " atom " << i;
        ASSERT_NEAR(v[i].r, v[0].r, 1e-9) << what << " atom " << i;
        ASSERT_NEAR(v[i].g, v[0].g, 1e-9) << what << " atom " << i;
        ASSERT_NEAR(v[i].b, v[0].b, 1e-9) << what << " atom " << i;
    }
}

const P3 X{1, 0, 0}, Y{0, 1, 0}, Z{0, 0, 1};

// Twelve nearest neighbours of an fcc atom at the origin (lattice a), as
// absolute positions, plus optional extras appended after them.
std::vector<P3> fcc_shell(double a) {
    std::vector<P3> v;
    const double h = 0.5 * a;
    for (int s1 = -1; s1 <= 1; s1 += 2)
        for (int s2 = -1; s2 <= 1; s2 += 2) {
            v.push_back({s1 * h, s2 * h, 0});
            v.push_back({0, s1 * h, s2 * h});
            v.push_back({s1 * h, 0, s2 * h});
        }
    return v;
}

std::string temp_path(const char* name) { return std::string(::testing::TempDir()) + name; }

void write_text(const std::string& path, const std::string& text) {
    QB_output_file f(path);
    ASSERT_TRUE(static_cast<bool>(f));
    QB_fprintf(f.get(), "%s", text.c_str());
    ASSERT_TRUE(f.commit());
}

}  // namespace

// ---------------------------------------------------------------------------
// The shared structure test

TEST(MorlaOrientStructure, PerfectCrystalsPassInBothMethods) {
    const Neighbourhoods fcc = gather(fcc_crystal(kCu, X, Y, Z, 4, 4, 4));
    const Neighbourhoods bcc = gather(bcc_crystal(kFe, X, Y, Z, 5, 5, 5));
    const Neighbourhoods hcp = gather(hcp_crystal(kMg, 6, 4, 4));
    for (const auto& nb : bcc.near) ASSERT_EQ(nb.size(), 16u);

    for (bool adaptive : {true, false}) {
        LocalCrystallographicOrientation lco;
        OrientationImagingMap oim;
        // Manual cut-offs between the shells the test must see: fcc and hcp
        // the first shell only, bcc the first two (0.866 a and a).
        auto setup = [&](double cut) {
            manual(lco, 0.1, Z, cut);
            manual(oim, 0.1, Z, cut);
            lco.isadaptive = oim.isadaptive = adaptive;
        };
        setup(0.85 * kCu);
        for (const Result& x : run(lco, fcc)) ASSERT_EQ(x.s, 1);
        for (const Result& x : run(oim, fcc)) ASSERT_EQ(x.s, 1);
        setup(1.2 * kFe);
        for (const Result& x : run(lco, bcc)) ASSERT_EQ(x.s, 2);
        for (const Result& x : run(oim, bcc)) ASSERT_EQ(x.s, 2);
        setup(1.2 * kMg);
        for (const Result& x : run(lco, hcp)) ASSERT_EQ(x.s, 3);
        for (const Result& x : run(oim, hcp)) ASSERT_EQ(x.s, 3);
    }
}

TEST(MorlaOrientStructure, DisorderedNeighbourhoodFailsAndStaysGrey) {
    QB_tools s = fcc_crystal(kCu, X, Y, Z, 4, 4, 4);
    add_noise(&s, 0.25 * kCu, 7);
    const Neighbourhoods h = gather(s);
    LocalCrystallographicOrientation lco;
    OrientationImagingMap oim;
    manual(lco, 0.1, Z, 0.85 * kCu);
    manual(oim, 0.1, Z, 0.85 * kCu);
    int failed = 0;
    const auto a = run(lco, h), b = run(oim, h);
    for (size_t i = 0; i < a.size(); i++) {
        ASSERT_EQ(a[i].s, b[i].s);
        if (a[i].s == 1 || a[i].s == 2 || a[i].s == 3) continue;
        failed++;
        // The other code 0.75 - 0.125 m: a multiple of 0.125 at most 0.75.
        EXPECT_LE(a[i].s, 0.75);
        EXPECT_DOUBLE_EQ(a[i].s * 8, std::round(a[i].s * 8));
        EXPECT_EQ(a[i].r, 0.7);
        EXPECT_EQ(a[i].g, 0.7);
        EXPECT_EQ(a[i].b, 0.7);
        EXPECT_EQ(b[i].r, 0.7);
        EXPECT_EQ(b[i].b, 0.7);
    }
    EXPECT_EQ(failed, static_cast<int>(a.size()));
}

TEST(MorlaOrientStructure, NeighbourCountInsideTheCutOffGivesTheOtherCode) {
    LocalCrystallographicOrientation lco;
    manual(lco, 0.1, Z, 3.0);
    P3 c{0, 0, 0};
    // Twelve fcc neighbours (2.556) and one more at 2.8: thirteen inside.
    std::vector<P3> nb = fcc_shell(kCu);
    nb.push_back({2.8, 0, 0});
    Call k(c, nb);
    lco.analysis(k.centre(), k.list(), k.n(), 0);
    EXPECT_DOUBLE_EQ(lco.s, -0.875);
    EXPECT_EQ(lco.r, 0.7);
    // Eleven inside.
    Call k11(c, std::vector<P3>(nb.begin(), nb.begin() + 11));
    lco.analysis(k11.centre(), k11.list(), k11.n(), 0);
    EXPECT_DOUBLE_EQ(lco.s, 0.75 - 0.125 * 11);
    // No neighbours, adaptive: the cut-off is not a number, nothing is kept.
    lco.isadaptive = true;
    lco.analysis(c.data(), nullptr, 0, 0);
    EXPECT_DOUBLE_EQ(lco.s, 0.75);
    EXPECT_EQ(lco.g, 0.7);
    OrientationImagingMap oim;
    oim.isadaptive = true;
    oim.analysis(c.data(), nullptr, 0, 0);
    EXPECT_DOUBLE_EQ(oim.s, 0.75);
}

TEST(MorlaOrientStructure, NeighbourWithoutPartnerFailsEvenWithAHugeTolerance) {
    // Twelve neighbours in a tight cap around +z: no pair is anywhere near
    // opposite, so no record finds a partner within the cut-off. With an
    // enormous mcsp tolerance the residual sum alone would pass.
    std::vector<P3> nb;
    for (int k = 0; k < 12; k++) {
        const double phi = 2 * M_PI * k / 12, t = 0.1 + 0.01 * k;
        nb.push_back({std::sin(t) * std::cos(phi), std::sin(t) * std::sin(phi), std::cos(t)});
    }
    P3 c{0, 0, 0};
    Call k(c, nb);
    LocalCrystallographicOrientation lco;
    OrientationImagingMap oim;
    manual(lco, 1e9, Z, 1.5);
    manual(oim, 1e9, Z, 1.5);
    lco.analysis(k.centre(), k.list(), k.n(), 0);
    oim.analysis(k.centre(), k.list(), k.n(), 0);
    EXPECT_DOUBLE_EQ(lco.s, -0.75);
    EXPECT_DOUBLE_EQ(oim.s, -0.75);
    EXPECT_EQ(lco.r, 0.7);
    EXPECT_EQ(oim.r, 0.7);
    // Fourteen such neighbours: the bcc branch fails the same way.
    for (int q = 0; q < 2; q++) nb.push_back({0.01 * q, 0.02, 1.0});
    Call k14(c, nb);
    lco.analysis(k14.centre(), k14.list(), k14.n(), 0);
    EXPECT_DOUBLE_EQ(lco.s, -1.0);
}

TEST(MorlaOrientStructure, TypeSelectsItsCutOff) {
    LocalCrystallographicOrientation lco;
    manual(lco, 0.1, Z, 3.0);
    lco.ntypes = 2;
    lco.cut = {3.0, 2.0};  // type index 1: nothing inside
    P3 c{0, 0, 0};
    Call k(c, fcc_shell(kCu));
    lco.analysis(k.centre(), k.list(), k.n(), 0);
    EXPECT_EQ(lco.s, 1);
    lco.analysis(k.centre(), k.list(), k.n(), 1);
    EXPECT_DOUBLE_EQ(lco.s, 0.75);
    lco.analysis(k.centre(), k.list(), k.n(), 5);  // beyond ntypes: entry 0
    EXPECT_EQ(lco.s, 1);
    lco.analysis(k.centre(), k.list(), k.n(), -1);  // no parameters
    EXPECT_DOUBLE_EQ(lco.s, 0.75);
    EXPECT_EQ(lco.b, 0.7);
}

// ---------------------------------------------------------------------------
// Configuration

TEST(MorlaOrientInit, ManualAdaptiveAndAbsent) {
    {
        std::vector<std::string> w{"x", "lco", "0.2", "1", "1", "0", "3.0", "2.5", "cna"};
        std::vector<char*> a;
        for (auto& s : w) a.push_back(&s[0]);
        LocalCrystallographicOrientation lco;
        EXPECT_EQ(lco.init(static_cast<int>(a.size()), a.data()), 1);
        EXPECT_DOUBLE_EQ(lco.mindis, 0.2);
        EXPECT_NEAR(lco.dir[0], std::sqrt(0.5), 1e-12);
        EXPECT_NEAR(lco.dir[1], std::sqrt(0.5), 1e-12);
        EXPECT_EQ(lco.dir[2], 0);
        EXPECT_EQ(lco.ntypes, 2);
        EXPECT_EQ(lco.cut, (std::vector<double>{3.0, 2.5}));
        EXPECT_FALSE(lco.isadaptive);
        lco.freesetting();
        EXPECT_TRUE(lco.cut.empty());
    }
    {
        std::vector<std::string> w{"oim", "0.2", "1", "1"};
        std::vector<char*> a;
        for (auto& s : w) a.push_back(&s[0]);
        OrientationImagingMap oim;
        oim.ntypes = 4;
        EXPECT_EQ(oim.init(static_cast<int>(a.size()), a.data()), -1);
        EXPECT_TRUE(oim.isadaptive);
        EXPECT_EQ(oim.cut.size(), 1u);
        EXPECT_EQ(oim.ntypes, 0);
        EXPECT_EQ(oim.init(1, a.data()), -1);  // keyword is the last word
        LocalCrystallographicOrientation lco;
        lco.ntypes = 3;
        EXPECT_EQ(lco.init(static_cast<int>(a.size()), a.data()), 0);
        EXPECT_EQ(lco.ntypes, 0);
        EXPECT_FALSE(lco.isadaptive);
    }
}

TEST(MorlaOrientInit, AdaptiveModeIgnoresTheConfiguredDirection) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, X, Y, Z, 4, 4, 4));
    LocalCrystallographicOrientation lco;
    manual(lco, 1e-6, {1, 1, 1}, 0.1);
    lco.isadaptive = true;
    // Adaptive: mindis 3, dir z, so a cube axis along the reference: red.
    expect_all(run(lco, h), 1, 1, 0, 0, 1e-9, "lco adaptive");
    EXPECT_EQ(lco.mindis, 3);
    EXPECT_EQ(lco.dir[2], 1);
    // cut[0]: the first-shell distance a/sqrt2 scaled by (1 + sqrt2)/2
    // (16 neighbours: the first 12 enter, all at a/sqrt2; the first four
    // weighted 2/sqrt3).
    const double d = kCu / std::sqrt(2.0);
    const double S = 4 * d * 2 / std::sqrt(3.0) + 8 * d;
    EXPECT_NEAR(lco.cut[0], (1 + std::sqrt(2.0)) / 2 * S / 12, 1e-9);
}

// ---------------------------------------------------------------------------
// LCO colours of crystals in known orientations

TEST(MorlaOrientLco, FccColoursFollowTheReferenceDirection) {
    LocalCrystallographicOrientation lco;
    const double cut = 0.85 * kCu;
    const Neighbourhoods cube = gather(fcc_crystal(kCu, X, Y, Z, 4, 4, 4));
    // Cube axes along x, y, z: [001] is a cube axis, [110] a face diagonal,
    // [111] a body diagonal.
    manual(lco, 0.1, Z, cut);
    expect_all(run(lco, cube), 1, 1, 0, 0, 1e-9, "cube, [001]");
    manual(lco, 0.1, {1, 1, 0}, cut);
    expect_all(run(lco, cube), 1, 0, 1, 0, 1e-9, "cube, [110]");
    manual(lco, 0.1, {1, 1, 1}, cut);
    expect_all(run(lco, cube), 1, 0, 0, 1, 1e-9, "cube, [111]");

    // x = [110], y = [-110], z = [001].
    const Neighbourhoods rot = gather(fcc_crystal(kCu, {1, 1, 0}, {-1, 1, 0}, Z, 3, 3, 4));
    manual(lco, 0.1, Z, cut);
    expect_all(run(lco, rot), 1, 1, 0, 0, 1e-9, "[110] crystal, z = [001]");
    manual(lco, 0.1, X, cut);
    expect_all(run(lco, rot), 1, 0, 1, 0, 1e-9, "[110] crystal, x = [110]");
    manual(lco, 0.1, {1, 1, 0}, cut);  // lab [110] = crystal [010]
    expect_all(run(lco, rot), 1, 1, 0, 0, 1e-9, "[110] crystal, lab [110]");

    // x = [111], y = [1-10], z = [11-2].
    const Neighbourhoods t = gather(fcc_crystal(kCu, {1, 1, 1}, {1, -1, 0}, {1, 1, -2}, 2, 3, 2));
    manual(lco, 0.1, X, cut);
    expect_all(run(lco, t), 1, 0, 0, 1, 1e-9, "[111] crystal, x");
    manual(lco, 0.1, Y, cut);
    expect_all(run(lco, t), 1, 0, 1, 0, 1e-9, "[111] crystal, y");
    // [11-2]: cosines to the cube axes 1/sqrt6, 1/sqrt6, 2/sqrt6. Red
    // 1 - (1/sqrt2 + 1/sqrt6)/(1 + sqrt(2/3)) = 0.38602, green 0, blue
    // (2/sqrt6)/((sqrt3 - 1)(1 + sqrt(2/3))) = 0.61407; scaled by the blue.
    manual(lco, 0.1, Z, cut);
    expect_all(run(lco, t), 1, 0.628626, 0, 1, 1e-5, "[111] crystal, z");
    // Any direction: all atoms of a perfect crystal the same colour.
    manual(lco, 0.1, {0.3, -0.5, 0.8}, cut);
    expect_uniform(run(lco, t), 1, "[111] crystal, general");
}

TEST(MorlaOrientLco, BccAndHcpColours) {
    LocalCrystallographicOrientation lco;
    const Neighbourhoods bcc = gather(bcc_crystal(kFe, X, Y, Z, 5, 5, 5));
    manual(lco, 0.1, Z, 1.2 * kFe);
    expect_all(run(lco, bcc), 2, 1, 0, 0, 1e-6, "bcc, [001]");
    manual(lco, 0.1, {1, 1, 0}, 1.2 * kFe);
    expect_all(run(lco, bcc), 2, 0, 1, 0, 1e-6, "bcc, [110]");
    manual(lco, 0.1, {1, 1, 1}, 1.2 * kFe);
    expect_all(run(lco, bcc), 2, 0, 0, 1, 1e-6, "bcc, [111]");
    manual(lco, 0.1, {0.2, 0.7, -0.4}, 1.2 * kFe);
    expect_uniform(run(lco, bcc), 2, "bcc, general");

    const Neighbourhoods hcp = gather(hcp_crystal(kMg, 6, 4, 4));
    manual(lco, 0.1, Z, 1.2 * kMg);  // c axis
    expect_all(run(lco, hcp), 3, 1, 0, 0, 1e-9, "hcp, c");
    manual(lco, 0.1, X, 1.2 * kMg);  // a axis
    expect_all(run(lco, hcp), 3, 0, 1, 0, 1e-9, "hcp, a");
    manual(lco, 0.1, Y, 1.2 * kMg);  // <10-10>
    expect_all(run(lco, hcp), 3, 0, 0, 1, 1e-9, "hcp, <10-10>");
    // The in-plane and out-of-plane neighbours found for the last atom: the
    // basal plane is z = const, the others sit c/2 above or below.
    const P3& c = hcp.centre.back();
    const std::vector<P3>& nb = hcp.near.back();
    const double half_c = 0.5 * kMg * std::sqrt(8.0 / 3.0);
    for (int k = 0; k < 6; k++) {
        ASSERT_GE(lco.inplane[k], 0);
        ASSERT_LT(lco.inplane[k], 12);
        ASSERT_GE(lco.outplane[k], 0);
        ASSERT_LT(lco.outplane[k], 12);
        EXPECT_NEAR(nb[lco.inplane[k]][2] - c[2], 0, 1e-9);
        EXPECT_NEAR(std::fabs(nb[lco.outplane[k]][2] - c[2]), half_c, 1e-9);
    }
}

TEST(MorlaOrientLco, DirectionOfZeroLengthLeavesRecognisedAtomsGrey) {
    // The colour divisors are not numbers: structure still found, grey.
    LocalCrystallographicOrientation lco;
    manual(lco, 0.1, Z, 3.0);
    lco.dir[0] = lco.dir[1] = lco.dir[2] = 0;
    OrientationImagingMap oim;
    manual(oim, 0.1, Z, 3.0);
    oim.dir[0] = oim.dir[1] = oim.dir[2] = 0;
    P3 c{0, 0, 0};
    Call k(c, fcc_shell(kCu));
    lco.analysis(k.centre(), k.list(), k.n(), 0);
    oim.analysis(k.centre(), k.list(), k.n(), 0);
    EXPECT_EQ(lco.s, 1);
    EXPECT_EQ(oim.s, 1);
    for (double v : {lco.r, lco.g, lco.b, oim.r, oim.g, oim.b}) EXPECT_EQ(v, 0.7);
}

// ---------------------------------------------------------------------------
// OIM

TEST(MorlaOrientOim, PerfectCrystalsMatchTheirReferencePattern) {
    OrientationImagingMap oim;
    // A perfect match weighs 100000 against at most about 1 for the others,
    // so the matching colour is practically 1.
    auto dominant = [](const std::vector<Result>& v, int channel, double s, const char* what) {
        expect_uniform(v, s, what);
        const double c[3] = {v[0].r, v[0].g, v[0].b};
        EXPECT_GT(c[channel], 0.9999) << what;
        EXPECT_NEAR(c[0] * c[0] + c[1] * c[1] + c[2] * c[2], 1, 1e-12) << what;
    };
    const Neighbourhoods fcc = gather(fcc_crystal(kCu, X, Y, Z, 4, 4, 4));
    manual(oim, 0.1, Z, 0.85 * kCu);
    dominant(run(oim, fcc), 0, 1, "fcc [001]");
    manual(oim, 0.1, {1, 1, 0}, 0.85 * kCu);
    dominant(run(oim, fcc), 1, 1, "fcc [110]");
    manual(oim, 0.1, {1, 1, 1}, 0.85 * kCu);
    dominant(run(oim, fcc), 2, 1, "fcc [111]");
    const Neighbourhoods rot = gather(fcc_crystal(kCu, {1, 1, 1}, {1, -1, 0}, {1, 1, -2}, 2, 3, 2));
    manual(oim, 0.1, X, 0.85 * kCu);
    dominant(run(oim, rot), 2, 1, "[111] crystal, x");
    manual(oim, 0.1, Y, 0.85 * kCu);
    dominant(run(oim, rot), 1, 1, "[111] crystal, y");

    const Neighbourhoods bcc = gather(bcc_crystal(kFe, X, Y, Z, 5, 5, 5));
    manual(oim, 0.1, Z, 1.2 * kFe);
    dominant(run(oim, bcc), 0, 2, "bcc [001]");
    manual(oim, 0.1, {1, 1, 0}, 1.2 * kFe);
    dominant(run(oim, bcc), 1, 2, "bcc [110]");
    manual(oim, 0.1, {1, 1, 1}, 1.2 * kFe);
    dominant(run(oim, bcc), 2, 2, "bcc [111]");

    const Neighbourhoods hcp = gather(hcp_crystal(kMg, 6, 4, 4));
    manual(oim, 0.1, Z, 1.2 * kMg);
    dominant(run(oim, hcp), 0, 3, "hcp c");
    manual(oim, 0.1, X, 1.2 * kMg);
    dominant(run(oim, hcp), 1, 3, "hcp a");
    manual(oim, 0.1, Y, 1.2 * kMg);
    dominant(run(oim, hcp), 2, 3, "hcp <10-10>");
}

TEST(MorlaOrientOim, HcpWithOtherAxialRatioStillReadsAsCAxis) {
    // c/a = 1.58 instead of 1.633: the out-of-plane bonds are pulled toward
    // the ideal ratio before the angles are compared.
    QB_tools s;
    QB_init(&s);
    QB_create_hcp(&s, kMg, 1.58 * kMg, 1, 0, 0, 1, 2, 0, 0, 0, 1);
    QB_duplicate(&s, 6, 4, 4);
    const Neighbourhoods h = gather(s);
    OrientationImagingMap oim;
    manual(oim, 0.5, Z, 1.2 * kMg);
    const auto v = run(oim, h);
    expect_uniform(v, 3, "hcp c/a 1.58");
    EXPECT_GT(v[0].r, 0.99);
}

TEST(MorlaOrientOim, HcpLeavesTheCallersPositionsAlone) {
    const Neighbourhoods h = gather(hcp_crystal(kMg, 6, 4, 4));
    OrientationImagingMap oim;
    manual(oim, 0.1, Z, 1.2 * kMg);
    Call c(h.centre[0], h.near[0]);
    const std::vector<P3> before = c.nb;
    oim.analysis(c.centre(), c.list(), c.n(), 0);
    EXPECT_EQ(oim.s, 3);
    EXPECT_EQ(c.nb, before);
}

TEST(MorlaOrientOim, SbubbleSortsAscending) {
    OrientationImagingMap oim;
    double a[6] = {3, -1, 2, 2, 0.5, -7};
    oim.sbubble(a, 6);
    const double want[6] = {-7, -1, 0.5, 2, 2, 3};
    for (int i = 0; i < 6; i++) EXPECT_EQ(a[i], want[i]);
    oim.sbubble(a, 0);  // nothing to do
}

// ---------------------------------------------------------------------------
// NDA

TEST(MorlaOrientNda, BuiltInLibraryRecognisesFccAndBcc) {
    NeighborDistanceAnalysis nda;
    std::string w = "nda";
    char* argv[] = {&w[0]};
    EXPECT_EQ(nda.init(1, argv), 2);
    EXPECT_EQ(nda.npattern, 2);
    EXPECT_EQ(nda.pattern_size, (std::vector<int>{12, 14}));
    EXPECT_EQ(nda.pattern_tol, (std::vector<double>{0.21, 0.21}));

    const Neighbourhoods fcc = gather(fcc_crystal(kCu, X, Y, Z, 4, 4, 4));
    for (size_t i = 0; i < fcc.centre.size(); i++) {
        Call c(fcc.centre[i], fcc.near[i]);
        ASSERT_EQ(nda.analysis(c.centre(), c.list(), c.n()), 1);
        ASSERT_EQ(nda.nmatch, 12);
    }
    const Neighbourhoods bcc = gather(bcc_crystal(kFe, X, Y, Z, 5, 5, 5));
    for (size_t i = 0; i < bcc.centre.size(); i++) {
        Call c(bcc.centre[i], bcc.near[i]);
        ASSERT_EQ(nda.analysis(c.centre(), c.list(), c.n()), 2);
        ASSERT_EQ(nda.nmatch, 14);
    }
    // Twelve fcc neighbours only: the bcc pattern (14 points) is skipped.
    P3 o{0, 0, 0};
    Call twelve(o, fcc_shell(kCu));
    EXPECT_EQ(nda.analysis(twelve.centre(), twelve.list(), twelve.n()), 1);
    // A badly distorted shell matches nothing.
    std::vector<P3> bent = fcc_shell(kCu);
    bent[3] = {0.2, 0.1, 2.6};
    bent[7] = {-1.0, 2.3, 0.3};
    Call b(o, bent);
    EXPECT_EQ(nda.analysis(b.centre(), b.list(), b.n()), -1);
    EXPECT_EQ(nda.nmatch, 0);
    // No neighbours: refused.
    EXPECT_EQ(nda.analysis(o.data(), nullptr, 0), -1);
    EXPECT_EQ(nda.nmatch, 0);
    nda.freesetting();
    EXPECT_EQ(nda.npattern, 0);
    EXPECT_TRUE(nda.pattern_size.empty());
}

TEST(MorlaOrientNda, PatternFileIsReadBackAndMatched) {
    // A simple cubic shell of six points, in arbitrary units.
    const std::string path = temp_path("nda_sc.txt");
    write_text(path, "simple cubic\n6 0.1\n2 0 0\n-2 0 0\n0 2 0\n0 -2 0\n0 0 2\n0 0 -2\n");
    NeighborDistanceAnalysis nda;
    std::string w0 = "nda", w1 = path, w2 = temp_path("no_such_pattern.txt");
    char* argv[] = {&w0[0], &w1[0], &w2[0]};
    EXPECT_EQ(nda.init(3, argv), 1);
    ASSERT_EQ(nda.npattern, 1);
    EXPECT_EQ(nda.pattern_size[0], 6);
    EXPECT_DOUBLE_EQ(nda.pattern_tol[0], 0.1);
    ASSERT_EQ(nda.pattern_radial[0].size(), 6u);
    for (double r : nda.pattern_radial[0]) EXPECT_DOUBLE_EQ(r, 2);
    // Row of point 0: four neighbours at 2 sqrt2, the opposite one at 4.
    ASSERT_EQ(nda.pattern_dist[0].size(), 30u);
    for (int l = 0; l < 4; l++) EXPECT_DOUBLE_EQ(nda.pattern_dist[0][l], 2 * std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(nda.pattern_dist[0][4], 4);

    // A simple cubic atom with spacing 3.1 and a slightly disturbed shell.
    P3 c{1, 1, 1};
    std::vector<P3> nb{{4.1, 1, 1}, {-2.1, 1, 1}, {1, 4.1, 1}, {1, -2.1, 1}, {1, 1, 4.1}, {1, 1.02, -2.1}};
    Call k(c, nb);
    EXPECT_EQ(nda.analysis(k.centre(), k.list(), k.n()), 1);
    EXPECT_EQ(nda.nmatch, 6);
    // Five neighbours: the six-point pattern does not apply.
    Call k5(c, std::vector<P3>(nb.begin(), nb.begin() + 5));
    EXPECT_EQ(nda.analysis(k5.centre(), k5.list(), k5.n()), -1);

    // A second "nda" keyword appends further files.
    std::string w3 = "nda", w4 = path;
    char* argv2[] = {&w0[0], &w1[0], &w3[0], &w4[0]};
    EXPECT_EQ(nda.init(4, argv2), 1);
    EXPECT_EQ(nda.npattern, 2);
    // No keyword: nothing.
    std::string other = "cna";
    char* argv3[] = {&other[0]};
    EXPECT_EQ(nda.init(1, argv3), 0);
    EXPECT_EQ(nda.npattern, 0);
    std::remove(path.c_str());
}

TEST(MorlaOrientNda, BadPatternFilesAreRefused) {
    NeighborDistanceAnalysis nda;
    nda.defaultsetting();
    ASSERT_EQ(nda.npattern, 2);
    struct Case {
        const char* name;
        const char* text;
    };
    const Case bad[] = {
        {"nda_trunc.txt", "title\n3 0.2\n1 0 0\n0 1 0\n0 0\n"},       // ends before the third point
        {"nda_origin.txt", "title\n3 0.2\n1 0 0\n0 0 0\n0 0 1\n"},    // point at the origin
        {"nda_word.txt", "title\n3 0.2\n1 0 0\n0 1 x\n0 0 1\n"},      // not a number
        {"nda_count.txt", "title\n3.5 0.2\n1 0 0\n0 1 0\n0 0 1\n"},   // N not an integer
        {"nda_zero.txt", "title\n0 0.2\n"},                            // no points
        {"nda_empty.txt", "title only\n"},                             // nothing after the title
    };
    for (const Case& c : bad) {
        const std::string path = temp_path(c.name);
        write_text(path, c.text);
        std::string p = path;
        EXPECT_EQ(nda.readpattern(&p[0]), -1) << c.name;
        EXPECT_EQ(nda.npattern, 2) << c.name;  // library unchanged
        EXPECT_EQ(nda.pattern_dist.size(), 2u) << c.name;
        std::string w0 = "nda";
        char* argv[] = {&w0[0], &p[0]};
        NeighborDistanceAnalysis other;
        EXPECT_EQ(other.init(2, argv), -1) << c.name;
        std::remove(path.c_str());
    }
    std::string missing = temp_path("nda_missing.txt");
    EXPECT_EQ(nda.readpattern(&missing[0]), 0);
    EXPECT_EQ(nda.readpattern(nullptr), 0);
    // Written in the C locale, a decimal point reads back whatever the
    // user's locale.
    const std::string good = temp_path("nda_one.txt");
    write_text(good, "one point\n1 0.5\n0.25 0 0\n");
    std::string g = good;
    EXPECT_EQ(nda.readpattern(&g[0]), 1);
    EXPECT_EQ(nda.npattern, 3);
    EXPECT_TRUE(nda.pattern_dist[2].empty());
    EXPECT_DOUBLE_EQ(nda.pattern_radial[2][0], 0.25);
    // One neighbour: only the one-point pattern applies, and it matches.
    P3 o{0, 0, 0};
    Call one(o, {{0, 0, 2.5}});
    EXPECT_EQ(nda.analysis(one.centre(), one.list(), one.n()), 3);
    EXPECT_EQ(nda.nmatch, 1);
    // A neighbour on top of the centre gives no scale: refused.
    Call on_top(o, {{0, 0, 0}});
    EXPECT_EQ(nda.analysis(on_top.centre(), on_top.list(), on_top.n()), -1);
    std::remove(good.c_str());
}
