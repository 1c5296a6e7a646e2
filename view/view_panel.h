// The view's control panel in the "View" tab: colouring, trimming, atoms,
// box, background and axes ("Setting"), camera, light and snapshot
// ("Camera"), and the operations behind its widgets.
#pragma once

#include <string>

class Fl_Group;
class Fl_Choice;
class Fl_Value_Input;
class Fl_Round_Button;
class Fl_Button;

extern Fl_Group* QN_render_control_group1;
extern Fl_Group* QN_render_control_group2;
extern Fl_Group* render_control_region1;
extern Fl_Group* render_control_region2;
extern Fl_Round_Button* render_bar_flag;
extern Fl_Round_Button* render_col_flag;
extern Fl_Choice* bar_slot;
extern Fl_Choice* colr_slot;
extern Fl_Choice* colg_slot;
extern Fl_Choice* colb_slot;
extern Fl_Choice* delete_slot;
extern Fl_Choice* render_rr_choice;
extern Fl_Value_Input* bar_slot_min;
extern Fl_Value_Input* bar_slot_max;
extern Fl_Value_Input* render_rr_value;
// "Choose control:" of the View tab ("Setting", "Camera").
extern Fl_Choice* view_choice;
extern Fl_Value_Input *render_slice_A, *render_slice_B, *render_slice_C, *render_slice_D, *render_slice_E;
extern Fl_Round_Button* render_drawslice_flag;
extern Fl_Value_Input *render_delete_min, *render_delete_max;
extern Fl_Button* inspect_particle;
extern Fl_Value_Input *xmove_size, *ymove_size, *xrot_size, *yrot_size, *zrot_size, *zom_size, *pers_size,
    *radius_size, *chroma_size, *box_size;
extern Fl_Value_Input *render_width, *render_hight, *render_SSAA, *render_indistinct;

// Builds the panel in the View tab (deactivated until the first load).
void QN_render_build_panel();

void QN_render_control1();
void QN_render_control2();
void QN_render_get_file_flush();
void QN_Slice_update_cb();
void QN_render_radio_colbar();
void QN_render_bar_flush_callback();
void QN_render_check_file2(const char* name);
void QN_render_check_file3(const char* r, const char* g, const char* b);
void QN_render_reset_setting();
// Frames the current model in the view, keeping the rotation ("Fit", key F).
void QN_render_fit();
void QN_Select_mode_cb();

// "Save As" of the snapshot frame: checks the size, asks for the file.
void QN_snapshot_render();
// Writes the snapshot to the chosen name as filter 0 PNG, 1 JPEG, 2 BMP (the
// filter's extension is appended unless the name ends in it). Says in the
// message area where the picture went, or alerts that it failed.
int QN_snapshot_write(const std::string& chosen, int filter);

// Step operations of the buttons.
void QN_render_xmove_plus();
void QN_render_xmove_minus();
void QN_render_ymove_plus();
void QN_render_ymove_minus();
void QN_render_xrot_plus();
void QN_render_xrot_minus();
void QN_render_yrot_plus();
void QN_render_yrot_minus();
void QN_render_zrot_plus();
void QN_render_zrot_minus();
void QN_render_zom_plus();
void QN_render_zom_minus();
void QN_render_perspective_plus();
void QN_render_perspective_minus();
void QN_render_radius_plus();
void QN_render_radius_minus();
void QN_render_chroma_plus();
void QN_render_chroma_minus();
void QN_render_box_plus();
void QN_render_box_minus();

// Trimming.
void QN_render_slice_delete();
void QN_render_slice_recover();
void QN_render_data_delete();
void QN_render_data_recover();
void QN_render_inverse_delete();
void QN_render_recover_delete();
// A new model starts untrimmed: the slab outline is no longer shown (the
// slab's values stay for the next cut).
void QN_render_forget_trimming();
