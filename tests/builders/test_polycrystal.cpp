// The polycrystal generator and the editor's grain list: known crystals
// (one grain, a symmetric tilt bicrystal, a random polycrystal) checked
// against geometry and the structure analysis, a brute-force fill of the
// same rule, the layouts, every refusal, and the keyword file the editor
// writes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/morla_driver.h"
#include "store/quelm_store.h"
#include "builders/polycrystal.h"
#include "builders/polycrystal_editor.h"
#include "qb/qb_file.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace {

constexpr double kA = 3.615;  // fcc copper

using Vec = std::array<double, 3>;

// One grain as the log tells it.
struct LoggedGrain {
    int count;
    Vec pos;
    double m[3][3];  // orientation: x_box = m * p_template
};

class Poly : public QuietStdoutTest {
protected:
    std::string path(const std::string& name) const { return scratch_.path(name); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
        return path(name);
    }
    // The conventional fcc cell as a data file, to ten decimals.
    std::string fcc_cell(double a = kA, const std::string& name = "cell.lmp") const {
        const double h = a / 2;
        return write(name, QB_format("fcc cell\n4 atoms\n1 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo "
                                     "zhi\n\nAtoms\n\n1 1 0 0 0\n2 1 %.10f %.10f 0\n3 1 %.10f 0 %.10f\n4 1 0 %.10f %.10f\n",
                                     a, a, a, h, h, h, h, h, h));
    }
    // Runs the generator on the keyword text; the log goes to the scratch folder.
    int run(const std::string& text, QB_tools& out, std::string& message, int threads = 0) {
        QN_poly_options options;
        options.log_path = path("poly_log.fpl");
        options.threads = threads;
        return ic_xyz_poly(write("poly.input", text).c_str(), &out, message, options);
    }
    QB_tools build(const std::string& text, int threads = 0) {
        QB_tools out;
        std::string message;
        EXPECT_EQ(run(text, out, message, threads), QN_POLY_BUILT) << message;
        return out;
    }
    std::vector<LoggedGrain> log() const {
        std::vector<LoggedGrain> grains;
        std::istringstream in(slurp(path("poly_log.fpl")));
        std::string key;
        while (in >> key) {
            if (key == "#Grain_num") {
                grains.push_back({});
                in >> grains.back().count;
            } else if (key == "#Grain_pos") {
                in >> grains.back().pos[0] >> grains.back().pos[1] >> grains.back().pos[2];
            } else if (key == "#Grain_mat") {
                for (int c = 0; c < 3; c++)
                    for (int r = 0; r < 3; r++) in >> grains.back().m[r][c];
            }
        }
        return grains;
    }
    ScratchDir scratch_;
};

double min_image(double d, double L) { return d - L * std::round(d / L); }

double periodic_distance2(const QB_tools& s, const Vec& a, const Vec& b) {
    double d2 = 0;
    for (int k = 0; k < 3; k++) {
        const double d = min_image(a[k] - b[k], s.size[k]);
        d2 += d * d;
    }
    return d2;
}

Vec at(const QB_tools& s, int i) { return {s.atoms[i].x, s.atoms[i].y, s.atoms[i].z}; }

// Shortest distance between two atoms of the model (periodic).
double nearest_pair(const QB_tools& s) {
    double best = 1e300;
    for (int i = 0; i < s.natoms; i++)
        for (int j = i + 1; j < s.natoms; j++) best = std::min(best, periodic_distance2(s, at(s, i), at(s, j)));
    return std::sqrt(best);
}

// The project's adaptive common neighbour analysis of every atom.
std::vector<double> cna(QB_tools& s) {
    QN_store_init();
    QN_analy_defaults(s.ntypes);
    QN_set_bit_int(QN_ANALY_GROUP, "A_cna_active", 1, 0);
    EXPECT_EQ(QN_MORLA_compute(&s), 1);
    std::vector<double> out(static_cast<size_t>(s.natoms));
    for (int i = 0; i < s.natoms; i++) out[static_cast<size_t>(i)] = QB_get_data(&s, i, "cna");
    return out;
}

std::string keyword_box(double x, double y, double z) { return QB_format("box %.10f %.10f %.10f\n", x, y, z); }

}  // namespace

// ------------------------------------------------------------ one grain

TEST_F(Poly, OneGrainFillsItsBoxExactlyWhereverItsSeedIs) {
    const std::string cell = fcc_cell();
    const double L = 10 * kA;
    const Vec seeds[] = {{0, 0, 0}, {L / 2, L / 2, L / 2}, {1.234, 17.3, 30.1}, {L, 0, L / 2}, {kA / 4, L, 0.001},
                         {L / 2 + kA / 4, L / 2 - kA / 4, L - 1e-7}};
    for (const Vec& s : seeds) {
        SCOPED_TRACE(QB_format("seed %g %g %g", s[0], s[1], s[2]));
        QB_tools m = build("mode 3D\n" + keyword_box(L, L, L) + "cutoff 0.1\n" +
                           QB_format("miller %.10f %.10f %.10f 1 0 0 0 1 0 0 0 1\n", s[0], s[1], s[2]) + "build " + cell +
                           " 1\n0 0 0\n");
        ASSERT_EQ(m.natoms, 4000);
        EXPECT_EQ(m.ntypes, 1);
        EXPECT_NEAR(nearest_pair(m), kA / std::sqrt(2.0), 1e-6);
        for (int i = 0; i < m.natoms; i++) {
            const Vec p = at(m, i);
            for (int k = 0; k < 3; k++) ASSERT_TRUE(p[k] >= 0 && p[k] < L) << p[k];
        }
        const auto codes = cna(m);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 1.0), 4000);
    }
    // A hexagonal template (a tilted cell) fills its box as well.
    const double a = 2.95, c = 4.68, r3 = std::sqrt(3.0);
    write("hcp.lmp", QB_format("hcp\n2 atoms\n1 atom types\n0 %.10f xlo xhi\n0 %.10f ylo yhi\n0 %.10f zlo zhi\n"
                               "%.10f 0 0 xy xz yz\n\nAtoms\n\n1 1 0 0 0\n2 1 0 %.10f %.10f\n",
                               a, r3 / 2 * a, c, -a / 2, a / r3, c / 2));
    for (const Vec& s : {Vec{0, 0, 0}, Vec{5.1, 7.3, 2.2}, Vec{3 * a, 2 * r3 * a, 1.5 * c}}) {
        QB_tools h = build("mode 3D\n" + keyword_box(6 * a, 4 * r3 * a, 3 * c) +
                           QB_format("miller %.10f %.10f %.10f 1 0 0 0 1 0 0 0 1\n", s[0], s[1], s[2]) + "build " +
                           path("hcp.lmp") + " 1\n0 0 0\n");
        EXPECT_EQ(h.natoms, 288);
        EXPECT_NEAR(nearest_pair(h), std::sqrt(a * a / 3 + c * c / 4), 1e-6);
    }
    // A rotated grain in a box its lattice does not fit still has one owner
    // per site: no two atoms closer than the crystal allows.
    QB_tools tilted = build("mode 3D\n" + keyword_box(30, 31, 32) + "eular 15 15 15 10 20 30\nbuild " + cell + " 1\n0 0 0\n");
    EXPECT_NEAR(tilted.natoms, 4 / (kA * kA * kA) * 30 * 31 * 32, 60);
}

// --------------------------------------------------- a symmetric bicrystal

TEST_F(Poly, SigmaFiveBicrystalHasTwoEqualBoundaries) {
    // (310)[001] tilt: grains with x along [3 1 0] and [3 -1 0]; every edge
    // of the box is a whole number of periods of both.
    const std::string cell = fcc_cell();
    const double P = kA * std::sqrt(10.0) / 2;
    const double X = 8 * P, Y = 3 * P, Z = 3 * kA;
    // The seeds are placed so that no (310) plane lies on either boundary.
    const double d = P / 20;
    const std::string text = "mode 3D\n" + keyword_box(X, Y, Z) + "cutoff 0.1\n" +
                             QB_format("miller %.10f %.10f %.10f 3 1 0 -1 3 0 0 0 1\n", X / 4, Y / 2, Z / 2) +
                             QB_format("miller %.10f %.10f %.10f 3 -1 0 1 3 0 0 0 1\n", 3 * X / 4 + 2 * d, Y / 2, Z / 2) +
                             "build " + cell + " 2\n0 0 0\n";
    QB_tools m = build(text);
    EXPECT_NEAR(m.natoms, 4 / (kA * kA * kA) * X * Y * Z, 4);
    const auto grains = log();
    ASSERT_EQ(grains.size(), 2u);
    EXPECT_EQ(grains[0].count + grains[1].count, m.natoms);
    // Non-fcc atoms near the boundary in the middle (x = X/2 + d) and near
    // the one at the box face (x = d).
    const auto codes = cna(m);
    int middle = 0, face = 0, elsewhere = 0;
    for (int i = 0; i < m.natoms; i++) {
        if (codes[static_cast<size_t>(i)] == 1) continue;
        const double x = m.atoms[i].x;
        if (std::fabs(min_image(x - (X / 2 + d), X)) < X / 4)
            middle++;
        else if (std::fabs(min_image(x - d, X)) < X / 4)
            face++;
        else
            elsewhere++;
    }
    EXPECT_GT(middle, 0);
    EXPECT_EQ(elsewhere, 0);
    EXPECT_NEAR(face, middle, 0.02 * middle);
}

// ------------------------------------------------- a random polycrystal

TEST_F(Poly, RandomGrainsFillTheirVoronoiCellsAndAreFccInside) {
    const std::string cell = fcc_cell();
    const double L = 48;
    QB_tools m = build("mode 3D\n" + keyword_box(L, L, L) + "cutoff 0.1\nseed 11\nrandom 20\nbuild " + cell + " 20\n0 0 0\n");
    const auto grains = log();
    ASSERT_EQ(grains.size(), 20u);
    EXPECT_NEAR(m.natoms, 4 / (kA * kA * kA) * L * L * L, 0.01 * m.natoms);
    const auto codes = cna(m);
    int i = 0, inner = 0;
    for (size_t g = 0; g < grains.size(); g++)
        for (int k = 0; k < grains[g].count; k++, i++) {
            const Vec x = at(m, i);
            const double own = periodic_distance2(m, x, grains[g].pos);
            // In its own grain's cell, up to the tolerance band ...
            double closest_face = 1e300;
            for (size_t p = 0; p < grains.size(); p++) {
                const double other = periodic_distance2(m, x, grains[p].pos);
                if (p != g) {
                    ASSERT_LE(own - other, 0.1 + 1e-9) << "atom " << i << " of grain " << g << " belongs to " << p;
                }
                // ... and away from every face of it (faces with its own images
                // included): distance (|x - s_p|^2 - |x - s_g|^2) / (2 |s_p - s_g|).
                for (int u = -1; u <= 1; u++)
                    for (int v = -1; v <= 1; v++)
                        for (int w = -1; w <= 1; w++) {
                            if (p == g && u == 0 && v == 0 && w == 0) continue;
                            Vec image = grains[p].pos;
                            image[0] += u * L;
                            image[1] += v * L;
                            image[2] += w * L;
                            // the seed of this grain that x was cut against
                            Vec home = grains[g].pos;
                            for (int a = 0; a < 3; a++) home[a] = x[a] - min_image(x[a] - home[a], L);
                            for (int a = 0; a < 3; a++) image[a] += home[a] - grains[g].pos[a];
                            double dx2 = 0, dh2 = 0, sep2 = 0;
                            for (int a = 0; a < 3; a++) {
                                dx2 += (x[a] - image[a]) * (x[a] - image[a]);
                                dh2 += (x[a] - home[a]) * (x[a] - home[a]);
                                sep2 += (image[a] - home[a]) * (image[a] - home[a]);
                            }
                            closest_face = std::min(closest_face, (dx2 - dh2) / (2 * std::sqrt(sep2)));
                        }
            }
            if (closest_face > 3.5) {
                inner++;
                EXPECT_EQ(codes[static_cast<size_t>(i)], 1) << "atom " << i << " at " << closest_face << " from a face";
            }
        }
    EXPECT_GT(inner, m.natoms / 10);
}

TEST_F(Poly, SeedGivesTheSameBytesOnAnyNumberOfThreads) {
    const std::string cell = fcc_cell();
    const std::string text = "mode 3D\nbox 40 40 40\nseed 5\nrandom 12\nbuild " + cell + " 12\n0 0 0\n";
    QB_tools one = build(text, 1), many = build(text, 3);
    ASSERT_EQ(QB_dump_lmp(&one, path("one.lmp").c_str()), 1);
    ASSERT_EQ(QB_dump_lmp(&many, path("many.lmp").c_str()), 1);
    EXPECT_EQ(slurp(path("one.lmp")), slurp(path("many.lmp")));
    QB_tools other = build("mode 3D\nbox 40 40 40\nseed 6\nrandom 12\nbuild " + cell + " 12\n0 0 0\n");
    ASSERT_EQ(QB_dump_lmp(&other, path("other.lmp").c_str()), 1);
    EXPECT_NE(slurp(path("one.lmp")), slurp(path("other.lmp")));
}

// The fast fill against the plainest one: every lattice point of a wide
// block tested against every seed and image, weights included.
TEST_F(Poly, FillEqualsBruteForceWithWeights) {
    const std::string cell = fcc_cell();
    const double L = 21.7, tol = 0.3;
    struct {
        Vec pos;
        int dirs[9];
        Vec weight;
    } grains[4] = {{{3.1, 4.2, 5.3}, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}},
                   {{14.5, 6.1, 12.2}, {1, 1, 0, -1, 1, 0, 0, 0, 1}, {1.2, 0.9, 1.1}},
                   {{8.3, 16.7, 3.9}, {1, 2, 2, 2, 1, -2, 2, -2, 1}, {1, 1, 1}},
                   {{17.2, 15.1, 17.9}, {3, 1, 0, -1, 3, 0, 0, 0, 1}, {1, 1, 1}}};
    std::string text = "mode 3D\nbox 21.7 21.7 21.7\ncutoff 0.3\n";
    for (const auto& g : grains) {
        text += QB_format("miller %g %g %g", g.pos[0], g.pos[1], g.pos[2]);
        for (int d : g.dirs) text += QB_format(" %d", d);
        text += "\n";
    }
    text += "wei 2 2 1.2 0.9 1.1\nbuild " + cell + " 4\n0 0 0\n";
    QB_tools m = build(text);
    const auto logged = log();
    ASSERT_EQ(logged.size(), 4u);
    const double sites[4][3] = {{0, 0, 0}, {kA / 2, kA / 2, 0}, {kA / 2, 0, kA / 2}, {0, kA / 2, kA / 2}};
    int i = 0;
    for (size_t g = 0; g < 4; g++) {
        double rows[3][3];
        for (int r = 0; r < 3; r++) {
            const int* v = grains[g].dirs + 3 * r;
            const double len = std::sqrt(double(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]));
            for (int c = 0; c < 3; c++) rows[r][c] = v[c] / len;
        }
        std::vector<Vec> expected;
        for (int na = -8; na <= 8; na++)
            for (int nb = -8; nb <= 8; nb++)
                for (int nc = -8; nc <= 8; nc++)
                    for (const auto& t : sites) {
                        const Vec p{na * kA + t[0], nb * kA + t[1], nc * kA + t[2]};
                        Vec d;
                        for (int r = 0; r < 3; r++) d[r] = rows[r][0] * p[0] + rows[r][1] * p[1] + rows[r][2] * p[2];
                        bool in = true;
                        for (int a = 0; a < 3; a++) in = in && d[a] >= -L / 2 && d[a] < L / 2;
                        for (size_t q = 0; q < 4 && in; q++) {
                            if (q == g) continue;
                            for (int u = -1; u <= 1 && in; u++)
                                for (int v = -1; v <= 1 && in; v++)
                                    for (int w = -1; w <= 1 && in; w++) {
                                        const Vec image{grains[q].pos[0] + u * L, grains[q].pos[1] + v * L,
                                                        grains[q].pos[2] + w * L};
                                        double A = 0, B = 0;
                                        for (int a = 0; a < 3; a++) {
                                            const double x = grains[g].pos[a] + d[a];
                                            A += std::pow(grains[g].weight[a] * d[a], 2);
                                            B += std::pow(grains[q].weight[a] * (x - image[a]), 2);
                                        }
                                        in = A - B <= tol;
                                    }
                        }
                        if (!in) continue;
                        Vec x;
                        for (int a = 0; a < 3; a++) x[a] = grains[g].pos[a] + d[a];
                        expected.push_back(x);
                    }
        ASSERT_EQ(logged[g].count, static_cast<int>(expected.size())) << "grain " << g;
        // Every expected site is an atom of this grain (periodically).
        std::vector<bool> used(expected.size(), false);
        for (int k = 0; k < logged[g].count; k++, i++) {
            const Vec p = at(m, i);
            bool found = false;
            for (size_t e = 0; e < expected.size() && !found; e++)
                if (!used[e] && periodic_distance2(m, p, expected[e]) < 1e-12) found = used[e] = true;
            EXPECT_TRUE(found) << "grain " << g << " atom " << k;
        }
    }
}

// ------------------------------------------------------------ layouts

TEST_F(Poly, ColumnsFillTheirWholeLengthAndRepeatAlongX) {
    const std::string cell = fcc_cell();
    const double X = 30 * kA;  // far longer than half the box diagonal
    QB_tools m = build("mode 2D\n" + keyword_box(X, 20, 20) + "seed 2\nrandom 3\nbuild " + cell + " 3\n0 0 0\n");
    EXPECT_NEAR(m.natoms, 4 / (kA * kA * kA) * X * 400, 0.02 * m.natoms);
    std::vector<int> slices(10, 0);
    for (int i = 0; i < m.natoms; i++) slices[static_cast<size_t>(std::min(9, static_cast<int>(m.atoms[i].x / X * 10)))]++;
    for (int c : slices) EXPECT_NEAR(c, m.natoms / 10.0, 0.01 * m.natoms);
    // Columns: the same y-z pattern in every period along x.
    std::map<std::pair<long, long>, int> columns;
    for (int i = 0; i < m.natoms; i++)
        columns[{std::lround(m.atoms[i].y * 1e4), std::lround(m.atoms[i].z * 1e4)}]++;
    for (const auto& c : columns) EXPECT_EQ(c.second % 30, 0);

    // Spaced columns: kept apart in the y-z plane, and the relaxation ends.
    QB_tools spaced = build("mode 2D\n" + keyword_box(4 * kA, 30, 30) + "seed 3\nranave 9\nbuild " + cell + " 9\n0 0 0\n");
    const auto columns9 = log();
    ASSERT_EQ(columns9.size(), 9u);
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(columns9[i].pos[0], 0);
        for (size_t j = i + 1; j < 9; j++) {
            const double dy = min_image(columns9[i].pos[1] - columns9[j].pos[1], 30);
            const double dz = min_image(columns9[i].pos[2] - columns9[j].pos[2], 30);
            EXPECT_GT(std::hypot(dy, dz), 0.7 * std::sqrt(900.0 / 9));
        }
    }
    EXPECT_NEAR(spaced.natoms, 4 / (kA * kA * kA) * 4 * kA * 900, 0.03 * spaced.natoms);

    QB_tools untouched;
    QB_create_atom(&untouched, 1, 0, 0, 0);
    std::string message;
    EXPECT_EQ(run("mode 2D\nbox 10 20 20\nrandom 2\nbuild " + cell + " 2\n0 0 0\n", untouched, message), QN_POLY_REFUSED);
    EXPECT_EQ(message, "ERROR: BOX X 10.000000 IS NOT A MULTIPLE OF THE PERIOD ALONG X OF " + cell);
    EXPECT_EQ(untouched.natoms, 1);
}

TEST_F(Poly, SlabsKeepTheirGrainsAndGaps) {
    const std::string cell = fcc_cell();
    QB_tools m = build("mode lami 2 1\nbox 24 24 40\ncutoff 0.5\nseed 4\nrandom 2\nrandom 3\nbuild " + cell + " 5\n0 0 0\n");
    const auto grains = log();
    ASSERT_EQ(grains.size(), 5u);
    int i = 0;
    for (size_t g = 0; g < grains.size(); g++) {
        const double low = g < 2 ? 0.5 : 20.5, high = g < 2 ? 19.5 : 39.5;
        EXPECT_TRUE(grains[g].pos[2] >= low - 0.5 && grains[g].pos[2] <= high + 0.5);
        for (int k = 0; k < grains[g].count; k++, i++) {
            ASSERT_GE(m.atoms[i].z, low - 1e-9);
            ASSERT_LT(m.atoms[i].z, high);
        }
    }
    EXPECT_NEAR(m.natoms, 4 / (kA * kA * kA) * 24 * 24 * 38, 0.03 * m.natoms);
}

TEST_F(Poly, DecoratedBoundariesAndSegregationWriteNoTypeZero) {
    const std::string cell = fcc_cell();
    // A simple cubic boundary lattice, 2 A apart, of type 1 in its file.
    std::string gb = "sc\n1 atoms\n1 atom types\n0 2 xlo xhi\n0 2 ylo yhi\n0 2 zlo zhi\n\nAtoms\n\n1 1 0.5 0.5 0.5\n";
    write("gb.lmp", gb);
    QB_tools d = build("mode spgb " + path("gb.lmp") + " 12 12 12 1\nseed 8\nrandom 3\nbuild " + cell + " 3\n0 0 0\n");
    EXPECT_DOUBLE_EQ(d.size[0], 24);
    EXPECT_EQ(d.ntypes, 2);  // the boundary lattice after the template's types
    int decorated = 0;
    for (int i = 0; i < d.natoms; i++) {
        ASSERT_GE(d.atoms[i].type, 1);
        decorated += d.atoms[i].type == 2;
    }
    EXPECT_GT(decorated, 0);

    QB_tools s = build("mode 3D\nbox 30 30 30\nseed 9\nseg 1 3 -40 1.5\nrandom 4\nbuild " + cell + " 4\n0 0 0\n");
    EXPECT_EQ(s.ntypes, 3);
    int moved = 0;
    for (int i = 0; i < s.natoms; i++) {
        ASSERT_TRUE(s.atoms[i].type == 1 || s.atoms[i].type == 3);
        moved += s.atoms[i].type == 3;
    }
    EXPECT_GT(moved, 0);
    EXPECT_LT(moved, s.natoms / 2);
}

// ------------------------------------------------------------ refusals

TEST_F(Poly, RefusalsComeBackAsMessagesAndLeaveTheModel) {
    const std::string cell = fcc_cell();
    write("empty.lmp", "none\n0 atoms\n1 atom types\n0 3 xlo xhi\n0 3 ylo yhi\n0 3 zlo zhi\n\nAtoms\n\n");
    write("flat.lmc", "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS pp pp pp\n0 3\n0 3\n0 0\n"
                      "ITEM: ATOMS id type x y z\n1 1 0 0 0\n");
    write("junk.txt", "not a lattice\n");
    const std::string head = "mode 3D\nbox 10 10 10\n";
    const std::string two = head + "miller 2 2 2 1 0 0 0 1 0 0 0 1\nmiller 7 7 7 1 0 0 0 1 0 0 0 1\n";
    const std::string build2 = "build " + cell + " 2\n0 0 0\n";
    const struct {
        std::string text, message;
    } cases[] = {
        {"box 10 10 10\nrandom 1\n" + build2, "ERROR: ENVIRONMENT UNSET"},
        {"mode 3D\nrandom 1\n", "ERROR: ENVIRONMENT UNSET"},
        {"mode 3D\nbox 10 0 10\nrandom 1\n", "ERROR: BOX EDGE NOT POSITIVE"},
        {"mode 3D\nbox 10 -3 10\nrandom 1\n", "ERROR: BOX EDGE NOT POSITIVE"},
        {"mode 3D\nbox 10 inf 10\nrandom 1\n", "ERROR: inf IS NOT A NUMBER"},
        {"mode 3D\nbox 10 10x 10\n", "ERROR: 10x IS NOT A NUMBER"},
        {"mode 4D\nbox 10 10 10\n", "ERROR: UNKNOWN MODE 4D"},
        {head + build2, "ERROR: NO GRAIN"},
        {head + "random 0\n" + build2, "ERROR: NO GRAIN"},
        {two + "pos 3 1 1 1\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "pos 0 1 1 1\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "pos 1 11 1 1\n", "ERROR: POSITION OUT OF RANGE"},
        {two + "wei 1 3 1 1 1\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "wei 2 1 1 1 1\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "wei 1 2 1 0 1\n", "ERROR: WEIGHT NOT POSITIVE"},
        {two + "switch 1 2 2\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "switch 0 1 1\n", "ERROR: GRAIN NUMBER OUT OF RANGE"},
        {two + "ort 3 1 0 0 0 1 0 0 0 1\n", "ERROR: POSITION OUT OF RANGE"},
        {two + "ort 0 1 0 0 0 1 0 0 0 1\n", "ERROR: POSITION OUT OF RANGE"},
        {two + "ort 1 1 0 0 1 1 0 0 0 1\n", "ERROR: DIRECTIONS NOT PERPENDICULAR"},
        {head + "miller 2 2 2 1 0 0 0 0 0 0 0 1\n", "ERROR: ZERO DIRECTION"},
        {head + "miller 2 2 2 1 1 0 1 0 0 0 0 1\n", "ERROR: DIRECTIONS NOT PERPENDICULAR"},
        {head + "miller 2 2 2 1 0 0 0 1 0 0 0 1\nmiller 2.3 2 2 1 0 0 0 1 0 0 0 1\n", "ERROR: SEEDS COINCIDE"},
        {head + "miller 0.1 5 5 1 0 0 0 1 0 0 0 1\nmiller 9.8 5 5 1 0 0 0 1 0 0 0 1\n", "ERROR: SEEDS COINCIDE"},
        {head + "eular 11 2 2 0 0 0\n", "ERROR: POSITION OVER BOUNDARY"},
        {head + "lock 2 1 1 1 11 5 5\n", "ERROR: LOCK OVER BOUNDARY"},
        {"mode 2D\nbox 10 10 10\neular 0 2 2 0 5 0\n", "2D ERROR"},
        {"mode lami 0 1\nbox 10 10 10\n", "ERROR: LAMI NEEDS P AND Q OF 1 OR MORE"},
        {"mode lami 1 1\nbox 10 10 10\nrandom 1\nrandom 1\n", "ERROR: MORE LAYER LINES THAN SLABS"},
        {"mode lami 2 1\nbox 10 10 10\nlock 1 0 0 0 5 5 5\n", "ERROR: LOCK IN LAMI MODE"},
        {two + "build " + cell + " 0\n0 0 0\n", "ERROR: BUILD COUNT MUST BE 1 OR MORE"},
        {two + "build " + cell + " 3\n0 0 0\n", "ERROR: BUILD OVERLOAD"},
        {two + "build " + path("none.lmp") + " 2\n0 0 0\n",
         "ERROR: CANNOT READ TEMPLATE " + path("none.lmp") + ": cannot open " + path("none.lmp") +
             ": No such file or directory"},
        {two + "build " + path("empty.lmp") + " 2\n0 0 0\n", "ERROR: TEMPLATE " + path("empty.lmp") + " HAS NO ATOMS"},
        {two + "build " + path("flat.lmc") + " 2\n0 0 0\n",
         "ERROR: TEMPLATE " + path("flat.lmc") + " HAS A CELL WITHOUT VOLUME"},
        {two + "build " + cell + " 2\n0 0\n", "ERROR: KEYWORD FILE ENDS IN THE MIDDLE OF A LINE"},
        {"mode spgb " + path("junk.txt") + " 2 2 2 1\nrandom 1\n",
         "ERROR: CANNOT READ BOUNDARY LATTICE " + path("junk.txt")},
        {"mode 3D\nbox 1000000 1000000 1000000\nrandom 1\nbuild " + cell + " 1\n0 0 0\n", "ERROR: MODEL TOO LARGE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        QB_tools m;
        QB_create_atom(&m, 1, 1, 2, 3);
        std::string message;
        EXPECT_EQ(run(c.text, m, message), QN_POLY_REFUSED);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(m.natoms, 1);
    }
    QB_tools m;
    std::string message;
    EXPECT_EQ(ic_xyz_poly(path("missing.input").c_str(), &m, message), QN_POLY_REFUSED);
    EXPECT_EQ(message, "ERROR: NO INPUT STRUCTURE\ncannot open " + path("missing.input") + ": No such file or directory");
    // A log that cannot be written is a failure, not a new model.
    QN_poly_options options;
    options.log_path = path("no/such/folder/poly_log.fpl");
    QB_create_atom(&m, 1, 1, 2, 3);
    EXPECT_EQ(ic_xyz_poly(write("ok.input", two + build2).c_str(), &m, message, options), QN_POLY_WRITE_FAILED);
    EXPECT_EQ(message, "ERROR: CANNOT WRITE " + options.log_path);
    EXPECT_EQ(m.natoms, 1);
}

namespace {

// Progress hooks that request a stop at the n-th grain reported.
std::atomic<int> grain_reports{0};
int stop_at_grain = 0;
void no_begin(const char*) {}
void no_end() {}
void stop_on_grain(double) {
    if (++grain_reports == stop_at_grain) QB_progress_request_stop(true);
}

struct StopRequestGuard {
    StopRequestGuard() { grain_reports = 0; }
    ~StopRequestGuard() {
        QB_progress_request_stop(false);
        QB_set_progress_hooks(nullptr);
    }
};

}  // namespace

// A stop requested before the build or between grains refuses the build
// with the stop's message: the model keeps its atoms and columns and no log
// is written; once the request is cleared the same build succeeds.
TEST_F(Poly, AStopRequestBuildsNothingAndLeavesTheModel) {
    const std::string cell = fcc_cell();
    const std::string text = "mode 3D\nbox 40 40 40\nseed 5\nrandom 12\nbuild " + cell + " 12\n0 0 0\n";
    const struct {
        const char* what;
        int stop_at;  // 0: requested before the call; n: when the n-th grain is reported
        int threads;
    } cases[] = {{"requested before, every thread", 0, 0}, {"after the first grain", 1, 1}, {"after grain 6", 6, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StopRequestGuard guard;
        QB_tools m;
        ASSERT_EQ(QB_create_atom(&m, 1, 1, 2, 3), 1);
        ASSERT_EQ(QB_add_exdouble(&m, "marker"), 1);
        std::remove(path("poly_log.fpl").c_str());
        stop_at_grain = c.stop_at;
        const QB_progress_hooks hooks = {no_begin, stop_on_grain, no_end};
        if (c.stop_at == 0)
            QB_progress_request_stop(true);
        else
            QB_set_progress_hooks(&hooks);
        std::string message;
        EXPECT_EQ(run(text, m, message, c.threads), QN_POLY_REFUSED);
        EXPECT_EQ(message, "Stopped on request");
        EXPECT_EQ(message, QB_STOPPED_MESSAGE);
        if (c.stop_at > 0) {
            EXPECT_EQ(grain_reports.load(), c.stop_at);  // no grain taken after the request
        }
        EXPECT_EQ(m.natoms, 1);
        EXPECT_EQ(m.exdouble_names, std::vector<std::string>{"marker"});
        EXPECT_EQ(m.atoms[0].x, 1);
        EXPECT_FALSE(QB_file_exists(path("poly_log.fpl")));

        QB_progress_request_stop(false);
        QB_set_progress_hooks(nullptr);
        EXPECT_EQ(run(text, m, message, c.threads), QN_POLY_BUILT) << message;
        EXPECT_GT(m.natoms, 1000);
        EXPECT_EQ(log().size(), 12u);
    }
}

TEST_F(Poly, LogAndDataFileLayouts) {
    const std::string cell = fcc_cell();
    QB_tools m = build("mode 3D\nbox 10.845 10.845 10.845\neular 1 2 3 0 0 90\nbuild " + cell + " 1\n0 0 0\n");
    EXPECT_EQ(slurp(path("poly_log.fpl")),
              "#box_size 0 10.845000 0 10.845000 0 10.845000\n#Grain_num 108\n#Grain_pos 1.000000 2.000000 3.000000\n"
              "#Grain_mat 0.000000 1.000000 0.000000 -1.000000 0.000000 0.000000 0.000000 0.000000 1.000000\n"
              "#Grain_sed " + cell + "\n#END");
    ASSERT_EQ(QN_poly_write_data(&m, path("out.lmp").c_str()), 1);
    const std::string data = slurp(path("out.lmp"));
    EXPECT_EQ(data.rfind("Position data\n108\tatoms\n1\tatom types\n0.00\t\t10.845000\txlo xhi\n0.00\t\t10.845000\tylo "
                         "yhi\n0.00\t\t10.845000\tzlo zhi\n\nAtoms\n\n1\t1\t",
                         0),
              0u);
    QB_tools back;
    EXPECT_EQ(QB_read_file(&back, path("out.lmp").c_str()), 1);
    EXPECT_EQ(back.natoms, 108);
}

// ------------------------------------------------------------ the editor

TEST_F(Poly, EditorWritesTheKeywordFileByTemplate) {
    QN_poly_grains table;
    table.box[0] = 10;
    table.box[1] = 20;
    table.box[2] = 30.5;
    table.cutoff = 0.1;
    table.files = 2;
    for (int k = 0; k < 4; k++) table.add_grain(k, k + 0.5, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    EXPECT_EQ(table.set_cell(0, 0, 2), 2);
    EXPECT_EQ(table.set_cell(1, 0, 0), 0);
    EXPECT_EQ(table.set_cell(3, 0, 2.7), 2);
    EXPECT_EQ(table.set_cell(2, 0, 9), 2);  // clamped to the files in use
    EXPECT_EQ(table.set_cell(2, 0, -1), 0);
    EXPECT_EQ(table.set_cell(2, 0, 1), 1);
    EXPECT_EQ(table.set_cell(3, 4, -0.5), -0.5);
    const std::array<std::string, QN_POLY_FILES> names = {"a.lmp", "b.lmp", "", "", "", ""};
    ASSERT_EQ(table.write(path("k.input"), names), 1);
    const std::string unit = "1.000000 0.000000 0.000000 0.000000 1.000000 0.000000 0.000000 0.000000 1.000000\n";
    EXPECT_EQ(slurp(path("k.input")),
              "mode 3D\nbox 10.000000 20.000000 30.500000\ncutoff 0.100000\n"
              "miller 2.000000 2.500000 1.000000 " + unit +  // template 1
                  "miller 0.000000 0.500000 1.000000 " + unit +  // template 2, in table order
                  "miller 3.000000 3.500000 1.000000 -0.500000 0.000000 0.000000 0.000000 1.000000 0.000000 0.000000 "
                  "0.000000 1.000000\n"
                  "miller 1.000000 1.500000 1.000000 " + unit +  // no template
                  "build a.lmp 1\n0 0 0\nbuild b.lmp 2\n0 0 0\n");
    // No grain with a template: no build line.
    table.clear_grain(0, 3);
    ASSERT_EQ(table.write(path("none.input"), names), 1);
    EXPECT_EQ(slurp(path("none.input")).find("build"), std::string::npos);
    // A name with a blank cannot be one token of the file.
    table.set_cell(0, 0, 1);
    const std::array<std::string, QN_POLY_FILES> blank = {"my cell.lmp", "", "", "", "", ""};
    std::string bad;
    EXPECT_EQ(table.write(path("blank.input"), blank, &bad), -2);
    EXPECT_EQ(bad, "my cell.lmp");
    EXPECT_FALSE(std::ifstream(path("blank.input")).good());
}

TEST_F(Poly, EditorSeedsRangesAndBackup) {
    QN_poly_grains table;
    for (double& b : table.box) b = 20;
    table.random_core(5, 7);
    ASSERT_EQ(table.grains.size(), 5u);
    const auto first = table.grains;
    QN_poly_grains again;
    for (double& b : again.box) b = 20;
    again.random_core(5, 7);  // same seed on an empty table: the same grains
    for (int k = 0; k < 5; k++)
        for (int v = 0; v < 12; v++) EXPECT_EQ(again.grains[k].v[v], first[k].v[v]);
    table.random_core(5, 7);  // grains present: no reseed, other grains
    EXPECT_NE(table.grains[0].v[0], first[0].v[0]);
    for (const auto& g : first) {
        EXPECT_EQ(g.file, 1);
        for (int a = 0; a < 3; a++) EXPECT_TRUE(g.v[a] >= 0 && g.v[a] <= 20);
        const double dot = g.v[3] * g.v[6] + g.v[4] * g.v[7] + g.v[5] * g.v[8];
        EXPECT_NEAR(dot, 0, 1e-9);
    }

    QN_poly_grains spaced;
    for (double& b : spaced.box) b = 10;
    const double reached = spaced.ranave_core(8, 3);
    EXPECT_LE(reached, std::cbrt(1732.0 / 8) + 1e-12);
    EXPECT_NEAR(std::cbrt(1732.0 / 8), 6.0046, 1e-4);
    EXPECT_GT(reached, 3);
    ASSERT_EQ(spaced.grains.size(), 8u);
    for (size_t i = 0; i < 8; i++)
        for (size_t j = i + 1; j < 8; j++) {
            double d2 = 0;
            for (int a = 0; a < 3; a++) d2 += std::pow(min_image(spaced.grains[i].v[a] - spaced.grains[j].v[a], 10), 2);
            EXPECT_GE(std::sqrt(d2), reached - 1e-9);
        }

    // Ranges are 1-based; one outside the grains does nothing.
    table.files = 2;
    table.keep_backup();
    table.delete_range(0, 2);
    table.delete_range(4, 6);
    table.delete_range(3, 2);
    EXPECT_EQ(table.grains.size(), 5u);
    table.assign_range(1, 2, 2);
    table.clear_range(3, 3);
    EXPECT_EQ(table.grains[0].file, 2);
    EXPECT_EQ(table.grains[1].file, 2);
    EXPECT_EQ(table.grains[2].file, 0);
    table.delete_range(2, 4);
    EXPECT_EQ(table.grains.size(), 2u);
    table.restore_backup();  // "Exit": as the window opened
    ASSERT_EQ(table.grains.size(), 5u);
    EXPECT_EQ(table.grains[2].file, 1);
}

TEST_F(Poly, BatchBuildsFromAKeywordFile) {
    const std::string cell = fcc_cell();
    const std::string input = write("grains.input", "mode 3D\nbox 20 20 20\nseed 1\nrandom 3\nbuild " + cell + " 3\n0 0 0\n");
    auto batch = [&](const std::string& args) { return run_batch(scratch_, args).status; };
    ASSERT_EQ(batch("build polycrystal -Model_Poly_file=" + input + " -o " + path("sub/../poly.lmc")), 1);  // no folder "sub"
    ASSERT_EQ(batch("build polycrystal -Model_Poly_file=" + input + " -o " + path("poly.lmc")), 0) << slurp(path("err"));
    EXPECT_NE(slurp(path("out")).find("New model detected with"), std::string::npos);
    EXPECT_EQ(slurp(path("poly_log.fpl")).rfind("#box_size 0 20.000000", 0), 0u);
    QB_tools back;
    EXPECT_EQ(QB_read_file(&back, path("poly.lmc").c_str()), 3);
    EXPECT_EQ(batch("build nanocomposite -Model_Poly_file=" + input + " -o " + path("nano.lmp")), 0);
    EXPECT_EQ(slurp(path("nano.lmp")).size() > 0, true);
    write("bad.input", "mode 3D\nbox 20 20 20\nrandom 2\nbuild " + cell + " 5\n0 0 0\n");
    EXPECT_EQ(batch("build polycrystal -Model_Poly_file=" + path("bad.input") + " -o " + path("bad.lmp")), 1);
    EXPECT_EQ(slurp(path("err")), "ERROR: BUILD OVERLOAD\n");
    EXPECT_EQ(batch("build polycrystal -Model_Poly_file=" + input), 2);
}

// Each template's types keep its element names (a POSCAR's species), the
// boundary lattice's after them; the form's "Elements:" replaces them all,
// and the data file carries them in its Masses.
TEST_F(Poly, TemplatesNameTheirTypes) {
    const double h = kA / 2;
    const std::string cu = write("cu.POSCAR", QB_format("cu\n1.0\n%.10f 0 0\n0 %.10f 0\n0 0 %.10f\nCu\n4\nCartesian\n0 0 0\n"
                                                        "%.10f %.10f 0\n%.10f 0 %.10f\n0 %.10f %.10f\n",
                                                        kA, kA, kA, h, h, h, h, h, h));
    const std::string unnamed = fcc_cell();
    QB_tools two = build("mode 3D\nbox 20 20 20\nseed 3\nrandom 2\nbuild " + cu + " 1\n0 0 0\nbuild " + unnamed +
                         " 1\n0 0 0\n");
    EXPECT_EQ(two.ntypes, 2);
    EXPECT_EQ(QB_elename_list(&two), "Cu,");
    const std::string gb = write("gb.POSCAR", "sc\n1.0\n2 0 0\n0 2 0\n0 0 2\nO\n1\nDirect\n0.25 0.25 0.25\n");
    QB_tools decorated = build("mode spgb " + gb + " 12 12 12 1\nseed 8\nrandom 3\nbuild " + cu + " 3\n0 0 0\n");
    EXPECT_EQ(QB_elename_list(&decorated), "Cu,O");
    ASSERT_EQ(QN_poly_write_data(&decorated, path("named.lmp").c_str()), 1);
    EXPECT_NE(slurp(path("named.lmp")).find("zlo zhi\n\nMasses\n\n1\t63.546000\t# Cu\n2\t15.999000\t# O\n\nAtoms\n\n"),
              std::string::npos);
    QB_tools back;
    ASSERT_EQ(QB_read_file(&back, path("named.lmp").c_str()), 1);
    EXPECT_EQ(QB_elename_list(&back), "Cu,O");

    // The batch build: "M_elements" over the templates' names, refused when
    // it does not fit (the model stays).
    write("k.input", "mode 3D\nbox 20 20 20\nseed 3\nrandom 2\nbuild " + cu + " 1\n0 0 0\nbuild " + unnamed +
                         " 1\n0 0 0\n");
    QN_store_init();
    ASSERT_EQ(QN_model_poly_defaults(0), 1);
    QN_set_bit_char(QN_POLY_GROUP, "Model_Poly_file", path("k.input"));
    QB_tools m;
    std::string message;
    ASSERT_EQ(QN_model_poly_build(&m, path("poly_log.fpl"), message), QN_POLY_BUILT) << message;
    EXPECT_EQ(QB_elename_list(&m), "Cu,");
    QN_set_bit_char(QN_POLY_GROUP, "M_elements", "Ag,Au");
    ASSERT_EQ(QN_model_poly_build(&m, path("poly_log.fpl"), message), QN_POLY_BUILT) << message;
    EXPECT_EQ(QB_elename_list(&m), "Ag,Au");
    QN_set_bit_char(QN_POLY_GROUP, "M_elements", "Ag");
    const int atoms = m.natoms;
    EXPECT_EQ(QN_model_poly_build(&m, path("poly_log.fpl"), message), QN_POLY_REFUSED);
    EXPECT_EQ(message, "Building model error: Elements: 1 element name given for 2 atom types: give one per type, in type order");
    EXPECT_EQ(m.natoms, atoms);
    EXPECT_EQ(QB_elename_list(&m), "Ag,Au");
    QN_store_free();
}
