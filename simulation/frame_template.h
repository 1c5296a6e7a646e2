// Configurable simulation frames: the templates listed in
// "config/config_list.txt", their fields in a parameter-store group, and the
// LAMMPS input files a frame writes for each task of its loops ("in.variable",
// "in.potential", "in"), staged as the folders R1 … RT the server receives.
//
// Core only: no FLTK. Functions return 1 (or a count) on success and a
// negative code with the reason in `message` otherwise.
#pragma once

#include <string>
#include <vector>

// The 109 element symbols "H" … "Mt"; index k is atomic number k + 1.
extern const char* const ELEMENT_NAME[109];
constexpr int QN_ELEMENT_COUNT = 109;

// The potential types of the "Potential Type" choice, in its order.
enum QN_frame_potential {
    QN_POT_EAM = 0,         // pair_style eam (funcfl)
    QN_POT_EAM_ALLOY = 1,   // pair_style eam/alloy
    QN_POT_EAM_FS = 2,      // pair_style eam/fs
    QN_POT_TERSOFF = 3,     // pair_style tersoff
    QN_POT_MEAM = 4,        // pair_style meam (library + parameter file)
    QN_POT_CUSTOM = 5,      // the user's own pair lines ("S_pot_cus")
    QN_POT_CUSTOM_1 = 6,    // … and one attached file ("S_pot1")
    QN_POT_CUSTOM_2 = 7,    // … and two attached files ("S_pot1", "S_pot2")
};
extern const char* const QN_FRAME_POTENTIAL_NAMES[8];  // "EAM" … "Custom+2files"

// One directive of a template, in file order.
struct QN_frame_field {
    enum Kind { REGION, TIP, GROUP, GROUP_END, INT, FLOAT, LOOP, CHOICE };
    Kind kind = TIP;
    // REGION: the section ("Setting" or "Output"); TIP, GROUP: the text as
    // written; INT, FLOAT, LOOP, CHOICE: the store label (= the LAMMPS
    // variable name), as written.
    std::string text;
    double value = 0;                // default: INT truncated, CHOICE the item index
    std::vector<std::string> items;  // CHOICE items as written
};

struct QN_frame_template {
    std::string path;          // the template file
    std::string name;          // token 2 with every '_' shown as ' '
    std::string input_script;  // the "In:" file name (in the template's folder)
    std::vector<QN_frame_field> fields;
    // Things the grammar does not cover (unknown section, unbalanced
    // groups, a choice default outside its items …), one line each.
    std::vector<std::string> warnings;
};

// '_' shown as ' ' (labels, tips, titles, items, names).
std::string QN_frame_display(const std::string& text);

// Reads config_dir/config_list.txt: the paths config_dir/TOKEN of its
// whitespace-separated tokens, in order. The count, or negative when the
// list cannot be read (paths empty).
int QN_frame_read_list(const std::string& config_dir, std::vector<std::string>& paths, std::string& message);
// Parses a template file. 1, or negative when the file cannot be read or has
// no name token.
int QN_frame_read_template(const std::string& path, QN_frame_template& frame, std::string& message);

// The fixed labels of a frame's group (everything but the template's fields).
bool QN_frame_is_fixed_label(const std::string& label);

// Resets `group` (title: the frame's name) and writes every default in the
// store order: "S_model", "S_input", "S_pot1", "S_pot2", "S_pot_cus",
// "S_elenum", "S_potype", the ten "S_mass"/"S_elemt" pairs, the template's
// fields in file order, then "S_script", "S_path", "S_severip",
// "S_severfold", "S_severcomm", "S_severpass", "S_severname", "S_savefold".
// Text defaults are "No_file" ("NULL" for the potential files); the
// password's default is empty.
int QN_frame_write_defaults(int group, const QN_frame_template& frame);

// Checks what a run needs before anything is written or sent: the model
// file exists, is readable and has a name without blanks, and its type
// count equals "S_elenum" + 1; masses of those types > 0 and each type has
// an element; the potential type is one LAMMPS can run here and every file
// it needs exists; field labels are valid LAMMPS variable names (letters,
// digits, '_'); the "In:" script exists in config_dir. 1, or negative with
// every problem found, one per line.
int QN_frame_check(int group, const QN_frame_template& frame, const std::string& config_dir, std::string& message);

// Number of tasks: the product of the value counts of the template's fields.
int QN_frame_task_count(int group);
// The "in.variable" text of task t (0-based): "read_data NAME" with the
// model's file name, then "variable LABEL equal VALUE" for every field in
// store order; a loop takes slot (t mod (p × n)) / p, p the product of the
// counts of the loop fields before it (the first loop varies fastest).
std::string QN_frame_variable_text(int group, int task);
// Writes base1 … baseT (QN_frame_variable_text of each task); T + 1 or
// negative.
int QN_dump_variable(const std::string& base, int group, std::string& message);
// The "in.potential" text: the pair lines of the potential type, then
// "mass K VALUE" for the types 1 … "S_elenum" + 1.
std::string QN_frame_potential_text(int group, const std::string& config_dir);
int QN_frame_dump_potential(const std::string& path, int group, const std::string& config_dir, std::string& message);
// Local paths of the files the potential needs on the server (uploaded
// under their file names beside in.potential).
std::vector<std::string> QN_frame_potential_files(int group);

// Writes out_dir/R1 … out_dir/RT exactly as a submission creates them on the
// server: each holds the model file, the job script ("S_script", when one
// was chosen), the potential's files, "in.variable" of its task, "in" (the
// template's "In:" script) and "in.potential". out_dir is created when
// missing; an existing out_dir/R1 is refused unless overwrite. Runs
// QN_frame_check first. T, or negative.
int QN_frame_stage(int group, const QN_frame_template& frame, const std::string& config_dir, const std::string& out_dir,
                   bool overwrite, std::string& message);

// ---- The campaign command line ----------------------------------------------

// The table index (atomic number less one) of an element given by its symbol
// as written ("Cu" 28) or by that index ("28"); -1 for neither.
int QN_frame_element_index(const std::string& text);
// Sets "S_elemt" of types 1 … n from a list of n element symbols or indices
// ("Cu,Ni" or "Cu Ni") and "S_elenum" to n - 1. 1, or QN_REFUSED with the
// reason when the list is empty, too long or holds no element.
int QN_frame_set_elements(int group, const std::string& list, std::string& message);
// Gives every used type whose mass is 0 the standard atomic weight of its
// element; a mass above 0 stays. Only the first `named` types are given
// one (those whose element the user chose; -1: every type). One line per type given a mass ("type 1 Cu:
// mass 63.546 (standard atomic weight)") in notes. A type without a known
// element keeps mass 0 (the check refuses it, naming the type).
int QN_frame_default_masses(int group, std::vector<std::string>& notes, int named = -1);
// Reads "LABEL=START:END:STEP" (END included when the steps reach it) or
// "LABEL=V1,V2,…". 1, or QN_REFUSED with the reason.
int QN_frame_parse_loop(const std::string& text, std::string& label, std::vector<double>& values,
                        std::string& message);
// Stores the values of a loop field of the frame (replacing its values).
// QN_REFUSED naming the frame's loop fields when label is none of them.
int QN_frame_set_loop(int group, const QN_frame_template& frame, const std::string& label,
                      const std::vector<double>& values, std::string& message);
// The looped values of task t (0-based) as "temp=300 tdamp=0.1", the fields
// with more than one value in store order; empty without loops.
std::string QN_frame_task_values(int group, int task);
// The potential type of a file from its content: a funcfl .eam file
// (QN_POT_EAM, every table value there), a setfl file of the eam/alloy or
// eam/fs layout, or Tersoff entries (3 elements and 14 numbers each). 1 with
// the type, or QN_REFUSED with a message naming the choices when the file
// fits none of them or several. A one-element setfl file, which fits both
// layouts with the same numbers, is taken as eam/alloy.
int QN_frame_potential_kind(const std::string& path, int& type, std::string& message);
