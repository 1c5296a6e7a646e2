#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

#include "analysis/morla.h"
#include "neighbourhoods.h"
#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_random.h"

using namespace MORLA_METHOD;

namespace {

QB_tools fcc_crystal(double a, int n) {
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

QB_tools bcc_crystal(double a, int n) {
    QB_tools s;
    QB_init(&s);
    QB_create_bcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

std::vector<double> cna_adaptive(const Neighbourhoods& h) {
    CommonNeighborAnalysis m;
    m.isadaptive = 1;
    return run(h, [&](Call& c, int t) { return static_cast<double>(m.analysis(c.centre(), c.list(), c.n(), t)); });
}

std::vector<double> baa(const Neighbourhoods& h) {
    BondAngleAnalysis m;
    return run(h, [&](Call& c, int) { return m.analysis(c.centre(), c.list(), c.n()); });
}

std::vector<double> cnp_adaptive(const Neighbourhoods& h) {
    CommonNeighborParameter m;
    m.isadaptive = true;
    m.cut = {0};
    return run(h, [&](Call& c, int t) { return m.analysis(c.centre(), c.list(), c.n(), t); });
}

void expect_all(const std::vector<double>& v, double want, const char* what) {
    for (size_t i = 0; i < v.size(); i++) ASSERT_DOUBLE_EQ(v[i], want) << what << " atom " << i;
}

// Minimum-image distance between a position and atom i of a periodic
// orthogonal box.
double periodic_distance(const QB_tools& s, const P3& p, int i) {
    const double q[3] = {s.atoms[i].x, s.atoms[i].y, s.atoms[i].z};
    double d2 = 0;
    for (int d = 0; d < 3; d++) {
        double v = q[d] - p[d];
        v -= s.size[d] * std::round(v / s.size[d]);
        d2 += v * v;
    }
    return std::sqrt(d2);
}

const double kCu = 3.615;  // fcc lattice parameter
const double kFe = 2.855;  // bcc lattice parameter
const double kMg = 3.21;   // hcp a

}  // namespace

// ---------------------------------------------------------------------------
// Perfect crystals

TEST(MorlaPerfect, FccIsCodeOneEverywhere) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 4));
    ASSERT_EQ(h.centre.size(), 256u);
    for (const auto& nb : h.near) ASSERT_EQ(nb.size(), 16u);
    const double d = kCu / std::sqrt(2.0);
    expect_all(cna_adaptive(h), 1, "cna adaptive");
    expect_all(cna_fixed(h, 0, 0.5 * (1 + std::sqrt(2.0)) * d), 1, "cna fixed");
    expect_all(baa(h), 1, "baa");
    for (double v : csp(h, 12)) ASSERT_NEAR(v, 0, 1e-9);
    for (double v : cnp_adaptive(h)) ASSERT_NEAR(v, 0, 1e-9);
}

TEST(MorlaPerfect, BccIsCodeTwoEverywhere) {
    const Neighbourhoods h = gather(bcc_crystal(kFe, 5));
    ASSERT_EQ(h.centre.size(), 250u);
    for (const auto& nb : h.near) ASSERT_EQ(nb.size(), 16u);
    // Window around the first two shells (0.866 a and a), below the third.
    expect_all(cna_adaptive(h), 2, "cna adaptive");
    expect_all(cna_fixed(h, 0, 1.2 * kFe), 2, "cna fixed");
    expect_all(baa(h), 2, "baa");
    for (double v : csp(h, 8)) ASSERT_NEAR(v, 0, 1e-9);
    for (double v : csp(h, 14)) ASSERT_NEAR(v, 0, 1e-9);
}

TEST(MorlaPerfect, HcpIsCodeThreeEverywhere) {
    const Neighbourhoods h = gather(hcp_crystal(kMg, 6, 4, 4));
    ASSERT_GT(h.centre.size(), 300u);
    for (const auto& nb : h.near) ASSERT_GE(nb.size(), 12u);
    expect_all(cna_adaptive(h), 3, "cna adaptive");
    expect_all(cna_fixed(h, 0, 0.5 * (1 + std::sqrt(2.0)) * kMg), 3, "cna fixed");
    expect_all(baa(h), 3, "baa");
    // hcp is not centro-symmetric: three pairs have no opposite partner.
    for (double v : csp(h, 12)) ASSERT_GT(v, 1.0);
}

TEST(MorlaPerfect, FixedWindowCountsOnlyNeighboursStrictlyInside) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    const double d = kCu / std::sqrt(2.0);
    // Upper bound just below the first-shell distance keeps nobody: 0.75.
    expect_all(cna_fixed(h, 0, 0.99 * d), 0.75, "hi < d");
    // A window holding only the second shell keeps 4 of the 16 listed.
    expect_all(cna_fixed(h, 1.1 * d, 1.2 * kCu), 0.75 - 0.125 * 4, "second shell only");
    // Lower bound just below the first shell, upper bound between the shells.
    expect_all(cna_fixed(h, 0.99 * d, 1.2 * d), 1, "first shell");
    // Both shells kept (16): the common neighbours now include second-shell
    // atoms, nothing classifies.
    expect_all(cna_fixed(h, 0, 1.1 * kCu), -1.25, "two shells");
}

// ---------------------------------------------------------------------------
// Defects

TEST(MorlaDefect, VacancyChangesExactlyItsNeighboursInFcc) {
    QB_tools s = fcc_crystal(kCu, 4);
    const int v = s.natoms / 2 + 3;
    const P3 site = {s.atoms[v].x, s.atoms[v].y, s.atoms[v].z};
    ASSERT_EQ(QB_delete_atom(&s, v), 1);
    QB_affine_delete(&s);
    ASSERT_EQ(s.natoms, 255);
    const Neighbourhoods h = gather(s);
    const std::vector<double> a = cna_adaptive(h);
    const std::vector<double> f = cna_fixed(h, 0, 0.5 * (1 + std::sqrt(2.0)) * kCu / std::sqrt(2.0));
    const std::vector<double> c = csp(h, 12);
    const std::vector<double> b = baa(h);
    int changed = 0;
    for (int i = 0; i < s.natoms; i++) {
        const bool neighbour = periodic_distance(s, site, i) < 0.8 * kCu;
        changed += neighbour;
        if (neighbour) {
            EXPECT_NE(a[i], 1) << i;
            EXPECT_DOUBLE_EQ(f[i], 0.75 - 0.125 * 11) << i;
            EXPECT_GT(c[i], 1.0) << i;
        } else {
            EXPECT_EQ(a[i], 1) << i;
            EXPECT_EQ(f[i], 1) << i;
            EXPECT_NEAR(c[i], 0, 1e-9) << i;
            EXPECT_EQ(b[i], 1) << i;
        }
    }
    EXPECT_EQ(changed, 12);
}

TEST(MorlaDefect, VacancyChangesExactlyItsFourteenNeighboursInBcc) {
    QB_tools s = bcc_crystal(kFe, 5);
    const int v = 2 * 62;
    const P3 site = {s.atoms[v].x, s.atoms[v].y, s.atoms[v].z};
    ASSERT_EQ(QB_delete_atom(&s, v), 1);
    QB_affine_delete(&s);
    const Neighbourhoods h = gather(s);
    const std::vector<double> a = cna_adaptive(h);
    int changed = 0;
    for (int i = 0; i < s.natoms; i++) {
        const bool neighbour = periodic_distance(s, site, i) < 1.1 * kFe;
        changed += neighbour;
        if (neighbour)
            EXPECT_NE(a[i], 2) << i;
        else
            EXPECT_EQ(a[i], 2) << i;
    }
    EXPECT_EQ(changed, 14);
}

TEST(MorlaDefect, FreeSurfaceChangesOnlyTheOuterLayers) {
    QB_tools s = fcc_crystal(kCu, 4);
    s.periodic[2] = 0;  // free (001) surfaces at z = 0 and z = lz - a/2
    const Neighbourhoods h = gather(s);
    const std::vector<double> a = cna_adaptive(h);
    const std::vector<double> c = csp(h, 12);
    const double top = s.size[2] - kCu / 2;
    int surface = 0;
    for (int i = 0; i < s.natoms; i++) {
        const double z = s.atoms[i].z;
        const bool outer = z < 0.1 || z > top - 0.1;
        surface += outer;
        if (outer) {
            EXPECT_NE(a[i], 1) << i;
            EXPECT_GT(c[i], 1.0) << i;
        } else {
            EXPECT_EQ(a[i], 1) << i;
            EXPECT_NEAR(c[i], 0, 1e-9) << i;
        }
    }
    EXPECT_EQ(surface, 2 * 32);
}

TEST(MorlaDefect, SmallNoiseKeepsTheCodes) {
    struct Case {
        QB_tools s;
        double code;
        int csp_n;
    };
    std::vector<Case> cases;
    cases.push_back({fcc_crystal(kCu, 4), 1, 12});
    cases.push_back({bcc_crystal(kFe, 5), 2, 8});
    cases.push_back({hcp_crystal(kMg, 6, 4, 4), 3, 0});
    uint32_t seed = 7;
    for (Case& k : cases) {
        add_noise(&k.s, 0.05, seed++);
        const Neighbourhoods h = gather(k.s);
        expect_all(cna_adaptive(h), k.code, "cna adaptive");
        expect_all(baa(h), k.code, "baa");
        if (k.csp_n > 0)
            for (double v : csp(h, k.csp_n)) {
                EXPECT_GT(v, 0);
                EXPECT_LT(v, 0.25);
            }
    }
}

// ---------------------------------------------------------------------------
// Codes of unrecognised neighbourhoods

TEST(MorlaCodes, OtherCodeValues) {
    EXPECT_DOUBLE_EQ(other_code(0), 0.75);
    EXPECT_DOUBLE_EQ(other_code(6), 0);
    EXPECT_DOUBLE_EQ(other_code(12), -0.75);
    EXPECT_DOUBLE_EQ(other_code(16), -1.25);
    EXPECT_DOUBLE_EQ(mark(1.0), 1.5);
    CommonNeighborAnalysis m;
    static_assert(std::is_same<decltype(m.analysis(nullptr, nullptr, 0, 0)), float>::value, "CNA is float");
}

TEST(MorlaCodes, EmptyOctahedralAndShapelessNeighbourhoods) {
    CommonNeighborAnalysis cna;
    cna.isadaptive = 1;
    BondAngleAnalysis b;
    double centre[3] = {0, 0, 0};
    // n = 0
    EXPECT_FLOAT_EQ(cna.analysis(centre, nullptr, 0, 0), 0.75f);
    EXPECT_DOUBLE_EQ(b.analysis(centre, nullptr, 0), 0.75);
    // n = 6, octahedron
    Call oct(P3{0, 0, 0}, {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}});
    EXPECT_FLOAT_EQ(cna.analysis(oct.centre(), oct.list(), 6, 0), 0.0f);
    EXPECT_DOUBLE_EQ(b.analysis(oct.centre(), oct.list(), 6), 0.0);
    // n = 5 and 9
    EXPECT_DOUBLE_EQ(b.analysis(oct.centre(), oct.list(), 5), 0.125);
    // 12 and 16 random directions at growing distance: no structure.
    QB_random g;
    g.seed(99);
    std::vector<P3> pts;
    for (int k = 0; k < 16; k++) {
        double v[3];
        double l = 0;
        do {
            for (double& x : v) x = 2.0 * g.next() / QB_RAND_MAX - 1.0;
            l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        } while (l < 0.2 || l > 1);
        const double r = 2.5 + 0.05 * k;
        pts.push_back({v[0] / l * r, v[1] / l * r, v[2] / l * r});
    }
    Call rnd(P3{0, 0, 0}, pts);
    EXPECT_FLOAT_EQ(cna.analysis(rnd.centre(), rnd.list(), 16, 0), -1.25f);
    EXPECT_FLOAT_EQ(cna.analysis(rnd.centre(), rnd.list(), 12, 0), -0.75f);
    EXPECT_FLOAT_EQ(cna.analysis(rnd.centre(), rnd.list(), 9, 0), -0.375f);
    CommonNeighborAnalysis fixed;
    fixed.ntypes = 1;
    fixed.mincut = {0};
    fixed.maxcut = {10};
    EXPECT_FLOAT_EQ(fixed.analysis(rnd.centre(), rnd.list(), 16, 0), -1.25f);
    EXPECT_FLOAT_EQ(fixed.analysis(rnd.centre(), rnd.list(), 12, 0), -0.75f);
    cna.isadaptive = 2;  // neither mode: other code with n
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    Call f0(h.centre[0], h.near[0]);
    EXPECT_FLOAT_EQ(cna.analysis(f0.centre(), f0.list(), 16, 0), -1.25f);
}

TEST(MorlaCodes, SignaturesAndAdaptiveCutOffs) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    CommonNeighborAnalysis::vector r[16];
    for (int j = 0; j < 16; j++)
        r[j] = {h.near[0][j][0] - h.centre[0][0], h.near[0][j][1] - h.centre[0][1], h.near[0][j][2] - h.centre[0][2]};
    CommonNeighborAnalysis m;
    const double d = kCu / std::sqrt(2.0);
    const double cut2 = m.adaptive(r, 12);
    EXPECT_NEAR(cut2, std::pow(0.5 * (1 + std::sqrt(2.0)) * d, 2), 1e-9);
    EXPECT_EQ(m.adaptive(r, 13), 0);
    for (int j = 0; j < 12; j++) EXPECT_EQ(m.num(r, j, 12, 0, cut2), 421);
    EXPECT_EQ(m.num(r, 0, 12, 0, 0.5 * d * d), 0);
    EXPECT_DOUBLE_EQ(m.squaredlengths(1, 2, 3), 14);
    // Adaptive mode leaves its last cut-off in maxcut[0].
    m.isadaptive = 1;
    Call c(h.centre[0], h.near[0]);
    EXPECT_FLOAT_EQ(m.analysis(c.centre(), c.list(), c.n(), 0), 1.0f);
    ASSERT_EQ(m.maxcut.size(), 1u);
    EXPECT_NEAR(m.maxcut[0], cut2, 1e-9);
    BondAngleAnalysis b;
    BondAngleAnalysis::vector v[2] = {{1, 0, 0}, {-2, 0, 0}};
    EXPECT_DOUBLE_EQ(b.cosangle(v, 0, 1), -1);
    EXPECT_DOUBLE_EQ(b.point(1, 2, 3, 4, 5, 6), 32);
}

// ---------------------------------------------------------------------------
// CNP and CSP details

TEST(MorlaValues, CnpFixedAndNoNeighbour) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    CommonNeighborParameter m;
    m.ntypes = 1;
    m.cut = {0.5 * (1 + std::sqrt(2.0)) * kCu / std::sqrt(2.0)};
    Call c(h.centre[0], h.near[0]);
    EXPECT_NEAR(m.analysis(c.centre(), c.list(), c.n(), 0), 0, 1e-9);
    m.cut = {1.0};  // nobody inside
    EXPECT_TRUE(std::isnan(m.analysis(c.centre(), c.list(), c.n(), 0)));
    m.isadaptive = true;
    EXPECT_TRUE(std::isnan(m.analysis(c.centre(), nullptr, 0, 0)));
    EXPECT_NEAR(m.analysis(c.centre(), c.list(), c.n(), 0), 0, 1e-9);
    EXPECT_GT(m.cut[0], kCu / std::sqrt(2.0));
    EXPECT_LT(m.cut[0], kCu);
    // An hcp neighbourhood is not zero.
    const Neighbourhoods b = gather(hcp_crystal(kMg, 6, 4, 4));
    Call cb(b.centre[0], b.near[0]);
    EXPECT_GT(m.analysis(cb.centre(), cb.list(), cb.n(), 0), 1.0);
}

TEST(MorlaValues, CspSmallCases) {
    CentroSymmetryParameter m;
    m.ntypes = 1;
    m.cn = {4};
    Call c(P3{0, 0, 0}, {{1, 0, 0}, {-1, 0, 0}, {0, 1.2, 0}, {0, -1.1, 0}});
    EXPECT_NEAR(m.analysis(c.centre(), c.list(), 4, 0), 0.01, 1e-12);
    EXPECT_EQ(m.analysis(c.centre(), c.list(), 3, 0), -1);  // fewer than N
    m.cn = {1};
    EXPECT_EQ(m.analysis(c.centre(), c.list(), 4, 0), 0);
    m.cn = {0};
    EXPECT_EQ(m.analysis(c.centre(), c.list(), 4, 0), 0);
    m.cn = {17};  // more than can ever be given
    EXPECT_EQ(m.analysis(c.centre(), c.list(), 4, 0), -1);
}

TEST(MorlaValues, CspSlotsStartEmpty) {
    // The only pair value (5) is above n |r_0|^2 = 2: it is the result.
    CentroSymmetryParameter m;
    m.ntypes = 1;
    m.cn = {2};
    Call c(P3{0, 0, 0}, {{1, 0, 0}, {0, 2, 0}});
    EXPECT_DOUBLE_EQ(m.analysis(c.centre(), c.list(), 2, 0), 5);
}

TEST(MorlaValues, EpeDifferencesAndRanges) {
    ExcessPotentialEnergy e;
    const double en[3] = {-3.5, -3.0, -2.0};
    const double ref[2] = {-3.54, -4.0};
    e.setting(en, 3, ref, 2);
    EXPECT_DOUBLE_EQ(e.analysis(1, 0), -3.0 + 3.54);
    EXPECT_DOUBLE_EQ(e.analysis(2, 1), 2.0);
    EXPECT_EQ(e.analysis(3, 0), 0);
    EXPECT_EQ(e.analysis(-1, 0), 0);
    EXPECT_EQ(e.analysis(0, 2), 0);
    EXPECT_EQ(e.analysis(0, -1), 0);
    e.nenergy = 10;  // a length beyond the array is not read
    EXPECT_EQ(e.analysis(5, 0), 0);
    e.freesetting();
    EXPECT_EQ(e.analysis(0, 0), 0);
}

// ---------------------------------------------------------------------------
// Configuration from word lists

namespace {
struct Words {
    std::vector<std::string> w;
    std::vector<char*> p;
    explicit Words(std::vector<std::string> words) : w(std::move(words)) {
        for (auto& s : w) p.push_back(&s[0]);
    }
    int argc() const { return static_cast<int>(p.size()); }
    char** argv() { return p.data(); }
};
}  // namespace

TEST(MorlaInit, CnaPairsAndAdaptive) {
    CommonNeighborAnalysis m;
    Words a({"x", "cna", "0", "3.0", "0.5", "2.5", "9", "cnp", "1"});
    EXPECT_EQ(m.init(a.argc(), a.argv()), 1);
    EXPECT_EQ(m.isadaptive, 0);
    ASSERT_EQ(m.ntypes, 2);
    EXPECT_EQ(m.mincut, (std::vector<double>{0, 0.5}));
    EXPECT_EQ(m.maxcut, (std::vector<double>{3.0, 2.5}));
    Words b({"cna", "1.5"});
    EXPECT_EQ(m.init(b.argc(), b.argv()), 1);
    EXPECT_EQ(m.isadaptive, 1);
    EXPECT_EQ(m.ntypes, 0);
    EXPECT_EQ(m.mincut, std::vector<double>{0});
    Words c({"csp", "cna"});
    m.isadaptive = 0;
    EXPECT_EQ(m.init(c.argc(), c.argv()), 1);
    EXPECT_EQ(m.isadaptive, 1);
    Words d({"baa"});
    EXPECT_EQ(m.init(d.argc(), d.argv()), 0);
    EXPECT_EQ(m.isadaptive, 1);
    EXPECT_EQ(m.init(0, nullptr), 0);
    m.freesetting();
    EXPECT_TRUE(m.mincut.empty() && m.maxcut.empty());
}

TEST(MorlaInit, CnpAndCsp) {
    CommonNeighborParameter p;
    Words a({"cnp", "3.1", "2.9", "cna"});
    EXPECT_EQ(p.init(a.argc(), a.argv()), 1);
    EXPECT_FALSE(p.isadaptive);
    EXPECT_EQ(p.ntypes, 2);
    EXPECT_EQ(p.cut, (std::vector<double>{3.1, 2.9}));
    Words b({"cnp", "abc"});
    EXPECT_EQ(p.init(b.argc(), b.argv()), -1);
    EXPECT_TRUE(p.isadaptive);
    EXPECT_EQ(p.cut.size(), 1u);

    CentroSymmetryParameter s;
    Words c({"csp", "12", "8", "1.5"});
    EXPECT_EQ(s.init(c.argc(), c.argv()), 1);
    EXPECT_EQ(s.cn, (std::vector<int>{12, 8}));
    EXPECT_EQ(s.ntypes, 2);
    // "csp" with no numbers, or as the last word: refused, object left empty
    // and still safe to call.
    Words d({"csp", "x12"});
    EXPECT_EQ(s.init(d.argc(), d.argv()), -1);
    EXPECT_TRUE(s.cn.empty());
    Words e({"csp"});
    EXPECT_EQ(s.init(e.argc(), e.argv()), -1);
    Call k(P3{0, 0, 0}, {{1, 0, 0}, {-1, 0, 0}});
    EXPECT_EQ(s.analysis(k.centre(), k.list(), 2, 0), -1);
}

// ---------------------------------------------------------------------------
// Sound behaviour at the edges

TEST(MorlaSound, TypeOutsideTheArrays) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    Call c(h.centre[0], h.near[0]);
    const double d = kCu / std::sqrt(2.0);
    CommonNeighborAnalysis cna;
    cna.ntypes = 1;
    cna.mincut = {0};
    cna.maxcut = {1.2 * d};
    EXPECT_FLOAT_EQ(cna.analysis(c.centre(), c.list(), c.n(), 5), 1.0f);   // beyond: entry 0
    EXPECT_FLOAT_EQ(cna.analysis(c.centre(), c.list(), c.n(), -1), 0.75f);  // negative: no window
    CentroSymmetryParameter csp;
    csp.ntypes = 1;
    csp.cn = {12};
    EXPECT_NEAR(csp.analysis(c.centre(), c.list(), c.n(), 3), 0, 1e-9);
    EXPECT_EQ(csp.analysis(c.centre(), c.list(), c.n(), -1), -1);
    csp.ntypes = 4;  // more types than entries
    EXPECT_EQ(csp.analysis(c.centre(), c.list(), c.n(), 2), -1);
    CommonNeighborParameter cnp;
    cnp.ntypes = 1;
    cnp.cut = {1.2 * d};
    EXPECT_NEAR(cnp.analysis(c.centre(), c.list(), c.n(), 7), 0, 1e-9);
    EXPECT_TRUE(std::isnan(cnp.analysis(c.centre(), c.list(), c.n(), -1)));
    CommonNeighborAnalysis none;  // no arrays at all
    EXPECT_FLOAT_EQ(none.analysis(c.centre(), c.list(), c.n(), 0), 0.75f);
}

TEST(MorlaSound, NeighbourCountClampedToSixteen) {
    const Neighbourhoods h = gather(fcc_crystal(kCu, 3));
    // Sixteen real neighbours followed by four copies of first neighbours;
    // were they read, BAA would count N1 = 16 and CNA a broken pattern.
    std::vector<P3> nb = h.near[0];
    for (int k = 0; k < 4; k++) nb.push_back(nb[k]);
    Call c(h.centre[0], nb);
    BondAngleAnalysis b;
    EXPECT_DOUBLE_EQ(b.analysis(c.centre(), c.list(), 20), 1);
    CommonNeighborAnalysis cna;
    cna.ntypes = 1;
    cna.mincut = {0};
    cna.maxcut = {1.2 * kCu / std::sqrt(2.0)};
    EXPECT_FLOAT_EQ(cna.analysis(c.centre(), c.list(), 20, 0), 1.0f);
}

TEST(MorlaSound, NullAndNegativeCounts) {
    double centre[3] = {0, 0, 0};
    CommonNeighborAnalysis cna;
    cna.isadaptive = 1;
    EXPECT_FLOAT_EQ(cna.analysis(centre, nullptr, 12, 0), 0.75f);
    EXPECT_FLOAT_EQ(cna.analysis(nullptr, nullptr, -3, 0), 0.75f);
    BondAngleAnalysis b;
    EXPECT_DOUBLE_EQ(b.analysis(centre, nullptr, 8), 0.75);
    EXPECT_DOUBLE_EQ(b.analysis(centre, nullptr, -1), 0.75);
    CentroSymmetryParameter s;
    s.ntypes = 1;
    s.cn = {12};
    EXPECT_EQ(s.analysis(centre, nullptr, 12, 0), -1);
    s.cn = {0};
    EXPECT_EQ(s.analysis(centre, nullptr, -5, 0), 0);
    CommonNeighborParameter p;
    p.isadaptive = true;
    EXPECT_TRUE(std::isnan(p.analysis(centre, nullptr, -1, 0)));
    EXPECT_EQ(cna.num(nullptr, 0, 12, 0, 1), 0);
}
