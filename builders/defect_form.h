// The defect and alloy forms in the Model tab: solid solution, dislocation
// and crack. Each changes the crystal of a structure file; the displacement
// fields, the solute placement and the store groups are the computing
// core's (defects.h), this is the FLTK side.
#pragma once

#include <string>

class Fl_Output;
class Fl_Value_Input;

// The chosen file names ("No File" until a file is chosen).
extern Fl_Output* M_solute_dispa;
extern Fl_Output* M_dislocation_dispa;
extern Fl_Output* M_crack_dispa;
// The first input of the dislocation's second vector: "Slip Norm:" for a
// screw, "Burgers Dir:" for an edge dislocation.
extern Fl_Value_Input* QN_Burgers_Input;
// "Cutoff(Å):", active for "Interstitial Solution".
extern Fl_Value_Input* Interstitial_Solute_Cutoff;

extern int QN_model_solute_cbid;
extern int QN_model_dislocation_cbid;
extern int QN_model_crack_cbid;

// Opening the forms.
void QN_model_solute();
void QN_model_dislocation();
void QN_model_crack();

// Prepare store group 0: -1 when the user keeps the current model, else 0
// (the solution form never asks). With count > 0 the entries then go
// through the reset writers of the form's keys.
int QN_model_solute_init(int count, char** entries, int* slots);
int QN_model_dislocation_init(int count, char** entries, int* slots);
int QN_model_crack_init(int count, char** entries, int* slots);

void QN_model_solute_free();
void QN_model_dislocation_free();
void QN_model_crack_free();

// File buttons: the chooser, then the `_path` variant, which stores the
// name and shows it.
void M_solute_reading1();
void M_dislocation_reading1();
void M_crack_reading1();
int M_solute_reading1_path(const std::string& path);
int M_dislocation_reading1_path(const std::string& path);
int M_crack_reading1_path(const std::string& path);

// "Preview" and "Export" (the `_path` variants: everything once a name is
// chosen; 1 when written).
void M_solute_preview();
void M_dislocation_preview();
void M_crack_preview();
void M_solute_export();
void M_dislocation_export();
void M_crack_export();
int M_solute_export_path(const std::string& chosen);
int M_dislocation_export_path(const std::string& chosen);
int M_crack_export_path(const std::string& chosen);

// After-change actions of the "Mode:" choices.
void QN_dislocation_mode_callback();
void QN_solute_mode_callback();
