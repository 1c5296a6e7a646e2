#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "qb/qb_lattice.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_random.h"

namespace {

QB_tools fcc_crystal(double a, int n) {
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, a, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

// The radius the structure analysis uses: sqrt(2 (lx^2 + ly^2 + lz^2)) / N^(1/3).
double analysis_radius(const QB_tools& s) {
    const double l2 = s.size[0] * s.size[0] + s.size[1] * s.size[1] + s.size[2] * s.size[2];
    return std::sqrt(2 * l2) / std::cbrt(static_cast<double>(s.natoms));
}

QB_tools empty_box(double L) {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.size[d] = L;
        s.cell[d][d] = L;
    }
    return s;
}

using Entry = std::pair<double, int>;  // distance, real atom index

// Brute force over every atom and its 26 neighbouring images: the 16 nearest
// other atoms of atom i within r.
std::vector<Entry> reference_list(const QB_tools& s, int n, int i, double r) {
    double shifts[3][3] = {{0}};
    for (int e = 0; e < 3; e++)
        for (int d = 0; d < 3; d++) shifts[e][d] = s.triclinic ? s.cell[e][d] : (e == d ? s.size[d] : 0);
    std::vector<Entry> all;
    for (int j = 0; j < n; j++) {
        if (j == i) continue;
        for (int a = -1; a <= 1; a++)
            for (int b = -1; b <= 1; b++)
                for (int c = -1; c <= 1; c++) {
                    double d2 = 0;
                    const double pj[3] = {s.atoms[j].x, s.atoms[j].y, s.atoms[j].z};
                    const double pi[3] = {s.atoms[i].x, s.atoms[i].y, s.atoms[i].z};
                    for (int d = 0; d < 3; d++) {
                        const double v = pj[d] + a * shifts[0][d] + b * shifts[1][d] + c * shifts[2][d] - pi[d];
                        d2 += v * v;
                    }
                    if (d2 < r * r) all.emplace_back(std::sqrt(d2), j);
                }
    }
    std::sort(all.begin(), all.end());
    if (all.size() > 16) all.resize(16);
    return all;
}

// The current list with ghost indices mapped to the atoms they copy (ids
// are 1 ... n here).
std::vector<Entry> entries(const QB_tools& s, int count, const std::vector<int>& index,
                           const std::vector<double>& distance) {
    std::vector<Entry> out;
    for (int k = 0; k < count; k++) out.emplace_back(distance[k], std::abs(s.atoms[index[k]].id) - 1);
    return out;
}

std::vector<Entry> current_list(const QB_tools& s) {
    return entries(s, s.neighbour_count, s.neighbour_index, s.neighbour_distance);
}

void expect_same_list(const std::vector<Entry>& got, const std::vector<Entry>& want, int atom) {
    ASSERT_EQ(got.size(), want.size()) << "atom " << atom;
    for (size_t k = 0; k < got.size(); k++) {
        EXPECT_NEAR(got[k].first, want[k].first, 1e-9) << "atom " << atom << " entry " << k;
        EXPECT_EQ(got[k].second, want[k].second) << "atom " << atom << " entry " << k;
    }
}

void displace(QB_tools* s, double amount, uint32_t seed) {
    QB_random g;
    g.seed(seed);
    auto noise = [&] { return amount * (2.0 * g.next() / QB_RAND_MAX - 1.0); };
    for (int i = 0; i < s->natoms; i++) {
        s->atoms[i].x += noise();
        s->atoms[i].y += noise();
        s->atoms[i].z += noise();
        QB_wrap(s, i);
    }
}

// Random atoms inside the parallelepiped origin + cell, with lo/size set to
// its bounding box.
QB_tools random_triclinic(int n, uint32_t seed) {
    const double cell[3][3] = {{20, 0, 0}, {6, 19, 0}, {-4, 3, 18}};
    const double origin[3] = {1, 2, 3};
    QB_tools s;
    QB_init(&s);
    s.triclinic = 1;
    for (int d = 0; d < 3; d++) {
        s.origin[d] = origin[d];
        double low = origin[d], high = origin[d];
        for (int e = 0; e < 3; e++) {
            s.cell[e][d] = cell[e][d];
            (cell[e][d] < 0 ? low : high) += cell[e][d];
        }
        s.lo[d] = low;
        s.size[d] = high - low;
    }
    QB_random g;
    g.seed(seed);
    for (int i = 0; i < n; i++) {
        const double u = g.next() / 32768.0, v = g.next() / 32768.0, w = g.next() / 32768.0;
        double p[3];
        for (int d = 0; d < 3; d++) p[d] = origin[d] + u * cell[0][d] + v * cell[1][d] + w * cell[2][d];
        QB_create_atom(&s, 1, p[0], p[1], p[2]);
    }
    return s;
}

// Checks both periodic routes against the brute force: ghost atoms with
// plain lists, and image lists without ghosts.
void check_against_brute_force(QB_tools s, double r) {
    const int n = s.natoms;
    QB_tools ghosts = s;
    ASSERT_EQ(QB_pbc(&ghosts, r), 1);
    ASSERT_EQ(QB_network_init(&ghosts, r), 1);
    ASSERT_EQ(QB_network_init(&s, r), 1);
    for (int i = 0; i < n; i++) {
        const std::vector<Entry> want = reference_list(s, n, i, r);
        ASSERT_EQ(QB_list_build(&ghosts, i, r), 1);
        expect_same_list(current_list(ghosts), want, i);
        ASSERT_EQ(QB_pbclist_build(&s, i, r), 1);
        expect_same_list(current_list(s), want, i);
        if (::testing::Test::HasFailure()) return;
    }
    // Caller-owned lists from the packed network: the same lists, ties in
    // the same order.
    ASSERT_EQ(QB_network_pack(&ghosts), 1);
    ASSERT_FALSE(ghosts.packed_start.empty());
    QB_neighbour_list list;
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(QB_list_query(&ghosts, i, r, &list), 1);
        expect_same_list(entries(ghosts, list.count, list.index, list.distance), reference_list(s, n, i, r), i);
        if (::testing::Test::HasFailure()) return;
    }
    EXPECT_EQ(QB_list_query(&ghosts, n + ghosts.natoms, r, &list), QB_REFUSED);
    EXPECT_EQ(QB_list_query(&ghosts, 0, r, nullptr), QB_REFUSED);
}

}  // namespace

TEST(Neighbours, PerfectFccHasTwelveNearestThroughTheFaces) {
    const double a = 3.615;
    QB_tools s = fcc_crystal(a, 5);
    const int n = s.natoms;
    const double R = analysis_radius(s);
    ASSERT_GT(R, a);
    QB_tools pbc = s;
    ASSERT_EQ(QB_pbc(&pbc, R), 1);
    ASSERT_EQ(QB_network_init(&pbc, R), 1);
    ASSERT_EQ(QB_network_init(&s, R), 1);
    for (int i = 0; i < n; i++) {
        for (QB_tools* t : {&pbc, &s}) {
            if (t == &pbc)
                QB_list_build(t, i, R);
            else
                QB_pbclist_build(t, i, R);
            ASSERT_EQ(t->neighbour_count, 16) << i;
            for (int k = 0; k < 12; k++) ASSERT_NEAR(t->neighbour_distance[k], a / std::sqrt(2.0), 1e-9) << i;
            for (int k = 12; k < 16; k++) ASSERT_NEAR(t->neighbour_distance[k], a, 1e-9) << i;
        }
    }
}

TEST(Neighbours, DisplacedCrystalMatchesBruteForce) {
    QB_tools s = fcc_crystal(3.615, 6);
    displace(&s, 0.1, 2024);
    check_against_brute_force(s, analysis_radius(s));
}

TEST(Neighbours, TriclinicCellMatchesBruteForce) {
    check_against_brute_force(random_triclinic(500, 77), 5.0);
}

TEST(Neighbours, SmallRadiusUsesBinsOfThreeButOnlyListsCloserAtoms) {
    QB_tools s = empty_box(20);
    QB_create_atom(&s, 1, 5, 5, 5);
    for (double d : {1.5, 1.99, 2.0, 2.5}) QB_create_atom(&s, 1, 5 + d, 5, 5);
    ASSERT_EQ(QB_network_init(&s, 2), 1);
    EXPECT_DOUBLE_EQ(s.network_radius, 3);
    EXPECT_EQ(s.bin_count[0], 8);
    EXPECT_DOUBLE_EQ(s.bin_size[0], 26.0 / 8);
    ASSERT_EQ(QB_list_build(&s, 0, 2), 1);
    ASSERT_EQ(s.neighbour_count, 2);
    EXPECT_EQ(s.neighbour_index[0], 1);
    EXPECT_EQ(s.neighbour_index[1], 2);
    EXPECT_DOUBLE_EQ(s.neighbour_distance[1], 1.99);
}

TEST(Neighbours, ListKeepsTheSixteenNearestAndTiesKeepDiscoveryOrder) {
    // Seventeen atoms at one distance (d^2 = 1.5625 exactly), all in the
    // centre's bin, so discovery order is creation order.
    const double offsets[17][3] = {{1.25, 0, 0},  {-1.25, 0, 0}, {0, 1.25, 0},  {0, -1.25, 0}, {0, 0, 1.25},
                                   {0, 0, -1.25}, {0.75, 1, 0},  {-0.75, 1, 0}, {0.75, -1, 0}, {-0.75, -1, 0},
                                   {1, 0, 0.75},  {1, 0, -0.75}, {-1, 0, 0.75}, {-1, 0, -0.75}, {0, 0.75, 1},
                                   {0, -0.75, 1}, {0, 0.75, -1}};
    QB_tools s = empty_box(20);
    QB_create_atom(&s, 1, 5, 5, 5);
    for (const auto& o : offsets) QB_create_atom(&s, 1, 5 + o[0], 5 + o[1], 5 + o[2]);
    ASSERT_EQ(QB_network_init(&s, 3), 1);
    ASSERT_EQ(QB_list_build(&s, 0, 3), 1);
    ASSERT_EQ(s.neighbour_count, 16);
    for (int k = 0; k < 16; k++) {
        EXPECT_EQ(s.neighbour_index[k], k + 1);
        EXPECT_DOUBLE_EQ(s.neighbour_distance[k], 1.25);
    }
    // A closer atom found last goes to the front and pushes the last tie out.
    QB_create_atom(&s, 1, 5.5, 5, 5);
    QB_network_init(&s, 3);
    QB_list_build(&s, 0, 3);
    ASSERT_EQ(s.neighbour_count, 16);
    EXPECT_EQ(s.neighbour_index[0], 18);
    EXPECT_DOUBLE_EQ(s.neighbour_distance[0], 0.5);
    for (int k = 1; k < 16; k++) EXPECT_EQ(s.neighbour_index[k], k);
}

TEST(Neighbours, TiesInDifferentBinsFollowBinOrder) {
    QB_tools s = empty_box(20);
    QB_create_atom(&s, 1, 6.5, 5, 5);
    QB_create_atom(&s, 1, 7.5, 5, 5);  // bin 3 along x
    QB_create_atom(&s, 1, 5.5, 5, 5);  // bin 2, created later
    ASSERT_EQ(QB_network_init(&s, 3), 1);
    QB_list_build(&s, 0, 3);
    ASSERT_EQ(s.neighbour_count, 2);
    EXPECT_EQ(s.neighbour_index[0], 2);
    EXPECT_EQ(s.neighbour_index[1], 1);
}

TEST(Neighbours, QueryRadiusBeyondTheNetworkStillFindsEveryAtom) {
    QB_tools s = empty_box(30);
    QB_random g;
    g.seed(5);
    for (int i = 0; i < 400; i++) QB_create_atom(&s, 1, 30.0 * g.next() / 32768, 30.0 * g.next() / 32768, 30.0 * g.next() / 32768);
    ASSERT_EQ(QB_network_init(&s, 3), 1);
    s.list_capacity = 40;
    const double r = 7.5;
    for (int i = 0; i < 50; i++) {
        std::vector<Entry> want;
        for (int j = 0; j < s.natoms; j++) {
            const double d = std::sqrt(QB_squaredlengths(s.atoms[j].x - s.atoms[i].x, s.atoms[j].y - s.atoms[i].y,
                                                        s.atoms[j].z - s.atoms[i].z));
            if (j != i && d < r) want.emplace_back(d, j);
        }
        std::sort(want.begin(), want.end());
        if (want.size() > 40) want.resize(40);
        ASSERT_EQ(QB_list_build(&s, i, r), 1);
        expect_same_list(current_list(s), want, i);
    }
}

TEST(Neighbours, HugeVacuumDoesNotExhaustMemory) {
    QB_tools s = empty_box(1e7);
    for (int i = 0; i < 10; i++) QB_create_atom(&s, 1, 100 + i, 100, 100);
    QB_create_atom(&s, 1, NAN, 0, 0);
    QB_create_atom(&s, 1, 1e300, -1e300, 0);
    ASSERT_EQ(QB_network_init(&s, 3), 1);
    const double bins = 1.0 * s.bin_count[0] * s.bin_count[1] * s.bin_count[2];
    EXPECT_LE(bins, 4194304.0);
    EXPECT_EQ(s.bin_atoms.size(), static_cast<size_t>(bins));
    ASSERT_EQ(QB_nearest_atom(&s, 104.2, 100, 100, 1.5), 1);
    ASSERT_EQ(s.neighbour_count, 3);
    EXPECT_EQ(s.neighbour_index[0], 4);
    EXPECT_EQ(s.neighbour_index[1], 5);
    EXPECT_EQ(s.neighbour_index[2], 3);
    EXPECT_EQ(QB_network_init(&s, NAN), QB_REFUSED);
}

TEST(Neighbours, UpdateAddsNewAtomsToTheirBinOnce) {
    QB_tools s = empty_box(10);
    QB_create_atom(&s, 1, 1, 1, 1);
    EXPECT_EQ(QB_list_build(&s, 0, 3), QB_REFUSED);  // no network yet
    ASSERT_EQ(QB_network_init(&s, 3), 1);
    QB_create_atom(&s, 2, 2, 1, 1);
    QB_nearest_atom(&s, 2, 1, 1, 3);
    EXPECT_EQ(s.neighbour_count, 1);
    EXPECT_EQ(QB_network_update(&s, 3, 1), 1);
    EXPECT_EQ(QB_network_update(&s, 3, 1), 0);
    EXPECT_EQ(QB_network_update(&s, 3, 7), QB_REFUSED);
    // A packed network is dropped when an atom joins it, so the newcomer is
    // found.
    QB_create_atom(&s, 2, 1.5, 1, 1);
    ASSERT_EQ(QB_network_pack(&s), 1);
    EXPECT_EQ(QB_network_update(&s, 3, 2), 1);
    EXPECT_TRUE(s.packed_start.empty());
    QB_nearest_atom(&s, 1.5, 1, 1, 3);
    ASSERT_EQ(s.neighbour_count, 3);
    EXPECT_EQ(s.neighbour_index[0], 2);
    QB_delete_atom(&s, 2);
    QB_affine_delete(&s);
    QB_network_init(&s, 3);
    QB_nearest_atom(&s, 2, 1, 1, 3);
    ASSERT_EQ(s.neighbour_count, 2);
    EXPECT_EQ(s.neighbour_index[0], 1);
    EXPECT_DOUBLE_EQ(s.neighbour_distance[0], 0);
    QB_network_free(&s);
    EXPECT_EQ(s.network_built, 0);
    EXPECT_EQ(QB_network_update(&s, 3, 1), 0);
    QB_list_clear(&s);
    EXPECT_EQ(s.list_allocated, 0);
}

TEST(Neighbours, GhostsNearOneFaceAndAtACorner) {
    QB_tools s = empty_box(10);
    QB_create_atom(&s, 2, 0.5, 5, 5);
    QB_create_atom(&s, 1, 0.5, 0.5, 5);
    QB_add_exdouble(&s, "q");
    QB_save_data(&s, 0, "q", 1.5);
    QB_save_data(&s, 1, "q", 2.5);
    ASSERT_EQ(QB_pbc(&s, 1), 1);
    ASSERT_EQ(s.natoms, 2 + 1 + 3);
    EXPECT_EQ(s.pbc_start, 2);
    EXPECT_EQ(s.pbc_end, 6);
    EXPECT_DOUBLE_EQ(s.atoms[2].x, 10.5);
    EXPECT_EQ(s.atoms[2].id, 1);
    EXPECT_EQ(s.atoms[2].type, 2);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 2, "q"), 1.5);
    // Corner atom: (0, +1, 0), (+1, 0, 0), (+1, +1, 0) in this order.
    EXPECT_DOUBLE_EQ(s.atoms[3].x, 0.5);
    EXPECT_DOUBLE_EQ(s.atoms[3].y, 10.5);
    EXPECT_DOUBLE_EQ(s.atoms[4].x, 10.5);
    EXPECT_DOUBLE_EQ(s.atoms[4].y, 0.5);
    EXPECT_DOUBLE_EQ(s.atoms[5].x, 10.5);
    EXPECT_DOUBLE_EQ(s.atoms[5].y, 10.5);
    for (int i = 3; i < 6; i++) EXPECT_DOUBLE_EQ(QB_get_data(&s, i, "q"), 2.5);

    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_pbc(&s, 1), QB_REFUSED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "PBC init twice!\n");
    EXPECT_EQ(s.natoms, 6);

    EXPECT_EQ(QB_pbc_clean(&s), 1);
    EXPECT_EQ(s.pbc_start, 0);
    QB_affine_delete(&s);
    ASSERT_EQ(s.natoms, 2);
    EXPECT_EQ(s.atoms[0].id, 1);
    EXPECT_EQ(s.atoms[1].id, 2);
    EXPECT_EQ(s.exdouble_data[0].size(), 2u);

    QB_tools np = empty_box(10);
    np.periodic[0] = 0;
    QB_create_atom(&np, 1, 0.5, 5, 5);
    QB_pbc(&np, 1);
    EXPECT_EQ(np.natoms, 1);
}

TEST(Neighbours, GhostRangesBelongToEachSystem) {
    QB_tools a = empty_box(10), b = empty_box(10);
    QB_create_atom(&a, 1, 0.5, 5, 5);
    QB_create_atom(&b, 1, 9.5, 9.5, 9.5);
    ASSERT_EQ(QB_pbc(&a, 1), 1);
    ASSERT_EQ(QB_pbc(&b, 1), 1);
    EXPECT_EQ(a.natoms, 2);
    EXPECT_EQ(b.natoms, 8);
    QB_pbc_clean(&b);
    QB_affine_delete(&b);
    EXPECT_EQ(b.natoms, 1);
    EXPECT_EQ(a.pbc_end, 2);  // untouched by the other system
    QB_pbc_clean(&a);
    QB_affine_delete(&a);
    EXPECT_EQ(a.natoms, 1);
    // A second run after cleaning finds its images again.
    ASSERT_EQ(QB_pbc(&a, 1), 1);
    EXPECT_EQ(a.natoms, 2);
}

TEST(Neighbours, ImageListLeavesTheAtomInPlace) {
    QB_tools s = fcc_crystal(3.615, 3);
    displace(&s, 0.05, 9);
    const QB_atom_array before = s.atoms;
    QB_network_init(&s, 5);
    for (int i = 0; i < s.natoms; i++) QB_pbclist_build(&s, i, 5);
    ASSERT_EQ(before.size(), s.atoms.size());
    for (size_t i = 0; i < before.size(); i++) {
        EXPECT_EQ(before[i].x, s.atoms[i].x);
        EXPECT_EQ(before[i].y, s.atoms[i].y);
        EXPECT_EQ(before[i].z, s.atoms[i].z);
    }
    for (const auto& bin : s.bin_atoms)
        for (int m : bin) EXPECT_LT(m, s.natoms);
}

namespace {

struct WalkerCase {
    const char* name;
    QB_tools (*model)();
};

// Large enough to be binned by several threads.
QB_tools noisy_fcc() {
    QB_tools s = fcc_crystal(3.615, 12);
    displace(&s, 0.2, 21);
    return s;
}
// Lists short of sixteen within the first radius, so the second one is asked.
QB_tools sparse_gas() {
    QB_tools s = empty_box(25);
    QB_random g;
    g.seed(4);
    for (int i = 0; i < 300; i++) {
        const double x = 25.0 * g.next() / 32768, y = 25.0 * g.next() / 32768;
        QB_create_atom(&s, 1, x, y, 25.0 * g.next() / 32768);
    }
    return s;
}
QB_tools triclinic_cell() { return random_triclinic(600, 8); }
// Atoms past the faces, two close together a million lengths away, a
// duplicate, and the box far from the origin.
QB_tools far_and_outside() {
    QB_tools s = fcc_crystal(3.615, 5);
    for (int i = 0; i < s.natoms; i++) {
        s.atoms[i].x += 1e5 + 0.3;
        s.atoms[i].y -= 2e4;
    }
    s.lo[0] = 1e5;
    s.lo[1] = -2e4;
    QB_create_atom(&s, 1, 1e6, 1e6, 1e6);
    QB_create_atom(&s, 1, 1e6 + 1, 1e6, 1e6);
    QB_create_atom(&s, 1, s.atoms[3].x, s.atoms[3].y, s.atoms[3].z);
    return s;
}
QB_tools free_z() {
    QB_tools s = noisy_fcc();
    s.periodic[2] = 0;
    return s;
}
QB_tools small_box() { return fcc_crystal(3.615, 2); }

const WalkerCase kWalkerCases[] = {{"noisy_fcc", noisy_fcc},     {"sparse_gas", sparse_gas},
                                   {"triclinic", triclinic_cell}, {"far_and_outside", far_and_outside},
                                   {"free_z", free_z},            {"small_box", small_box}};

void PrintTo(const WalkerCase& c, std::ostream* os) { *os << c.name; }

class CellWalker : public ::testing::TestWithParam<WalkerCase> {};

// The cell list without copies gives what the ghost copy gives: the same
// records (images numbered as QB_pbc numbers its ghosts) at the same
// distances in the same order, ties included, for both the network's
// radius and a larger one, whatever the number of threads that built it.
TEST_P(CellWalker, ListsWhatTheGhostCopyLists) {
    const QB_tools s = GetParam().model();
    const int n = s.natoms;
    const double R = analysis_radius(s);
    const double near = 0.7 * R;
    QB_tools ghosts = s;
    ASSERT_EQ(QB_pbc(&ghosts, R), 1);
    ASSERT_EQ(QB_network_init(&ghosts, near), 1);
    ASSERT_EQ(QB_network_pack(&ghosts), 1);

    QB_cell_list cells;
    ASSERT_EQ(QB_cell_list_build(&s, R, near, &cells, 3), 1);
    QB_cell_list serial;
    ASSERT_EQ(QB_cell_list_build(&s, R, near, &serial, 1), 1);
    EXPECT_EQ(serial.start, cells.start);
    EXPECT_EQ(serial.record, cells.record);
    EXPECT_EQ(serial.x, cells.x);
    ASSERT_EQ(static_cast<int>(cells.record.size()), ghosts.natoms);
    for (int d = 0; d < 3; d++) EXPECT_EQ(cells.bin_count[d], ghosts.bin_count[d]);

    std::vector<int> entry_of(static_cast<size_t>(ghosts.natoms), -1);
    for (size_t e = 0; e < cells.record.size(); e++) entry_of[cells.record[e]] = static_cast<int>(e);
    QB_cell_walker walker(cells, ghosts.list_capacity);
    QB_cell_hits hits;
    QB_neighbour_list list;
    int full = 0;
    for (double r : {near, R}) {
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(QB_list_query(&ghosts, i, r, &list), 1);
            walker.query(entry_of[i], r, &hits);
            ASSERT_EQ(hits.count, list.count) << "atom " << i << " r " << r;
            full += hits.count == ghosts.list_capacity;
            for (int k = 0; k < hits.count; k++) {
                const int t = hits.entry[k];
                ASSERT_EQ(cells.record[t], list.index[k]) << "atom " << i << " entry " << k << " r " << r;
                ASSERT_EQ(std::sqrt(hits.d2[k]), list.distance[k]);
                EXPECT_EQ(hits.dx[k], ghosts.atoms[list.index[k]].x - s.atoms[i].x);
                EXPECT_EQ(hits.dz[k], ghosts.atoms[list.index[k]].z - s.atoms[i].z);
            }
        }
    }
    EXPECT_GT(full, 0);
}

INSTANTIATE_TEST_SUITE_P(Models, CellWalker, ::testing::ValuesIn(kWalkerCases),
                         [](const ::testing::TestParamInfo<WalkerCase>& info) { return std::string(info.param.name); });

}  // namespace
