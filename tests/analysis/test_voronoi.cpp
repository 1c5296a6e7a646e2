// Voronoi cells: agreement with LAMMPS's compute voronoi/atom on the shared
// configurations (fixtures/everyday/make_voronoi_reference.sh wrote the
// reference dumps), the cells of perfect lattices, free faces, triclinic
// boxes, refusals and thread independence.
#include "analysis/voronoi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_random.h"
#include "qb/qb_tools.h"

namespace {

const std::string kDir = std::string(QUELM_TEST_DATA) + "/analysis/fixtures/everyday/";
// The face_threshold of the reference dumps' third column (A^2).
constexpr double kFaceThreshold = 0.1;

// One LAMMPS dump row: volume, faces, faces above kFaceThreshold.
struct Row {
    double volume = 0;
    int faces = 0;
    int faces_above = 0;
};

// The rows of a dump by atom id; empty (with a failure) when unreadable.
std::map<int, Row> read_dump(const std::string& path) {
    std::map<int, Row> rows;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return rows;
    }
    char line[512];
    bool atoms = false;
    while (std::fgets(line, sizeof line, f)) {
        if (!atoms) {
            atoms = std::string(line).rfind("ITEM: ATOMS id c_v[1] c_v[2] c_t[2]", 0) == 0;
            continue;
        }
        int id = 0, faces = 0, above = 0;
        double v = 0;
        if (std::sscanf(line, "%d %lf %d %d", &id, &v, &faces, &above) != 4) {
            ADD_FAILURE() << path << ": bad row " << line;
            break;
        }
        rows[id] = {v, faces, above};
    }
    std::fclose(f);
    EXPECT_TRUE(atoms) << path << " has no atom rows";
    return rows;
}

QB_tools read_model(const std::string& name) {
    QB_tools m;
    QB_init(&m);
    std::string reason;
    const int code = QB_read_file(&m, (kDir + name).c_str(), &reason);
    EXPECT_EQ(code, 1) << name << ": " << reason;
    return m;
}

double box_volume(const QB_tools& m) {
    const auto& c = m.cell;
    if (m.triclinic != 1) return m.size[0] * m.size[1] * m.size[2];
    return std::fabs(c[0][0] * (c[1][1] * c[2][2] - c[1][2] * c[2][1]) -
                     c[0][1] * (c[1][0] * c[2][2] - c[1][2] * c[2][0]) +
                     c[0][2] * (c[1][0] * c[2][1] - c[1][1] * c[2][0]));
}

QN_voronoi_result run(const QB_tools& m, double threshold = 0, int threads = 0) {
    QN_voronoi_options o;
    o.face_threshold = threshold;
    o.threads = threads;
    QN_voronoi_result r;
    std::string why;
    EXPECT_EQ(QN_voronoi(&m, o, &r, &why), 1) << why;
    EXPECT_EQ(r.volume.size(), static_cast<size_t>(m.natoms));
    EXPECT_EQ(r.faces.size(), static_cast<size_t>(m.natoms));
    return r;
}

double sum_of(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

// Compares every atom with the dump: volumes to 1e-6 relative, face counts
// (all, and above kFaceThreshold) exactly; the volumes fill the box.
void expect_lammps(const QB_tools& m, const std::string& dump) {
    const std::map<int, Row> ref = read_dump(kDir + dump);
    ASSERT_EQ(ref.size(), static_cast<size_t>(m.natoms)) << dump;
    const QN_voronoi_result all = run(m, 0);
    const QN_voronoi_result above = run(m, kFaceThreshold);
    ASSERT_EQ(all.volume.size(), static_cast<size_t>(m.natoms));
    ASSERT_EQ(above.volume.size(), static_cast<size_t>(m.natoms));
    int bad_volume = 0, bad_faces = 0, bad_above = 0;
    double worst = 0;
    for (int i = 0; i < m.natoms; i++) {
        const auto it = ref.find(m.atoms[i].id);
        ASSERT_NE(it, ref.end()) << dump << ": no row for atom " << m.atoms[i].id;
        const Row& r = it->second;
        const double rel = std::fabs(all.volume[i] - r.volume) / r.volume;
        worst = std::max(worst, rel);
        if (!(rel <= 1e-6) && bad_volume++ < 5)
            ADD_FAILURE() << dump << " atom " << m.atoms[i].id << ": volume " << all.volume[i] << ", LAMMPS "
                          << r.volume;
        if (all.faces[i] != r.faces && bad_faces++ < 5)
            ADD_FAILURE() << dump << " atom " << m.atoms[i].id << ": " << all.faces[i] << " faces, LAMMPS "
                          << r.faces;
        if (above.faces[i] != r.faces_above && bad_above++ < 5)
            ADD_FAILURE() << dump << " atom " << m.atoms[i].id << ": " << above.faces[i]
                          << " faces above the threshold, LAMMPS " << r.faces_above;
        EXPECT_EQ(above.volume[i], all.volume[i]);
    }
    EXPECT_EQ(bad_volume, 0) << dump << ": worst relative volume difference " << worst;
    EXPECT_EQ(bad_faces, 0) << dump;
    EXPECT_EQ(bad_above, 0) << dump;
    const double V = box_volume(m);
    EXPECT_NEAR(sum_of(all.volume), V, 1e-9 * V) << dump;
}

// Moves every coordinate by up to +-amp with the program's generator.
void add_noise(QB_tools* m, double amp, uint32_t seed) {
    QB_random g;
    g.seed(seed);
    auto u = [&g, amp]() { return (2.0 * g.next() / QB_RAND_MAX - 1.0) * amp; };
    for (int i = 0; i < m->natoms; i++) {
        m->atoms[i].x += u();
        m->atoms[i].y += u();
        m->atoms[i].z += u();
    }
}

QB_tools fcc(double a, int n) {
    QB_tools m;
    QB_init(&m);
    QB_create_fcc(&m, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&m, n, n, n);
    return m;
}

// Every cell has volume v (1e-9 relative) and f faces.
void expect_all(const QB_tools& m, const QN_voronoi_result& r, double v, int f, const char* what) {
    ASSERT_EQ(r.volume.size(), static_cast<size_t>(m.natoms)) << what;
    int wrong = 0;
    for (int i = 0; i < m.natoms; i++) {
        if ((std::fabs(r.volume[i] - v) > 1e-9 * v || r.faces[i] != f) && wrong++ < 5)
            ADD_FAILURE() << what << " atom " << i << ": volume " << r.volume[i] << " (" << v << "), "
                          << r.faces[i] << " faces (" << f << ")";
    }
    EXPECT_EQ(wrong, 0) << what;
}

std::string refusal(const QB_tools& m, double threshold = 0) {
    QN_voronoi_options o;
    o.face_threshold = threshold;
    QN_voronoi_result r;
    r.volume.assign(3, 1.0);
    std::string why;
    EXPECT_EQ(QN_voronoi(&m, o, &r, &why), QB_REFUSED);
    EXPECT_TRUE(r.volume.empty());
    return why;
}

}  // namespace

TEST(Voronoi, AgreesWithLammpsOnThermalCopper) {
    expect_lammps(read_model("cu_thermal.data"), "voronoi_cu_thermal_lammps.txt");
}

TEST(Voronoi, AgreesWithLammpsOnTheAlloy) {
    expect_lammps(read_model("cuni_alloy.data"), "voronoi_cuni_alloy_lammps.txt");
}

TEST(Voronoi, AgreesWithLammpsOnTheLiquid) {
    expect_lammps(read_model("cu_liquid.data"), "voronoi_cu_liquid_lammps.txt");
}

// y and z not periodic: the box faces there are walls of the cells, as in
// LAMMPS (boundary p f f); the cells still fill the box.
TEST(Voronoi, AgreesWithLammpsWithFreeFaces) {
    QB_tools m = read_model("cu_thermal.data");
    m.periodic[1] = m.periodic[2] = 0;
    expect_lammps(m, "voronoi_cu_thermal_free_lammps.txt");
}

TEST(Voronoi, AgreesWithLammpsInATriclinicBox) {
    const QB_tools m = read_model("voronoi_tri.data");
    ASSERT_EQ(m.triclinic, 1);
    expect_lammps(m, "voronoi_tri_lammps.txt");
}

// LAMMPS gives every cell of a perfect fcc crystal 12 faces: the vertices
// where four faces meet make no face of their own.
TEST(Voronoi, PerfectFccMatchesLammps) {
    const std::map<int, Row> ref = read_dump(kDir + "voronoi_fcc_perfect_lammps.txt");
    const QB_tools m = fcc(3.615, 3);
    ASSERT_EQ(ref.size(), static_cast<size_t>(m.natoms));
    for (const auto& [id, row] : ref) {
        EXPECT_EQ(row.faces, 12) << id;
        EXPECT_NEAR(row.volume, std::pow(3.615, 3) / 4, 1e-9);
    }
    expect_all(m, run(m), std::pow(3.615, 3) / 4, 12, "fcc");
}

TEST(Voronoi, PerfectLatticesGiveTheirWignerSeitzCells) {
    const double a = 3.615;
    expect_all(fcc(a, 4), run(fcc(a, 4)), a * a * a / 4, 12, "fcc: rhombic dodecahedra");
    QB_tools turned;
    QB_init(&turned);
    QB_create_fcc(&turned, a, 1, 1, 0, -1, 1, 0, 0, 0, 1);
    QB_duplicate(&turned, 3, 3, 4);
    expect_all(turned, run(turned), a * a * a / 4, 12, "fcc along [110]");

    const double b = 2.87;
    QB_tools bcc;
    QB_init(&bcc);
    QB_create_bcc(&bcc, b, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&bcc, 4, 4, 4);
    expect_all(bcc, run(bcc), b * b * b / 2, 14, "bcc: truncated octahedra");

    const double c = 2.5;
    const double one[1][4] = {{1, 0, 0, 0}};
    QB_tools sc;
    QB_init(&sc);
    QB_create_any(&sc, c, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, one);
    QB_duplicate(&sc, 5, 5, 5);
    expect_all(sc, run(sc), c * c * c, 6, "simple cubic: cubes");
}

// Boxes thinner than the cells' reach: the neighbours are further images.
TEST(Voronoi, SmallPeriodicBoxes) {
    const double c = 2.5;
    const double one[1][4] = {{1, 0, 0, 0}};
    QB_tools sc;
    QB_init(&sc);
    QB_create_any(&sc, c, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, one);
    ASSERT_EQ(sc.natoms, 1);
    expect_all(sc, run(sc), c * c * c, 6, "one simple cubic cell");
    QB_tools cell = fcc(3.615, 1);
    ASSERT_EQ(cell.natoms, 4);
    expect_all(cell, run(cell), std::pow(3.615, 3) / 4, 12, "one fcc cell");
}

// The fcc primitive cell as a triclinic box: one atom, then 4 x 4 x 4 of
// them; noise keeps the volumes summing to the box.
TEST(Voronoi, TriclinicBoxes) {
    const double a = 3.615;
    QB_tools m;
    QB_init(&m);
    m.triclinic = 1;
    const double cell[3][3] = {{0, a / 2, a / 2}, {a / 2, 0, a / 2}, {a / 2, a / 2, 0}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) m.cell[e][d] = cell[e][d];
    for (int d = 0; d < 3; d++) {
        m.origin[d] = 0;
        m.lo[d] = 0;
        m.size[d] = a;
    }
    QB_create_atom(&m, 1, 0.3, 0.2, 0.1);
    expect_all(m, run(m), a * a * a / 4, 12, "primitive fcc cell");
    ASSERT_EQ(QB_duplicate(&m, 4, 4, 4), 1);
    ASSERT_EQ(m.natoms, 64);
    expect_all(m, run(m), a * a * a / 4, 12, "4 x 4 x 4 primitive cells");
    add_noise(&m, 0.3, 77);
    const QN_voronoi_result r = run(m);
    EXPECT_NEAR(sum_of(r.volume), 16 * a * a * a, 1e-9 * 16 * a * a * a);
    for (double v : r.volume) EXPECT_GT(v, 0);
}

// A box so skewed that the nearest images of an atom lie two cell vectors
// away: b - 2a is far shorter than a or b.
TEST(Voronoi, SkewedBoxesReachFartherImages) {
    QB_tools m;
    QB_init(&m);
    m.triclinic = 1;
    const double cell[3][3] = {{2, 0, 0}, {3.9, 0.3, 0}, {0.2, 0.1, 2}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) m.cell[e][d] = cell[e][d];
    // The bounding box of the cell from the origin.
    for (int d = 0; d < 3; d++) {
        double lo = 0, hi = 0;
        for (int e = 0; e < 3; e++) (cell[e][d] < 0 ? lo : hi) += cell[e][d];
        m.origin[d] = 0;
        m.lo[d] = lo;
        m.size[d] = hi - lo;
    }
    QB_create_atom(&m, 1, 1.0, 0.1, 0.5);
    const double V = box_volume(m);
    ASSERT_NEAR(V, 1.2, 1e-12);
    QN_voronoi_result r = run(m);
    ASSERT_EQ(r.volume.size(), 1u);
    EXPECT_NEAR(r.volume[0], V, 1e-9 * V);
    // Two atoms: still the whole box between them.
    QB_create_atom(&m, 1, 2.5, 0.2, 1.5);
    r = run(m);
    ASSERT_EQ(r.volume.size(), 2u);
    EXPECT_NEAR(r.volume[0] + r.volume[1], V, 1e-9 * V);
    EXPECT_GT(r.volume[0], 0.1 * V);
    EXPECT_GT(r.volume[1], 0.1 * V);
}

// A slab in a periodic box with vacuum above and below: the surface cells
// reach across the vacuum, far beyond the first search radius.
TEST(Voronoi, SparseRegionsGrowTheSearch) {
    QB_tools m = fcc(3.615, 4);
    m.size[2] *= 4;
    m.cell[2][2] = m.size[2];
    add_noise(&m, 0.05, 5);
    const QN_voronoi_result r = run(m);
    const double V = box_volume(m);
    EXPECT_NEAR(sum_of(r.volume), V, 1e-9 * V);
    double biggest = 0;
    for (double v : r.volume) biggest = std::max(biggest, v);
    // A surface atom owns a column of vacuum: far more than an inner cell.
    EXPECT_GT(biggest, 10 * std::pow(3.615, 3) / 4);
}

// An atom alone in a spherical hole of a crystal that floats in much
// vacuum, near one side of the hole: the mean density sets a wide first
// search, in which the near side of the hole's wall fills the list of
// nearest neighbours before the far side, which bounds the cell, is in it.
TEST(Voronoi, CrowdedNeighbourListsAreWidened) {
    QB_tools crystal = fcc(3.615, 4);
    const double c = crystal.size[0] / 2;
    QB_tools m;
    QB_init(&m);
    for (int d = 0; d < 3; d++) {
        m.size[d] = crystal.size[d] * (d == 2 ? 10 : 1);
        m.cell[d][d] = m.size[d];
    }
    for (int i = 0; i < crystal.natoms; i++) {
        const atomdata& a = crystal.atoms[i];
        if (std::pow(a.x - c, 2) + std::pow(a.y - c, 2) + std::pow(a.z - c, 2) > 5.5 * 5.5)
            QB_create_atom(&m, 1, a.x, a.y, a.z);
    }
    QB_create_atom(&m, 1, c + 1.6, c - 0.2, c + 0.3);
    const QN_voronoi_result r = run(m);
    const double V = box_volume(m);
    EXPECT_NEAR(sum_of(r.volume), V, 1e-9 * V);
    ASSERT_EQ(r.volume.size(), static_cast<size_t>(m.natoms));
    // The lone atom's cell lies within the hole, far from the vacuum.
    EXPECT_GT(r.volume.back(), 3 * std::pow(3.615, 3) / 4);
    EXPECT_LT(r.volume.back(), 4.0 / 3 * 3.14159 * 5.5 * 5.5 * 5.5);
}

// One atom in a box without periodic faces owns the whole box, a cell of 6
// faces; two atoms split it at their bisector.
TEST(Voronoi, FreeFacesAreWalls) {
    QB_tools m;
    QB_init(&m);
    for (int d = 0; d < 3; d++) {
        m.size[d] = 10 + d;
        m.cell[d][d] = m.size[d];
        m.periodic[d] = 0;
    }
    QB_create_atom(&m, 1, 2, 3, 4);
    QN_voronoi_result r = run(m);
    ASSERT_EQ(r.volume.size(), 1u);
    EXPECT_NEAR(r.volume[0], 10 * 11 * 12, 1e-9);
    EXPECT_EQ(r.faces[0], 6);
    QB_create_atom(&m, 1, 6, 3, 4);
    r = run(m);
    ASSERT_EQ(r.volume.size(), 2u);
    EXPECT_NEAR(r.volume[0], 4 * 11 * 12, 1e-9);
    EXPECT_NEAR(r.volume[1], 6 * 11 * 12, 1e-9);
    EXPECT_EQ(r.faces[0], 6);
    EXPECT_EQ(r.faces[1], 6);
    // x periodic: the two split the box at x = 4 and at x = 9 (the bisector
    // with the other's image); the volumes are equal.
    m.periodic[0] = 1;
    r = run(m);
    EXPECT_NEAR(r.volume[0], 5 * 11 * 12, 1e-9);
    EXPECT_NEAR(r.volume[1], 5 * 11 * 12, 1e-9);
}

TEST(Voronoi, ThresholdDropsSmallFaces) {
    const QB_tools m = read_model("cu_liquid.data");
    const QN_voronoi_result all = run(m, 0), some = run(m, 1.0), none = run(m, 1e6);
    long long a = 0, s = 0;
    for (int i = 0; i < m.natoms; i++) {
        EXPECT_LE(some.faces[i], all.faces[i]);
        EXPECT_EQ(none.faces[i], 0);
        a += all.faces[i];
        s += some.faces[i];
    }
    EXPECT_LT(s, a);
}

// Deleted records take no part and get no cell.
TEST(Voronoi, DeletedAtomsAreLeftOut) {
    QB_tools m = fcc(3.615, 3);
    ASSERT_EQ(QB_delete_atom(&m, 5), 1);
    const QN_voronoi_result r = run(m);
    ASSERT_EQ(r.volume.size(), static_cast<size_t>(m.natoms));
    EXPECT_EQ(r.volume[5], 0);
    EXPECT_EQ(r.faces[5], 0);
    const double V = box_volume(m);
    EXPECT_NEAR(sum_of(r.volume), V, 1e-9 * V);
    // The vacancy's neighbours share its room.
    double biggest = 0;
    for (double v : r.volume) biggest = std::max(biggest, v);
    EXPECT_GT(biggest, 1.05 * std::pow(3.615, 3) / 4);
}

TEST(Voronoi, RefusesBadInput) {
    QB_tools empty;
    QB_init(&empty);
    empty.size[0] = empty.size[1] = empty.size[2] = 10;
    EXPECT_NE(refusal(empty).find("no atoms"), std::string::npos);

    const QB_tools crystal = fcc(3.615, 2);
    EXPECT_NE(refusal(crystal, -0.5).find("threshold"), std::string::npos);

    QB_tools twice = crystal;
    QB_create_atom(&twice, 1, twice.atoms[7].x, twice.atoms[7].y, twice.atoms[7].z);
    std::string why = refusal(twice);
    EXPECT_NE(why.find("same place"), std::string::npos) << why;
    EXPECT_NE(why.find("atom 8"), std::string::npos) << why;
    EXPECT_NE(why.find("atom " + std::to_string(twice.natoms)), std::string::npos) << why;

    // The same place through a periodic face: x = 0 and x = L.
    QB_tools across = crystal;
    QB_create_atom(&across, 1, across.atoms[0].x + across.size[0], across.atoms[0].y, across.atoms[0].z);
    why = refusal(across);
    EXPECT_NE(why.find("same place"), std::string::npos) << why;

    QB_tools outside = crystal;
    outside.periodic[2] = 0;
    QB_create_atom(&outside, 1, 1, 1, outside.size[2] + 3);
    EXPECT_NE(refusal(outside).find("outside the box"), std::string::npos);

    QB_tools flat = crystal;
    flat.size[2] = 0;
    flat.cell[2][2] = 0;
    EXPECT_NE(refusal(flat).find("no volume"), std::string::npos);
}

TEST(Voronoi, SameResultsOnAnyNumberOfThreads) {
    QB_tools m = fcc(3.615, 8);
    add_noise(&m, 0.3, 11);
    const QB_tools liquid = read_model("cu_liquid.data");
    for (const QB_tools* model : {static_cast<const QB_tools*>(&m), &liquid}) {
        const QN_voronoi_result one = run(*model, kFaceThreshold, 1);
        for (int threads : {2, 8}) {
            const QN_voronoi_result more = run(*model, kFaceThreshold, threads);
            EXPECT_EQ(more.volume, one.volume) << threads << " threads";
            EXPECT_EQ(more.faces, one.faces) << threads << " threads";
        }
    }
}

