// Atomkit's recipe: every step kind on a small crystal against a known
// result, every region kind against its analytic membership, the list, runs
// up to a step, and the save file (round trip and damaged files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "atomkit/atomkit.h"
#include "qb/qb_formats.h"
#include "qb/qb_lattice.h"
#include "qb/qb_region.h"
#include "qb/qb_text.h"
#include "test_support.h"

namespace {

constexpr double kA = 3.615;

// An fcc crystal of n x n x n cells at the origin.
QB_tools crystal(int n = 4) {
    QB_tools s;
    QB_init(&s);
    QB_create_fcc(&s, kA, 1, 0, 0, 0, 1, 0, 0, 0, 1);
    QB_duplicate(&s, n, n, n);
    return s;
}

class Atomkit : public QuietStdoutTest {
protected:
    void SetUp() override {
        QuietStdoutTest::SetUp();
        AK_free_all();
        AK_recipe_folder.clear();
    }
    // Runs the recipe text on base.
    QB_tools run(const std::string& recipe, const QB_tools& base, int upto = 0) {
        std::string message;
        EXPECT_EQ(AK_load_text(recipe, "recipe", message), 1) << message;
        QB_tools out;
        std::vector<AK_step_report> report;
        EXPECT_EQ(AK_run(base, &out, upto, report, message), 0) << message;
        EXPECT_EQ(message, "Operation Complete");
        return out;
    }
    // The failure of a one-step recipe.
    std::string failure(const std::string& recipe, const QB_tools& base) {
        std::string message;
        EXPECT_EQ(AK_load_text(recipe, "recipe", message), 1) << message;
        QB_tools out;
        std::vector<AK_step_report> report;
        EXPECT_EQ(AK_run(base, &out, 0, report, message), 1);
        return message;
    }
    std::string path(const std::string& name) const { return scratch_.path(name); }
    ScratchDir scratch_;
};

std::string recipe(const std::string& body) { return "#Quelm_atomkit_save\n" + body + "#END\n"; }

std::set<int> ids(const QB_tools& s) {
    std::set<int> out;
    for (const auto& a : s.atoms) out.insert(a.id);
    return out;
}

}  // namespace

// ------------------------------------------------------------------ regions

TEST_F(Atomkit, EveryRegionKindSelectsItsAnalyticSet) {
    QB_tools base = crystal();
    const double L = 4 * kA;
    const double c = L / 2 + 0.1;  // no atom on a boundary
    const struct {
        std::string line;
        std::string region;
        bool (*inside)(double x, double y, double z, double c, double L);
    } cases[] = {
        {"#region_cuboid R 1.1 2.2 0.3 9.1 8.2 13.3\n", "R",
         [](double x, double y, double z, double, double) { return x >= 1.1 && x < 9.1 && y >= 2.2 && y < 8.2 && z >= 0.3 && z < 13.3; }},
        {QB_format("#region_sphere R %f %f %f 4.6\n", c, c, c), "R",
         [](double x, double y, double z, double c, double) { return std::hypot(x - c, y - c, z - c) < 4.6; }},
        {QB_format("#region_cylinder R %f %f %f 3.3 6.1 1\n", c, c, c), "R",
         [](double x, double y, double z, double c, double) { return std::hypot(x - c, z - c) < 3.3 && std::fabs(y - c) < 3.05; }},
        {QB_format("#region_cone R %f %f 1.1 5.1 9.1 4\n", c, c), "R",
         [](double x, double y, double z, double c, double) {
             const double t = z - 1.1;
             return t > 0 && t < 9.1 && std::hypot(x - c, y - c) < 5.1 * (1 - t / 9.1);
         }},
        {"#region_plane R 1 1 0 9.3 0\n", "R", [](double x, double y, double, double, double) { return x + y > 9.3; }},
        {"#region_plane R 0 0 1 7.1 1.5\n", "R", [](double, double, double z, double, double) { return std::fabs(z - 7.1) < 1.5; }},
        {QB_format("#region_prism R %f %f %f 3.1 8.1 4 2\n", c, c, c), "R",
         [](double x, double y, double z, double c, double) {
             return std::fabs(z - c) <= 4.05 && std::fabs(x - c) <= 3.1 && std::fabs(y - c) <= 3.1;
         }},
        {QB_format("#region_polyhedron R 3 0 %f %f %f 0 0 1 0 0 1 0 0 1 2.9 0 0\n", c, c, c), "R",  // cube, inradius 2.9
         [](double x, double y, double z, double c, double) {
             return std::fabs(x - c) <= 2.9 && std::fabs(y - c) <= 2.9 && std::fabs(z - c) <= 2.9;
         }},
        {QB_format("#region_polyhedron R 0 0 %f %f %f 1 1 1 0 0 1 0 0 1 2.3 0 0\n", c, c, c), "R",  // octahedron
         [](double x, double y, double z, double c, double) {
             return std::fabs(x - c) + std::fabs(y - c) + std::fabs(z - c) <= std::sqrt(3.0) * 2.3;
         }},
        {"#region_expression R x 3.5 7.5\n", "R", [](double x, double, double, double, double) { return x >= 3.5 && x <= 7.5; }},
        {"#region_inbox R\n", "R", [](double, double, double, double, double) { return true; }},
        {"#region_cuboid A 0 0 0 8.1 20 20\n#region_cuboid B 5.1 0 0 20 20 6.1\n#region_and R A B\n", "R",
         [](double x, double, double z, double, double) { return x < 8.1 && x >= 5.1 && z < 6.1; }},
        {"#region_cuboid A 0 0 0 8.1 20 20\n#region_cuboid B 5.1 0 0 20 20 6.1\n#region_or R A B\n", "R",
         [](double x, double, double z, double, double) { return x < 8.1 || (x >= 5.1 && z < 6.1); }},
        {"#region_cuboid A 0 0 0 8.1 20 20\n#region_cuboid B 5.1 0 0 20 20 6.1\n#region_comple R A B\n", "R",
         [](double x, double, double z, double, double) { return (x < 8.1) != (x >= 5.1 && z < 6.1); }},
        {"#region_cuboid A 0 0 0 8.1 20 20\n#region_cuboid B 5.1 0 0 20 20 6.1\n#region_neither R A B\n", "R",
         [](double x, double, double z, double, double) { return !(x < 8.1) && !(x >= 5.1 && z < 6.1); }},
        {"#region_cuboid A 0 0 0 8.1 20 20\n#region_not R A\n", "R", [](double x, double, double, double, double) { return x >= 8.1; }},
        {"#region_cuboid A 0 0 0 4.1 20 20\n#region_deform R A 0 0 0 2 0 0 0 1 0 0 0 1\n", "R",
         [](double x, double, double, double, double) { return x < 8.2; }},
        {"#region_cuboid A 0 0 0 4.1 20 20\n#region_move R A 0 3.2 0 0\n", "R",
         [](double x, double, double, double, double) { return x >= 3.2 && x < 7.3; }},
        {"#region_cuboid A 0 0 0 4.1 20 20\n#region_move R A 1 0.25 0 0\n", "R",
         [](double x, double, double, double, double L) { return x >= 0.25 * L && x < 0.25 * L + 4.1; }},
        {"#region_sphere A 0.1 0.1 0.1 3.3\n#region_periodic R A\n", "R",
         [](double x, double y, double z, double, double L) {
             auto d = [L](double v) { return std::min(std::fabs(v - 0.1), std::fabs(v - 0.1 - L)); };
             return std::hypot(d(x), d(y), d(z)) < 3.3;
         }},
        {QB_format("#region_cuboid A %f %f 0 %f %f 20\n#region_rotate R A %f %f 0 0 0 1 90\n", c - 1.1, c - 3.2, c + 1.1,
                   c + 3.2, c, c),
         "R",  // a 2.2 x 6.4 bar turned into 6.4 x 2.2
         [](double x, double y, double, double c, double) { return std::fabs(x - c) < 3.2 && std::fabs(y - c) < 1.1; }},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.line);
        std::string message;
        ASSERT_EQ(AK_load_text(recipe(k.line), "recipe", message), 1) << message;
        QB_tools s = base;
        const int region = AK_region_id(k.region);
        ASSERT_GT(region, 0);
        const int selected = AK_region_select(&s, region);
        int expected = 0;
        for (int i = 0; i < s.natoms; i++) {
            const bool want = k.inside(s.atoms[i].x, s.atoms[i].y, s.atoms[i].z, c, L);
            expected += want;
            ASSERT_EQ(QB_get_data(&s, i, "Select"), want ? 1 : 0) << "atom " << i;
        }
        EXPECT_EQ(selected, expected);
        EXPECT_GT(expected, 0);
    }
}

// ------------------------------------------------------------------ steps

TEST_F(Atomkit, StepsOnASmallCrystal) {
    const QB_tools base = crystal();
    const double L = 4 * kA;
    // Delete in a sphere: exactly the atoms inside are gone, ids kept.
    QB_tools s = run(recipe("#region_sphere Ball 7.3 7.3 7.3 4.1\n#step_delete Ball\n"), base);
    int outside = 0;
    for (const auto& a : base.atoms) outside += std::hypot(a.x - 7.3, a.y - 7.3, a.z - 7.3) >= 4.1;
    EXPECT_EQ(s.natoms, outside);
    for (const auto& a : s.atoms) EXPECT_GE(std::hypot(a.x - 7.3, a.y - 7.3, a.z - 7.3), 4.1);

    // Add Atom: box units put it at the box centre; type 0 becomes 1, type 3 raises the count.
    s = run(recipe("#step_asig 0 1 0.5 0.5 0.5\n#step_asig 3 0 1 2 3\n"), base);
    ASSERT_EQ(s.natoms, 258);
    EXPECT_EQ(s.atoms[256].type, 1);
    EXPECT_DOUBLE_EQ(s.atoms[256].x, L / 2);
    EXPECT_EQ(s.atoms[257].type, 3);
    EXPECT_EQ(s.ntypes, 3);

    // Create Box: cell vectors, box from them, atoms where they were.
    s = run(recipe("#step_create 10 0 0 2 10 0 0 0 12\n"), base);
    EXPECT_EQ(s.triclinic, 1);
    EXPECT_DOUBLE_EQ(s.size[0], 12);
    EXPECT_DOUBLE_EQ(s.atoms[5].x, base.atoms[5].x);

    // Deform the atoms of a half: x' = x + 0.5 z for those below x = 7.
    s = run(recipe("#region_cuboid Low 0 0 0 7 20 20\n#step_deform Low 1 0 0 0 1 0 0.5 0 1 0\n"), base);
    for (int i = 0; i < s.natoms; i++) {
        const atomdata& b = base.atoms[i];
        EXPECT_DOUBLE_EQ(s.atoms[i].x, b.x < 7 ? b.x + 0.5 * b.z : b.x);
    }

    // Affine Tensile 0.1 along x with "Remap All": x and the box grow by 10 %.
    s = run(recipe("#step_tensile 0 0.1 2\n"), base);
    EXPECT_NEAR(s.size[0], 1.1 * L, 1e-12);
    EXPECT_NEAR(s.atoms[7].x, 1.1 * base.atoms[7].x, 1e-12);
    EXPECT_EQ(s.triclinic, 0);
    // "Box Only": the atoms stay; "Atom Only": the box stays.
    s = run(recipe("#step_tensile 0 0.1 1\n"), base);
    EXPECT_NEAR(s.size[0], 1.1 * L, 1e-12);
    EXPECT_DOUBLE_EQ(s.atoms[7].x, base.atoms[7].x);
    s = run(recipe("#step_compress 1 0.2 0\n"), base);
    EXPECT_NEAR(s.size[1], L, 1e-12);
    EXPECT_NEAR(s.atoms[7].y, 0.8 * base.atoms[7].y, 1e-12);
    // Pure shear XY 0.05: x' = x + 0.05 y, y' = y + 0.05 x.
    s = run(recipe("#step_shearaf 0 0.05 2 1\n"), base);
    EXPECT_EQ(s.triclinic, 1);
    EXPECT_NEAR(s.atoms[9].x, base.atoms[9].x + 0.05 * base.atoms[9].y, 1e-12);
    EXPECT_NEAR(s.atoms[9].y, base.atoms[9].y + 0.05 * base.atoms[9].x, 1e-12);

    // Duplicate 2 x 1 x 3.
    s = run(recipe("#step_duplicate 2 1 3\n"), base);
    EXPECT_EQ(s.natoms, 256 * 6);
    EXPECT_NEAR(s.size[2], 3 * L, 1e-12);

    // Mirror with normal (0, 0, 2) and distance 5 reflects z to 10 - z; copies keep the originals.
    s = run(recipe("#step_mirroratom ALL 0 0 2 5 0\n"), base);
    EXPECT_NEAR(s.atoms[11].z, 10 - base.atoms[11].z, 1e-12);
    s = run(recipe("#region_cuboid Slab 0 0 0 20 20 1\n#step_mirroratom Slab 0 0 1 2.5 1\n"), base);
    EXPECT_EQ(s.natoms, 256 + 32);
    EXPECT_NEAR(s.atoms[256].z, 5 - base.atoms[0].z, 1e-12);

    // Move by a distance in box units, and to a destination (the barycentre moves there).
    s = run(recipe("#step_move ALL 0 1 0.5 0 0\n"), base);
    EXPECT_NEAR(s.atoms[3].x, base.atoms[3].x + L / 2, 1e-12);
    s = run(recipe("#region_sphere Ball 7.3 7.3 7.3 4.1\n#step_move Ball 1 0 20 20 20\n"), base);
    double cx = 0;
    int n = 0;
    for (const auto& a : s.atoms)
        if (a.x > 14.5) cx += a.x, n++;
    EXPECT_NEAR(cx / n, 20, 1e-9);

    // Substitute half of the atoms of a region: exactly that many, the same on every run.
    s = run(recipe("#region_cuboid Low 0 0 0 7 20 20\n#step_changetype Low 2 0.5 5\n"), base);
    int low = 0, changed = 0;
    for (int i = 0; i < s.natoms; i++) {
        low += base.atoms[i].x < 7;
        changed += s.atoms[i].type == 2;
        if (s.atoms[i].type == 2) {
            EXPECT_LT(base.atoms[i].x, 7);
        }
    }
    EXPECT_EQ(changed, low / 2);
    const QB_tools again = run(recipe("#region_cuboid Low 0 0 0 7 20 20\n#step_changetype Low 2 0.5 5\n"), base);
    for (int i = 0; i < s.natoms; i++) EXPECT_EQ(again.atoms[i].type, s.atoms[i].type);
    s = run(recipe("#step_changetype ALL 2 1.5 5\n"), base);
    for (const auto& a : s.atoms) EXPECT_EQ(a.type, 2);

    // Rotate 90 degrees about z through the centre, clockwise seen from the
    // axis' tip (the program's turn): (x, y) -> (c + (y - c), c - (x - c)).
    s = run(recipe(QB_format("#step_rotate ALL %f %f 0 0 0 1 90 0\n", L / 2, L / 2)), base);
    EXPECT_NEAR(s.atoms[13].x, L / 2 + (base.atoms[13].y - L / 2), 1e-9);
    EXPECT_NEAR(s.atoms[13].y, L / 2 - (base.atoms[13].x - L / 2), 1e-9);

    // Sort "Down Up" by x: increasing, ties in their order.
    s = run(recipe("#step_sort x 1\n"), base);
    for (int i = 1; i < s.natoms; i++) {
        ASSERT_LE(s.atoms[i - 1].x, s.atoms[i].x);
        if (s.atoms[i - 1].x == s.atoms[i].x) {
            EXPECT_LT(s.atoms[i - 1].id, s.atoms[i].id);
        }
    }
    s = run(recipe("#step_sort z 0\n"), base);
    for (int i = 1; i < s.natoms; i++) ASSERT_GE(s.atoms[i - 1].z, s.atoms[i].z);

    // Symmetrize: the box centre at the origin; Wrap: back into the box.
    s = run(recipe("#step_move0\n"), base);
    EXPECT_NEAR(s.lo[0], -L / 2, 1e-12);
    EXPECT_NEAR(s.atoms[0].x, -L / 2, 1e-12);
    s = run(recipe("#step_move ALL 0 0 30 0 0\n#step_wrap\n"), base);
    for (const auto& a : s.atoms) ASSERT_TRUE(a.x >= 0 && a.x < L);
    EXPECT_NEAR(s.atoms[1].x, std::fmod(base.atoms[1].x + 30, L), 1e-9);

    // Alias Tensile along c: atoms above the plane move by 2, c grows by 2.
    s = run(recipe("#step_tensileal 2 2 6\n"), base);
    EXPECT_NEAR(s.size[2], L + 2, 1e-12);
    for (int i = 0; i < s.natoms; i++) EXPECT_NEAR(s.atoms[i].z, base.atoms[i].z + (base.atoms[i].z > 6 ? 2 : 0), 1e-12);
    s = run(recipe("#step_compressal 0 1 6\n"), base);
    EXPECT_NEAR(s.size[0], L - 1, 1e-12);
    // Alias Shear, slip plane 0 ("ab"): atoms above z = 6 slide by 1 along a and 0.5 along b, c tilts.
    s = run(recipe("#step_shearal 0 1 0.5 6\n"), base);
    EXPECT_EQ(s.triclinic, 1);
    EXPECT_NEAR(s.cell[2][0], 1, 1e-12);
    EXPECT_NEAR(s.cell[2][1], 0.5, 1e-12);
    for (int i = 0; i < s.natoms; i++)
        if (base.atoms[i].z > 6) {
            EXPECT_NEAR(s.atoms[i].x, base.atoms[i].x + 1, 1e-12);
        }
    // Slip plane 1 keeps a and c in the plane and moves b (the "ac" plane).
    s = run(recipe("#step_shearal 1 1 0 6\n"), base);
    EXPECT_NEAR(s.cell[1][0], 1, 1e-12);
    EXPECT_NEAR(s.cell[2][0], 0, 1e-12);
}

TEST_F(Atomkit, DisplaceExtendAndRemoveDuplicate) {
    const QB_tools base = crystal();
    // Displace: repeatable with its seed; mode 2 along x by at most half the distance.
    QB_tools a = run(recipe("#step_disturb ALL 0 0.3 0 0 0 5\n"), base);
    QB_tools b = run(recipe("#step_disturb ALL 0 0.3 0 0 0 5\n"), base);
    for (int i = 0; i < a.natoms; i++) ASSERT_EQ(a.atoms[i].x, b.atoms[i].x);
    QB_tools c = run(recipe("#step_disturb ALL 2 1 1 0 0 7\n"), base);
    double largest = 0;
    for (int i = 0; i < c.natoms; i++) {
        EXPECT_EQ(c.atoms[i].y, base.atoms[i].y);
        largest = std::max(largest, std::fabs(c.atoms[i].x - base.atoms[i].x));
    }
    EXPECT_LE(largest, 0.5);
    EXPECT_GT(largest, 0.4);
    QB_tools d = run(recipe("#step_disturb ALL 1 0.2 0 0 0 9\n"), base);  // steps of length 0.4
    EXPECT_NEAR(std::hypot(d.atoms[3].x - base.atoms[3].x, d.atoms[3].y - base.atoms[3].y, d.atoms[3].z - base.atoms[3].z), 0.4,
                1e-12);

    // Extend: radius 0 retypes the seed atoms in the step's region; a
    // positive radius grows the seed by its neighbours (12 at a/sqrt 2,
    // through the periodic faces too), a negative one shrinks it.
    QB_tools e = run(recipe("#region_sphere Seed 0 0 0 0.5\n#step_extend ALL Seed 2 0\n"), base);
    int typed = 0;
    for (const auto& at : e.atoms) typed += at.type == 2;
    EXPECT_EQ(typed, 1);
    e = run(recipe("#region_sphere Seed 0 0 0 0.5\n#step_extend ALL Seed 2 2.6\n"), base);
    typed = 0;
    for (const auto& at : e.atoms) typed += at.type == 2;
    EXPECT_EQ(typed, 13);
    e = run(recipe("#region_cuboid Seed 0 0 0 20 20 7\n#step_extend ALL Seed 2 -2.6\n"), base);
    typed = 0;
    for (const auto& at : e.atoms) {
        typed += at.type == 2;
        if (at.type == 2) {
            EXPECT_TRUE(at.z > 1 && at.z < 5.5) << at.z;  // the seed slab without its two faces
        }
    }
    EXPECT_GT(typed, 0);

    // Remove Duplicate: of two atoms 0.3 apart, the lower index stays; every
    // neighbour is found however many there are.
    QB_tools pair;
    QB_init(&pair);
    for (int k = 0; k < 3; k++) pair.size[k] = pair.cell[k][k] = 10;
    QB_create_atom(&pair, 1, 5, 5, 5);
    QB_create_atom(&pair, 2, 5.3, 5, 5);
    QB_tools kept = run(recipe("#step_separate ALL 0.5\n"), pair);
    ASSERT_EQ(kept.natoms, 1);
    EXPECT_EQ(kept.atoms[0].type, 1);
    QB_tools crowd;
    QB_init(&crowd);
    for (int k = 0; k < 3; k++) crowd.size[k] = crowd.cell[k][k] = 30;
    for (int k = 0; k < 600; k++) QB_create_atom(&crowd, 1, 15 + 0.001 * k, 15, 15);
    QB_create_atom(&crowd, 2, 15.5, 15.1, 15);
    EXPECT_EQ(run(recipe("#step_separate ALL 1\n"), crowd).natoms, 1);
    // Through the periodic faces.
    QB_tools edge;
    QB_init(&edge);
    for (int k = 0; k < 3; k++) edge.size[k] = edge.cell[k][k] = 10;
    QB_create_atom(&edge, 1, 0.05, 5, 5);
    QB_create_atom(&edge, 1, 9.95, 5, 5);
    EXPECT_EQ(run(recipe("#step_separate ALL 0.2\n"), edge).natoms, 1);
}

TEST_F(Atomkit, AtomsAreRealAndIdsStayUnique) {
    const QB_tools base = crystal(2);  // 32 atoms
    // Deleted atoms take no part: no copy, not in the barycentre, not counted.
    QB_tools s = run(recipe("#region_cuboid Low 0 0 0 3 20 20\n#step_delete Low\n#step_mirroratom ALL 1 0 0 0 1\n"
                            "#step_changetype ALL 2 0.5 1\n"),
                     base);
    int low = 0;
    for (const auto& a : base.atoms) low += a.x < 3;
    EXPECT_EQ(s.natoms, 2 * (32 - low));
    int changed = 0;
    for (const auto& a : s.atoms) changed += a.type == 2;
    EXPECT_EQ(changed, 32 - low);  // half of the 2 (32 - low) live atoms
    s = run(recipe("#region_cuboid Low 0 0 0 3 20 20\n#step_delete Low\n#step_move ALL 1 0 0 0 0\n"), base);
    double x = 0;
    for (const auto& a : s.atoms) x += a.x;
    EXPECT_NEAR(x / s.natoms, 0, 1e-9);

    // Gapped ids: an added atom that collides makes the run renumber all.
    QB_tools gapped = base;
    for (auto& a : gapped.atoms) a.id += 1;  // ids 2 ... 33: the new atom gets 33
    s = run(recipe("#step_asig 1 0 1 1 1\n"), gapped);
    EXPECT_EQ(ids(s).size(), 33u);
    EXPECT_EQ(*ids(s).rbegin(), 33);
    // Without a collision ids are kept.
    s = run(recipe("#step_delete ALL\n"), base);
    EXPECT_EQ(s.natoms, 0);
}

TEST_F(Atomkit, RotateWithTheBoxKeepsAtomsInside) {
    const QB_tools base = crystal(2);
    QB_tools s = run(recipe("#step_rotate ALL 20 -3 7 0 0 1 30 2\n#step_wrap\n"), base);
    // The atoms turned with the box: in fractional coordinates of the new cell
    // they are where they were.
    for (int i = 0; i < s.natoms; i++) {
        const double dx = s.atoms[i].x - s.origin[0], dy = s.atoms[i].y - s.origin[1];
        const double u = (dx * s.cell[1][1] - dy * s.cell[1][0]) / (s.cell[0][0] * s.cell[1][1] - s.cell[0][1] * s.cell[1][0]);
        const double b = base.atoms[i].x / base.size[0];
        EXPECT_NEAR(u, b, 1e-9) << i;
    }
}

TEST_F(Atomkit, FailuresAreReportedNotCompleted) {
    const QB_tools base = crystal(2);
    const struct {
        std::string body, why;
    } cases[] = {
        {"#step_rotate ALL 0 0 0 0 0 0 30 0\n", "the rotation axis is zero"},
        {"#step_compress 0 1 2\n", "the strain collapses the cell"},
        {"#step_tensile 2 -1.5 0\n", "the strain collapses the cell"},
        {"#step_deform ALL 1 2 3 2 4 6 0 0 1 2\n", "the deformation matrix is singular"},
        {"#step_mirroratom ALL 0 0 0 5 0\n", "the mirror normal is zero"},
        {"#step_sort colour 0\n", "the model has no column colour"},
        {"#step_create 1 0 0 2 0 0 0 0 1\n", "the cell has no volume"},
        {"#step_add nowhere.lmp 0 0 0 0 0\n", "cannot read nowhere.lmp: cannot open nowhere.lmp: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string message = failure(recipe("#step_delete ALL\n" + c.body), base);
        EXPECT_EQ(message, "Operation failed\nstep 2 " + AKdata_step[1].name + ": " + c.why);
    }
    // A Fill Atoms step whose file was never chosen.
    AK_free_all();
    AK_new_step_default(AK_FILL_ATOMS);
    std::string why;
    QB_tools none;
    std::vector<AK_step_report> steps;
    EXPECT_EQ(AK_run(base, &none, 0, steps, why), 1);
    EXPECT_EQ(why, "Operation failed\nstep 1 Fill Atoms1: no file chosen");
    // The report names the failed step and the later steps still run.
    std::string message;
    ASSERT_EQ(AK_load_text(recipe("#step_rotate ALL 0 0 0 0 0 0 30 0\n#step_asig 1 0 1 1 1\n"), "r", message), 1);
    QB_tools out;
    std::vector<AK_step_report> report;
    EXPECT_EQ(AK_run(base, &out, 0, report, message), 1);
    ASSERT_EQ(report.size(), 2u);
    EXPECT_TRUE(report[0].failed);
    EXPECT_FALSE(report[1].failed);
    EXPECT_EQ(report[1].atoms, 33);
}

TEST_F(Atomkit, FillAtomsFromAFileBesideTheRecipe) {
    const QB_tools base = crystal(2);
    QB_tools part;
    QB_init(&part);
    for (int k = 0; k < 3; k++) part.size[k] = part.cell[k][k] = 4;
    QB_create_atom(&part, 1, 1, 1, 1);
    QB_create_atom(&part, 2, 3, 3, 3);
    ASSERT_EQ(QB_dump_lmp(&part, path("part.lmp").c_str()), 1);
    std::ofstream(path("r.txt")) << recipe("#step_add part.lmp 1 1 0.5 0.5 0.5\n");
    std::string message;
    ASSERT_EQ(AK_load(path("r.txt"), message), 1) << message;
    QB_tools out;
    std::vector<AK_step_report> report;
    ASSERT_EQ(AK_run(base, &out, 0, report, message), 0) << message;
    ASSERT_EQ(out.natoms, 34);
    // Barycentre (2, 2, 2) to the box centre (3.615, ...); types after the base's.
    EXPECT_NEAR(out.atoms[32].x, kA - 1, 1e-6);
    EXPECT_EQ(out.atoms[32].type, 2);
    EXPECT_EQ(out.atoms[33].type, 3);
}

// ------------------------------------------------------------ the list

TEST_F(Atomkit, ListMovesDeletesAndRunsUpToAStep) {
    const QB_tools base = crystal(2);
    const int ball = AK_new_region_default(AK_SPHERE);
    const int del = AK_new_step_default(AK_DELETE);
    const int add = AK_new_step_default(AK_ADD_ATOM);
    const int dup = AK_new_step_default(AK_DUPLICATE);
    AKdata_step[static_cast<size_t>(dup)].duplicate.nx = 2;
    QB_region_spheredata[static_cast<size_t>(ball)] = {2, 0, 0, 0};
    AKdata_step[static_cast<size_t>(del)].region = ball;
    EXPECT_EQ(AKdata_region[static_cast<size_t>(ball)].name, "Sphere1");
    EXPECT_EQ(AKdata_step[static_cast<size_t>(add)].name, "Add atom1");
    EXPECT_EQ(AK_last_position(), 4);

    QB_tools out;
    std::vector<AK_step_report> report;
    std::string message;
    AK_run(base, &out, 0, report, message);
    int in_ball = 0;
    for (const auto& a : base.atoms) in_ball += a.x * a.x + a.y * a.y + a.z * a.z < 4;
    ASSERT_EQ(in_ball, 1);
    EXPECT_EQ(out.natoms, 2 * (32 - in_ball + 1));
    AK_run(base, &out, 2, report, message);  // the "@>" of the second step
    EXPECT_EQ(out.natoms, 32 - in_ball + 1);
    ASSERT_EQ(report.size(), 2u);
    AKdata_step[static_cast<size_t>(add)].active = 0;
    AK_run(base, &out, 0, report, message);
    EXPECT_EQ(out.natoms, 2 * (32 - in_ball));
    EXPECT_FALSE(report[1].ran);
    AKdata_step[static_cast<size_t>(add)].active = 1;

    // Up at position 1 and down at the end change nothing; moves swap.
    EXPECT_EQ(AK_item_up(1), 0);
    EXPECT_EQ(AK_item_down(4), 0);
    EXPECT_EQ(AK_item_down(1), 1);  // the sphere now stands after the Delete step
    EXPECT_EQ(AK_step_at(1), del);
    EXPECT_EQ(AK_region_at(2), ball);
    // The Delete step still works on it (a step may use a later region).
    AK_run(base, &out, 0, report, message);
    EXPECT_EQ(out.natoms, 2 * (32 - in_ball + 1));
    // Deleting the sphere: positions close up and the step works on "ALL".
    EXPECT_EQ(AK_item_delete(2), 1);
    EXPECT_EQ(AK_region_at(2), -1);
    EXPECT_EQ(AK_step_at(2), add);
    EXPECT_EQ(AK_last_position(), 3);
    EXPECT_EQ(AKdata_step[static_cast<size_t>(del)].region, 0);
    EXPECT_EQ(AK_region_id("Sphere1"), -1);
    AK_run(base, &out, 0, report, message);
    EXPECT_EQ(out.natoms, 2);  // all deleted, then one added and duplicated
}

TEST_F(Atomkit, DerivedRegionsRefuseCyclesAndFollowDeletions) {
    const int a = AK_new_region_default(AK_CUBOID);
    const int b = AK_new_region_default(AK_NOT);
    const int c = AK_new_region_default(AK_AND);
    EXPECT_EQ(AK_set_operand(b, 0, a), 1);
    EXPECT_EQ(AK_set_operand(c, 0, b), 1);
    EXPECT_EQ(AK_set_operand(c, 1, a), 1);
    EXPECT_EQ(AK_set_operand(b, 0, c), -1);  // c uses b
    EXPECT_EQ(AK_set_operand(b, 0, b), -1);
    const int gone = AK_new_region_default(AK_SPHERE);
    AK_item_delete(AKdata_region[static_cast<size_t>(gone)].position);
    EXPECT_EQ(AK_set_operand(b, 0, gone), -1);  // a deleted region is no operand
    EXPECT_EQ(AK_region_operands(c), (std::vector<int>{b, a}));
    AK_item_delete(AKdata_region[static_cast<size_t>(a)].position);
    EXPECT_EQ(AK_region_operands(b), (std::vector<int>{0}));
    EXPECT_EQ(AK_region_operands(c), (std::vector<int>{b, 0}));
    // The save file shows the rebinding.
    EXPECT_NE(AK_save_text().find("#region_and And1 Not1 ALL\n"), std::string::npos);
}

// ------------------------------------------------------------ the save file

TEST_F(Atomkit, EveryKindSavesLoadsAndSavesAgainByteForByte) {
    // Every region and step kind, with a step that uses a region placed after it.
    const std::string text = recipe(
        "#step_delete Late\n"
        "#region_cuboid Box1 1.000000 2.000000 3.000000 4.000000 5.000000 6.000000\n"
        "#region_cylinder Cyl 1.000000 2.000000 3.000000 4.000000 5.000000 2\n"
        "#region_cone Cone1 1.000000 2.000000 3.000000 4.000000 5.000000 5\n"
        "#region_polyhedron Poly 1 2 1.000000 2.000000 3.000000 1.000000 0.000000 0.000000 0.000000 1.000000 0.000000 "
        "0.000000 0.000000 1.000000 1.500000 2.500000 3.500000\n"
        "#region_prism Pr 1.000000 2.000000 3.000000 4.000000 5.000000 6 1\n"
        "#region_plane Sl 0.000000 0.000000 1.000000 4.500000 0.000000\n"
        "#region_sphere Ball 1.000000 2.000000 3.000000 4.000000\n"
        "#region_expression Ex type 2.000000 2.000000\n"
        "#region_inbox In\n"
        "#region_and A Box1 Cyl\n#region_or O Box1 Late\n#region_comple C A O\n#region_neither N Ball In\n"
        "#region_not Nt Ex\n"
        "#region_deform D Ball 1.000000 1.000000 1.000000 2.000000 0.000000 0.000000 0.000000 1.000000 0.000000 "
        "0.000000 0.000000 1.000000\n"
        "#region_move M Ball 1 0.500000 0.000000 0.000000\n#region_periodic P Late\n"
        "#region_rotate R Late 1.000000 2.000000 3.000000 0.000000 0.000000 1.000000 30.000000\n"
        "#region_sphere Late 5.000000 5.000000 5.000000 2.000000\n"
        "#step_asig 2 1 0.500000 0.500000 0.500000\n#step_add part.lmp 1 0 1.000000 2.000000 3.000000\n"
        "#step_create 10.000000 0.000000 0.000000 0.000000 10.000000 0.000000 0.000000 0.000000 10.000000\n"
        "#step_deform Ball 1.000000 0.100000 0.000000 0.000000 1.000000 0.000000 0.000000 0.000000 1.000000 2\n"
        "#step_disturb ALL 2 0.500000 1.000000 0.000000 0.000000 7\n#step_duplicate 2 1 1\n"
        "#step_extend Ball Box1 2 3.000000\n#step_mirroratom Sl 0.000000 0.000000 1.000000 5.500000 1\n"
        "#step_move Pr 1 1 0.500000 0.500000 0.500000\n#step_separate ALL 0.300000\n"
        "#step_changetype Late 3 0.250000 11\n"
        "#step_rotate ALL 1.000000 1.000000 1.000000 0.000000 1.000000 0.000000 45.500000 2\n#step_sort type 1\n"
        "#step_move0\n#step_wrap\n#step_tensile 1 0.100000 2\n#step_compress 2 0.050000 1\n#step_shearaf 4 0.030000 2 0\n"
        "#step_shearaf 2 0.020000 0 1\n#step_tensileal 2 1.000000 5.000000\n#step_compressal 0 0.500000 2.000000\n"
        "#step_shearal 1 1.000000 0.500000 3.000000\n");
    std::string message;
    ASSERT_EQ(AK_load_text(text, "recipe", message), 1) << message;
    EXPECT_EQ(AK_save_text(), text);
    EXPECT_EQ(AKdata_step[0].region, AK_region_id("Late"));
    ASSERT_EQ(AK_save(path("a.txt"), message), 1);
    EXPECT_EQ(message, "Save Complete");
    ASSERT_EQ(AK_load(path("a.txt"), message), 1);
    ASSERT_EQ(AK_save(path("b.txt"), message), 1);
    EXPECT_EQ(slurp(path("a.txt")), slurp(path("b.txt")));
    EXPECT_EQ(slurp(path("a.txt")), text);
    EXPECT_EQ(AK_recipe_folder, scratch_.dir() + "/");
    // Region kinds and step kinds all there.
    std::set<int> regions, steps;
    for (size_t i = 1; i < AKdata_region.size(); i++) regions.insert(AKdata_region[i].kind);
    for (const auto& s : AKdata_step) steps.insert(s.kind);
    EXPECT_EQ(regions.size(), static_cast<size_t>(AK_REGION_KINDS));
    EXPECT_EQ(steps.size(), static_cast<size_t>(AK_STEP_KINDS));
}

TEST_F(Atomkit, DamagedFilesAreRefusedWithTheirLine) {
    const std::string good = recipe("#region_sphere Ball 1.000000 2.000000 3.000000 4.000000\n#step_delete Ball\n");
    std::string message;
    ASSERT_EQ(AK_load_text(good, "good.txt", message), 1);
    const struct {
        std::string text, message;
    } cases[] = {
        {"#Quelm_atomkit\n#END\n", "Not a atomkit save file!"},
        {"", "Not a atomkit save file!"},
        {recipe("#region_cube A 1 2 3 4 5 6\n"), "bad.txt:2: unknown keyword #region_cube"},
        {recipe("#region_sphere A 1 2 3\n"), "bad.txt:2: #region_sphere takes 5 fields, not 4"},
        {recipe("#region_sphere A 1 2 3 4 5\n"), "bad.txt:2: #region_sphere takes 5 fields, not 6"},
        {recipe("#region_sphere A 1 2 x 4\n"), "bad.txt:2: x is not a number"},
        {recipe("#region_sphere A 1 2 3 nan\n"), "bad.txt:2: nan is not a number"},
        {recipe("#region_sphere A 1 2 3 4,5\n"), "bad.txt:2: 4,5 is not a number"},
        {recipe("#step_duplicate 2.5 1 1\n"), "bad.txt:2: 2.5 is not an integer"},
        {recipe("#region_cylinder A 1 2 3 4 5 3\n"), "bad.txt:2: the axis must be 0, 1 or 2"},
        {recipe("#region_cone A 1 2 3 4 5 6\n"), "bad.txt:2: the direction must be 0 ... 5"},
        {recipe("#region_polyhedron A 7 0 0 0 0 0 0 1 0 0 1 0 0 1 1 1 1\n"), "bad.txt:2: the mode must be 0 ... 6"},
        {recipe("#region_prism A 0 0 0 1 1 2 0\n"), "bad.txt:2: a prism has 3 edges or more"},
        {recipe("#step_rotate ALL 0 0 0 0 0 1 30 3\n"), "bad.txt:2: the remap must be 0, 1 or 2"},
        {recipe("#step_shearaf 3 0.1 0 1\n"), "bad.txt:2: the direction must be 0, 1 or 2"},
        {recipe("#step_shearal 3 0 0 0\n"), "bad.txt:2: the slip plane must be 0, 1 or 2"},
        {recipe("#step_delete Nowhere\n"), "bad.txt:2: no region named Nowhere"},
        {recipe("#region_sphere A 1 2 3 4\n#region_sphere A 1 2 3 4\n"), "bad.txt:3: a region named A exists already"},
        {recipe("#region_sphere ALL 1 2 3 4\n"), "bad.txt:2: ALL is the name of the built-in region"},
        {recipe("#region_not A A\n"), "bad.txt:2: region A refers to itself"},
        {recipe("#region_not A B\n#region_not B A\n"), "bad.txt:2: regions refer to each other in a cycle"},
        {"#Quelm_atomkit_save\n#step_wrap\n", "bad.txt:2: the file ends without #END"},
        {recipe("#step_wrap extra\n"), "bad.txt:2: #step_wrap takes 0 fields, not 1"},
        {"#Quelm_atomkit_save\n#END 5\n", "bad.txt:2: #END takes no fields"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_LT(AK_load_text(c.text, "bad.txt", message), 0);
        EXPECT_EQ(message, c.message);
        // The recipe stays as it was.
        EXPECT_EQ(AK_save_text(), good);
    }
    EXPECT_EQ(AK_load(path("missing.txt"), message), -1);
    EXPECT_EQ(message, "cannot open " + path("missing.txt") + ": No such file or directory");
}

TEST_F(Atomkit, NamesThatWouldNotReadBackAreRefusedAtSave) {
    const int ball = AK_new_region_default(AK_SPHERE);
    AKdata_region[static_cast<size_t>(ball)].name = "my ball";
    std::string message;
    std::ofstream(path("keep.txt")) << "old";
    EXPECT_EQ(AK_save(path("keep.txt"), message), -2);
    EXPECT_EQ(message, "Cannot save the recipe: the region name \"my ball\" has blanks or is empty and would not read back");
    EXPECT_EQ(slurp(path("keep.txt")), "old");
    AKdata_region[static_cast<size_t>(ball)].name = std::string(300, 'n');  // any length
    const int fill = AK_new_step_default(AK_FILL_ATOMS);
    EXPECT_EQ(AK_save(path("keep.txt"), message), -2);
    EXPECT_EQ(message, "Cannot save the recipe: choose a file for Fill Atoms1 first");
    AKdata_step[static_cast<size_t>(fill)].add.file = "my file.lmp";
    EXPECT_EQ(AK_save(path("keep.txt"), message), -2);
    AKdata_step[static_cast<size_t>(fill)].add.file = "file.lmp";
    EXPECT_EQ(AK_save(path("keep.txt"), message), 1);
    ASSERT_EQ(AK_load(path("keep.txt"), message), 1);
    EXPECT_EQ(AK_region_id(std::string(300, 'n')), 1);
    EXPECT_EQ(AK_save(path("no/such/folder/r.txt"), message), -1);
    EXPECT_EQ(message, "Cannot write " + path("no/such/folder/r.txt"));
}
