// The Polycrystal and Nanocomposite form in the Model tab: box, cut-off,
// seeding method and template files, the "Model Detail" window with the
// grain table, "Preview" into the view and "Export" to a LAMMPS data file.
// The grains, the keyword file and the generator are the computing core's
// (polycrystal_editor.h, polycrystal.h); this is the FLTK side.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "builders/cell_table.h"
#include "builders/polycrystal_editor.h"

class Fl_Value_Input;
class Fl_Group;
class Fl_Choice;
class Fl_Button;
class Fl_Output;
class Fl_Double_Window;
class Fl_Widget;

// The grain table: one row per grain, a value input per cell (column 0 the
// template number, columns 1 ... 12 the grain's values), coloured by the
// grain's template.
class QNPOLYTable : public QN_cell_table {
public:
    static constexpr int kColumns = 13;

    QNPOLYTable(int x, int y, int w, int h, const char* label = nullptr);

    // The grains with the box, cut-off, lock flag and template count.
    QN_poly_grains grain_data;
    const std::array<std::string, kColumns> titles = {"File", "x",  "y",  "z",  "xh", "xk", "xl",
                                                      "yh",   "yk", "yl", "zh", "zk", "zl"};

    // Each changes the grains and rebuilds the rows.
    void add_grain(double x, double y, double z, double xh, double xk, double xl, double yh, double yk, double yl,
                   double zh, double zk, double zl);
    void delete_grain(int first, int last);  // 0-based, inclusive
    void clear_grain(int first, int last);

    // Recreates every row's cell inputs from the grains, the lock flag
    // applied.
    void rebuild_rows();
    // The input of a cell, or null.
    Fl_Value_Input* cell(int row, int column) const;
    // Gives every cell of a row the colour of template `number`.
    void paint_row(int row, int number);

};

// Background of a cell for template number `number` (white for none).
Fl_Color QN_poly_cell_color(int number);

extern QNPOLYTable* QN_poly_grain_list;
extern int QNP_model_mode;  // 0 polycrystal, 1 nanocomposite
extern std::array<std::string, QN_POLY_FILES> QNP_file_list;

// The form.
extern Fl_Choice* QNP_model_method_choice;
extern Fl_Group* QN_grain_region;
extern Fl_Value_Input* QNP_rad_num;
extern Fl_Value_Input* QNP_rad_seed;
extern Fl_Choice* QNP_model_file_choice;  // nanocomposite only
extern Fl_Output* QNP_model_file_display[QN_POLY_FILES];
extern int QN_model_poly_cbid;

// The grain window.
extern Fl_Double_Window* poly_grain_window;
extern Fl_Value_Input* QNP_model_add_num;
extern Fl_Value_Input* QNP_model_del_mi;
extern Fl_Value_Input* QNP_model_del_ma;
extern Fl_Choice* QNP_model_fid_choice;
extern Fl_Value_Input* QNP_model_sum_mi;
extern Fl_Value_Input* QNP_model_sum_ma;

void QN_model_poly_crystal();
void QN_model_nanocomposite();
void QN_model_poly_crystal_core();
// Prepares store group 0 (asking first when a model is described there);
// -1 when the user keeps the current model, else 1. With count > 0 the
// entries replace "Model_Poly_file" in their slots.
int QN_model_poly_init(int count, char** entries, int* slots);
void QN_model_poly_free();

void QN_model_poly_setbx(Fl_Value_Input* w);
void QN_model_poly_setby(Fl_Value_Input* w);
void QN_model_poly_setbz(Fl_Value_Input* w);
void QN_model_poly_setcutoff(Fl_Value_Input* w);

// "Method:": rebuilds the method group.
void QN_model_poly_choice();
// The template count of a nanocomposite.
void QN_model_file_choice_cb(Fl_Choice* w);
// "Select" of template i + 1: the chooser, then QN_model_file_select_path.
void QN_model_file_select(Fl_Button* w, long i);
// Everything "Select" does once a file is chosen: test-reads it and, when it
// reads, makes it template i + 1. 1 when taken, else the failure was alerted.
int QN_model_file_select_path(int i, const std::string& path);

// "Number:" of the random methods.
void QN_model_poly_random_core();
void QN_model_poly_ranave_core();
// "More" and the grain window.
void QN_model_poly_random();
void QN_model_poly_show();
void QN_model_poly_add_random();
void QN_model_poly_delete();
void QN_model_poly_delete_all();
void QN_model_poly_select_file();
void QN_model_poly_clear();
void QN_model_poly_clear_all();
void QN_model_poly_crystal_save();
void QN_model_poly_crystal_save_exit();
void QN_model_poly_crystal_return();

// Every table cell: cell = 13 row + column.
void table_callback(Fl_Value_Input* w, long cell);

// Writes the generator's keyword file from the table; 1 written, else the
// failure was alerted.
int QN_model_poly_write(const char* path);
void QN_model_poly_preview_model();
void QN_model_poly_write_model();
// Everything "Export" does once a name is chosen; 1 when written.
int QN_model_poly_write_model_path(const std::string& chosen);

// Runs the generator on the keyword file `input`: mode 0 into the current
// model (replaced and handed to the view only when the build succeeds),
// mode 1 into the generator's data file `output`. Returns the generator's
// code (QN_POLY_BUILT or a failure, QN_POLY_WRITE_FAILED also when `output`
// could not be written) with its message; shows nothing but the busy dialog.
int QN_ic_xyz_poly(const char* input, const char* output, int mode, std::string& message);
// The same, alerting a failure.
int QN_ic_xyz_poly(const char* input, const char* output, int mode);
