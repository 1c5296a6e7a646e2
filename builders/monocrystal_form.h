// The Monocrystal form in the Model tab: structure, lattice parameters,
// repeat counts and orientation, "Preview" into the view and "Export" to a
// LAMMPS data file.
#pragma once

#include <string>

class Fl_Value_Input;
class Fl_Group;
class Fl_Choice;
class Fl_Widget;

extern Fl_Value_Input* QN_lattice_a;
extern Fl_Value_Input* QN_lattice_b;
extern Fl_Value_Input* QN_lattice_c;
extern Fl_Value_Input* QN_single_dp[3];  // repeat counts x, y, z
extern Fl_Group* QN_single_ort;
extern Fl_Choice* QN_single_structure_choice;
extern int QN_model_single_cbid;

void QN_model_single_crystal();
// Prepares store group 0 (asking first when a model exists); -1 when the
// user keeps the current model, else 0.
int QN_model_single_init(int count, char** names, int* flags);
void QN_model_single_free();
void QN_model_single_preview();
void QN_model_single_export();
// Everything "Export" does once a name is chosen; 1 when written.
int QN_model_single_export_path(const std::string& chosen);

// One callback per "Structure:" item, in menu order.
void QN_model_single_S1(Fl_Widget*, void*);
void QN_model_single_S2(Fl_Widget*, void*);
void QN_model_single_S3_1(Fl_Widget*, void*);
void QN_model_single_S3_2(Fl_Widget*, void*);
void QN_model_single_S4(Fl_Widget*, void*);
void QN_model_single_S5(Fl_Widget*, void*);
void QN_model_single_S6(Fl_Widget*, void*);
void QN_model_single_S7(Fl_Widget*, void*);
void QN_model_single_S8(Fl_Widget*, void*);
void QN_model_single_S9(Fl_Widget*, void*);
void QN_model_single_S10(Fl_Widget*, void*);
void QN_model_single_S11(Fl_Widget*, void*);
void QN_model_single_S12(Fl_Widget*, void*);
void QN_model_single_S13(Fl_Widget*, void*);
void QN_model_single_S14(Fl_Widget*, void*);
void QN_model_single_S15(Fl_Widget*, void*);
void QN_model_single_S16(Fl_Widget*, void*);
void QN_model_single_S17(Fl_Widget*, void*);
void QN_model_single_S18(Fl_Widget*, void*);
