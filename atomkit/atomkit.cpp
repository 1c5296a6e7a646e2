#include "atomkit/atomkit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "qb/qb_file.h"
#include "qb/qb_region.h"
#include "qb/qb_text.h"

std::vector<AK_region_item> AKdata_region;
std::vector<AK_step_item> AKdata_step;
std::string AK_recipe_folder;

const AK_kind_info AK_region_kinds[AK_REGION_KINDS] = {
    {"#region_cuboid", "nffffff", "Cuboid", "Cuboid Region", "Cuboid", 130},
    {"#region_cylinder", "nfffffi", "Cylinder", "Cylinder Region", "Cylinder", 170},
    {"#region_cone", "nfffffi", "Cone", "Cone Region", "Cone", 170},
    {"#region_polyhedron", "niifffffffffffffff", "Polyhedron", "Polyhedron", "Polyhedron", 210},
    {"#region_prism", "nfffffii", "Polyprism", "Polyprism Region", "Polyprism", 170},
    {"#region_plane", "nfffff", "Slice", "Slice Region", "Slice", 130},
    {"#region_sphere", "nffff", "Sphere", "Sphere Region", "Sphere", 130},
    {"#region_expression", "nsff", "Expression", "Select by Expression", "Expression", 130},
    {"#region_inbox", "n", "Inbox", "Inbox Region", "Inbox", 50},
    {"#region_and", "nrr", "And", "Logic Operation And", "And", 90},
    {"#region_or", "nrr", "Or", "Logic Operation Or", "Or", 90},
    {"#region_comple", "nrr", "Complement", "Logic Operation Complement", "Complement", 90},
    {"#region_neither", "nrr", "Neither", "Logic Operation Neither", "Neither", 90},
    {"#region_not", "nr", "Not", "Logic Operation Not", "Not", 90},
    {"#region_deform", "nrffffffffffff", "Deform", "Deform Region", "Deform", 250},
    {"#region_move", "nrifff", "Move", "Move Region", "Move", 170},
    {"#region_periodic", "nr", "Periodic", "Periodic Region", "Periodic", 90},
    {"#region_rotate", "nrfffffff", "Rotate", "Rotate Region", "Rotate", 210},
};

const AK_kind_info AK_step_kinds[AK_STEP_KINDS] = {
    {"#step_asig", "iifff", "Add Atom", "Add atom", "", 130},
    {"#step_add", "siifff", "Fill Atoms", "Fill Atoms", "", 170},
    {"#step_create", "fffffffff", "Create Box", "Create Box", "", 170},
    {"#step_deform", "rfffffffffi", "Deform", "Deform", "", 210},
    {"#step_delete", "r", "Delete", "Delete", "", 50},
    {"#step_disturb", "riffffi", "Displace", "Displace", "", 170},
    {"#step_duplicate", "iii", "Duplicate", "Duplicate", "", 90},
    {"#step_extend", "rrif", "Extend", "Extend", "", 130},
    {"#step_mirroratom", "rffffi", "Mirror", "Mirror", "", 170},
    {"#step_move", "riifff", "Move", "Move", "", 130},
    {"#step_separate", "rf", "Remove Duplicate", "Remove Duplicate", "", 90},
    {"#step_changetype", "rifi", "Substitute", "Substitute", "", 90},
    {"#step_rotate", "rfffffffi", "Rotate", "Rotate", "", 170},
    {"#step_sort", "si", "Sort", "Sort", "", 90},
    {"#step_move0", "", "Symmetrize", "Symmetrize", "", 50},
    {"#step_wrap", "", "Wrap", "Wrap", "", 50},
    {"#step_tensile", "ifi", "Affine Tensile", "Affine Tensile", "", 130},
    {"#step_compress", "ifi", "Affine Compress", "Affine Compress", "", 130},
    {"#step_shearaf", "ifii", "Affine Shear", "Affine Shear", "", 130},
    {"#step_tensileal", "iff", "Alias Tensile", "Alias Tensile", "", 130},
    {"#step_compressal", "iff", "Alias Compress", "Alias Compress", "", 130},
    {"#step_shearal", "ifff", "Alias Shear", "Alias Shear", "", 130},
};

namespace {

constexpr double kPi = 3.141592653589793;

// Affine Shear directions: the element of each (Simple: XY XZ YX YZ ZX ZY;
// Pure: XY XZ YZ, with its mirror element).
const int kSimpleShear[6][2] = {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}};
const int kPureShear[3][2] = {{0, 1}, {0, 2}, {1, 2}};

bool live(int position) { return position >= 1; }

double num(const std::vector<AK_field>& f, size_t k) { return k < f.size() ? f[k].number : 0; }
int whole(const std::vector<AK_field>& f, size_t k) { return QB_to_int(num(f, k)); }
const std::string& text(const std::vector<AK_field>& f, size_t k) {
    static const std::string empty;
    return k < f.size() ? f[k].text : empty;
}

AK_field real(double v) { return {"", v}; }
AK_field ref(int index) {
    const bool known = index >= 0 && index < static_cast<int>(AKdata_region.size());
    return {known ? AKdata_region[static_cast<size_t>(index)].name : "ALL", static_cast<double>(known ? index : 0)};
}
AK_field word(const std::string& s) { return {s, 0}; }

// A choice index inside 0 ... count - 1.
bool choice(int v, int count) { return v >= 0 && v < count; }

std::string fresh_name(const std::string& base, bool region) {
    for (int n = 1;; n++) {
        const std::string name = QB_format("%s%d", base.c_str(), n);
        bool used = false;
        if (region) {
            for (const auto& r : AKdata_region) used = used || (r.position >= 0 && r.name == name);
        } else {
            for (const auto& s : AKdata_step) used = used || (live(s.position) && s.name == name);
        }
        if (!used) return name;
    }
}

int next_position() { return AK_last_position() + 1; }

// Operand slots of derived regions in the library records.
int* operand_slot(int index, int which) {
    if (index <= 0 || index >= static_cast<int>(AKdata_region.size())) return nullptr;
    const size_t i = static_cast<size_t>(index);
    switch (AKdata_region[i].kind) {
        case AK_AND:
        case AK_OR:
        case AK_COMPLE:
        case AK_NEITHER: return which == 0 ? &QB_region_math[i].a : &QB_region_math[i].b;
        case AK_NOT: return which == 0 ? &QB_region_math[i].a : nullptr;
        case AK_DEFORM_REGION: return which == 0 ? &QB_region_deformdata[i].k : nullptr;
        case AK_MOVE_REGION: return which == 0 ? &QB_region_movedata[i].k : nullptr;
        case AK_PERIODIC: return which == 0 ? &QB_region_periodicdata[i].k : nullptr;
        case AK_ROTATE_REGION: return which == 0 ? &QB_region_rotatedata[i].k : nullptr;
    }
    return nullptr;
}

// Whether `target` is reached from `from` through operands.
bool reaches(int from, int target, int depth = 0) {
    if (from == target) return true;
    if (depth > static_cast<int>(AKdata_region.size())) return true;
    for (int k : AK_region_operands(from))
        if (reaches(k, target, depth + 1)) return true;
    return false;
}

bool fail(std::string* message, const std::string& why) {
    if (message) *message = why;
    return false;
}

// Range checks of a kind's fields; the reason when one is out of range.
bool region_fields_valid(int kind, const std::vector<AK_field>& f, std::string* why) {
    switch (kind) {
        case AK_CYLINDER:
            if (!choice(whole(f, 5), 3)) return fail(why, "the axis must be 0, 1 or 2");
            break;
        case AK_CONE:
            if (!choice(whole(f, 5), 6)) return fail(why, "the direction must be 0 ... 5");
            break;
        case AK_POLYHEDRON:
            if (!choice(whole(f, 0), 7)) return fail(why, "the mode must be 0 ... 6");
            if (!choice(whole(f, 1), 3)) return fail(why, "the surfaces must be 0, 1 or 2");
            break;
        case AK_PRISM:
            if (whole(f, 5) < 3) return fail(why, "a prism has 3 edges or more");
            if (!choice(whole(f, 6), 3)) return fail(why, "the axis must be 0, 1 or 2");
            break;
        case AK_EXPRESSION:
            if (text(f, 0).empty()) return fail(why, "no column name");
            break;
        case AK_MOVE_REGION:
            if (!choice(whole(f, 1), 2)) return fail(why, "the unit must be 0 or 1");
            break;
        default: break;
    }
    return true;
}

bool step_fields_valid(int kind, const std::vector<AK_field>& f, std::string* why) {
    switch (kind) {
        case AK_ADD_ATOM:
            if (!choice(whole(f, 1), 2)) return fail(why, "the unit must be 0 or 1");
            break;
        case AK_FILL_ATOMS:
            if (!choice(whole(f, 1), 2)) return fail(why, "the origin must be 0 or 1");
            if (!choice(whole(f, 2), 2)) return fail(why, "the unit must be 0 or 1");
            break;
        case AK_DEFORM:
            if (!choice(whole(f, 10), 3)) return fail(why, "the remap must be 0, 1 or 2");
            break;
        case AK_DISPLACE:
            if (!choice(whole(f, 1), 3)) return fail(why, "the mode must be 0, 1 or 2");
            break;
        case AK_MIRROR:
            if (!choice(whole(f, 5), 2)) return fail(why, "the copy flag must be 0 or 1");
            break;
        case AK_MOVE:
            if (!choice(whole(f, 1), 2)) return fail(why, "the mode must be 0 or 1");
            if (!choice(whole(f, 2), 2)) return fail(why, "the unit must be 0 or 1");
            break;
        case AK_ROTATE:
            if (!choice(whole(f, 8), 3)) return fail(why, "the remap must be 0, 1 or 2");
            break;
        case AK_SORT:
            if (!choice(whole(f, 1), 2)) return fail(why, "the mode must be 0 or 1");
            if (text(f, 0).empty()) return fail(why, "no column name");
            break;
        case AK_AFFINE_TENSILE:
        case AK_AFFINE_COMPRESS:
            if (!choice(whole(f, 0), 3)) return fail(why, "the direction must be 0, 1 or 2");
            if (!choice(whole(f, 2), 3)) return fail(why, "the remap must be 0, 1 or 2");
            break;
        case AK_AFFINE_SHEAR:
            if (!choice(whole(f, 3), 2)) return fail(why, "the mode must be 0 or 1");
            if (!choice(whole(f, 0), whole(f, 3) == 0 ? 6 : 3))
                return fail(why, whole(f, 3) == 0 ? "the direction must be 0 ... 5" : "the direction must be 0, 1 or 2");
            if (!choice(whole(f, 2), 3)) return fail(why, "the remap must be 0, 1 or 2");
            break;
        case AK_ALIAS_TENSILE:
        case AK_ALIAS_COMPRESS:
            if (!choice(whole(f, 0), 3)) return fail(why, "the direction must be 0, 1 or 2");
            break;
        case AK_ALIAS_SHEAR:
            if (!choice(whole(f, 0), 3)) return fail(why, "the slip plane must be 0, 1 or 2");
            break;
        default: break;
    }
    return true;
}

// Builds the library region of a kind from its fields after the name, with
// the operands given; forward operands are set after the constructor.
int make_library_region(int kind, const std::vector<AK_field>& f) {
    const size_t sum = static_cast<size_t>(QB_region_get_sum());
    auto operand = [&](size_t k) {
        const int v = whole(f, k);
        return v >= 0 && static_cast<size_t>(v) < sum ? v : 0;
    };
    int index = -1;
    switch (kind) {
        case AK_CUBOID: index = QB_region_cuboid(num(f, 0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), num(f, 5)); break;
        case AK_CYLINDER:
            index = QB_region_cylinder(num(f, 0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), whole(f, 5));
            break;
        case AK_CONE: index = QB_region_cone(num(f, 0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), whole(f, 5)); break;
        case AK_POLYHEDRON:
            index = QB_region_polyhedron(whole(f, 0), whole(f, 1), num(f, 2), num(f, 3), num(f, 4), num(f, 5), num(f, 6),
                                         num(f, 7), num(f, 8), num(f, 9), num(f, 10), num(f, 11), num(f, 12), num(f, 13),
                                         num(f, 14), num(f, 15), num(f, 16));
            break;
        case AK_PRISM:
            index = QB_region_prism(num(f, 0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), whole(f, 5), whole(f, 6));
            break;
        case AK_SLICE:
            // The plane n . p = distance, given straight.
            index = QB_region_plane(num(f, 0), num(f, 1), num(f, 2), 0, 0, 0, num(f, 4));
            QB_region_planedata[static_cast<size_t>(index)].d = num(f, 3);
            break;
        case AK_SPHERE: index = QB_region_sphere(num(f, 0), num(f, 1), num(f, 2), num(f, 3)); break;
        case AK_EXPRESSION: index = QB_region_expression(text(f, 0).c_str(), num(f, 1), num(f, 2)); break;
        case AK_INBOX: index = QB_region_inbox(); break;
        case AK_AND: index = QB_region_and(operand(0), operand(1), VOL_BOX()); break;
        case AK_OR: index = QB_region_or(operand(0), operand(1), VOL_BOX()); break;
        case AK_COMPLE: index = QB_region_comple(operand(0), operand(1), VOL_BOX()); break;
        case AK_NEITHER: index = QB_region_neither(operand(0), operand(1), VOL_BOX()); break;
        case AK_NOT: index = QB_region_not(operand(0), VOL_BOX()); break;
        case AK_DEFORM_REGION:
            index = QB_region_deform(operand(0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), num(f, 5), num(f, 6), num(f, 7),
                                     num(f, 8), num(f, 9), num(f, 10), num(f, 11), num(f, 12));
            break;
        case AK_MOVE_REGION: index = QB_region_move(operand(0), whole(f, 1), num(f, 2), num(f, 3), num(f, 4)); break;
        case AK_PERIODIC: index = QB_region_periodic(operand(0)); break;
        case AK_ROTATE_REGION:
            index = QB_region_rotate(operand(0), num(f, 1), num(f, 2), num(f, 3), num(f, 4), num(f, 5), num(f, 6), num(f, 7));
            break;
    }
    return index;
}

}  // namespace

// ================================================================== items

void AK_free_all() {
    AKdata_region.clear();
    AKdata_step.clear();
    QB_region_free();
    QB_region_add(DEAL_ALL, VOL_BOX());
    AK_region_item all;
    all.position = 0;
    all.name = "ALL";
    all.kind = AK_ALL_REGION;
    AKdata_region.push_back(all);
}

int AK_last_position() {
    int last = 0;
    for (const auto& r : AKdata_region) last = std::max(last, r.position);
    for (const auto& s : AKdata_step) last = std::max(last, s.position);
    return last;
}

int AK_region_at(int position) {
    if (position < 1) return -1;
    for (size_t i = 0; i < AKdata_region.size(); i++)
        if (AKdata_region[i].position == position) return static_cast<int>(i);
    return -1;
}

int AK_step_at(int position) {
    if (position < 1) return -1;
    for (size_t i = 0; i < AKdata_step.size(); i++)
        if (AKdata_step[i].position == position) return static_cast<int>(i);
    return -1;
}

int AK_region_id(const std::string& name) {
    for (size_t i = 0; i < AKdata_region.size(); i++)
        if (AKdata_region[i].position >= 0 && AKdata_region[i].name == name) return static_cast<int>(i);
    return -1;
}

std::vector<int> AK_region_operands(int index) {
    std::vector<int> out;
    for (int which = 0; which < 2; which++)
        if (const int* slot = operand_slot(index, which)) out.push_back(*slot);
    return out;
}

int AK_set_operand(int index, int which, int operand) {
    int* slot = operand_slot(index, which);
    if (!slot || operand < 0 || operand >= static_cast<int>(AKdata_region.size())) return -1;
    if (AKdata_region[static_cast<size_t>(operand)].position < 0 && operand != 0) return -1;  // deleted
    if (operand != 0 && reaches(operand, index)) return -1;
    *slot = operand;
    return 1;
}

int AK_new_region(int kind, const std::string& name, bool exact, const std::vector<AK_field>& fields,
                  std::string* message) {
    if (kind < 0 || kind >= AK_REGION_KINDS) return fail(message, "no such region kind") ? 0 : -1;
    if (AKdata_region.empty()) AK_free_all();
    if (!region_fields_valid(kind, fields, message)) return -1;
    if (exact && (name.empty() || AK_region_id(name) >= 0))
        return fail(message, "a region named " + name + " exists already") ? 0 : -1;
    const int index = make_library_region(kind, fields);
    if (index != static_cast<int>(AKdata_region.size())) return fail(message, "the region library is out of step") ? 0 : -1;
    AK_region_item item;
    item.position = next_position();
    item.kind = kind;
    item.name = exact ? name : fresh_name(AK_region_kinds[kind].base, true);
    AKdata_region.push_back(item);
    // Operands created later (a recipe may name a region further down).
    int which = 0;
    for (const char* c = AK_region_kinds[kind].fields + 1; *c; c++) {
        if (*c != 'r') continue;
        const size_t k = static_cast<size_t>(c - AK_region_kinds[kind].fields - 1);
        if (int* slot = operand_slot(index, which)) *slot = whole(fields, k);
        which++;
    }
    return index;
}

int AK_new_step(int kind, const std::vector<AK_field>& f, std::string* message) {
    if (kind < 0 || kind >= AK_STEP_KINDS) return fail(message, "no such step kind") ? 0 : -1;
    if (AKdata_region.empty()) AK_free_all();
    if (!step_fields_valid(kind, f, message)) return -1;
    AK_step_item s;
    s.kind = kind;
    s.position = next_position();
    s.name = fresh_name(AK_step_kinds[kind].label, false);
    s.active = 1;
    const bool has_region = AK_step_kinds[kind].fields[0] == 'r';
    s.region = has_region ? whole(f, 0) : 0;
    switch (kind) {
        case AK_ADD_ATOM:
            s.add.mode = whole(f, 0);
            s.add.unit = whole(f, 1);
            s.add.x = num(f, 2), s.add.y = num(f, 3), s.add.z = num(f, 4);
            break;
        case AK_FILL_ATOMS:
            s.add.file = text(f, 0);
            s.add.mode = whole(f, 1);
            s.add.unit = whole(f, 2);
            s.add.x = num(f, 3), s.add.y = num(f, 4), s.add.z = num(f, 5);
            break;
        case AK_CREATE_BOX:
            for (int k = 0; k < 9; k++) s.deform.m[k / 3][k % 3] = num(f, static_cast<size_t>(k));
            break;
        case AK_DEFORM:
            for (int k = 0; k < 9; k++) s.deform.m[k / 3][k % 3] = num(f, static_cast<size_t>(k) + 1);
            s.deform.remap = whole(f, 10);
            break;
        case AK_DISPLACE:
            s.disterb.mode = whole(f, 1);
            s.disterb.distance = num(f, 2);
            s.disterb.dx = num(f, 3), s.disterb.dy = num(f, 4), s.disterb.dz = num(f, 5);
            s.disterb.seed = whole(f, 6);
            break;
        case AK_DUPLICATE:
            s.duplicate.nx = whole(f, 0), s.duplicate.ny = whole(f, 1), s.duplicate.nz = whole(f, 2);
            break;
        case AK_EXTEND:
            s.changetype.seed = whole(f, 1);
            s.changetype.type = whole(f, 2);
            s.changetype.rate = num(f, 3);
            break;
        case AK_MIRROR:
            s.rotate.dx = num(f, 1), s.rotate.dy = num(f, 2), s.rotate.dz = num(f, 3);
            s.rotate.angle = num(f, 4);
            s.rotate.remap = whole(f, 5);
            break;
        case AK_MOVE:
            s.move.mode = whole(f, 1);
            s.move.unit = whole(f, 2);
            s.move.x = num(f, 3), s.move.y = num(f, 4), s.move.z = num(f, 5);
            break;
        case AK_REMOVE_DUPLICATE: s.changetype.rate = num(f, 1); break;
        case AK_SUBSTITUTE:
            s.changetype.type = whole(f, 1);
            s.changetype.rate = num(f, 2);
            s.changetype.seed = whole(f, 3);
            break;
        case AK_ROTATE:
            s.rotate.cx = num(f, 1), s.rotate.cy = num(f, 2), s.rotate.cz = num(f, 3);
            s.rotate.dx = num(f, 4), s.rotate.dy = num(f, 5), s.rotate.dz = num(f, 6);
            s.rotate.angle = num(f, 7);
            s.rotate.remap = whole(f, 8);
            break;
        case AK_SORT:
            s.sort.slot = text(f, 0);
            s.sort.mode = whole(f, 1);
            break;
        case AK_AFFINE_TENSILE:
        case AK_AFFINE_COMPRESS: {
            const int d = whole(f, 0);
            s.deform.direction = d;
            s.deform.m[d][d] = kind == AK_AFFINE_TENSILE ? 1 + num(f, 1) : 1 - num(f, 1);
            s.deform.remap = whole(f, 2);
            break;
        }
        case AK_AFFINE_SHEAR: {
            const int d = whole(f, 0);
            s.deform.direction = d;
            s.deform.remap = whole(f, 2);
            s.deform.shear_mode = whole(f, 3);
            const int* e = s.deform.shear_mode == 0 ? kSimpleShear[d] : kPureShear[d];
            s.deform.m[e[0]][e[1]] = num(f, 1);
            if (s.deform.shear_mode == 1) s.deform.m[e[1]][e[0]] = num(f, 1);
            break;
        }
        case AK_ALIAS_TENSILE:
        case AK_ALIAS_COMPRESS:
            s.alias.direction = whole(f, 0);
            s.alias.d1 = num(f, 1);
            s.alias.height = num(f, 2);
            break;
        case AK_ALIAS_SHEAR:
            s.alias.direction = whole(f, 0);
            s.alias.d1 = num(f, 1);
            s.alias.d2 = num(f, 2);
            s.alias.height = num(f, 3);
            break;
        default: break;
    }
    AKdata_step.push_back(s);
    return static_cast<int>(AKdata_step.size()) - 1;
}

int AK_new_region_default(int kind) {
    std::vector<AK_field> f;
    switch (kind) {
        case AK_CUBOID: f.assign(6, real(0)); break;
        case AK_CYLINDER:
        case AK_CONE: f.assign(6, real(0)); break;
        case AK_POLYHEDRON:
            f.assign(17, real(0));
            f[7].number = f[10].number = f[13].number = 1;  // normals (0, 0, 1)
            break;
        case AK_PRISM: f = {real(0), real(0), real(0), real(0), real(0), real(3), real(0)}; break;
        case AK_SLICE: f = {real(1), real(0), real(0), real(0), real(0)}; break;
        case AK_SPHERE: f.assign(4, real(0)); break;
        case AK_EXPRESSION: f = {word("x"), real(0), real(0)}; break;
        case AK_AND:
        case AK_OR:
        case AK_COMPLE:
        case AK_NEITHER: f = {ref(0), ref(0)}; break;
        case AK_NOT:
        case AK_PERIODIC: f = {ref(0)}; break;
        case AK_DEFORM_REGION:
            f.assign(13, real(0));
            f[0] = ref(0);
            f[4].number = f[8].number = f[12].number = 1;
            break;
        case AK_MOVE_REGION: f = {ref(0), real(0), real(0), real(0), real(0)}; break;
        case AK_ROTATE_REGION: f = {ref(0), real(0), real(0), real(0), real(0), real(0), real(1), real(0)}; break;
        default: break;
    }
    return AK_new_region(kind, "", false, f);
}

int AK_new_step_default(int kind) {
    std::vector<AK_field> f;
    switch (kind) {
        case AK_ADD_ATOM: f = {real(1), real(0), real(0), real(0), real(0)}; break;
        case AK_FILL_ATOMS: f = {word("No File"), real(0), real(0), real(0), real(0), real(0)}; break;
        case AK_CREATE_BOX: f = {real(300), real(0), real(0), real(0), real(300), real(0), real(0), real(0), real(300)}; break;
        case AK_DEFORM:
            f.assign(11, real(0));
            f[0] = ref(0);
            f[1].number = f[5].number = f[9].number = 1;
            break;
        case AK_DELETE: f = {ref(0)}; break;
        case AK_DISPLACE: f = {ref(0), real(0), real(0), real(0), real(0), real(0), real(0)}; break;
        case AK_DUPLICATE: f = {real(1), real(1), real(1)}; break;
        case AK_EXTEND: f = {ref(0), ref(0), real(1), real(0)}; break;
        case AK_MIRROR: f = {ref(0), real(0), real(0), real(1), real(0), real(0)}; break;
        case AK_MOVE: f = {ref(0), real(0), real(0), real(0), real(0), real(0)}; break;
        case AK_REMOVE_DUPLICATE: f = {ref(0), real(0)}; break;
        case AK_SUBSTITUTE: f = {ref(0), real(1), real(0), real(0)}; break;
        case AK_ROTATE: f = {ref(0), real(0), real(0), real(0), real(0), real(0), real(1), real(0), real(0)}; break;
        case AK_SORT: f = {word("x"), real(0)}; break;
        case AK_AFFINE_TENSILE:
        case AK_AFFINE_COMPRESS: f = {real(0), real(0), real(0)}; break;
        case AK_AFFINE_SHEAR: f = {real(0), real(0), real(0), real(0)}; break;
        case AK_ALIAS_TENSILE:
        case AK_ALIAS_COMPRESS: f = {real(0), real(0), real(0)}; break;
        case AK_ALIAS_SHEAR: f = {real(0), real(0), real(0), real(0)}; break;
        default: break;
    }
    return AK_new_step(kind, f);
}

// The rotated region's angle from its cosine and sine, in degrees.
static double rotate_angle(double c, double s) {
    double d = std::atan(std::fabs(s / c)) * 180 / kPi;
    if (c < 0) d = 180 - d;
    if (s < 0) d = -d;
    return d;
}

std::vector<AK_field> AK_region_fields(int index) {
    std::vector<AK_field> f;
    if (index <= 0 || index >= static_cast<int>(AKdata_region.size())) return f;
    const size_t i = static_cast<size_t>(index);
    switch (AKdata_region[i].kind) {
        case AK_CUBOID: {
            const auto& r = QB_region_cuboiddata[i];
            f = {real(r.x0), real(r.y0), real(r.z0), real(r.x1), real(r.y1), real(r.z1)};
            break;
        }
        case AK_CYLINDER: {
            const auto& r = QB_region_cylinderdata[i];
            f = {real(r.cx), real(r.cy), real(r.cz), real(r.r), real(r.length), real(r.axis)};
            break;
        }
        case AK_CONE: {
            const auto& r = QB_region_conedata[i];
            f = {real(r.cx), real(r.cy), real(r.cz), real(r.radius), real(r.height), real(r.dir)};
            break;
        }
        case AK_POLYHEDRON: {
            const auto& r = QB_region_polyhedrondata[i];
            f = {real(r.kind), real(r.surfaces), real(r.cx),  real(r.cy),  real(r.cz),  real(r.n1x),
                 real(r.n1y),  real(r.n1z),      real(r.n2x), real(r.n2y), real(r.n2z), real(r.n3x),
                 real(r.n3y),  real(r.n3z),      real(r.R1),  real(r.R2),  real(r.R3)};
            break;
        }
        case AK_PRISM: {
            const auto& r = QB_region_prismdata[i];
            f = {real(r.cx), real(r.cy), real(r.cz), real(r.r), real(r.length), real(r.sides), real(r.axis)};
            break;
        }
        case AK_SLICE: {
            const auto& r = QB_region_planedata[i];
            f = {real(r.nx), real(r.ny), real(r.nz), real(r.d), real(r.width)};
            break;
        }
        case AK_SPHERE: {
            const auto& r = QB_region_spheredata[i];
            f = {real(r.cx), real(r.cy), real(r.cz), real(r.r)};
            break;
        }
        case AK_EXPRESSION: {
            const auto& r = QB_region_expressiondata[i];
            f = {word(r.name), real(r.min), real(r.max)};
            break;
        }
        case AK_AND:
        case AK_OR:
        case AK_COMPLE:
        case AK_NEITHER: f = {ref(QB_region_math[i].a), ref(QB_region_math[i].b)}; break;
        case AK_NOT: f = {ref(QB_region_math[i].a)}; break;
        case AK_DEFORM_REGION: {
            const auto& r = QB_region_deformdata[i];
            f = {ref(r.k), real(r.cx), real(r.cy), real(r.cz)};
            for (const auto& row : r.m)
                for (double v : row) f.push_back(real(v));
            break;
        }
        case AK_MOVE_REGION: {
            const auto& r = QB_region_movedata[i];
            f = {ref(r.k), real(r.mode), real(r.dx), real(r.dy), real(r.dz)};
            break;
        }
        case AK_PERIODIC: f = {ref(QB_region_periodicdata[i].k)}; break;
        case AK_ROTATE_REGION: {
            const auto& r = QB_region_rotatedata[i];
            f = {ref(r.k), real(r.cx), real(r.cy), real(r.cz), real(r.ax), real(r.ay), real(r.az),
                 real(rotate_angle(r.cos_angle, r.sin_angle))};
            break;
        }
    }
    return f;
}

std::vector<AK_field> AK_step_fields(int index) {
    std::vector<AK_field> f;
    if (index < 0 || index >= static_cast<int>(AKdata_step.size())) return f;
    const AK_step_item& s = AKdata_step[static_cast<size_t>(index)];
    const auto& d = s.deform;
    switch (s.kind) {
        case AK_ADD_ATOM: f = {real(s.add.mode), real(s.add.unit), real(s.add.x), real(s.add.y), real(s.add.z)}; break;
        case AK_FILL_ATOMS:
            f = {word(s.add.file), real(s.add.mode), real(s.add.unit), real(s.add.x), real(s.add.y), real(s.add.z)};
            break;
        case AK_CREATE_BOX:
            for (const auto& row : d.m)
                for (double v : row) f.push_back(real(v));
            break;
        case AK_DEFORM:
            f.push_back(ref(s.region));
            for (const auto& row : d.m)
                for (double v : row) f.push_back(real(v));
            f.push_back(real(d.remap));
            break;
        case AK_DELETE: f = {ref(s.region)}; break;
        case AK_DISPLACE:
            f = {ref(s.region),        real(s.disterb.mode), real(s.disterb.distance), real(s.disterb.dx),
                 real(s.disterb.dy),   real(s.disterb.dz),   real(s.disterb.seed)};
            break;
        case AK_DUPLICATE: f = {real(s.duplicate.nx), real(s.duplicate.ny), real(s.duplicate.nz)}; break;
        case AK_EXTEND:
            f = {ref(s.region), ref(s.changetype.seed), real(s.changetype.type), real(s.changetype.rate)};
            break;
        case AK_MIRROR:
            f = {ref(s.region), real(s.rotate.dx), real(s.rotate.dy), real(s.rotate.dz), real(s.rotate.angle),
                 real(s.rotate.remap)};
            break;
        case AK_MOVE:
            f = {ref(s.region), real(s.move.mode), real(s.move.unit), real(s.move.x), real(s.move.y), real(s.move.z)};
            break;
        case AK_REMOVE_DUPLICATE: f = {ref(s.region), real(s.changetype.rate)}; break;
        case AK_SUBSTITUTE:
            f = {ref(s.region), real(s.changetype.type), real(s.changetype.rate), real(s.changetype.seed)};
            break;
        case AK_ROTATE:
            f = {ref(s.region),    real(s.rotate.cx), real(s.rotate.cy),    real(s.rotate.cz),   real(s.rotate.dx),
                 real(s.rotate.dy), real(s.rotate.dz), real(s.rotate.angle), real(s.rotate.remap)};
            break;
        case AK_SORT: f = {word(s.sort.slot), real(s.sort.mode)}; break;
        case AK_AFFINE_TENSILE: f = {real(d.direction), real(d.m[d.direction][d.direction] - 1), real(d.remap)}; break;
        case AK_AFFINE_COMPRESS: f = {real(d.direction), real(1 - d.m[d.direction][d.direction]), real(d.remap)}; break;
        case AK_AFFINE_SHEAR: {
            const int* e = d.shear_mode == 0 ? kSimpleShear[std::min(std::max(d.direction, 0), 5)]
                                             : kPureShear[std::min(std::max(d.direction, 0), 2)];
            f = {real(d.direction), real(d.m[e[0]][e[1]]), real(d.remap), real(d.shear_mode)};
            break;
        }
        case AK_ALIAS_TENSILE:
        case AK_ALIAS_COMPRESS: f = {real(s.alias.direction), real(s.alias.d1), real(s.alias.height)}; break;
        case AK_ALIAS_SHEAR: f = {real(s.alias.direction), real(s.alias.d1), real(s.alias.d2), real(s.alias.height)}; break;
        default: break;
    }
    return f;
}

// ================================================================== the list

namespace {
// The item (region or step) at a position.
int* position_slot(int position) {
    const int r = AK_region_at(position);
    if (r >= 0) return &AKdata_region[static_cast<size_t>(r)].position;
    const int s = AK_step_at(position);
    if (s >= 0) return &AKdata_step[static_cast<size_t>(s)].position;
    return nullptr;
}
}  // namespace

int AK_item_up(int position) {
    int* item = position_slot(position);
    if (!item || position < 2) return 0;
    int* above = position_slot(position - 1);
    if (!above) return 0;
    *above = position;
    *item = position - 1;
    return 1;
}

int AK_item_down(int position) {
    int* item = position_slot(position);
    int* below = position_slot(position + 1);
    if (!item || !below) return 0;
    *below = position;
    *item = position + 1;
    return 1;
}

int AK_item_delete(int position) {
    const int region = AK_region_at(position);
    const int step = region < 0 ? AK_step_at(position) : -1;
    if (region < 0 && step < 0) return 0;
    for (auto& r : AKdata_region)
        if (r.position > position) r.position--;
    for (auto& s : AKdata_step)
        if (s.position > position) s.position--;
    if (region >= 0) {
        AKdata_region[static_cast<size_t>(region)].position = AK_DELETED;
        // What used the region works on "ALL" now, and says so.
        for (auto& s : AKdata_step) {
            if (s.region == region) s.region = 0;
            if (s.kind == AK_EXTEND && s.changetype.seed == region) s.changetype.seed = 0;
        }
        for (size_t i = 1; i < AKdata_region.size(); i++)
            for (int which = 0; which < 2; which++)
                if (int* slot = operand_slot(static_cast<int>(i), which))
                    if (*slot == region) *slot = 0;
    } else {
        AKdata_step[static_cast<size_t>(step)].position = AK_DELETED;
    }
    return 1;
}

int AK_region_select(QB_tools* model, int region) {
    QB_region_set_invest_system(model);
    QB_add_exint(model, "Select");
    const int slot = QB_slot_get(model, "Select");
    int selected = 0;
    for (int i = 0; i < model->natoms; i++) {
        const atomdata& a = model->atoms[static_cast<size_t>(i)];
        const int in = a.id > 0 && QB_region_extract(i, a, region) ? 1 : 0;
        QB_slot_save(model, slot, i, in);
        selected += in;
    }
    return selected;
}

// ================================================================ save file

namespace {

const char* const kHeader = "#Quelm_atomkit_save";

bool one_token(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (std::isspace(c)) return false;
    return true;
}

std::string line_of(const AK_kind_info& info, const std::string& name, const std::vector<AK_field>& f) {
    std::string out = info.keyword;
    size_t k = 0;
    for (const char* c = info.fields; *c; c++) {
        out += ' ';
        if (*c == 'n') {
            out += name;
            continue;
        }
        const AK_field& v = k < f.size() ? f[k] : AK_field();
        k++;
        if (*c == 'r' || *c == 's')
            out += v.text;
        else if (*c == 'i')
            out += QB_format("%d", QB_to_int(v.number));
        else
            out += QB_format("%lf", v.number);
    }
    return out + "\n";
}

// The words of a recipe that would not read back.
bool savable(std::string& why) {
    for (size_t i = 1; i < AKdata_region.size(); i++) {
        if (!live(AKdata_region[i].position)) continue;
        if (!one_token(AKdata_region[i].name)) {
            why = "the region name \"" + AKdata_region[i].name + "\" has blanks or is empty and would not read back";
            return false;
        }
        for (const AK_field& f : AK_region_fields(static_cast<int>(i)))
            if (!f.text.empty() && !one_token(f.text)) {
                why = "\"" + f.text + "\" in region " + AKdata_region[i].name + " has blanks and would not read back";
                return false;
            }
    }
    for (size_t i = 0; i < AKdata_step.size(); i++) {
        if (!live(AKdata_step[i].position)) continue;
        if (AKdata_step[i].kind == AK_FILL_ATOMS && AKdata_step[i].add.file == "No File") {
            why = "choose a file for " + AKdata_step[i].name + " first";
            return false;
        }
        const auto& kind = AK_step_kinds[AKdata_step[i].kind];
        const auto f = AK_step_fields(static_cast<int>(i));
        for (size_t k = 0; kind.fields[k]; k++)
            if ((kind.fields[k] == 's' || kind.fields[k] == 'r') && !one_token(f[k].text)) {
                why = "\"" + f[k].text + "\" in step " + AKdata_step[i].name +
                      " has blanks or is empty and would not read back";
                return false;
            }
    }
    return true;
}

}  // namespace

std::string AK_save_text() {
    std::string out = std::string(kHeader) + "\n";
    const int last = AK_last_position();
    for (int p = 1; p <= last; p++) {
        const int r = AK_region_at(p);
        if (r >= 0) {
            const auto& item = AKdata_region[static_cast<size_t>(r)];
            out += line_of(AK_region_kinds[item.kind], item.name, AK_region_fields(r));
        }
        const int s = AK_step_at(p);
        if (s >= 0) out += line_of(AK_step_kinds[AKdata_step[static_cast<size_t>(s)].kind], "", AK_step_fields(s));
    }
    return out + "#END\n";
}

int AK_save(const std::string& path, std::string& message) {
    std::string why;
    if (!savable(why)) {
        message = "Cannot save the recipe: " + why;
        return -2;
    }
    const std::string text = AK_save_text();
    QB_output_file out(path);
    if (!out || std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() || !out.commit()) {
        message = "Cannot write " + path;
        return -1;
    }
    message = "Save Complete";
    return 1;
}

namespace {

struct Pending {
    int line;
    bool region;
    int kind;
    std::string name;
    std::vector<AK_field> fields;  // after the name
    std::vector<std::string> refs;  // region names of the 'r' fields, in order
};

bool whole_integer(const std::string& w, double& v) {
    size_t k = 0;
    if (k < w.size() && (w[k] == '-' || w[k] == '+')) k++;
    if (k == w.size()) return false;
    for (size_t j = k; j < w.size(); j++)
        if (!std::isdigit(static_cast<unsigned char>(w[j]))) return false;
    char* end = nullptr;
    v = QB_strtod(w.c_str(), &end);
    return std::fabs(v) <= 2147483647.0;
}

bool whole_real(const std::string& w, double& v) {
    char* end = nullptr;
    v = QB_strtod(w.c_str(), &end);
    return !w.empty() && end == w.c_str() + w.size() && std::isfinite(v);
}

}  // namespace

int AK_load_text(const std::string& text, const std::string& path, std::string& message) {
    std::vector<Pending> items;
    int line_number = 0, last_content = 0;
    bool header = false, ended = false;
    auto error = [&](int line, const std::string& why) {
        message = QB_format("%s:%d: ", path.c_str(), line) + why;
        return -1;
    };
    size_t at = 0;
    while (at <= text.size() && !ended) {
        const size_t stop = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, stop - at);
        at = stop + 1;
        line_number++;
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) i++;
            const size_t s = i;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) i++;
            if (i > s) words.push_back(line.substr(s, i - s));
        }
        if (!header) {
            if (words.size() != 1 || words[0] != kHeader) {
                message = "Not a atomkit save file!";
                return -2;
            }
            header = true;
            continue;
        }
        if (words.empty()) continue;
        last_content = line_number;
        if (words[0] == "#END") {
            if (words.size() != 1) return error(line_number, "#END takes no fields");
            ended = true;
            break;
        }
        Pending p{line_number, false, -1, "", {}, {}};
        for (int k = 0; k < AK_REGION_KINDS && p.kind < 0; k++)
            if (words[0] == AK_region_kinds[k].keyword) p.kind = k, p.region = true;
        for (int k = 0; k < AK_STEP_KINDS && p.kind < 0; k++)
            if (words[0] == AK_step_kinds[k].keyword) p.kind = k;
        if (p.kind < 0) return error(line_number, "unknown keyword " + words[0]);
        const char* fields = p.region ? AK_region_kinds[p.kind].fields : AK_step_kinds[p.kind].fields;
        const size_t expected = std::strlen(fields);
        if (words.size() - 1 != expected)
            return error(line_number, QB_format("%s takes %d fields, not %d", words[0].c_str(), static_cast<int>(expected),
                                                static_cast<int>(words.size() - 1)));
        for (size_t k = 0; k < expected; k++) {
            const std::string& w = words[k + 1];
            AK_field v{w, 0};
            switch (fields[k]) {
                case 'n': p.name = w; continue;
                case 'r': p.refs.push_back(w); break;
                case 'i':
                    if (!whole_integer(w, v.number)) return error(line_number, w + " is not an integer");
                    break;
                case 'f':
                    if (!whole_real(w, v.number)) return error(line_number, w + " is not a number");
                    break;
                default: break;
            }
            p.fields.push_back(v);
        }
        std::string why;
        if (!(p.region ? region_fields_valid(p.kind, p.fields, &why) : step_fields_valid(p.kind, p.fields, &why)))
            return error(line_number, why);
        items.push_back(p);
    }
    if (!header) {
        message = "Not a atomkit save file!";
        return -2;
    }
    if (!ended) return error(last_content, "the file ends without #END");

    // Region names, then references by name (to regions anywhere in the file).
    std::map<std::string, int> index_of{{"ALL", 0}};
    int next = 1;
    for (const Pending& p : items) {
        if (!p.region) continue;
        if (index_of.count(p.name))
            return error(p.line, p.name == "ALL" ? "ALL is the name of the built-in region"
                                                 : "a region named " + p.name + " exists already");
        index_of[p.name] = next++;
    }
    std::map<int, std::vector<int>> operands;  // region index -> operand indices
    std::map<int, int> line_of_region;
    for (Pending& p : items) {
        const char* fields = p.region ? AK_region_kinds[p.kind].fields : AK_step_kinds[p.kind].fields;
        size_t r = 0, k = 0;
        for (const char* c = fields; *c; c++) {
            if (*c == 'n') continue;
            if (*c == 'r') {
                const auto found = index_of.find(p.refs[r]);
                if (found == index_of.end()) return error(p.line, "no region named " + p.refs[r]);
                if (p.region && p.refs[r] == p.name) return error(p.line, "region " + p.name + " refers to itself");
                p.fields[k].number = found->second;
                if (p.region) operands[index_of[p.name]].push_back(found->second);
                r++;
            }
            k++;
        }
        if (p.region) line_of_region[index_of[p.name]] = p.line;
    }
    // No cycle through operands.
    std::map<int, int> state;  // 1 visiting, 2 done
    std::function<bool(int)> acyclic = [&](int v) {
        if (state[v] == 1) return false;
        if (state[v] == 2) return true;
        state[v] = 1;
        for (int w : operands[v])
            if (w != 0 && !acyclic(w)) return false;
        state[v] = 2;
        return true;
    };
    for (const auto& entry : operands)
        if (!acyclic(entry.first)) return error(line_of_region[entry.first], "regions refer to each other in a cycle");

    // The file is sound: it becomes the recipe.
    AK_free_all();
    for (const Pending& p : items) {
        std::string why;
        const int made = p.region ? AK_new_region(p.kind, p.name, true, p.fields, &why) : AK_new_step(p.kind, p.fields, &why);
        if (made < 0) return error(p.line, why);
    }
    const size_t slash = path.find_last_of('/');
    AK_recipe_folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    message = "Load Complete";
    return 1;
}

int AK_load(const std::string& path, std::string& message) {
    std::string text, reason;
    if (!QB_read_text_file(path, text, &reason)) {
        message = reason;
        return -1;
    }
    return AK_load_text(text, path, message);
}
