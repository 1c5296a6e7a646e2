// The window's questions and file choosers, for every form: two-button and
// text questions (replaced by tests), the native choosers, the name an
// export writes, and the questions that guard the current model.
#pragma once

#include <string>

// The two-button question of the window: returns the index of the button
// chosen (0 for the first, also for Escape). Tests replace it.
extern int (*QN_choice_hook)(const char* question, const char* b0, const char* b1);
// The one-line text question of the window (fl_input): true and the text
// typed, false for Cancel. Tests replace it.
extern bool (*QN_text_hook)(const char* question, const char* initial, std::string& answer);

// The question for a secret a server asks (a password, a key's
// passphrase, a one-time code): the server's own prompt text shown, the
// answer typed hidden. True with the answer, false for Cancel. Tests
// replace it; the default is QN_ask_secret_dialog.
extern bool (*QN_secret_hook)(const std::string& prompt, std::string& answer);
bool QN_ask_secret_dialog(const std::string& prompt, std::string& answer);

// The native chooser of the given title and Fl_Native_File_Chooser type,
// with a filter (or none); false when nothing was chosen. The process keeps
// its locale, which some choosers change.
bool QN_choose_file(const char* title, int type, const char* filter, std::string& chosen, int* filter_value = nullptr);
// The "Save file" chooser with its filter; false when nothing was chosen.
bool QN_choose_file_to_save(const char* filter, std::string& chosen, int* filter_value = nullptr);
// The file kinds of "Export" (and of the builders' "Save"), in filter order:
// 0 dump, 1 data file, 2 POSCAR Cartesian, 3 POSCAR Direct, 4 extended XYZ.
extern const char* const QN_save_filters;
// The name an export writes for a chosen name and filter: the filter's
// extension appended unless the name ends in it (before a ".gz").
std::string QN_export_name(const std::string& chosen, int filter);

// A form about to replace a model that is shown asks first: 1 to go on (the
// sequence bar's file series is forgotten), 0 when the user keeps it.
int QN_ask_model_change();
// Opening another model form while a model is shown: the model stays until
// that form's Preview replaces it. 1 to open the form (always, without a
// model), 0 to keep the form shown.
int QN_ask_form_change();
