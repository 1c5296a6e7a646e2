// The File menu's import and export of the current model and the numbered
// file series of an import (the sequence bar below the view): the window's
// own, which forms reach through QN_open_model and QN_save_model.
#pragma once

#include <string>
#include <vector>

#include "app/quelm_dialogs.h"
#include "qb/qb_tools.h"

class Fl_Value_Input;
class Fl_Slider;
class Fl_Box;
class Fl_Widget;

// The file sequence: full paths in numeric order and the index shown. An
// entry of a multi-frame file (a dump of many timesteps, an extended XYZ of
// many frames) is the file's path with its frame in QN_file_frames (0-based;
// -1 for a whole file of a numbered series); both lists have one entry per
// step of the bar.
extern std::vector<std::string> QN_file_list;
extern std::vector<int> QN_file_frames;
extern int QN_file_list_current;
extern Fl_Value_Input* QN_file_list_input;
extern Fl_Slider* QN_file_list_slider;
extern Fl_Box* QN_blank_Slider;
// Beside the slider: where the sequence stands, "Frame 3 of 120, step 6000"
// or "File 3 of 120: dump.6000".
extern Fl_Box* QN_file_list_label;
std::string QN_sequence_text();

// "Import": chooser, overwrite question, then QN_import_path.
void QN_get_file_model();
// Everything "Import" does once a file is chosen: builds the sequence of
// its series (the frames of a multi-frame file, or the numbered files of
// its folder) and reads it; 1 on success. An incomplete last frame is left
// out of the sequence and said in the message.
int QN_import_path(const std::string& chosen);
// "Export": chooser, then QN_export_path with the chosen filter.
void QN_save_file_model();
// Writes the current model as filter 0 dump, 1 data file, 2 POSCAR
// Cartesian, 3 POSCAR Direct, 4 extended XYZ; the name gets the filter's
// extension (a name ending in it and ".gz" is kept, and written gzipped). A
// POSCAR of a model whose types lack element names first asks for them
// (QN_text_hook); the names given stay with the model. 1 when written, 0
// when the user declined to overwrite or gave no names, -1 on failure.
int QN_export_path(const std::string& chosen, int filter);
// Reads path into the current model with messages; the model is replaced
// only when the read succeeds. 1 success, -1 reported failure, 0 otherwise.
int SC_get_file_private(const char* path);
// Reads path into system with failure alerts only.
int QB_get_file_private(QB_tools* system, const char* path);

void QN_file_list_add(const char* path);
void QN_file_list_free();
void QN_mufile_bar();
void QN_change_file1(Fl_Widget*, void*);
void QN_change_file2(Fl_Widget*, void*);

// The series pattern: every run of digits replaced by one '*'.
std::string fl_file_pattern(const std::string& path);
