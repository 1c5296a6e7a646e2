// Slip vectors (SVA) and differential displacements (DDA) on configurations
// whose answer is known: unchanged crystals, a rigid slip of half an fcc
// crystal by a Shockley partial and by a full Burgers vector, single atoms
// moved by known amounts, and a Volterra screw dislocation in bcc iron.
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>

#include "dislocation/crystal_maker.h"
#include "dislocation/kavir_compare.h"
#include "dislocation/kavir_slip.h"
#include "dislocation/kavir_test.h"

namespace {

using Sva = QuietStdoutTest;
using Dda = QuietStdoutTest;

const double kIdentity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
const double kLayer = kCu / std::sqrt(3.0);    // (111) spacing
const double kPartial = kCu / std::sqrt(6.0);  // a/6 <112>
const double kFull = kCu / std::sqrt(2.0);     // a/2 <110>

std::string num(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.12g", v);
    return buf;
}

// Column c of the in-memory result.
std::vector<double> column(const KAVIR_table& t, const std::string& c) {
    size_t k = 0;
    while (k < t.columns.size() && t.columns[k] != c) k++;
    EXPECT_LT(k, t.columns.size()) << "no column " << c;
    std::vector<double> v;
    if (k == t.columns.size()) return v;
    const size_t w = t.columns.size();
    for (size_t r = 0; r < t.id.size(); r++) v.push_back(t.values[r * w + k]);
    return v;
}

// Cu with x = [1 1 -2], y = [1 1 1], z = [1 -1 0]: 18 (111) layers along y.
TestCrystal cu_slab(int rz = 4) {
    const auto p = cu_screw_periods();
    const int rep[3] = {3, 6, rz};
    const double period[3] = {p[0], p[1], p[2]};
    return make_crystal("fcc", kCu, cu_screw_orient(), period, rep);
}

int layer_of(double y) { return static_cast<int>(std::lround(y / kLayer)); }

// The atoms above the plane between layers 8 and 9 moved rigidly by t
// (periodic x and z).
TestCrystal slip_upper_half(const TestCrystal& perfect, const double t[3]) {
    TestCrystal c = perfect;
    for (size_t i = 0; i < c.size(); i++) {
        double* x = c.p(i);
        if (layer_of(x[1]) < 9) continue;
        for (int d : {0, 2}) {
            x[d] += t[d];
            const double L = c.hi[d] - c.lo[d];
            x[d] -= L * std::floor((x[d] - c.lo[d]) / L);
        }
    }
    return c;
}

const char* kSvaFiles = "sva\nread_datafile_def def.dump\nread_datafile_ref ref.dump\nwrite_datafile sva.lmp\n";

// ================================================================ SVA

TEST_F(Sva, IdenticalConfigurationsGiveNoSlip) {
    ScratchDir dir;
    const TestCrystal c = cu_slab();
    write_dump(c, dir.path("def.dump"), "pp ss pp");
    write_dump(c, dir.path("ref.dump"), "pp ss pp");
    KAVIR_table table;
    const KavirOutcome o =
        run_kavir(dir, std::string(kSvaFiles) + "boundary p s p\nmax_sva\nneighbor_list\n", "INPAR", &table, nullptr, KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    EXPECT_NE(o.messages.find("cal sva succeed\n"), std::string::npos);
    const KavirResult r = read_result(dir.path("sva.lmp"));
    ASSERT_EQ(r.size(), c.size());
    for (const char* col : {"SVA.X", "SVA.Y", "SVA.Z", "Average", "SVA", "MAXSVA.X", "MAXSVA.Y", "MAXSVA.Z", "MAXSVA",
                            "Slip.X", "Slip.Y", "Slip.Z", "Slip"})
        for (size_t i = 0; i < r.size(); i++) ASSERT_NEAR(r(col, i), 0, 1e-9) << col << " of atom " << r.id[i];
    // Rows in input order, the same in memory.
    for (size_t i = 0; i < r.size(); i++) ASSERT_EQ(r.id[i], c.id[i]);
    ASSERT_EQ(table.id.size(), c.size());
    EXPECT_EQ(table.columns.front(), "type");
    EXPECT_EQ(table.columns.back(), "Slip");
}

TEST_F(Sva, ARigidTranslationGivesNoSlip) {
    ScratchDir dir;
    const TestCrystal ref = cu_slab();
    TestCrystal def = ref;
    const double t[3] = {1.234, 0.71, -0.9};
    for (size_t i = 0; i < def.size(); i++)
        for (int d = 0; d < 3; d++) {
            double& x = def.p(i)[d];
            x += t[d];
            if (d != 1) x -= (def.hi[d] - def.lo[d]) * std::floor((x - def.lo[d]) / (def.hi[d] - def.lo[d]));
        }
    write_dump(def, dir.path("def.dump"), "pp ss pp");
    write_dump(ref, dir.path("ref.dump"), "pp ss pp");
    const KavirOutcome o = run_kavir(dir, std::string(kSvaFiles) + "boundary p s p\n", "INPAR", nullptr, nullptr, KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult r = read_result(dir.path("sva.lmp"));
    ASSERT_EQ(r.size(), ref.size());
    for (size_t i = 0; i < r.size(); i++) {
        ASSERT_NEAR(r("SVA", i), 0, 1e-8);
        ASSERT_NEAR(r("Average", i), 0, 1e-8);
        ASSERT_NEAR(r("Slip", i), 0, 1e-8);
    }
}

TEST_F(Sva, AStackingFaultShowsThePartialInThePublishedSlipVector) {
    // The upper half slipped by a/6 [1 1 -2] (an intrinsic stacking fault):
    // an atom beside the fault has 3 of its 12 bonds slipped by b_p. The
    // mean over all bonds is b_p / 4, the published slip vector (mean over
    // the slipped bonds) b_p itself.
    ScratchDir dir;
    const TestCrystal ref = cu_slab();
    const double t[3] = {kPartial, 0, 0};
    const TestCrystal def = slip_upper_half(ref, t);
    write_dump(def, dir.path("def.dump"), "pp ss pp");
    write_dump(ref, dir.path("ref.dump"), "pp ss pp");
    const KavirOutcome o = run_kavir(dir, std::string(kSvaFiles) + "boundary p s p\nneighbor_list\nmax_sva\n", "INPAR",
                                     nullptr, nullptr, KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult r = read_result(dir.path("sva.lmp"));
    ASSERT_EQ(r.size(), ref.size());
    int beside = 0;
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(testing::Message() << "atom " << r.id[i] << " y " << r.y[i]);
        const int L = layer_of(ref.pos[3 * i + 1]);
        const bool surface = L == 0 || L == 17;
        ASSERT_EQ(r("neigh", i), surface ? 9 : 12);  // the fault keeps every nearest-neighbour distance
        if (L == 8 || L == 9) {
            beside++;
            const double sign = L == 8 ? 1 : -1;  // the atoms across moved by +b_p or -b_p relative to this one
            ASSERT_NEAR(r("Slip", i), kPartial, 1e-9);
            ASSERT_NEAR(r("Slip.X", i), sign * kPartial, 1e-9);
            ASSERT_NEAR(r("Slip.Y", i), 0, 1e-9);
            ASSERT_NEAR(r("Slip.Z", i), 0, 1e-9);
            ASSERT_NEAR(r("SVA", i), kPartial / 4, 1e-9);
            ASSERT_NEAR(r("SVA.X", i), sign * kPartial / 4, 1e-9);
            ASSERT_NEAR(r("Average", i), kPartial / 4, 1e-9);
            ASSERT_NEAR(r("MAXSVA", i), kPartial, 1e-9);
            ASSERT_NEAR(r("MAXSVA.X", i), sign * kPartial, 1e-9);
        } else {
            for (const char* col : {"Slip", "SVA", "Average", "MAXSVA"}) ASSERT_NEAR(r(col, i), 0, 1e-9) << col;
        }
    }
    EXPECT_EQ(beside, static_cast<int>(ref.size()) / 9);  // two of 18 layers
}

TEST_F(Sva, TestModeRenamesTheVectorColumns) {
    ScratchDir dir;
    const TestCrystal c = cu_slab(2);
    write_dump(c, dir.path("def.dump"), "pp ss pp");
    write_dump(c, dir.path("ref.dump"), "pp ss pp");
    const KavirOutcome o = run_kavir(dir, std::string(kSvaFiles) + "boundary p s p\ntest_mode\nmax_sva\navedis\n", "INPAR",
                                     nullptr, nullptr, KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    const std::string text = slurp(dir.path("sva.lmp"));
    EXPECT_NE(text.find("ITEM: ATOMS id\ttype\tx\ty\tz\tDisplacement.X\tDisplacement.Y\tDisplacement.Z\tAverage\tSVA\t"
                        "Force.X\tForce.Y\tForce.Z\tMAXSVA\tSlip.X\tSlip.Y\tSlip.Z\tSlip\n"),
              std::string::npos)
        << text.substr(0, 300);
    // Positions in "%8.5f", values in the real format.
    const size_t body = text.find("Slip\n") + 5;
    const std::string first = text.substr(body, text.find('\n', body) - body);
    EXPECT_NE(first.find("\t0.000000000e+00\t"), std::string::npos) << first;
    char lead[64];
    std::snprintf(lead, sizeof lead, "%d\t%d\t%8.5f\t", c.id[0], c.type[0], c.pos[0]);
    EXPECT_EQ(first.rfind(lead, 0), 0u) << first;
}

TEST_F(Sva, AFullBurgersVectorReducesToNoSlip) {
    // The upper half slipped by b = a/2 [1 -1 0]: a perfect crystal again,
    // whose bonds across the plane carry the slip b; "burgers" b takes it out.
    const TestCrystal ref = cu_slab();
    const double t[3] = {0, 0, kFull};
    const TestCrystal def = slip_upper_half(ref, t);
    for (bool reduce : {false, true}) {
        SCOPED_TRACE(reduce ? "with burgers" : "without");
        ScratchDir dir;
        write_dump(def, dir.path("def.dump"), "pp ss pp");
        write_dump(ref, dir.path("ref.dump"), "pp ss pp");
        std::string inpar = std::string(kSvaFiles) + "boundary p s p\nmax_sva\n";
        if (reduce) inpar += "burgers 0 0 " + num(kFull) + "\n";
        const KavirOutcome o = run_kavir(dir, inpar, "INPAR", nullptr, nullptr, KAVIR_sva);
        ASSERT_EQ(o.status, 0) << o.messages;
        const KavirResult r = read_result(dir.path("sva.lmp"));
        ASSERT_EQ(r.size(), ref.size());
        for (size_t i = 0; i < r.size(); i++) {
            const int L = layer_of(ref.pos[3 * i + 1]);
            const bool beside = !reduce && (L == 8 || L == 9);
            ASSERT_NEAR(r("SVA", i), beside ? kFull / 4 : 0, 1e-9) << "atom " << r.id[i];
            ASSERT_NEAR(r("MAXSVA", i), beside ? kFull : 0, 1e-9) << "atom " << r.id[i];
            ASSERT_NEAR(r("Slip", i), beside ? kFull : 0, 1e-9) << "atom " << r.id[i];
        }
    }
}

TEST_F(Sva, ReductionByABurgersVector) {
    const double b[3] = {1, 0, 0};
    double v[3] = {1, 0.2, 0};
    KAVIR_reduce_by(v, b);
    EXPECT_NEAR(v[0], 0, 1e-15);
    double w[3] = {-2.6, 0.1, 0.3};
    KAVIR_reduce_by(w, b);
    EXPECT_NEAR(w[0], 0.4, 1e-12);  // -2.6 + 3
    double far[3] = {1e6 + 0.25, 0, 0};  // a long way, taken in one jump
    KAVIR_reduce_by(far, b);
    EXPECT_NEAR(far[0], 0.25, 1e-6);
    double tie[3] = {0.5, 0, 0};  // |v - b| = |v|: stays
    KAVIR_reduce_by(tie, b);
    EXPECT_EQ(tie[0], 0.5);
    double tie_far[3] = {3.5, 0, 0};  // stops at the nearer of the two shortest
    KAVIR_reduce_by(tie_far, b);
    EXPECT_EQ(tie_far[0], 0.5);
    const double zero[3] = {0, 0, 0};
    double u[3] = {3, 4, 5};
    KAVIR_reduce_by(u, zero);
    EXPECT_EQ(u[2], 5);
}

TEST_F(Sva, AnAtomWithoutAPartnerIsNotANumber) {
    ScratchDir dir;
    const TestCrystal def = cu_slab();
    TestCrystal ref = def;
    // Drop one atom inside from the reference.
    size_t gone = 0;
    for (size_t i = 0; i < ref.size(); i++)
        if (layer_of(ref.pos[3 * i + 1]) == 5) {
            gone = i;
            break;
        }
    const int gone_id = ref.id[gone];
    ref.id.erase(ref.id.begin() + static_cast<long>(gone));
    ref.type.erase(ref.type.begin() + static_cast<long>(gone));
    ref.pos.erase(ref.pos.begin() + static_cast<long>(3 * gone), ref.pos.begin() + static_cast<long>(3 * gone + 3));
    write_dump(def, dir.path("def.dump"), "pp ss pp");
    write_dump(ref, dir.path("ref.dump"), "pp ss pp");
    KAVIR_table table;
    const KavirOutcome o = run_kavir(dir, std::string(kSvaFiles) + "boundary p s p\nmax_sva\n", "INPAR", &table, nullptr,
                                     KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    EXPECT_NE(o.messages.find("12 bonds to atoms without a partner"), std::string::npos) << o.messages;
    const std::vector<double> sva = column(table, "SVA"), slip = column(table, "Slip"), avg = column(table, "Average");
    ASSERT_EQ(sva.size(), def.size());
    for (size_t i = 0; i < def.size(); i++) {
        if (table.id[i] == gone_id) {
            EXPECT_TRUE(std::isnan(sva[i]));
            EXPECT_TRUE(std::isnan(slip[i]));
            EXPECT_TRUE(std::isnan(avg[i]));
        } else {
            ASSERT_NEAR(sva[i], 0, 1e-9) << "atom " << table.id[i];
            ASSERT_NEAR(slip[i], 0, 1e-9) << "atom " << table.id[i];
        }
    }
}

TEST_F(Sva, ProjectionFlattensPositionsAndVectors) {
    // Normal along x: the x components of positions and vectors are dropped.
    ScratchDir dir;
    const TestCrystal ref = cu_slab();
    const double t[3] = {kPartial, 0, 0};
    write_dump(slip_upper_half(ref, t), dir.path("def.dump"), "pp ss pp");
    write_dump(ref, dir.path("ref.dump"), "pp ss pp");
    const KavirOutcome o = run_kavir(dir,
                                     std::string(kSvaFiles) + "boundary p s p\nmax_sva\nporjection 0 1\nproj_norm 1 0 0\n"
                                                              "proj_format default\n",
                                     "INPAR", nullptr, nullptr, KAVIR_sva);
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult full = read_result(dir.path("sva.lmp"));
    const KavirResult r = read_result(dir.path("sva.lmp_x_xz"));
    ASSERT_EQ(r.size(), full.size());
    for (size_t i = 0; i < r.size(); i++) {
        ASSERT_EQ(r.x[i], 0);
        ASSERT_EQ(r.y[i], full.y[i]);
        ASSERT_EQ(r("SVA.X", i), 0);
        ASSERT_EQ(r("MAXSVA.X", i), 0);
        ASSERT_EQ(r("Slip.X", i), 0);
        ASSERT_EQ(r("SVA", i), full("SVA", i));  // lengths as before
    }
    EXPECT_NE(slurp(dir.path("d0001.txt")).size(), 0u);
    EXPECT_NE(o.messages.find("Proj(default) Success!"), std::string::npos);
}

TEST_F(Sva, UnusableInputsStopTheRun) {
    ScratchDir dir;
    const TestCrystal c = cu_slab(2);
    write_dump(c, dir.path("def.dump"), "pp ss pp");
    // No reference file.
    KavirOutcome o = run_kavir(dir, kSvaFiles, "INPAR", nullptr, nullptr, KAVIR_sva);
    EXPECT_EQ(o.status, 1) << o.messages;
    EXPECT_FALSE(std::filesystem::exists(dir.path("sva.lmp")));
    // A reference whose ids match none of the atoms.
    TestCrystal other = c;
    for (int& id : other.id) id += 100000;
    write_dump(other, dir.path("ref.dump"), "pp ss pp");
    o = run_kavir(dir, kSvaFiles, "INPAR", nullptr, nullptr, KAVIR_sva);
    EXPECT_EQ(o.status, 1) << o.messages;
    EXPECT_NE(o.messages.find("partner"), std::string::npos) << o.messages;
    // A keyword of another analysis, and an argument where there is none.
    write_dump(c, dir.path("ref.dump"), "pp ss pp");
    o = run_kavir(dir, std::string(kSvaFiles) + "dda_normal 0 0 1\n", "INPAR", nullptr, nullptr, KAVIR_sva);
    EXPECT_EQ(o.status, 2) << o.messages;
    o = run_kavir(dir, std::string(kSvaFiles) + "max_sva on\n", "INPAR", nullptr, nullptr, KAVIR_sva);
    EXPECT_EQ(o.status, 2) << o.messages;
}

// ================================================================ DDA

const char* kDdaFiles = "dda\nread_datafile_def def.dump\nread_datafile_ref ref.dump\nwrite_datafile dda.lmp\n";

// A free-standing block of Cu in the cube orientation, and the atom nearest
// its centre.
TestCrystal cu_block(size_t& middle) {
    const int rep[3] = {4, 4, 4};
    const double cube[3] = {kCu, kCu, kCu};
    TestCrystal c = make_crystal("fcc", kCu, kIdentity, cube, rep);
    double best = HUGE_VAL;
    for (size_t i = 0; i < c.size(); i++) {
        const double* x = c.p(i);
        const double d = std::hypot(x[0] - 2 * kCu, x[1] - 2 * kCu, x[2] - 2 * kCu);
        if (d < best) best = d, middle = i;
    }
    return c;
}

struct DdaRun {
    KavirOutcome o;
    KavirResult r;
    KAVIR_table table;
};

DdaRun run_dda(const ScratchDir& dir, const TestCrystal& def, const TestCrystal& ref, const std::string& extra) {
    write_dump(def, dir.path("def.dump"), "ss ss ss");
    write_dump(ref, dir.path("ref.dump"), "ss ss ss");
    DdaRun d;
    d.o = run_kavir(dir, std::string(kDdaFiles) + extra, "INPAR", &d.table, nullptr, KAVIR_dda);
    if (d.o.status == 0) d.r = read_result(dir.path("dda.lmp"));
    return d;
}

TEST_F(Dda, IdenticalConfigurationsGiveNoComponents) {
    ScratchDir dir;
    size_t middle = 0;
    const TestCrystal c = cu_block(middle);
    const DdaRun d = run_dda(dir, c, c, "EDGE\nSCREW\nMIXED\nneighbor_list\nexport_atoms\n");
    ASSERT_EQ(d.o.status, 0) << d.o.messages;
    EXPECT_NE(d.o.messages.find("cal dda succeed\n"), std::string::npos);
    const size_t N = c.size();
    const KavirResult& r = d.r;
    // The atoms in input order, then the bonds, each listed from both ends.
    size_t bonds = 0;
    for (size_t i = 0; i < N; i++) {
        ASSERT_EQ(r.id[i], c.id[i]);
        bonds += static_cast<size_t>(r("neigh", i));
    }
    ASSERT_EQ(r.size(), N + bonds);
    EXPECT_EQ(bonds % 2, 0u);
    for (size_t k = N; k < r.size(); k++) {
        ASSERT_EQ(r.id[k], static_cast<int>(10 * N + (k - N)));
        ASSERT_EQ(r("neigh", k), 0);
    }
    for (const char* col : {"Edge.X", "Edge.Y", "Edge.Z", "Screw.X", "Screw.Y", "Screw.Z", "Mixed.X", "Mixed.Y", "Mixed.Z"})
        for (size_t k = 0; k < r.size(); k++) ASSERT_NEAR(r(col, k), 0, 1e-12) << col << " row " << k;
    // Atom rows write their components as plain zeros, bond rows in the real format.
    const std::string text = slurp(dir.path("dda.lmp"));
    EXPECT_NE(text.find("\t12\t0\t0\t0\t0\t0\t0\t0\t0\t0\n"), std::string::npos);
    EXPECT_NE(text.find(std::to_string(10 * N) + "\t100\t"), std::string::npos);
    EXPECT_NE(text.find("ITEM: ATOMS id\ttype\tx\ty\tz\tneigh\tEdge.X\tEdge.Y\tEdge.Z\tScrew.X\tScrew.Y\tScrew.Z\t"
                        "Mixed.X\tMixed.Y\tMixed.Z\n"),
              std::string::npos);
    EXPECT_EQ(d.table.id.size(), r.size());
}

// The bonds of atom `a`: the rows of its own list (its block, found from the
// counts of the atoms before it) and the rows that list it from the other
// end (their centres lie half a bond from it).
struct BondsOf {
    std::vector<size_t> own, other, rest;
};
BondsOf bonds_of(const KavirResult& r, const TestCrystal& ref, size_t a) {
    const size_t N = ref.size();
    size_t first = N;
    for (size_t i = 0; i < a; i++) first += static_cast<size_t>(r("neigh", i));
    const size_t last = first + static_cast<size_t>(r("neigh", a));
    BondsOf b;
    const double* X = &ref.pos[3 * a];
    for (size_t k = N; k < r.size(); k++) {
        const double d = std::hypot(r.x[k] - X[0], r.y[k] - X[1], r.z[k] - X[2]);
        if (k >= first && k < last) b.own.push_back(k);
        else if (std::fabs(d - kFull / 2) < 1e-3) b.other.push_back(k);
        else b.rest.push_back(k);
    }
    return b;
}

TEST_F(Dda, ScrewComponentOfAnAtomMovedAlongTheNormal) {
    // Defaults: normal and Burgers vector (0, 0, 2). An atom moved by 1
    // (half of b) along z: every bond of it gives J = -1, an arrow of the
    // full in-plane bond length against the bond; moved by 2 (all of b): none.
    size_t a = 0;
    const TestCrystal ref = cu_block(a);
    for (double dz : {1.0, 2.0}) {
        SCOPED_TRACE(testing::Message() << "moved by " << dz);
        ScratchDir dir;
        TestCrystal def = ref;
        def.p(a)[2] += dz;
        const DdaRun d = run_dda(dir, def, ref, "neighbor_list\n");
        ASSERT_EQ(d.o.status, 0) << d.o.messages;
        const KavirResult& r = d.r;
        EXPECT_EQ(r.col.count("Edge.X"), 0u);
        EXPECT_EQ(r.col.count("Mixed.X"), 0u);
        const BondsOf b = bonds_of(r, ref, a);
        ASSERT_EQ(b.own.size(), 12u);
        ASSERT_EQ(b.other.size(), 12u);
        const double* X = &ref.pos[3 * a];
        for (size_t k : b.own) {
            // Bond vector from the atom, in the reference (centre ref).
            const double B[2] = {2 * (r.x[k] - X[0]), 2 * (r.y[k] - X[1])};
            const double expect = dz == 1.0 ? -1.0 : 0.0;
            ASSERT_NEAR(r("Screw.X", k), expect * B[0], 1e-6);
            ASSERT_NEAR(r("Screw.Y", k), expect * B[1], 1e-6);
            ASSERT_NEAR(r("Screw.Z", k), 0, 1e-12);
        }
        for (size_t k : b.other) {
            const double B[2] = {-2 * (r.x[k] - X[0]), -2 * (r.y[k] - X[1])};  // towards the atom
            const double expect = dz == 1.0 ? -1.0 : 0.0;
            ASSERT_NEAR(r("Screw.X", k), expect * B[0], 1e-6);
            ASSERT_NEAR(r("Screw.Y", k), expect * B[1], 1e-6);
        }
        for (size_t k : b.rest) {
            ASSERT_NEAR(r("Screw.X", k), 0, 1e-12);
            ASSERT_NEAR(r("Screw.Y", k), 0, 1e-12);
        }
    }
}

TEST_F(Dda, EdgeAndMixedComponents) {
    // An atom moved in the plane by (0.4, 0.3, 0), b = (0.5, 0, 2): the
    // edge part -(0.4, 0.3) of its own bonds is reduced by b_par = (0.5, 0, 0)
    // to (0.1, -0.3); the mixed part along x is -0.4 (times |p| = 2).
    size_t a = 0;
    const TestCrystal ref = cu_block(a);
    TestCrystal def = ref;
    def.p(a)[0] += 0.4;
    def.p(a)[1] += 0.3;
    ScratchDir dir;
    const DdaRun d = run_dda(dir, def, ref,
                             "neighbor_list\nEDGE\nMIXED\ndda_burgers 0.5 0 2\ndda_projection 2 0 0\ndda_normal 0 0 1\n"
                             "center def\n");
    ASSERT_EQ(d.o.status, 0) << d.o.messages;
    const KavirResult& r = d.r;
    // With the centres in the deformed configuration the rows of the moved
    // atom lie half a deformed bond away; find its block by the counts.
    const size_t N = ref.size();
    size_t first = N;
    for (size_t i = 0; i < a; i++) first += static_cast<size_t>(r("neigh", i));
    EXPECT_NEAR(r.x[a], def.p(a)[0], 1e-5);  // atom rows drawn where the atoms are
    for (size_t k = first; k < first + 12; k++) {
        ASSERT_NEAR(r("Edge.X", k), 0.1, 1e-9);
        ASSERT_NEAR(r("Edge.Y", k), -0.3, 1e-9);
        ASSERT_NEAR(r("Edge.Z", k), 0, 1e-12);
        ASSERT_NEAR(r("Mixed.X", k), -0.8, 1e-9);
        ASSERT_NEAR(r("Mixed.Y", k), 0, 1e-12);
        ASSERT_NEAR(r("Screw.X", k), 0, 1e-12);
    }

    // "edge_bond": the edge part turned along the in-plane bond, its length kept.
    ScratchDir dir2;
    const DdaRun e = run_dda(dir2, def, ref, "neighbor_list\nEDGE\nedge_bond\n");
    ASSERT_EQ(e.o.status, 0) << e.o.messages;
    const double* X = &ref.pos[3 * a];
    for (size_t k = first; k < first + 12; k++) {
        const double B[2] = {2 * (e.r.x[k] - X[0]), 2 * (e.r.y[k] - X[1])};
        const double lb = std::hypot(B[0], B[1]);
        ASSERT_NEAR(e.r("Edge.X", k), 0.5 * B[0] / lb, 1e-6);  // |(0.4, 0.3)| = 0.5
        ASSERT_NEAR(e.r("Edge.Y", k), 0.5 * B[1] / lb, 1e-6);
    }
}

TEST_F(Dda, ABurgersVectorInThePlaneLeavesTheScrewPartUndefined) {
    size_t a = 0;
    const TestCrystal ref = cu_block(a);
    TestCrystal def = ref;
    def.p(a)[0] += 0.2;
    ScratchDir dir;
    const DdaRun d = run_dda(dir, def, ref, "EDGE\nMIXED\ndda_burgers 1 0 0\ntest_mode\n");
    ASSERT_EQ(d.o.status, 0) << d.o.messages;
    const size_t N = ref.size();
    const std::vector<double> screw = column(d.table, "Force.X"), edge = column(d.table, "Displacement.X"),
                              mixed = column(d.table, "DipoleOrientation.X");
    ASSERT_GT(screw.size(), N);
    for (size_t k = N; k < screw.size(); k++) {
        ASSERT_TRUE(std::isnan(screw[k])) << "row " << k;
        ASSERT_TRUE(std::isfinite(edge[k])) << "row " << k;
        ASSERT_TRUE(std::isfinite(mixed[k])) << "row " << k;
    }
    for (size_t k = 0; k < N; k++) ASSERT_EQ(screw[k], 0);  // atom rows
}

TEST_F(Dda, TheCoreOfAVolterraScrewDislocationInIron) {
    // bcc Fe, x = [1 -2 1], y = [1 0 -1], z = [1 1 1]; b = a/2 [111] along
    // the line. The three columns around the line are displaced by b/3
    // relative to each other; the map draws b/3 as two thirds of the
    // in-plane bond (half of b is a full bond), and the three arrows around
    // the core add up to the whole of b. The line passes a little off the
    // centre of the three columns, which moves each arrow by about 1 %.
    const double a = 2.8665, b = a * std::sqrt(3.0) / 2;
    const double orient[3][3] = {{1, -2, 1}, {1, 0, -1}, {1, 1, 1}};
    const double period[3] = {a * std::sqrt(6.0), a * std::sqrt(2.0), b};
    const int rep[3] = {4, 7, 4};
    const TestCrystal ref = make_crystal("bcc", a, orient, period, rep);
    // Columns of atoms seen along z.
    std::vector<std::array<double, 2>> cols;
    for (size_t i = 0; i < ref.size(); i++) {
        const double px = ref.pos[3 * i], py = ref.pos[3 * i + 1];
        bool seen = false;
        for (const auto& c : cols) seen = seen || std::hypot(c[0] - px, c[1] - py) < 0.01;
        if (!seen) cols.push_back({px, py});
    }
    const double mid[2] = {ref.hi[0] / 2, ref.hi[1] / 2}, nn = a * std::sqrt(2.0 / 3.0);
    size_t A = 0;
    for (size_t c = 0; c < cols.size(); c++)
        if (std::hypot(cols[c][0] - mid[0], cols[c][1] - mid[1]) < std::hypot(cols[A][0] - mid[0], cols[A][1] - mid[1])) A = c;
    auto adjacent = [&](size_t p, size_t q) { return std::fabs(std::hypot(cols[p][0] - cols[q][0], cols[p][1] - cols[q][1]) - nn) < 0.01; };
    size_t B = cols.size(), C = cols.size();
    for (size_t p = 0; p < cols.size() && C == cols.size(); p++)
        for (size_t q = p + 1; q < cols.size() && C == cols.size(); q++)
            if (p != A && q != A && adjacent(A, p) && adjacent(A, q) && adjacent(p, q)) B = p, C = q;
    ASSERT_LT(C, cols.size());
    // Counter-clockwise A, B, C.
    const double turn = (cols[B][0] - cols[A][0]) * (cols[C][1] - cols[A][1]) - (cols[B][1] - cols[A][1]) * (cols[C][0] - cols[A][0]);
    if (turn < 0) std::swap(B, C);
    const double x0 = (cols[A][0] + cols[B][0] + cols[C][0]) / 3 + 0.02;
    const double y0 = (cols[A][1] + cols[B][1] + cols[C][1]) / 3 + 0.012;

    TestCrystal def = ref;
    add_screw(def, b, x0, y0);
    const double Lz = ref.hi[2];
    for (size_t i = 0; i < def.size(); i++) def.p(i)[2] -= Lz * std::floor(def.p(i)[2] / Lz);
    ScratchDir dir;
    write_dump(def, dir.path("def.dump"), "ss ss pp");
    write_dump(ref, dir.path("ref.dump"), "ss ss pp");
    const KavirOutcome o = run_kavir(dir, std::string(kDdaFiles) + "boundary s s p\ndda_normal 0 0 1\ndda_burgers 0 0 " + num(b) + "\n",
                                     "INPAR", nullptr, nullptr, KAVIR_dda);
    ASSERT_EQ(o.status, 0) << o.messages;
    const KavirResult r = read_result(dir.path("dda.lmp"));
    ASSERT_GT(r.size(), ref.size());

    // J of a bond between columns p and q, from the rows centred between them.
    const size_t pairs[3][2] = {{A, B}, {B, C}, {C, A}};
    double circulation = 0;
    for (const auto& pq : pairs) {
        const auto& P = cols[pq[0]];
        const auto& Q = cols[pq[1]];
        const double cx = (P[0] + Q[0]) / 2, cy = (P[1] + Q[1]) / 2, ex = Q[0] - P[0], ey = Q[1] - P[1];
        int rows = 0;
        double J = 0;
        for (size_t k = ref.size(); k < r.size(); k++) {
            if (std::hypot(r.x[k] - cx, r.y[k] - cy) > 0.01) continue;
            const double j = (r("Screw.X", k) * ex + r("Screw.Y", k) * ey) / (ex * ex + ey * ey);
            if (rows == 0) J = j;
            ASSERT_NEAR(j, J, 1e-6) << "every bond between the two columns alike";
            ASSERT_NEAR(std::hypot(r("Screw.X", k), r("Screw.Y", k)), std::fabs(j) * nn, 1e-6);  // along the bond
            rows++;
        }
        // Each atom has a first and a second neighbour in the other column,
        // listed from both ends: 4 rows per period along the line.
        EXPECT_EQ(rows, 4 * rep[2]);
        const double displacement = J * b / 2;
        EXPECT_NEAR(displacement, b / 3, 0.03 * b / 3);
        circulation += displacement;
    }
    EXPECT_NEAR(circulation, b, 1e-9);
    // Far from the line the arrows are short.
    for (size_t k = ref.size(); k < r.size(); k++) {
        if (std::hypot(r.x[k] - x0, r.y[k] - y0) < 10) continue;
        ASSERT_LT(std::hypot(r("Screw.X", k), r("Screw.Y", k)), 0.1 * nn) << "row " << k;
    }
}

TEST_F(Dda, UnusableInputsStopTheRun) {
    ScratchDir dir;
    size_t a = 0;
    const TestCrystal c = cu_block(a);
    write_dump(c, dir.path("def.dump"), "ss ss ss");
    KavirOutcome o = run_kavir(dir, kDdaFiles, "INPAR", nullptr, nullptr, KAVIR_dda);
    EXPECT_EQ(o.status, 1) << o.messages;  // no reference file
    write_dump(c, dir.path("ref.dump"), "ss ss ss");
    o = run_kavir(dir, std::string(kDdaFiles) + "center middle\n", "INPAR", nullptr, nullptr, KAVIR_dda);
    EXPECT_EQ(o.status, 2) << o.messages;
    o = run_kavir(dir, std::string(kDdaFiles) + "dda_normal 0 0\n", "INPAR", nullptr, nullptr, KAVIR_dda);
    EXPECT_EQ(o.status, 2) << o.messages;
    o = run_kavir(dir, std::string(kDdaFiles) + "max_sva\n", "INPAR", nullptr, nullptr, KAVIR_dda);
    EXPECT_EQ(o.status, 2) << o.messages;
    // Keywords in capitals and the choices of "center" in any case.
    o = run_kavir(dir, std::string(kDdaFiles) + "EDGE\nMIXED\nSCREW\ncenter CUR\nedge_bond\n", "INPAR", nullptr, nullptr,
                  KAVIR_dda);
    EXPECT_EQ(o.status, 0) << o.messages;
}

}  // namespace
