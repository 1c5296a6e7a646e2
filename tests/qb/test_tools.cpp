#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "qb/qb_random.h"
#include "qb/qb_tools.h"

namespace {

// Orthogonal box lo + [0, L]^3 with atoms at the given positions (type 1).
QB_tools box_with(double L, const std::vector<std::array<double, 3>>& pos, double lo = 0) {
    QB_tools s;
    QB_init(&s);
    for (int d = 0; d < 3; d++) {
        s.lo[d] = lo;
        s.origin[d] = lo;
        s.size[d] = L;
        s.cell[d][d] = L;
    }
    for (const auto& p : pos) QB_create_atom(&s, 1, p[0], p[1], p[2]);
    return s;
}

void set_triclinic(QB_tools* s, const double (&cell)[3][3], const double (&origin)[3]) {
    s->triclinic = 1;
    for (int e = 0; e < 3; e++) {
        s->origin[e] = origin[e];
        for (int d = 0; d < 3; d++) s->cell[e][d] = cell[e][d];
    }
}

}  // namespace

TEST(AtomSystem, CreateNumbersByPositionAndRaisesTypeCount) {
    QB_tools s = box_with(10, {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}});
    EXPECT_EQ(s.natoms, 3);
    QB_create_atom(&s, 4, 0, 0, 0);
    EXPECT_EQ(s.ntypes, 4);
    QB_delete_atom(&s, 1);
    EXPECT_EQ(QB_affine_delete(&s), 1);
    ASSERT_EQ(s.natoms, 3);
    // The new atom takes natoms + 1 although id 4 already exists.
    QB_create_atom(&s, 1, 5, 5, 5);
    EXPECT_EQ(s.atoms[3].id, 4);
    EXPECT_EQ(s.natoms, 4);
}

TEST(AtomSystem, CompactionFillsHolesFromTheEndAndColumnsFollow) {
    QB_tools s = box_with(10, {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}});
    ASSERT_EQ(QB_add_exdouble(&s, "tag"), 1);
    for (int i = 0; i < 4; i++) QB_save_data(&s, i, "tag", 10.0 * (i + 1));
    QB_delete_atom(&s, 0);
    QB_delete_atom(&s, 3);
    EXPECT_EQ(s.atoms[0].id, -1);
    EXPECT_EQ(QB_affine_delete(&s), 1);
    ASSERT_EQ(s.natoms, 2);
    // Former atom 3 first, then former atom 2, renumbered 1 and 2.
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 3);
    EXPECT_DOUBLE_EQ(s.atoms[1].x, 2);
    EXPECT_EQ(s.atoms[0].id, 1);
    EXPECT_EQ(s.atoms[1].id, 2);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 0, "tag"), 30);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 1, "tag"), 20);
    EXPECT_EQ(s.exdouble_data[0].size(), 2u);
    // Nothing deleted: nothing done; an id of 0 is kept.
    s.atoms[0].id = 0;
    EXPECT_EQ(QB_delete_atom(&s, 0), 0);
    EXPECT_EQ(QB_affine_delete(&s), 0);
    EXPECT_EQ(s.natoms, 2);
}

TEST(AtomSystem, CompactionOfAllDeletedAndOfDeletedTail) {
    QB_tools s = box_with(10, {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 0, 0}});
    QB_delete_atom(&s, 1);
    QB_delete_atom(&s, 3);
    QB_delete_atom(&s, 4);
    QB_affine_delete(&s);
    ASSERT_EQ(s.natoms, 2);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 1);
    EXPECT_DOUBLE_EQ(s.atoms[1].x, 3);
    for (int i = 0; i < 2; i++) QB_delete_atom(&s, i);
    QB_affine_delete(&s);
    EXPECT_EQ(s.natoms, 0);
    EXPECT_TRUE(s.atoms.empty());
}

TEST(AtomSystem, IndicesOutOfRangeAreRefused) {
    QB_tools s = box_with(10, {{1, 0, 0}, {2, 0, 0}});
    QB_add_exint(&s, "n");
    EXPECT_EQ(QB_delete_atom(&s, 2), QB_REFUSED);
    EXPECT_EQ(QB_delete_atom(&s, -1), QB_REFUSED);
    EXPECT_EQ(QB_swap(&s, 0, 5), QB_REFUSED);
    EXPECT_EQ(QB_move_atom(&s, 9, 1, 1, 1), QB_REFUSED);
    EXPECT_EQ(QB_wrap(&s, -3), QB_REFUSED);
    EXPECT_EQ(QB_recover_atom(&s, 2), QB_REFUSED);
    EXPECT_EQ(QB_slot_save(&s, 5, 7, 1.0), QB_REFUSED);
    EXPECT_EQ(QB_slot_data(&s, 2, 7), 0);
    EXPECT_EQ(QB_slot_data(&s, -1, 0), 0);
    EXPECT_EQ(QB_slot_data(&s, 6, 0), 0);  // at QB_slot_sum
    EXPECT_EQ(QB_slot_save(&s, 6, 0, 1.0), 0);
    std::string name = "unchanged";
    EXPECT_EQ(QB_slot_name(&s, 6, name), 0);
    EXPECT_EQ(QB_slot_name(&s, -2, name), 0);
    EXPECT_EQ(name, "unchanged");
    EXPECT_EQ(QB_inbox(&s, 2), QB_REFUSED);
    vector n{1, 0, 0};
    EXPECT_EQ(QB_mirror(&s, 2, &n, 0), QB_REFUSED);
    EXPECT_EQ(s.natoms, 2);
}

TEST(AtomSystem, SlotsAreNumberedFixedFileIntegerDouble) {
    QB_tools s = box_with(10, {{1, 2, 3}, {4, 5, 6}});
    s.channel_names = {"vx"};
    s.channel_data = {{0.5, 1.5}};
    s.channel_count = 1;
    EXPECT_EQ(QB_add_exdouble(&s, "csp"), 1);
    EXPECT_EQ(QB_add_exint(&s, "grain"), 1);
    EXPECT_EQ(QB_slot_sum(&s), 8);
    EXPECT_EQ(QB_slot_get(&s, "id"), 0);
    EXPECT_EQ(QB_slot_get(&s, "z"), 4);
    EXPECT_EQ(QB_slot_get(&s, "vx"), 5);
    EXPECT_EQ(QB_slot_get(&s, "grain"), 6);
    EXPECT_EQ(QB_slot_get(&s, "csp"), 7);
    EXPECT_EQ(QB_slot_get(&s, "x "), -1);
    EXPECT_EQ(QB_slot_get(&s, "X"), -1);
    std::string name;
    ASSERT_EQ(QB_slot_name(&s, 6, name), 1);
    EXPECT_EQ(name, "grain");
    ASSERT_EQ(QB_slot_name(&s, 1, name), 1);
    EXPECT_EQ(name, "type");

    EXPECT_DOUBLE_EQ(QB_slot_data(&s, 5, 1), 1.5);
    EXPECT_DOUBLE_EQ(QB_slot_data(&s, 3, 1), 5);
    QB_slot_save(&s, 6, 0, -2.7);
    EXPECT_DOUBLE_EQ(QB_slot_data(&s, 6, 0), -2);
    QB_slot_save(&s, 1, 1, 3.9);
    EXPECT_EQ(s.atoms[1].type, 3);
    QB_slot_save(&s, 6, 1, 1e300);  // beyond int: clamped, no overflow
    EXPECT_EQ(s.exint_data[0][1], 2147483647);
    QB_slot_save(&s, 7, 1, 0.25);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 1, "csp"), 0.25);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 1, "nothing"), 0);

    // A name that exists anywhere is not added again.
    EXPECT_EQ(QB_add_exdouble(&s, "type"), 0);
    EXPECT_EQ(QB_add_exint(&s, "vx"), 0);
    EXPECT_EQ(QB_add_exdouble(&s, "grain"), 0);
    EXPECT_EQ(QB_slot_sum(&s), 8);
}

TEST(AtomSystem, SaveDataTakesTheFirstColumnOfThatNameAndSkipsFixedSlots) {
    QB_tools s = box_with(10, {{1, 2, 3}});
    s.channel_names = {"q", "x"};
    s.channel_data = {{0}, {0}};
    s.channel_count = 2;
    QB_save_data(&s, 0, "q", 7.5);
    EXPECT_DOUBLE_EQ(s.channel_data[0][0], 7.5);
    EXPECT_EQ(QB_save_data(&s, 0, "x", 9.0), 1);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 1);  // the fixed slot is untouched
    EXPECT_DOUBLE_EQ(s.channel_data[1][0], 9.0);
    EXPECT_EQ(QB_save_data(&s, 0, "missing", 1.0), 0);
}

TEST(AtomSystem, ColumnsNeedAtoms) {
    QB_tools s;
    QB_init(&s);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_add_exint(&s, "a"), QB_REFUSED);
    EXPECT_EQ(QB_add_exdouble(&s, "b"), QB_REFUSED);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Please get at least one number before add extra data\n"
              "Please get at least one atom before add extra data\n");
    EXPECT_EQ(QB_slot_sum(&s), 5);
}

TEST(AtomSystem, ColumnNamesHaveNoLengthLimit) {
    QB_tools s = box_with(10, {{1, 2, 3}});
    const std::string long_name(300, 'c');
    EXPECT_EQ(QB_add_exdouble(&s, long_name.c_str()), 1);
    std::string back;
    QB_slot_name(&s, 5, back);
    EXPECT_EQ(back, long_name);
    EXPECT_EQ(QB_slot_get(&s, long_name.c_str()), 5);
}

TEST(AtomSystem, NewEntriesFollowTheAtomCount) {
    QB_tools s = box_with(10, {{1, 2, 3}});
    QB_add_exdouble(&s, "d");
    QB_add_exint(&s, "i");
    QB_create_atom(&s, 1, 0, 0, 0);
    EXPECT_EQ(s.exdouble_data[0].size(), 2u);
    EXPECT_EQ(s.exint_data[0].size(), 2u);
    QB_free_extra(&s);
    EXPECT_EQ(QB_slot_sum(&s), 5);
}

TEST(AtomSystem, DuplicateOrthogonal) {
    QB_tools s = box_with(4, {{1, 1, 1}, {3, 2, 1}}, -1);
    QB_add_exdouble(&s, "m");
    QB_save_data(&s, 0, "m", 0.5);
    QB_save_data(&s, 1, "m", 1.5);
    QB_delete_atom(&s, 1);
    ASSERT_EQ(QB_duplicate(&s, 2, 1, 1), 1);
    ASSERT_EQ(s.natoms, 4);
    EXPECT_DOUBLE_EQ(s.atoms[2].x, 5);
    EXPECT_DOUBLE_EQ(s.atoms[3].x, 7);
    EXPECT_DOUBLE_EQ(s.atoms[3].y, 2);
    EXPECT_EQ(s.atoms[2].id, 3);
    EXPECT_EQ(s.atoms[1].id, -2);
    EXPECT_EQ(s.atoms[3].id, -4);  // a deleted source gives deleted copies
    EXPECT_DOUBLE_EQ(s.size[0], 8);
    EXPECT_DOUBLE_EQ(s.size[1], 4);
    EXPECT_DOUBLE_EQ(s.lo[0], -1);
    EXPECT_DOUBLE_EQ(s.cell[0][0], 8);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 2, "m"), 0.5);
    EXPECT_DOUBLE_EQ(QB_get_data(&s, 3, "m"), 1.5);
}

TEST(AtomSystem, DuplicateOrderIsXOuterZInner) {
    QB_tools s = box_with(2, {{0.5, 0.5, 0.5}});
    ASSERT_EQ(QB_duplicate(&s, 2, 3, 2), 1);
    ASSERT_EQ(s.natoms, 12);
    int c = 0;
    for (int i = 0; i < 2; i++)
        for (int j = 0; j < 3; j++)
            for (int k = 0; k < 2; k++, c++) {
                EXPECT_DOUBLE_EQ(s.atoms[c].x, 0.5 + 2 * i);
                EXPECT_DOUBLE_EQ(s.atoms[c].y, 0.5 + 2 * j);
                EXPECT_DOUBLE_EQ(s.atoms[c].z, 0.5 + 2 * k);
                EXPECT_EQ(s.atoms[c].id, c + 1);
            }
    EXPECT_DOUBLE_EQ(s.size[1], 6);
}

TEST(AtomSystem, DuplicateTriclinicRecomputesTheBoundingBox) {
    QB_tools s = box_with(1, {{1.5, 1.5, 1.5}});
    set_triclinic(&s, {{4, 0, 0}, {-2, 4, 0}, {1, 1, 5}}, {1, 1, 1});
    ASSERT_EQ(QB_duplicate(&s, 2, 3, 1), 1);
    ASSERT_EQ(s.natoms, 6);
    // Copy (1, 2, 0) is shifted by a + 2b.
    EXPECT_DOUBLE_EQ(s.atoms[5].x, 1.5 + 4 - 4);
    EXPECT_DOUBLE_EQ(s.atoms[5].y, 1.5 + 8);
    EXPECT_DOUBLE_EQ(s.cell[0][0], 8);
    EXPECT_DOUBLE_EQ(s.cell[1][0], -6);
    EXPECT_DOUBLE_EQ(s.cell[1][1], 12);
    EXPECT_DOUBLE_EQ(s.cell[2][2], 5);
    // Bounding box of origin + u a + v b + w c.
    EXPECT_DOUBLE_EQ(s.lo[0], 1 - 6);
    EXPECT_DOUBLE_EQ(s.size[0], 8 + 6 + 1);
    EXPECT_DOUBLE_EQ(s.lo[1], 1);
    EXPECT_DOUBLE_EQ(s.size[1], 12 + 1);
    EXPECT_DOUBLE_EQ(s.lo[2], 1);
    EXPECT_DOUBLE_EQ(s.size[2], 5);
}

TEST(AtomSystem, DuplicateRefusesBadFactorsAndOverflow) {
    QB_tools s = box_with(4, {{1, 1, 1}, {2, 2, 2}});
    EXPECT_EQ(QB_duplicate(&s, 0, 1, 1), QB_REFUSED);
    EXPECT_EQ(QB_duplicate(&s, 1, -2, 1), QB_REFUSED);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QB_duplicate(&s, 2000, 2000, 2000), QB_REFUSED);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(s.natoms, 2);
    EXPECT_DOUBLE_EQ(s.size[0], 4);
}

TEST(AtomSystem, WrapOrthogonal) {
    QB_tools s = box_with(10, {{10, 10.5, -0.5}, {25, 5, 1e12}, {-1e9, 3, 0}});
    QB_wrap(&s, 0);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 10);
    EXPECT_DOUBLE_EQ(s.atoms[0].y, 0.5);
    EXPECT_DOUBLE_EQ(s.atoms[0].z, 9.5);
    QB_wrap(&s, 1);
    EXPECT_DOUBLE_EQ(s.atoms[1].x, 5);
    EXPECT_GE(s.atoms[1].z, 0);
    EXPECT_LE(s.atoms[1].z, 10);
    QB_wrap(&s, 2);
    EXPECT_GE(s.atoms[2].x, 0);
    EXPECT_LE(s.atoms[2].x, 10);
    // A box without extent leaves the coordinate as it is.
    QB_tools flat = box_with(0, {{3, 3, 3}});
    QB_wrap(&flat, 0);
    EXPECT_DOUBLE_EQ(flat.atoms[0].x, 3);
}

TEST(AtomSystem, WrapTriclinic) {
    QB_tools s = box_with(1, {{16, 5, 5}, {-1, 1, 1}, {4, 3, 12}});
    set_triclinic(&s, {{10, 0, 0}, {5, 10, 0}, {0, 0, 10}}, {0, 0, 0});
    for (int i = 0; i < 3; i++) QB_wrap(&s, i);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 6);
    EXPECT_DOUBLE_EQ(s.atoms[1].x, 9);
    EXPECT_DOUBLE_EQ(s.atoms[2].z, 2);
    for (int i = 0; i < 3; i++) EXPECT_EQ(QB_inbox(&s, i), 1) << i;
}

TEST(AtomSystem, InboxOrthogonalIncludesBothFacesTriclinicUsesCellFractions) {
    QB_tools s = box_with(10, {{0, 10, 5}, {10.001, 5, 5}});
    EXPECT_EQ(QB_inbox(&s, 0), 1);
    EXPECT_EQ(QB_inbox(&s, 1), 0);
    // Negative tilt: (−2, 4, 1) lies on the way along b, inside the cell.
    QB_tools t = box_with(1, {{-2, 4, 1}, {1, 9, 1}, {10.5, 1, 1}, {-0.5, 2, 0.5}});
    set_triclinic(&t, {{10, 0, 0}, {-5, 10, 0}, {0, 0, 10}}, {0, 0, 0});
    EXPECT_EQ(QB_inbox(&t, 0), 1);
    EXPECT_EQ(QB_inbox(&t, 1), 1);
    EXPECT_EQ(QB_inbox(&t, 2), 0);  // u > 1: the next cell
    EXPECT_EQ(QB_inbox(&t, 3), 1);
}

TEST(AtomSystem, CombineSystemAppendsTypesIdsAndMatchingColumns) {
    QB_tools a = box_with(10, {{1, 1, 1}, {2, 2, 2}});
    QB_tools b = box_with(20, {{5, 5, 5}});
    QB_add_exdouble(&a, "shared");
    QB_add_exint(&a, "only_a");
    QB_save_data(&a, 0, "shared", 1.25);
    QB_save_data(&a, 1, "only_a", 7);
    QB_add_exdouble(&b, "only_b");
    QB_add_exint(&b, "shared");
    QB_save_data(&b, 0, "shared", 9);
    ASSERT_EQ(QB_combine_system(&a, &b), 1);
    ASSERT_EQ(a.natoms, 3);
    EXPECT_EQ(a.ntypes, 2);
    EXPECT_EQ(a.atoms[2].type, 2);
    EXPECT_EQ(a.atoms[2].id, 3);
    EXPECT_DOUBLE_EQ(a.atoms[2].x, 5);
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 0, "shared"), 1.25);
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 2, "shared"), 9);
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 1, "only_a"), 7);
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 2, "only_a"), 0);
    EXPECT_EQ(QB_slot_get(&a, "only_b"), -1);
    EXPECT_DOUBLE_EQ(a.size[0], 10);

    ASSERT_EQ(QB_combine_system(&a, &a), 1);  // with itself
    EXPECT_EQ(a.natoms, 6);
    EXPECT_EQ(a.ntypes, 4);
    EXPECT_EQ(a.atoms[5].type, 4);
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 5, "shared"), 9);
}

TEST(AtomSystem, CombineTurnsFileColumnsIntoDoubleColumns) {
    QB_tools model = box_with(10, {{1, 1, 1}, {2, 2, 2}});
    QB_tools result = box_with(10, {{1, 1, 1}, {2, 2, 2}});
    result.channel_names = {"nye_a", "nye_b"};
    result.channel_data = {{1, 2}, {3, 4}};
    result.channel_count = 2;
    ASSERT_EQ(QB_combine(&model, &result), 1);
    EXPECT_EQ(model.exdouble_count, 2);
    EXPECT_DOUBLE_EQ(QB_get_data(&model, 1, "nye_a"), 2);
    EXPECT_DOUBLE_EQ(QB_get_data(&model, 0, "nye_b"), 3);
    QB_tools other = box_with(10, {{1, 1, 1}});
    EXPECT_EQ(QB_combine(&model, &other), 0);
}

TEST(AtomSystem, CopyIsDeepAndKeepsElementNames) {
    QB_tools a = box_with(10, {{1, 1, 1}, {2, 2, 2}}, 3);
    set_triclinic(&a, {{10, 0, 0}, {1, 10, 0}, {0, 0, 10}}, {3, 3, 3});
    a.periodic[2] = 0;
    QB_add_exdouble(&a, "e");
    QB_save_data(&a, 1, "e", 4.5);
    QB_save_elename(&a, 0, "Cu");
    QB_save_elename(&a, 1, "Ni");
    QB_tools b;
    QB_init(&b);
    QB_create_atom(&b, 3, 0, 0, 0);
    QB_copy_system(&b, &a);
    EXPECT_EQ(b.natoms, 2);
    EXPECT_EQ(b.ntypes, 1);
    EXPECT_EQ(b.triclinic, 1);
    EXPECT_DOUBLE_EQ(b.cell[1][0], 1);
    EXPECT_DOUBLE_EQ(b.lo[0], 3);
    EXPECT_EQ(b.periodic[2], 1);
    EXPECT_DOUBLE_EQ(QB_get_data(&b, 1, "e"), 4.5);
    std::string name;
    QB_load_elename(&b, 1, name);
    EXPECT_EQ(name, "Ni");
    EXPECT_EQ(b.element_count, 2);
    QB_save_data(&b, 1, "e", -1);
    b.atoms[0].x = 99;
    EXPECT_DOUBLE_EQ(QB_get_data(&a, 1, "e"), 4.5);
    EXPECT_DOUBLE_EQ(a.atoms[0].x, 1);
}

TEST(AtomSystem, FreeAtomResetsAllButTheBox) {
    QB_tools a = box_with(10, {{1, 1, 1}}, 2);
    a.triclinic = 1;
    a.periodic[0] = 0;
    QB_add_exint(&a, "k");
    QB_save_elename(&a, 2, "Fe");
    QB_free_atom(&a);
    EXPECT_EQ(a.natoms, 0);
    EXPECT_EQ(a.ntypes, 0);
    EXPECT_EQ(a.triclinic, 0);
    EXPECT_EQ(a.periodic[0], 1);
    EXPECT_EQ(a.element_count, 0);
    EXPECT_EQ(QB_slot_sum(&a), 5);
    EXPECT_DOUBLE_EQ(a.cell[0][0], 0);
    EXPECT_DOUBLE_EQ(a.lo[0], 2);
    EXPECT_DOUBLE_EQ(a.size[2], 10);
    EXPECT_EQ(a.list_capacity, 16);
}

TEST(AtomSystem, ElementNamesUnknownStayEmpty) {
    QB_tools s;
    QB_init(&s);
    std::string name = "?";
    ASSERT_EQ(QB_load_elename(&s, 2, name), 1);
    EXPECT_EQ(name, "");  // no name is made up
    EXPECT_FALSE(QB_has_elename(&s, 2));
    const std::string long_name(100, 'Z');
    QB_save_elename(&s, 4, long_name.c_str());
    EXPECT_EQ(s.element_count, 5);
    name = "?";
    QB_load_elename(&s, 3, name);
    EXPECT_EQ(name, "");
    EXPECT_FALSE(QB_has_elename(&s, 3));
    QB_load_elename(&s, 4, name);
    EXPECT_EQ(name, long_name);
    EXPECT_TRUE(QB_has_elename(&s, 4));
    EXPECT_FALSE(QB_has_elename(&s, -1));
    EXPECT_EQ(QB_save_elename(&s, -1, "X"), QB_REFUSED);
    EXPECT_EQ(QB_load_elename(&s, 2000000000, name), QB_REFUSED);
    QB_free_elename(&s);
    EXPECT_EQ(s.element_count, 0);

    // The first type without a name, and the list a form shows.
    s.ntypes = 3;
    EXPECT_EQ(QB_unnamed_type(&s), 1);
    EXPECT_EQ(QB_elename_list(&s), ",,");
    QB_save_elename(&s, 0, "Cu");
    QB_save_elename(&s, 2, "Ni");
    EXPECT_EQ(QB_unnamed_type(&s), 2);
    EXPECT_EQ(QB_elename_list(&s), "Cu,,Ni");
    QB_save_elename(&s, 1, "Al");
    EXPECT_EQ(QB_unnamed_type(&s), 0);
    EXPECT_EQ(QB_elename_list(&s), "Cu,Al,Ni");
}

TEST(AtomSystem, ElementMassesAreTheStandardAtomicWeights) {
    EXPECT_DOUBLE_EQ(QB_element_mass("H"), 1.008);
    EXPECT_DOUBLE_EQ(QB_element_mass("Fe"), 55.845);
    EXPECT_DOUBLE_EQ(QB_element_mass("Cu"), 63.546);
    EXPECT_DOUBLE_EQ(QB_element_mass("W"), 183.84);
    EXPECT_DOUBLE_EQ(QB_element_mass("U"), 238.02891);
    EXPECT_GT(QB_element_mass("Og"), 0);
    for (const char* no : {"", "X", "cu", "CU", "Cu_pv", "Cu1", "E0", "Xx", " Cu"}) EXPECT_EQ(QB_element_mass(no), 0) << no;
}

TEST(AtomSystem, ElementListsNameEveryTypeOrNone) {
    const struct {
        const char* list;
        int ntypes;
        const char* named;  // the names afterwards
        const char* why;    // nullptr when accepted
    } cases[] = {
        {"Cu,Ni", 2, "Cu,Ni", nullptr},
        {" Cu  Ni ", 2, "Cu,Ni", nullptr},
        {"Cu, Ni,", 2, "Cu,Ni", nullptr},
        {"Fe", 1, "Fe", nullptr},
        {"", 2, ",", "no element names are given"},
        {" , ", 1, "", "no element names are given"},
        {"Cu", 2, ",", "1 element name given for 2 atom types: give one per type, in type order"},
        {"Cu,Ni,Al", 2, ",", "3 element names given for 2 atom types: give one per type, in type order"},
        {"Cu,Ni", 1, "", "2 element names given for 1 atom type: give one per type, in type order"},
        {"Cu,Qq", 2, ",", "\"Qq\" is not an element symbol (such as Cu, Ni, O)"},
        {"cu", 1, "", "\"cu\" is not an element symbol (such as Cu, Ni, O)"},
        {"E0,E1", 2, ",", "\"E0\" is not an element symbol (such as Cu, Ni, O)"},
    };
    for (const auto& c : cases) {
        QB_tools s;
        QB_init(&s);
        s.ntypes = c.ntypes;
        std::string why = "(none)";
        EXPECT_EQ(QB_set_elenames(&s, c.list, &why), c.why ? QB_REFUSED : 1) << c.list;
        EXPECT_EQ(why, c.why ? c.why : "(none)") << c.list;
        EXPECT_EQ(QB_elename_list(&s), c.named) << c.list;
    }
}

TEST(AtomSystem, CombinedTypesKeepTheirElementNames) {
    QB_tools a = box_with(10, {{1, 1, 1}}, 1), b = box_with(10, {{2, 2, 2}, {3, 3, 3}}, 1);
    QB_create_atom(&b, 2, 4, 4, 4);
    QB_save_elename(&a, 0, "Cu");
    QB_save_elename(&b, 1, "O");
    ASSERT_EQ(QB_combine_system(&a, &b), 1);
    EXPECT_EQ(a.ntypes, 3);
    EXPECT_EQ(QB_elename_list(&a), "Cu,,O");
}

namespace {
int by_type(QB_tools* s, int i, int j) { return s->atoms[i].type > s->atoms[j].type; }
int by_column_desc(QB_tools* s, int i, int j) { return QB_get_data(s, i, "v") < QB_get_data(s, j, "v"); }

// The adjacent exchange sort whose order the library keeps.
std::vector<int> bubble_order(QB_tools s, int (*cmp)(QB_tools*, int, int)) {
    for (int pass = 1; pass < s.natoms; pass++)
        for (int j = 0; j < s.natoms - pass; j++)
            if (cmp(&s, j, j + 1)) QB_swap(&s, j, j + 1);
    std::vector<int> xs;
    for (const auto& a : s.atoms) xs.push_back(static_cast<int>(a.x));
    return xs;
}
}  // namespace

TEST(AtomSystem, SortKeepsTheExchangeSortOrderWithTies) {
    QB_random g;
    g.seed(99);
    QB_tools s;
    QB_init(&s);
    for (int i = 0; i < 300; i++) QB_create_atom(&s, 1 + g.next() % 5, i, 0, 0);
    QB_add_exdouble(&s, "v");
    for (int i = 0; i < 300; i++) QB_save_data(&s, i, "v", g.next() % 7);
    for (int i = 0; i < 300; i++) s.atoms[i].scratch = i;

    for (auto cmp : {by_type, by_column_desc}) {
        const std::vector<int> expected = bubble_order(s, cmp);
        QB_tools sorted = s;
        ASSERT_EQ(QB_sort_atom(&sorted, cmp), 1);
        std::vector<int> got;
        for (const auto& a : sorted.atoms) got.push_back(static_cast<int>(a.x));
        EXPECT_EQ(got, expected);
        for (int i = 0; i < 300; i++) {
            // Columns travel with their atoms, scratch stays in place.
            EXPECT_DOUBLE_EQ(QB_get_data(&sorted, i, "v"), QB_get_data(&s, got[i], "v"));
            EXPECT_EQ(sorted.atoms[i].scratch, i);
        }
    }
}

TEST(AtomSystem, SortOfAMillionAtoms) {
    QB_random g;
    QB_tools s;
    QB_init(&s);
    s.atoms.reserve(1000000);
    for (int i = 0; i < 1000000; i++) QB_create_atom(&s, 1 + g.next() % 3, i, 0, 0);
    ASSERT_EQ(QB_sort_atom(&s, by_type), 1);
    for (int i = 1; i < s.natoms; i++) {
        ASSERT_LE(s.atoms[i - 1].type, s.atoms[i].type);
        if (s.atoms[i - 1].type == s.atoms[i].type) {
            ASSERT_LT(s.atoms[i - 1].x, s.atoms[i].x);
        }
    }
}

TEST(AtomSystem, MoveMirrorRotateAndExchangeAxes) {
    QB_tools s = box_with(10, {{3, 1, 2}, {1, 0, 0}});
    QB_move_atom(&s, 0, 1, -1, 0.5);
    EXPECT_DOUBLE_EQ(s.atoms[0].x, 4);
    EXPECT_DOUBLE_EQ(s.atoms[0].y, 0);
    QB_move_box(&s, 1, 2, 3);
    EXPECT_DOUBLE_EQ(s.lo[1], 2);
    EXPECT_DOUBLE_EQ(s.origin[2], 3);
    EXPECT_DOUBLE_EQ(s.atoms[1].z, 3);

    // Mirror in the plane 2x = 12, that is x = 6.
    vector n{2, 0, 0};
    ASSERT_EQ(QB_mirror(&s, 0, &n, 12), 1);
    ASSERT_EQ(s.natoms, 3);
    EXPECT_DOUBLE_EQ(s.atoms[2].x, 7);
    EXPECT_DOUBLE_EQ(s.atoms[2].y, 2);
    vector zero{0, 0, 0};
    EXPECT_EQ(QB_mirror(&s, 0, &zero, 1), QB_REFUSED);

    // 90 degrees about z turns clockwise seen from the tip: x goes to -y.
    QB_tools r = box_with(10, {{2, 0, 0}});
    vector centre{1, 0, 0}, axis{0, 0, 3};
    ASSERT_EQ(QB_rotate(&r, 0, &centre, &axis, 90.0f), 1);
    EXPECT_NEAR(r.atoms[0].x, 1, 1e-6);
    EXPECT_NEAR(r.atoms[0].y, -1, 1e-6);
    EXPECT_EQ(QB_rotate(&r, 0, &centre, &zero, 90.0f), QB_REFUSED);

    QB_tools w = box_with(10, {{1, 2, 3}});
    w.size[1] = 20;
    QB_switchxy(&w);
    EXPECT_DOUBLE_EQ(w.atoms[0].x, 2);
    EXPECT_DOUBLE_EQ(w.atoms[0].y, 1);
    EXPECT_DOUBLE_EQ(w.size[0], 20);
    QB_switchyz(&w);
    EXPECT_DOUBLE_EQ(w.atoms[0].z, 1);
    w.triclinic = 1;
    QB_switchxz(&w);
    EXPECT_DOUBLE_EQ(w.atoms[0].x, 2);
}
