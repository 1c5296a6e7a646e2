// What the builder forms of the Model tab share: opening a form with its
// store defaults, widgets laid out from a list of fields and bound to the
// store, file buttons, "Preview" into the view and "Export" to a LAMMPS data
// file. The nanostructure forms are little more than their field lists; the
// layer form uses the same opening, file choosers, preview and export.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "qb/qb_tools.h"

class Fl_Button;
class Fl_Group;
class Fl_Output;

// The core's build from the form's group: 1 and the "New model detected ..."
// text, or a negative code and the reason; the target untouched on failure.
using QN_build_fn = std::function<int(QB_tools* out, std::string& message)>;

// A stored value of a form, for the reset writers of a script.
enum QN_key_kind { QN_KEY_INT, QN_KEY_DOUBLE, QN_KEY_TEXT };
struct QN_store_key {
    std::string label;
    QN_key_kind kind;
};

// One widget (or one row part) of a form, top to bottom.
enum QN_field_kind {
    QN_FIELD_INT,          // value input bound with QN_get_int(_plus)
    QN_FIELD_DOUBLE,       // value input bound with QN_get_double(_plus)
    QN_FIELD_CHOICE,       // choice bound with QN_choice(_plus)
    QN_FIELD_FILE,         // file-name output with its chooser button
    QN_FIELD_ORIENTATION,  // "Orientation:" group, rows "x:" "y:" "z:" of three inputs
    QN_FIELD_TEXT,         // text input bound with QN_get_char_plus
};

struct QN_field {
    QN_field_kind kind = QN_FIELD_DOUBLE;
    const char* label = nullptr;  // widget label; the button's label of a file field
    std::string key;              // store label; the nine keys' prefix of an orientation
    const char* tooltip = nullptr;
    std::vector<const char*> items;    // choice items
    void (*after_change)() = nullptr;  // inputs and choices
    void (*pressed)() = nullptr;       // the file button
    int x = 140, w = 170;              // placement within the row
    bool same_row = false;             // on the row of the field before
    bool inactive = false;             // made inactive
    Fl_Output** display = nullptr;     // receives a file field's output
    Fl_Button** button = nullptr;      // receives a file field's button
    Fl_Group** group = nullptr;        // receives an orientation group

    // Chained settings.
    QN_field& at(int x_, int w_) {
        x = x_;
        w = w_;
        return *this;
    }
    QN_field& beside() {
        same_row = true;
        return *this;
    }
    QN_field& tip(const char* text) {
        tooltip = text;
        return *this;
    }
    QN_field& then(void (*action)()) {
        after_change = action;
        return *this;
    }
    QN_field& off() {
        inactive = true;
        return *this;
    }
};

QN_field QN_int_field(const char* label, const std::string& key);
QN_field QN_double_field(const char* label, const std::string& key);
QN_field QN_choice_field(const char* label, const std::string& key, std::vector<const char*> items);
QN_field QN_file_field(const char* button_label, const std::string& key, void (*pressed)(), Fl_Output** display,
                       Fl_Button** button = nullptr);
QN_field QN_orientation_field(const std::string& prefix, Fl_Group** group);
QN_field QN_text_field(const char* label, const std::string& key);
// The "Elements:" field every builder form ends with: one element symbol per
// type of the model it builds ("Cu,Ni"), stored under "M_elements".
QN_field QN_elements_field();
// The same input for a form laid out by hand, bound to "M_elements" of group
// under owner.
class Fl_Input;
Fl_Input* QN_elements_input(int group, int x, int y, int w, int owner);

// The store keys of a field list, in order (an orientation gives nine).
std::vector<QN_store_key> QN_field_keys(const std::vector<QN_field>& fields);

// One builder form.
struct QN_builder {
    int group = 0;
    int* cbid = nullptr;                // the form's widget-binding id
    std::function<int()> defaults;      // resets the group with its title and defaults
    QN_build_fn build;                  // what "Preview" and "Export" build
    bool ask = true;                    // asks and resets the window when the group holds entries
    int entry = 0;                      // its entry of "Select model:"
    int height = 0;                     // height of the form
    void (*preview)() = nullptr;        // the "Preview" and "Export" buttons
    void (*export_model)() = nullptr;
    void (*forget)() = nullptr;         // clears the form's widget globals when the widgets go
};

// A builder record of a form in `group`.
QN_builder QN_make_builder(int group, int entry, int height, bool ask, int* cbid, int (*defaults)(), QN_build_fn build,
                           void (*preview)(), void (*export_model)(), void (*forget)());

// Prepares the store: -1 when the user keeps the current model, else 0. A
// new binding id; the model-change question and a window reset first when
// the builder asks and the group holds entries; the defaults; then with
// count > 0 each (entries[i], slots[i]) through the reset writers of `keys`.
int QN_builder_init(const QN_builder& b, const std::vector<QN_store_key>& keys, int count, char** entries,
                    int* slots);

// Empties the Model tab and opens a form there: selects the builder's entry,
// places model_group 20 pixels below the choice (320 wide, the builder's
// height) and gives it a form group whose destruction releases the binding
// id and calls `forget`. The caller fills the group (it is current) and
// calls QN_builder_end. Returns the group's top.
int QN_builder_begin(const QN_builder& b);
// Closes the form group and shows the Model tab.
void QN_builder_end();
// Lays the fields out from `top` (40 pixels a row), bound to the builder's
// group under its id; returns the y below the last row.
int QN_builder_fields(const QN_builder& b, const std::vector<QN_field>& fields, int top);
// The "Preview" and "Export" buttons at y.
void QN_builder_buttons(const QN_builder& b, int y);
// Everything together: init, begin, fields, buttons, end. -1 when refused.
int QN_builder_open(const QN_builder& b, const std::vector<QN_field>& fields);

// The native "Open file" chooser for a LAMMPS data file; false on cancel.
bool QN_builder_choose_open(std::string& chosen);
// The native "Save File As?" chooser for a LAMMPS data file; false on cancel.
bool QN_builder_choose_save(std::string& chosen);

// A file button's choice: stores path under key, shows the stored name in
// display and redraws the window. 1 when stored.
int QN_builder_take_file(int group, const std::string& key, Fl_Output* display, const std::string& path);
// The chooser, then QN_builder_take_file.
void QN_builder_file(int group, const std::string& key, Fl_Output* display);

// "Preview": the model-change question, the busy dialog, the build into a
// private record; on success it becomes the current model, the view takes it
// and the build's text goes to the message area; on failure the reason is
// alerted and the current model stays. 1 built, 0 refused by the user, else
// the build's code.
int QN_builder_preview(const QN_build_fn& build);
// "Export" once a name is chosen: builds privately and writes the data file
// under the name with ".lmp" as needed. 1 written, else negative (alerted).
int QN_builder_export_path(const QN_build_fn& build, const std::string& chosen);
// The chooser, then QN_builder_export_path.
void QN_builder_export(const QN_build_fn& build);
