// The dislocation analyses' seven pages of the Analysis tab (DVA, STA, DDA,
// SVA, IDA, NYE, NTA), bound to the store group of the dislocation
// analyses, and their run on the current model.
#pragma once

#include <string>

class Fl_Button;
class Fl_Choice;
class Fl_Group;
class Fl_Output;
class Fl_Round_Button;
class Fl_Value_Input;

extern Fl_Group *analysis_DVA, *analysis_STA, *analysis_DDA, *analysis_SVA, *analysis_IDA, *analysis_NYE, *analysis_NTA;
extern Fl_Round_Button *active_DVA, *active_STA, *active_DDA, *active_SVA, *active_IDA, *active_NYE, *active_NTA;
extern Fl_Group *group_DVA, *group_STA, *group_DDA, *group_SVA, *group_IDA, *group_NYE, *group_NTA;
extern Fl_Choice* KAVIR_eliminate_cell[7];
extern Fl_Output* reference_outputs[6];
extern Fl_Output* DDA_dump;
extern Fl_Output* IDA_dump;
extern Fl_Choice* mapset_mode[2];     // NYE page, NTA page
extern Fl_Value_Input* mapset_value[2];
extern Fl_Value_Input* nye_bx[2];
extern Fl_Value_Input* nye_by[2];
extern Fl_Value_Input* nye_bz[2];
extern int QN_KAVIR_cbid;

// The page of dislocation analysis k (0 DVA … 6 NTA), and whether its
// "Active" button is on.
Fl_Group* QN_KAVIR_page(int k);
bool QN_KAVIR_active(int k);

// Takes a chosen reference file (stored, shown in all six outputs), and a
// chosen result file of DDA or IDA (".lmc" appended for the first filter
// unless the name ends in it).
void QN_KAVIR_take_reference(const std::string& path);
void QN_KAVIR_take_dump(bool dda, const std::string& path, int filter);

// Choosers of the "Select Model" and "Select" buttons.
void QN_KAVIR_get_reference();
void QN_DDA_get_dump();
void QN_IDA_get_dump();

// Mirrors between the two Nye pages and the seven Eliminate_cell choices.
void QN_KAVIR_update_eliminate();
void QN_mapset_mode_update();
void QN_mapset_value_update();
void QN_nye_bx_update();
void QN_nye_by_update();
void QN_nye_bz_update();

// Registers the store group and adds the seven pages to the open tab for a
// model of `types` atom types; forgets them before the tab is cleared.
void QN_KAVIR_build(int types);
void QN_KAVIR_forget();
// The switched-on dislocation analyses on the current model; the view is
// coloured by the result of analysis `shown` (-1: none of them is shown).
void QN_KAVIR_run(int shown);

// What the dislocation analyses add to the window: Analysis/KAVIR and its
// pages.
struct QN_subsystem;
QN_subsystem QN_dislocation_subsystem();
