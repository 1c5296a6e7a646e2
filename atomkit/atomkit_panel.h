// The Atomkit panel in the Model tab: the recipe's list (or its stacked
// forms), the Method menu that adds regions and steps, the forms of every
// region and step kind, running the recipe on the base model, the region
// preview, and saving and loading recipes. The recipe itself lives in the
// computing core (atomkit/atomkit.h); the forms read it and write straight
// into its records (steps) and into the region library's records (regions).
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

class Fl_Widget;
class Fl_Group;
class Fl_Choice;
class Fl_Button;
class Fl_Output;
class Fl_Hold_Browser;
class Fl_Menu_Button;

// The widgets of one item, kept parallel to AKdata_region / AKdata_step
// (entry 0 of the regions, "ALL", has none).
struct AK_item_form {
    Fl_Group* shown_group = nullptr;  // full_group or collapsed_group
    int spacing = 0;                  // gap above the form: 30 full, 10 collapsed
    Fl_Group* full_group = nullptr;
    Fl_Group* collapsed_group = nullptr;
    Fl_Choice* region_choice = nullptr;  // steps: "Region"
    Fl_Output* region_name = nullptr;    // regions: "Region", the name
    Fl_Output* collapsed_name = nullptr;
    // Buttons of the full form [0] and of the collapsed form [1].
    Fl_Button* up[2] = {nullptr, nullptr};
    Fl_Button* down[2] = {nullptr, nullptr};
    Fl_Button* remove[2] = {nullptr, nullptr};
    Fl_Button* run[2] = {nullptr, nullptr};
    Fl_Button* hide = nullptr;  // "-"
    Fl_Button* show = nullptr;  // "+"
    // The kind's own fields, in the order the form makes them.
    std::vector<Fl_Widget*> fields;
};
extern std::vector<AK_item_form> AK_region_forms;
extern std::vector<AK_item_form> AK_step_forms;

// A choice that names a region: a step's "Region", Extend's "Reference", a
// derived region's operands. It lists "ALL", the regions placed before its
// owner in list order, and the region it is bound to wherever that stands.
struct AK_region_selector {
    Fl_Choice* choice = nullptr;
    std::string key;  // "Step_" or "Region_" and the owner's name
    bool step = true;  // the owner is a step (else a derived region)
    int owner = 0;     // the owner's index
    int which = 0;     // step: 0 its region, 1 Extend's seed; region: operand 0 or 1
    std::vector<int> listed;  // the region index of each entry
};
extern std::vector<AK_region_selector> Select_region;

// A choice that names a column of the base model: Expression's and Sort's.
struct AK_slot_selector {
    Fl_Choice* choice = nullptr;
    bool step = true;  // Sort (else an Expression region)
    int owner = 0;
    std::vector<std::string> listed;
};
extern std::vector<AK_slot_selector> Select_slot;

// The model every run starts from.
extern QB_tools backup_model;

extern int AK_uimode;            // 0 list mode, 1 stacked mode
extern int AK_browser_position;  // position of the item chosen in the list, 0 none
extern Fl_Group* AK_function_bgroup;
extern Fl_Hold_Browser* AK_function_browser;
extern Fl_Button* AK_function_bup;
extern Fl_Button* AK_function_bdown;
extern Fl_Button* AK_function_bdelete;
extern Fl_Button* AK_function_brun;
extern Fl_Group* AK_run_group;
extern Fl_Menu_Button* AK_method_menu;

// Questions with three buttons (the index of the button chosen, 0 also for
// Escape). Tests replace it.
extern int (*AK_choice3_hook)(const char* question, const char* b0, const char* b1, const char* b2);

// Opens Atomkit with an empty recipe on the current model.
void AtomKit_main();
// What Atomkit adds to the window: its form and the Model/Atomkit menu of
// regions and steps.
struct QN_subsystem;
QN_subsystem QN_atomkit_subsystem();
// A Model menu command: offers to switch to Atomkit when another form is
// shown, then adds the item.
void QN_AK_menu(void (*create)());
// The base model becomes a copy of the current model (when it has atoms).
void AK_backup_model();
void AK_update_Select_slot();
void AK_update_Select_region();

// Layout and the list.
void AK_shuffle();
void AK_UI_mode();
void AK_function_browser_cb(Fl_Widget*, void*);
void AK_function_browser_up();
void AK_function_browser_down();
void AK_function_browser_delete();
void AK_function_browser_active();
void AK_function_browser_run();
// The buttons of an item's forms (the long is the item's index).
void AK_step_up(Fl_Widget*, long step);
void AK_step_down(Fl_Widget*, long step);
void AK_step_delete(Fl_Widget*, long step);
void AK_step_hide(Fl_Widget*, long step);
void AK_step_show(Fl_Widget*, long step);
void AK_region_up(Fl_Widget*, long region);
void AK_region_down(Fl_Widget*, long region);
void AK_region_delete(Fl_Widget*, long region);
void AK_region_hide(Fl_Widget*, long region);
void AK_region_show(Fl_Widget*, long region);
// A step's "Region" choice.
void AK_binding_step_region(Fl_Widget* choice, long step);

// Running. AK_step_run runs the recipe up to that step, AK_step_run_all all
// of it; AK_region_run previews a region on the current model (column
// "Select"); AK_step_run_reset puts the base model back; AK_restart starts
// again with an empty recipe.
void AK_step_run(Fl_Widget*, long step);
void AK_step_run_all();
void AK_step_run_reset();
void AK_region_run(Fl_Widget*, long region);
void AK_restart();

// The recipe file. AK_save and AK_load ask for the file; the _path variants
// do the rest (the name gets ".txt" unless it is longer than 4 characters
// and ends in it) and return the core's code.
void AK_save();
void AK_load();
std::string AK_save_name(const std::string& chosen);
int AK_save_path(const std::string& chosen);
int AK_load_path(const std::string& path);

// Fill Atoms' "Select": the file of step `step`.
void AK_add_atom_select(Fl_Widget*, long step);
void AK_add_atom_select_path(int step, const std::string& path);

// The Polyhedron form's layout by its mode and surfaces.
void AK_polyhedron_region_redraw(int region);

// Creators of the Method menu: a new item with the kind's defaults at the
// end of the list.
void AK_cuboid_region();
void AK_cylinder_region();
void AK_cone_region();
void AK_polyhedron_region();
void AK_prism_region();
void AK_plane_region();
void AK_sphere_region();
void AK_expression_region();
void AK_inbox_region();
void AK_math_and_region();
void AK_math_or_region();
void AK_math_comple_region();
void AK_math_neither_region();
void AK_math_not_region();
void AK_deform_region();
void AK_move_region();
void AK_periodic_region();
void AK_rotate_region();

void AK_add_single_step();
void AK_add_atom_step();
void AK_create_box_step();
void AK_deform_box_step();
void AK_delete_atom_step();
void AK_disturb_atom_step();
void AK_duplicate_box_step();
void AK_extend_atom_step();
void AK_mirror_atom_step();
void AK_move_atom_step();
void AK_separate_atom_step();
void AK_changetype_atom_random_step();
void AK_rotate_box_step();
void AK_sort_atom_step();
void AK_move_box0_step();
void AK_wrap_atom_step();
void AK_tensile_box_step();
void AK_compress_box_step();
void AK_affine_shear_box_step();
void AK_alias_tensile_step();
void AK_alias_compress_step();
void AK_alias_box_step();

// The Model menu's commands: QN_AK_menu with the kind's creator.
void AK_cuboid_region_menu();
void AK_cylinder_region_menu();
void AK_cone_region_menu();
void AK_polyhedron_region_menu();
void AK_prism_region_menu();
void AK_plane_region_menu();
void AK_sphere_region_menu();
void AK_expression_region_menu();
void AK_inbox_region_menu();
void AK_math_and_region_menu();
void AK_math_or_region_menu();
void AK_math_comple_region_menu();
void AK_math_neither_region_menu();
void AK_math_not_region_menu();
void AK_deform_region_menu();
void AK_move_region_menu();
void AK_periodic_region_menu();
void AK_rotate_region_menu();

void AK_add_single_step_menu();
void AK_add_atom_step_menu();
void AK_create_box_step_menu();
void AK_deform_box_step_menu();
void AK_delete_atom_step_menu();
void AK_disturb_atom_step_menu();
void AK_duplicate_box_step_menu();
void AK_extend_atom_step_menu();
void AK_mirror_atom_step_menu();
void AK_move_atom_step_menu();
void AK_separate_atom_step_menu();
void AK_changetype_atom_random_step_menu();
void AK_rotate_box_step_menu();
void AK_sort_atom_step_menu();
void AK_move_box0_step_menu();
void AK_wrap_atom_step_menu();
void AK_tensile_box_step_menu();
void AK_compress_box_step_menu();
void AK_affine_shear_box_step_menu();
void AK_alias_tensile_step_menu();
void AK_alias_compress_step_menu();
void AK_alias_box_step_menu();
