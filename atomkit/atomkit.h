// Atomkit, computing side: the recipe (an ordered list of regions and steps),
// running it on a copy of a base model, previewing a region, and the save
// file ("#Quelm_atomkit_save" ... "#END"). Shared by the panel and
// `quelm-batch atomkit`; no FLTK, no dialogs: functions return codes and
// messages.
//
// Regions are regions of the region library (qb/qb_region.h): region item i
// is library region i, and its parameters live in the library's record at
// that index. Region 0 is "ALL". Items hold positions 1 ... L in list order
// (0 for "ALL", AK_DELETED for deleted items, which keep their records).
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

constexpr int AK_DELETED = -2;

enum AK_region_kind {
    AK_CUBOID,
    AK_CYLINDER,
    AK_CONE,
    AK_POLYHEDRON,
    AK_PRISM,
    AK_SLICE,
    AK_SPHERE,
    AK_EXPRESSION,
    AK_INBOX,
    AK_AND,
    AK_OR,
    AK_COMPLE,
    AK_NEITHER,
    AK_NOT,
    AK_DEFORM_REGION,
    AK_MOVE_REGION,
    AK_PERIODIC,
    AK_ROTATE_REGION,
    AK_REGION_KINDS,
    AK_ALL_REGION = -1  // the built-in "ALL"
};

enum AK_step_kind {
    AK_ADD_ATOM,
    AK_FILL_ATOMS,
    AK_CREATE_BOX,
    AK_DEFORM,
    AK_DELETE,
    AK_DISPLACE,
    AK_DUPLICATE,
    AK_EXTEND,
    AK_MIRROR,
    AK_MOVE,
    AK_REMOVE_DUPLICATE,
    AK_SUBSTITUTE,
    AK_ROTATE,
    AK_SORT,
    AK_SYMMETRIZE,
    AK_WRAP,
    AK_AFFINE_TENSILE,
    AK_AFFINE_COMPRESS,
    AK_AFFINE_SHEAR,
    AK_ALIAS_TENSILE,
    AK_ALIAS_COMPRESS,
    AK_ALIAS_SHEAR,
    AK_STEP_KINDS
};

// What a kind is called and how its save-file line reads. `fields` spells
// the fields after the keyword: 'n' the region's own name, 'r' a region
// reference (by name), 's' a text without blanks (slot name, file path),
// 'f' a real, 'i' an integer.
struct AK_kind_info {
    const char* keyword;  // "#region_cuboid", "#step_delete", ...
    const char* fields;
    const char* method;  // entry of the panel's Method menu
    const char* label;   // form label; steps are named after it
    const char* base;    // regions: the name base
    int height;          // form height
};
extern const AK_kind_info AK_region_kinds[AK_REGION_KINDS];
extern const AK_kind_info AK_step_kinds[AK_STEP_KINDS];

struct AK_region_item {
    int position = 0;
    std::string name;
    int kind = AK_ALL_REGION;
};

// Step parameters, one record of each family in every step (only the
// step's own family means anything).
struct AK_step_add {  // Add Atom (mode = type), Fill Atoms (mode = origin: 0 start point, 1 barycenter)
    double x = 0, y = 0, z = 0;
    int mode = 0;
    int unit = 0;  // 0 Å, 1 box
    std::string file = "No File";
};
struct AK_step_deform {  // Create Box, Deform, Affine Tensile/Compress/Shear
    double m[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    int remap = 0;  // 0 atoms only, 1 box only, 2 both
    int direction = 0;
    int shear_mode = 0;  // 0 simple, 1 pure
};
struct AK_step_rotate {  // Rotate; Mirror (normal in d, plane distance in angle, copy in remap)
    double cx = 0, cy = 0, cz = 0;
    double dx = 0, dy = 0, dz = 1;
    double angle = 0;  // degrees
    int remap = 0;
};
struct AK_step_alias {  // Alias Tensile/Compress (direction a, b, c), Alias Shear (slip plane)
    int direction = 0;
    double d1 = 0, d2 = 0, height = 0;
};
struct AK_step_changetype {  // Substitute; Extend (radius in rate, seed region in seed); Remove Duplicate (radius)
    int type = 1;
    double rate = 0;
    int seed = 0;
};
struct AK_step_disterb {  // Displace
    double dx = 0, dy = 0, dz = 0;
    int mode = 0;
    double distance = 0;
    int seed = 0;
};
struct AK_step_duplicate {
    int nx = 1, ny = 1, nz = 1;
};
struct AK_step_move {
    double x = 0, y = 0, z = 0;
    int unit = 0;
    int mode = 0;  // 0 distance, 1 destination
};
struct AK_step_sort {
    std::string slot = "x";  // the column, by name
    int mode = 0;            // 0 decreasing ("Up Down"), 1 increasing ("Down Up")
};

struct AK_step_item {
    int position = 0;
    int region = 0;
    std::string name;
    int kind = 0;
    int active = 1;
    AK_step_add add;
    AK_step_deform deform;
    AK_step_rotate rotate;
    AK_step_alias alias;
    AK_step_changetype changetype;
    AK_step_disterb disterb;
    AK_step_duplicate duplicate;
    AK_step_move move;
    AK_step_sort sort;
};

// The recipe (one per process, like the region library).
extern std::vector<AK_region_item> AKdata_region;
extern std::vector<AK_step_item> AKdata_step;
// The folder relative file names of the recipe are read from ("" for the
// working folder): the folder of the last recipe loaded.
extern std::string AK_recipe_folder;

// Empties the recipe and the region library and creates "ALL".
void AK_free_all();

// One field of a save-file line (integers and region indices in number).
struct AK_field {
    std::string text;
    double number = 0;
};

// New items at the end of the list. A region is named `name` exactly when
// `exact`, else the name base followed by the smallest free number; a step
// is named after its label likewise. `fields` are the kind's fields after
// the name (regions) or all of them (steps), region references given as
// region indices. Returns the new index, or -1 with a reason in message.
int AK_new_region(int kind, const std::string& name, bool exact, const std::vector<AK_field>& fields,
                  std::string* message = nullptr);
int AK_new_step(int kind, const std::vector<AK_field>& fields, std::string* message = nullptr);
// A new item with the kind's defaults (the creators of the Method menu).
int AK_new_region_default(int kind);
int AK_new_step_default(int kind);

// The fields of an item as its save-file line holds them (references as
// indices in number and names in text).
std::vector<AK_field> AK_region_fields(int index);
std::vector<AK_field> AK_step_fields(int index);

// Look-ups among live regions and "ALL" only: index or -1.
int AK_region_id(const std::string& name);
// Operands of a derived region (empty for shapes); AK_set_operand changes
// operand `which` (0 or 1). Refused (-1) when it would make a cycle.
std::vector<int> AK_region_operands(int index);
int AK_set_operand(int index, int which, int operand);

// The list: the item at a position, moving and deleting. Positions stay
// 1 ... L without gaps. Deleting a region binds every step and derived
// region that used it to "ALL".
int AK_last_position();
int AK_region_at(int position);  // index or -1
int AK_step_at(int position);    // index or -1
int AK_item_up(int position);    // 1 moved, 0 nothing to do
int AK_item_down(int position);
int AK_item_delete(int position);

// What one step did in a run.
struct AK_step_report {
    int number;      // 1-based among the steps, in list order
    int index;       // in AKdata_step
    bool ran;        // false: inactive
    bool failed;
    std::string message;  // why it failed
    int atoms;            // live atoms after it
};

// Runs the recipe on a copy of base into model: the active steps in list
// order, all of them (upto 0) or those up to step number `upto` (1-based
// among the steps, as the step's "@>"). Deleted atoms are then removed and,
// when ids collide, every atom is renumbered 1 ... N. Returns the number of
// failed steps; the text in message is "Operation Complete" or names them.
int AK_run(const QB_tools& base, QB_tools* model, int upto, std::vector<AK_step_report>& report,
           std::string& message);

// The preview of region `region` on model: the integer column "Select",
// 1 inside and 0 outside. Returns the number of atoms selected.
int AK_region_select(QB_tools* model, int region);

// The save file. AK_save writes the recipe (1; -1 the file could not be
// written, -2 a name or path that would not read back, with the reason).
// AK_load replaces the recipe only when the whole file is sound (1);
// otherwise -1 with "PATH:LINE: reason" (or the reason the file cannot be
// read), or -2 with "Not a atomkit save file!" when its first line is not
// "#Quelm_atomkit_save"; the recipe stays as it was.
int AK_save(const std::string& path, std::string& message);
int AK_load(const std::string& path, std::string& message);
// The same on text, for the file's own checks (path names the text in messages).
int AK_load_text(const std::string& text, const std::string& path, std::string& message);
std::string AK_save_text();
