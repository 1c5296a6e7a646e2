// The nanostructure forms in the Model tab: nanoparticle, nanowire,
// nanosheet and core-shell particle. Each cuts its object out of the crystal
// of a structure file; the geometry and the store groups are the computing
// core's (nanostructures.h), this is the FLTK side.
#pragma once

#include <string>

class Fl_Button;
class Fl_Group;
class Fl_Output;

// The chosen file names ("No File" until a file is chosen).
extern Fl_Output* M_cluster_dispa;
extern Fl_Output* M_wire_dispa;
extern Fl_Output* M_sheet_dispa;
extern Fl_Output* M_coreshell_dispa;  // shell
extern Fl_Output* M_coreshell_dispb;  // core
// The "Orientation:" groups, active for every shape but "Sphere".
extern Fl_Group* QN_cluster_matrix;
extern Fl_Group* QN_coreshell_matrix;
// "Select Core", active for a "Solid" core.
extern Fl_Button* QN_coreshell_cfile;

extern int QN_model_cluster_cbid;
extern int QN_model_wire_cbid;
extern int QN_model_sheet_cbid;
extern int QN_model_coreshell_cbid;

// Opening the forms.
void QN_model_cluster();
void QN_model_wire();
void QN_model_sheet();
void QN_model_coreshell();

// Prepare store group 0: -1 when the user keeps the current model, else 0
// (the nanoparticle form never asks). With count > 0 the entries then go
// through the reset writers of the form's keys.
int QN_model_cluster_init(int count, char** entries, int* slots);
int QN_model_wire_init(int count, char** entries, int* slots);
int QN_model_sheet_init(int count, char** entries, int* slots);
int QN_model_coreshell_init(int count, char** entries, int* slots);

void QN_model_cluster_free();
void QN_model_wire_free();
void QN_model_sheet_free();
void QN_model_coreshell_free();

// File buttons: the chooser, then the `_path` variant, which stores the
// name and shows it.
void M_cluster_reading1();
void M_wire_reading1();
void M_sheet_reading1();
void M_coreshell_reading1();  // shell
void M_coreshell_reading2();  // core
int M_cluster_reading1_path(const std::string& path);
int M_wire_reading1_path(const std::string& path);
int M_sheet_reading1_path(const std::string& path);
int M_coreshell_reading1_path(const std::string& path);
int M_coreshell_reading2_path(const std::string& path);

// "Preview" and "Export" (the `_path` variants: everything once a name is
// chosen; 1 when written).
void M_cluster_preview();
void M_wire_preview();
void M_sheet_preview();
void M_coreshell_preview();
void M_cluster_export();
void M_wire_export();
void M_sheet_export();
void M_coreshell_export();
int M_cluster_export_path(const std::string& chosen);
int M_wire_export_path(const std::string& chosen);
int M_sheet_export_path(const std::string& chosen);
int M_coreshell_export_path(const std::string& chosen);

// After-change actions of "Structure:" and "Core Mode:".
void QN_cluster_mode_callback();
void QN_coreshell_mode_callback();
void QN_coreshell_cmode_callback();
