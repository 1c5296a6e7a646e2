// The Bilayer and Multilayer form in the Model tab (two crystals stacked
// along an interface normal, strained to a common lateral period), and the
// result window of the lattice-mismatch scan whose selection goes to the
// crack wizard's group. The construction and the scan are the computing
// core's (layers.h); this is the FLTK side.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "builders/cell_table.h"
#include "builders/layers.h"
#include "qb/qb_tools.h"

class Fl_Button;
class Fl_Check_Button;
class Fl_Group;
class Fl_Output;
class Fl_Value_Input;
class Fl_Value_Output;
class Fl_Widget;

// 0 bilayer, 1 multilayer; set by the two entry functions.
extern int QND_model_mode;

// The two crystals as last read by "Select Model" (their box lengths feed
// the mismatch display and the Auto buttons).
extern QB_tools M_double_input1, M_double_input2;

extern Fl_Output* M_double_dispa;
extern Fl_Output* M_double_dispb;
extern Fl_Value_Input* M_double_a1;  // bottom counts along the lateral axes u, v
extern Fl_Value_Input* M_double_a2;
extern Fl_Value_Input* M_double_b1;  // upper counts
extern Fl_Value_Input* M_double_b2;
extern Fl_Value_Input* M_double_max1;  // "Max Periodicity" of the Auto buttons
extern Fl_Value_Input* M_double_max2;
extern Fl_Button* M_double_autob1;
extern Fl_Button* M_double_autob2;
extern Fl_Value_Output* M_double_mismatch1;
extern Fl_Value_Output* M_double_mismatch2;
extern Fl_Group* double_layer_control1;  // "Bottom:"
extern Fl_Group* double_layer_control2;  // "Upper:"
extern Fl_Group* double_layer_control3;  // periodicity, mismatch, gap or period, "Preview", "Export"
extern int QN_model_double_cbid;

void QN_model_double_layer();
void QN_model_multi_layer();
void QN_model_double_layer_core();
// Prepares store group 0 (asking first when it holds entries): -1 when the
// user keeps the current model, else 0. With count > 0 the entries then go
// through the reset writers of the form's keys.
int QN_model_double_init(int count, char** entries, int* slots);
void QN_model_double_free();

// The "Normal direction of interface" buttons (dir 0 x, 1 y, 2 z): relabels
// the lateral widgets, retargets the Auto buttons and stores the direction.
void QN_model_double_dir(Fl_Widget*, long dir);
// "Select Model" of the bottom and the upper crystal: the chooser, then the
// `_path` variant, which reads the crystal and takes it (1), or alerts why
// not and changes nothing (-1).
void M_double_extra_reading1();
void M_double_extra_reading2();
int M_double_extra_reading1_path(const std::string& path);
int M_double_extra_reading2_path(const std::string& path);
// The interface mismatch along u and v from the stored counts.
void M_double_update_mismatch();
// The Auto buttons; `axis` picks the box lengths used.
void M_double_auto1(Fl_Widget*, long axis);
void M_double_auto2(Fl_Widget*, long axis);
void M_double_extra_preview();
void M_double_extra_export();
// Everything "Export" does once a name is chosen; 1 when written.
int M_double_extra_export_path(const std::string& chosen);

// ---- the lattice-mismatch scan's result window -----------------------------

// One row per match: six value outputs and a tick box.
class QNTBTable : public QN_cell_table {
public:
    static constexpr int kColumns = 7;

    QNTBTable(int x, int y, int w, int h, const char* label = nullptr);

    std::vector<scaned_data> data;  // row r shows data[r]
    const std::array<std::string, kColumns> titles = {"Theta1", "Theta2",    "Boxy",     "Mismatchy",
                                                      "Boxz",   "Mismatchz", "Selection"};

    // Empties the table and makes `rows` rows (at most data.size()).
    void SetRow(int rows);
    Fl_Value_Output* cell(int row, int column) const;  // columns 0 ... 5
    Fl_Check_Button* tick(int row) const;

};

// The table of the last scan window.
extern QNTBTable* SCAN_DATA;

// Opens the "Model Detail" window, runs the scan with the limits set by
// QB_mismatch_set and QB_angle_set and fills the table; returns 0.
int QN_Crack_scancb(QB_tools* crystal1, QB_tools* crystal2);
// "Save": the ticked rows of the last table into the crack wizard's group.
void QN_tiltscan_save_selected();
// A row's tick box.
void select_cb(Fl_Check_Button* w, long row);
