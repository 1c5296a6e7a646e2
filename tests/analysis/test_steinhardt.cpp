// Steinhardt order parameters: against LAMMPS's compute orientorder/atom on
// the configurations of fixtures/everyday (make_steinhardt_reference.sh),
// the known values of perfect fcc, hcp and bcc crystals, a direct sum over
// the nearest neighbours found by sorting every distance, bad input and the
// number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/steinhardt.h"
#include "everyday_fixtures.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_tools.h"

namespace {

const std::string& kDir = kEverydayDir;
const auto& kConfigs = kEverydayConfigs;

QB_tools read(const std::string& name) { return read_everyday(name); }

// The rows of a reference file by atom id: the numbers after the id.
std::map<int, std::vector<double>> rows_by_id(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot open " << path;
    std::map<int, std::vector<double>> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        int id = 0;
        s >> id;
        std::vector<double> row;
        double v;
        while (s >> v) row.push_back(v);
        out[id] = row;
    }
    return out;
}

std::map<int, int> records_by_id(const QB_tools& m) {
    std::map<int, int> out;
    for (int i = 0; i < m.natoms; i++) out[m.atoms[i].id] = i;
    return out;
}

enum Lattice { kFcc, kHcp, kBcc };

// A perfect periodic crystal of n x n x n cells (hcp: of its orthogonal
// cell a x sqrt(3) a x c, ideal c/a).
QB_tools crystal(Lattice kind, int n, double a) {
    QB_tools s;
    QB_init(&s);
    if (kind == kFcc) QB_create_fcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    if (kind == kBcc) QB_create_bcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    if (kind == kHcp) QB_create_hcp(&s, a, a * std::sqrt(8.0 / 3.0), 1, 0, 0, 1, 2, 0, 0, 0, 1);
    if (n > 1) QB_duplicate(&s, n, n, n);
    return s;
}

void shake(QB_tools* s, double amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    for (int i = 0; i < s->natoms; i++) {
        s->atoms[i].x += u(rng);
        s->atoms[i].y += u(rng);
        s->atoms[i].z += u(rng);
    }
}

// A new result r of the model, ending the test when it is refused.
#define RUN(r, model, options)                                            \
    QN_steinhardt_result r;                                               \
    {                                                                     \
        std::string why_;                                                 \
        ASSERT_EQ(QN_steinhardt(&(model), options, &r, &why_), 1) << why_; \
    }

double mean(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); }

// ---- LAMMPS ------------------------------------------------------------------

// The atoms of each configuration over their 12 nearest, with and without
// a cut-off: q4, q6, normalised w4, w6 and the averaged q4, q6.
TEST(SteinhardtLammps, TwelveNearestOnTheEverydayConfigurations) {
    for (const char* config : kConfigs) {
        const QB_tools m = read(config);
        const auto ref = rows_by_id(kDir + "steinhardt_" + config + ".txt");
        // Every atom of the liquid, every second atom of the crystals.
        ASSERT_EQ(ref.size(), std::string(config) == "cu_liquid" ? 864u : 432u) << config;
        ASSERT_EQ(m.natoms, 864);
        const auto record = records_by_id(m);
        for (double cutoff : {0.0, 5.0}) {
            QN_steinhardt_options o;
            o.degrees = {4, 6};
            o.neighbours = 12;
            o.cutoff = cutoff;
            o.wl = true;
            o.averaged = true;
            RUN(r, m, o);
            ASSERT_EQ(r.q.size(), 2u);
            ASSERT_EQ(r.w.size(), 2u);
            ASSERT_EQ(r.averaged_q.size(), 2u);
            double worst[6] = {0, 0, 0, 0, 0, 0};
            for (const auto& [id, row] : ref) {
                ASSERT_EQ(row.size(), 6u);
                ASSERT_TRUE(record.count(id)) << id;
                const int i = record.at(id);
                const double mine[6] = {r.q[0][i], r.q[1][i], r.w[0][i], r.w[1][i], r.averaged_q[0][i],
                                        r.averaged_q[1][i]};
                for (int k = 0; k < 6; k++) {
                    EXPECT_NEAR(mine[k], row[k], 1e-6) << config << " atom " << id << " column " << k
                                                       << " cut-off " << cutoff;
                    worst[k] = std::max(worst[k], std::fabs(mine[k] - row[k]));
                }
            }
            std::printf("%s cut-off %g: largest differences q4 %.1e q6 %.1e w4 %.1e w6 %.1e qbar4 %.1e qbar6 %.1e\n",
                        config, cutoff, worst[0], worst[1], worst[2], worst[3], worst[4], worst[5]);
        }
    }
}

// Odd and high degrees on the liquid, where no symmetry hides a mistake.
TEST(SteinhardtLammps, EveryKindOfDegree) {
    const QB_tools m = read("cu_liquid");
    const auto ref = rows_by_id(kDir + "steinhardt_degrees.txt");
    ASSERT_EQ(ref.size(), 216u);
    const auto record = records_by_id(m);
    QN_steinhardt_options o;
    o.degrees = {1, 2, 3, 5, 8, 10, 12};
    o.wl = true;
    RUN(r, m, o);
    double worst_q = 0, worst_w = 0;
    for (const auto& [id, row] : ref) {
        ASSERT_EQ(row.size(), 14u);
        const int i = record.at(id);
        for (int k = 0; k < 7; k++) {
            EXPECT_NEAR(r.q[k][i], row[k], 1e-6) << "atom " << id << " q" << o.degrees[k];
            EXPECT_NEAR(r.w[k][i], row[7 + k], 1e-6) << "atom " << id << " w" << o.degrees[k];
            worst_q = std::max(worst_q, std::fabs(r.q[k][i] - row[k]));
            worst_w = std::max(worst_w, std::fabs(r.w[k][i] - row[7 + k]));
        }
    }
    std::printf("degrees 1 2 3 5 8 10 12: largest differences q %.1e w %.1e\n", worst_q, worst_w);
}

// Every neighbour within 3.4 Å of the liquid: their number varies.
TEST(SteinhardtLammps, EveryNeighbourWithinACutoff) {
    const QB_tools m = read("cu_liquid");
    const auto ref = rows_by_id(kDir + "steinhardt_cutoff.txt");
    ASSERT_EQ(ref.size(), 432u);
    const auto record = records_by_id(m);
    QN_steinhardt_options o;
    o.neighbours = 0;
    o.cutoff = 3.4;
    o.wl = true;
    RUN(r, m, o);
    double worst = 0;
    for (const auto& [id, row] : ref) {
        ASSERT_EQ(row.size(), 4u);
        const int i = record.at(id);
        const double mine[4] = {r.q[0][i], r.q[1][i], r.w[0][i], r.w[1][i]};
        for (int k = 0; k < 4; k++) {
            EXPECT_NEAR(mine[k], row[k], 1e-6) << "atom " << id << " column " << k;
            worst = std::max(worst, std::fabs(mine[k] - row[k]));
        }
    }
    std::printf("within 3.4 A: largest difference %.1e\n", worst);
}

// ---- Known physics ---------------------------------------------------------

struct Known {
    Lattice kind;
    double a;
    int N;
    double q4, q6, w4, w6;
};

TEST(SteinhardtPhysics, PerfectCrystals) {
    // fcc and hcp over their 12 nearest, bcc over its 14 (8 + 6) and 8.
    const Known known[] = {
        {kFcc, 3.615, 12, 0.19094, 0.57452, -0.159317, -0.013161},
        {kHcp, 2.556, 12, 0.09722, 0.48476, 0.134097, -0.012442},
        {kBcc, 2.87, 14, 0.03637, 0.51069, 0.159317, 0.013161},
        {kBcc, 2.87, 8, 0.50918, 0.62854, -0.159317, 0.013161},
    };
    for (const Known& k : known) {
        const QB_tools s = crystal(k.kind, 4, k.a);
        ASSERT_GT(s.natoms, 100);
        QN_steinhardt_options o;
        o.degrees = {4, 6, 2};
        o.neighbours = k.N;
        o.wl = true;
        o.averaged = true;
        RUN(r, s, o);
        for (int i = 0; i < s.natoms; i++) {
            SCOPED_TRACE(testing::Message() << "lattice " << k.kind << " N " << k.N << " atom " << i);
            EXPECT_NEAR(r.q[0][i], k.q4, 1e-3);
            EXPECT_NEAR(r.q[1][i], k.q6, 1e-3);
            EXPECT_NEAR(r.w[0][i], k.w4, 1e-3);
            EXPECT_NEAR(r.w[1][i], k.w6, 1e-3);
            // Every atom alike (hcp's two sites are mirror images, which
            // even degrees do not tell apart): the average changes nothing.
            for (int d = 0; d < 3; d++) EXPECT_NEAR(r.averaged_q[d][i], r.q[d][i], 1e-9);
            // Cubic shells have no q2, and then w2 is 0 (not a ratio of
            // rounding errors), as LAMMPS reports it.
            if (k.kind != kHcp) {
                EXPECT_LT(r.q[2][i], 1e-9);
                EXPECT_EQ(r.w[2][i], 0.0);
            }
        }
    }
}

// A q_l of rounding size says nothing of the shape: w_l is 0 below 1e-6,
// as LAMMPS reports it, and a true value above.
TEST(SteinhardtPhysics, VanishingQ) {
    for (double amplitude : {1e-8, 1e-4}) {
        QB_tools s = crystal(kFcc, 3, 3.615);
        shake(&s, amplitude, 11);
        QN_steinhardt_options o;
        o.degrees = {2};
        o.wl = true;
        RUN(r, s, o);
        for (int i = 0; i < s.natoms; i++) {
            if (amplitude < 1e-6) {
                EXPECT_LT(r.q[0][i], 1e-6);
                EXPECT_EQ(r.w[0][i], 0.0) << "atom " << i;
            } else {
                EXPECT_GT(r.q[0][i], 1e-6);
                EXPECT_NE(r.w[0][i], 0.0) << "atom " << i;
                EXPECT_LE(std::fabs(r.w[0][i]), std::sqrt(2.0 / 35.0) + 1e-9);  // |w2| is at most |(2 2 2; 0 0 0)|
            }
        }
    }
}

// A cut-off between two shells takes the same neighbours, in either mode.
TEST(SteinhardtPhysics, CutoffBetweenShells) {
    const QB_tools s = crystal(kFcc, 4, 3.615);
    for (int N : {0, 12}) {
        QN_steinhardt_options o;
        o.neighbours = N;
        o.cutoff = 3.0;
        RUN(r, s, o);
        for (int i = 0; i < s.natoms; i++) {
            EXPECT_NEAR(r.q[0][i], 0.19094, 1e-3);
            EXPECT_NEAR(r.q[1][i], 0.57452, 1e-3);
        }
    }
    // Both fcc shells, 12 + 6.
    QN_steinhardt_options o;
    o.neighbours = 0;
    o.cutoff = 4.0;
    RUN(all, s, o);
    o.neighbours = 18;
    o.cutoff = 0;
    RUN(nearest, s, o);
    for (int i = 0; i < s.natoms; i++) {
        EXPECT_NEAR(all.q[1][i], nearest.q[1][i], 1e-12);
        EXPECT_GT(std::fabs(all.q[1][i] - 0.57452), 0.01);  // not the first shell's
    }
}

TEST(SteinhardtPhysics, LiquidBelowCrystal) {
    QN_steinhardt_options o;
    o.averaged = true;
    const QB_tools melt = read("cu_liquid"), solid = read("cu_thermal");
    RUN(liquid, melt, o);
    RUN(crystal, solid, o);
    EXPECT_LT(mean(liquid.q[1]), 0.45);
    EXPECT_GT(mean(crystal.q[1]), 0.5);
    EXPECT_LT(mean(liquid.averaged_q[1]), 0.3);
    EXPECT_GT(mean(crystal.averaged_q[1]), 0.5);
    std::printf("mean q6: liquid %.4f crystal %.4f; averaged: liquid %.4f crystal %.4f\n", mean(liquid.q[1]),
                mean(crystal.q[1]), mean(liquid.averaged_q[1]), mean(crystal.averaged_q[1]));
}

// One fcc cell of four atoms: every neighbour is a periodic image.
TEST(SteinhardtPhysics, SmallestPeriodicBox) {
    const QB_tools s = crystal(kFcc, 1, 3.615);
    ASSERT_EQ(s.natoms, 4);
    QN_steinhardt_options o;
    o.averaged = true;
    RUN(r, s, o);
    for (int i = 0; i < 4; i++) {
        EXPECT_NEAR(r.q[1][i], 0.57452, 1e-3);
        EXPECT_NEAR(r.averaged_q[1][i], 0.57452, 1e-3);
    }
    // The second shell lies one box away, beyond the images made.
    o.neighbours = 13;
    QN_steinhardt_result refused;
    std::string why;
    EXPECT_EQ(QN_steinhardt(&s, o, &refused, &why), -1);
    EXPECT_NE(why.find("fewer than the 13"), std::string::npos) << why;
    EXPECT_TRUE(refused.q.empty());
}

// ---- A direct sum --------------------------------------------------------

// q_l of every atom over its N nearest found by sorting every distance
// (minimum images across the periodic faces of an orthogonal box), with
// the standard library's spherical harmonics; and the averaged q_l.
void direct(const QB_tools& s, int l, int N, std::vector<double>* q, std::vector<double>* qbar) {
    const int n = s.natoms;
    std::vector<std::vector<std::complex<double>>> qlm(n, std::vector<std::complex<double>>(2 * l + 1));
    std::vector<std::vector<int>> near(n);
    for (int i = 0; i < n; i++) {
        std::vector<std::pair<double, int>> d;
        std::vector<std::array<double, 3>> v(n);
        for (int j = 0; j < n; j++) {
            double u[3] = {s.atoms[j].x - s.atoms[i].x, s.atoms[j].y - s.atoms[i].y, s.atoms[j].z - s.atoms[i].z};
            for (int k = 0; k < 3; k++)
                if (s.periodic[k]) u[k] -= s.size[k] * std::round(u[k] / s.size[k]);
            v[j] = {u[0], u[1], u[2]};
            if (j != i) d.push_back({u[0] * u[0] + u[1] * u[1] + u[2] * u[2], j});
        }
        std::sort(d.begin(), d.end());
        ASSERT_LT(d[N - 1].first, d[N].first) << "a tie at the last neighbour of atom " << i;
        for (int k = 0; k < N; k++) {
            const int j = d[k].second;
            near[i].push_back(j);
            const double r = std::sqrt(d[k].first);
            const double theta = std::acos(v[j][2] / r), phi = std::atan2(v[j][1], v[j][0]);
            for (int m = -l; m <= l; m++) {
                const double y = std::sph_legendre(l, std::abs(m), theta) * (m < 0 && m % 2 ? -1 : 1);
                qlm[i][m + l] += y * std::polar(1.0, m * phi) / static_cast<double>(N);
            }
        }
    }
    q->assign(n, 0);
    qbar->assign(n, 0);
    for (int i = 0; i < n; i++) {
        double s2 = 0, b2 = 0;
        for (int m = 0; m <= 2 * l; m++) {
            std::complex<double> sum = qlm[i][m];
            for (int j : near[i]) sum += qlm[j][m];
            sum /= static_cast<double>(N + 1);
            s2 += std::norm(qlm[i][m]);
            b2 += std::norm(sum);
        }
        (*q)[i] = std::sqrt(4 * M_PI / (2 * l + 1) * s2);
        (*qbar)[i] = std::sqrt(4 * M_PI / (2 * l + 1) * b2);
    }
}

// A shaken crystal, periodic and as a free cluster (whose corner atoms find
// their 12 nearest only well beyond a first search), at several degrees.
TEST(SteinhardtDirect, NearestNeighbours) {
    for (bool periodic : {true, false}) {
        QB_tools s = crystal(kFcc, 4, 3.615);
        shake(&s, 0.15, periodic ? 7 : 8);
        for (int k = 0; k < 3; k++) s.periodic[k] = periodic;
        QN_steinhardt_options o;
        o.degrees = {3, 6, 11};
        o.averaged = true;
        RUN(r, s, o);
        for (size_t d = 0; d < o.degrees.size(); d++) {
            std::vector<double> q, qbar;
            direct(s, o.degrees[d], 12, &q, &qbar);
            for (int i = 0; i < s.natoms; i++) {
                EXPECT_NEAR(r.q[d][i], q[i], 1e-10) << "periodic " << periodic << " l " << o.degrees[d] << " atom " << i;
                EXPECT_NEAR(r.averaged_q[d][i], qbar[i], 1e-10) << "periodic " << periodic << " atom " << i;
            }
        }
        // The same within a long cut-off.
        o.cutoff = 7.0;
        RUN(within, s, o);
        for (size_t d = 0; d < o.degrees.size(); d++)
            for (int i = 0; i < s.natoms; i++) {
                EXPECT_NEAR(within.q[d][i], r.q[d][i], 1e-12);
                EXPECT_NEAR(within.averaged_q[d][i], r.averaged_q[d][i], 1e-12);
            }
    }
}

// ---- Bad input ---------------------------------------------------------------

struct Bad {
    const char* what;
    QN_steinhardt_options o;
    const char* says;
};

QN_steinhardt_options with(std::vector<int> degrees, int N, double cutoff) {
    QN_steinhardt_options o;
    o.degrees = degrees;
    o.neighbours = N;
    o.cutoff = cutoff;
    o.wl = true;
    o.averaged = true;
    return o;
}

// The refusal leaves the result as it was and says why.
void expect_refused(const QB_tools* m, const QN_steinhardt_options& o, const std::string& says, const char* what) {
    QN_steinhardt_result r;
    r.q = {{42.0}};
    r.w = {{7.0}};
    std::string why;
    EXPECT_EQ(QN_steinhardt(m, o, &r, &why), -1) << what;
    EXPECT_NE(why.find(says), std::string::npos) << what << ": " << why;
    EXPECT_EQ(r.q, std::vector<std::vector<double>>{{42.0}}) << what;
    EXPECT_EQ(r.w, std::vector<std::vector<double>>{{7.0}}) << what;
    EXPECT_TRUE(r.averaged_q.empty()) << what;
}

TEST(SteinhardtInput, Refused) {
    const QB_tools s = crystal(kFcc, 4, 3.615);  // 14.46 Å wide
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const Bad bad[] = {
        {"no degree", with({}, 12, 0), "No degree"},
        {"degree 0", with({4, 0}, 12, 0), "l = 0 is outside 1 ... 12"},
        {"degree 13", with({13}, 12, 0), "l = 13 is outside 1 ... 12"},
        {"degree -2", with({-2}, 12, 0), "l = -2"},
        {"repeated degree", with({4, 6, 4}, 12, 0), "l = 4 is chosen twice"},
        {"no neighbours without cut-off", with({6}, 0, 0), "at least 1 neighbour"},
        {"negative neighbours without cut-off", with({6}, -1, 0), "-1 neighbours"},
        {"negative neighbours with cut-off", with({6}, -3, 3), "-3 neighbours"},
        {"too many neighbours", with({6}, QN_STEINHARDT_MAX_NEIGHBOURS + 1, 0), "more than"},
        {"negative cut-off", with({6}, 12, -1), "cut-off -1 is not a length"},
        {"NaN cut-off", with({6}, 12, nan), "is not a length"},
        {"infinite cut-off", with({6}, 12, inf), "is not a length"},
        {"cut-off longer than the box", with({6}, 12, 15), "longer than the periodic box is thick (14.46"},
        {"fewer than N within the cut-off", with({6}, 13, 3.0), "Atom 1 has 12 neighbours within the cut-off of 3"},
    };
    for (const Bad& b : bad) expect_refused(&s, b.o, b.says, b.what);

    QB_tools empty;
    QB_init(&empty);
    expect_refused(&empty, with({6}, 12, 0), "no atoms", "empty model");
    expect_refused(nullptr, with({6}, 12, 0), "no atoms", "no model");
    std::string why;
    EXPECT_EQ(QN_steinhardt(&s, with({6}, 12, 0), nullptr, &why), -1);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(QN_steinhardt(&empty, with({6}, 12, 0), nullptr, nullptr), -1);  // no message wanted
}

// A vacancy leaves its neighbours 11 within the first shell: the one of the
// lowest record is named by its id.
TEST(SteinhardtInput, AtomShortOfNeighbours) {
    QB_tools s = crystal(kFcc, 4, 3.615);
    const int gone = 77;
    const atomdata v = s.atoms[gone];
    QB_delete_atom(&s, gone);
    QB_affine_delete(&s);
    ASSERT_EQ(s.natoms, 255);
    // Renumber so that ids and records differ.
    for (int i = 0; i < s.natoms; i++) s.atoms[i].id = 1000 + 3 * i;
    int first = -1;
    for (int i = 0; i < s.natoms && first < 0; i++) {
        double d2 = 0;
        const double u[3] = {s.atoms[i].x - v.x, s.atoms[i].y - v.y, s.atoms[i].z - v.z};
        for (int k = 0; k < 3; k++) {
            const double w = u[k] - s.size[k] * std::round(u[k] / s.size[k]);
            d2 += w * w;
        }
        if (d2 < 3.0 * 3.0) first = i;
    }
    ASSERT_GE(first, 0);
    const std::string says = "Atom " + std::to_string(1000 + 3 * first) + " has 11 neighbours within the cut-off";
    expect_refused(&s, with({4, 6}, 12, 3.0), says, "vacancy");
    // Eleven are enough, and so is every neighbour within the cut-off.
    QN_steinhardt_result r;
    std::string why;
    EXPECT_EQ(QN_steinhardt(&s, with({4, 6}, 11, 3.0), &r, &why), 1) << why;
    EXPECT_EQ(QN_steinhardt(&s, with({4, 6}, 0, 3.0), &r, &why), 1) << why;
}

TEST(SteinhardtInput, LonelyAndDoubledAtoms) {
    // A free cluster of five atoms has four neighbours for each.
    QB_tools few;
    QB_init(&few);
    for (int k = 0; k < 5; k++) QB_create_atom(&few, 1, k * 2.5, 0.1 * k * k, 0);
    few.size[0] = few.size[1] = few.size[2] = 20;
    for (int k = 0; k < 3; k++) few.periodic[k] = 0;
    expect_refused(&few, with({6}, 12, 0), "has 4 neighbours", "five atoms");
    QN_steinhardt_result r;
    std::string why;
    EXPECT_EQ(QN_steinhardt(&few, with({6}, 4, 0), &r, &why), 1) << why;
    // An atom alone within the cut-off.
    QB_create_atom(&few, 1, 18, 18, 18);
    expect_refused(&few, with({6}, 0, 3.0), "Atom 6 has no neighbour within the cut-off of 3", "lonely atom");

    // Two atoms at one place have no direction between them.
    QB_tools s = crystal(kFcc, 4, 3.615);
    QB_create_atom(&s, 1, s.atoms[9].x, s.atoms[9].y, s.atoms[9].z);
    expect_refused(&s, with({6}, 12, 0), "lie at the same place", "doubled atom");
}

// ---- Threads -----------------------------------------------------------------

TEST(SteinhardtThreads, SameResultOnAnyNumber) {
    QB_tools s = crystal(kFcc, 14, 3.615);  // 10976 atoms, many blocks of work
    shake(&s, 0.25, 3);
    QB_tools cluster = crystal(kFcc, 8, 3.615);
    shake(&cluster, 0.1, 4);
    for (int k = 0; k < 3; k++) cluster.periodic[k] = 0;
    struct Case {
        const QB_tools* model;
        int N;
        double cutoff;
    };
    for (const Case& c : {Case{&s, 12, 0}, Case{&s, 12, 5.0}, Case{&s, 0, 3.4}, Case{&cluster, 12, 0}}) {
        QN_steinhardt_options o = with({4, 6, 8}, c.N, c.cutoff);
        std::vector<QN_steinhardt_result> r;
        for (int threads : {1, 2, 8}) {
            o.threads = threads;
            RUN(one, *c.model, o);
            r.push_back(one);
        }
        for (int k = 1; k < 3; k++) {
            EXPECT_EQ(r[k].q, r[0].q) << "N " << c.N << " cut-off " << c.cutoff;
            EXPECT_EQ(r[k].w, r[0].w) << "N " << c.N << " cut-off " << c.cutoff;
            EXPECT_EQ(r[k].averaged_q, r[0].averaged_q) << "N " << c.N << " cut-off " << c.cutoff;
        }
        ASSERT_EQ(r[0].q.size(), 3u);
        EXPECT_EQ(r[0].q[0].size(), static_cast<size_t>(c.model->natoms));
    }
}

}  // namespace
