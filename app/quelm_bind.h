// Widget binding: every editable widget of a form shows one value of the
// parameter store and writes each change back at once, then runs the form's
// after-change action. Also the nestable busy dialog that long operations
// show, and image files as widget labels.
//
// A binding lives in a slot of SEND_BIT under the owner key of its form
// (QN_sendbit_id); the form releases all its slots with QN_sendbit_free before
// its widgets are destroyed. A widget bound to a value carries the binding's
// callback with the slot index as user data.
//
// Binding to a label that its group does not hold is a programming error: it
// is reported with QN_message_alert and the program ends with status 1.
#pragma once

#include <string>
#include <vector>

class Fl_Widget;
class Fl_Value_Input;
class Fl_Button;
class Fl_Input;
class Fl_Choice;
class Fl_Double_Window;
class Fl_Progress;
class Fl_Shared_Image;

// A loop binding stores at most this many values; a smaller step is widened.
constexpr int QN_LOOP_MAX_VALUES = 10000;

struct QN_send_bit {
    int group = 0;
    // Index of the bound bit in its group. Checked before every write: when
    // the group was reset since (the bit is gone or now holds another value),
    // the bit is looked up again by label and occurrence.
    int bit = 0;
    std::string label;
    void (*after_change)() = nullptr;
    int owner = -1;  // owner key; -1: free slot
    Fl_Value_Input* loop_start = nullptr;
    Fl_Value_Input* loop_end = nullptr;
    Fl_Value_Input* loop_step = nullptr;
    // Which of the group's bits whose slot 0 carries `label` (a value that
    // was emptied still carries it) this one is, counted in group order.
    int occurrence = 0;
    // The bound widget (the start input for a loop). A callback whose widget
    // is not the one in its slot (the slot was released, or reused by
    // another binding) changes nothing.
    Fl_Widget* widget = nullptr;
};

extern std::vector<QN_send_bit> SEND_BIT;
extern int BIT_SUM;  // SEND_BIT.size()
extern int BIT_ID;   // next owner key

// Returns a new owner key (keys are never reused).
int QN_sendbit_id();
// Releases every slot held by `owner`.
void QN_sendbit_free(int owner);
// Index of the first free slot; the table grows by one when none is free.
int QN_get_bitid();

// The after-change action that does nothing.
void QN_extra_blank();

// Binders. Each finds bit number `occurrence` of `label` in `group`, shows its
// value (slot 0) in the widget, takes a slot for `owner` and installs the
// callback. They return the slot index. A null after_change does nothing.
//
// int: the value truncated toward zero (clamped to the int range, NaN 0); the
// widget is set to the stored integer.
int QN_get_int_full(Fl_Value_Input* w, int group, int occurrence, const std::string& label,
                    void (*after_change)(), int owner);
int QN_get_int(Fl_Value_Input* w, int group, const std::string& label, int owner);
int QN_get_int_plus(Fl_Value_Input* w, int group, const std::string& label, void (*after_change)(), int owner);

int QN_get_double_full(Fl_Value_Input* w, int group, int occurrence, const std::string& label,
                       void (*after_change)(), int owner);
int QN_get_double(Fl_Value_Input* w, int group, const std::string& label, int owner);
int QN_get_double_plus(Fl_Value_Input* w, int group, const std::string& label, void (*after_change)(),
                       int owner);
int QN_get_double_multi(Fl_Value_Input* w, int group, int occurrence, const std::string& label, int owner);

// bool (a round or check button): stores 0 or 1; runs no after-change action.
int QN_get_bool_full(Fl_Button* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner);
int QN_get_bool(Fl_Button* w, int group, const std::string& label, int owner);

// text: shows "NULL" when the stored text cannot be read (an emptied value).
int QN_get_char_full(Fl_Input* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner);
int QN_get_char(Fl_Input* w, int group, const std::string& label, int owner);
int QN_get_char_plus(Fl_Input* w, int group, const std::string& label, void (*after_change)(), int owner);

// file / directory (a button): activation asks QN_path_picker for a path and
// stores it as text; a cancel changes nothing and runs no action.
int QN_get_file_full(Fl_Widget* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner);
int QN_get_file_plus(Fl_Widget* w, int group, const std::string& label, void (*after_change)(), int owner);
int QN_get_dir_full(Fl_Widget* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                    int owner);
int QN_get_dir_plus(Fl_Widget* w, int group, const std::string& label, void (*after_change)(), int owner);

// loop: start, end and step inputs. A change orders start <= end, fits the
// step to the range (at most QN_LOOP_MAX_VALUES values) and stores the values
// start ... end in slots 0 ... n - 1; a step <= 0 stores start alone.
int QN_get_loop_full(Fl_Value_Input* start, Fl_Value_Input* end, Fl_Value_Input* step, int group, int occurrence,
                     const std::string& label, void (*after_change)(), int owner);
int QN_get_loop(Fl_Value_Input* start, Fl_Value_Input* end, Fl_Value_Input* step, int group,
                const std::string& label, int owner);

// choice: stores the chosen item's index, -1 when none. A stored index below
// 0 shows item 0, one past the items the last item.
int QN_choice_full(Fl_Choice* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                   int owner);
int QN_choice(Fl_Choice* w, int group, const std::string& label, int owner);
int QN_choice_plus(Fl_Choice* w, int group, const std::string& label, void (*after_change)(), int owner);
int QN_choice_multi(Fl_Choice* w, int group, int occurrence, const std::string& label, int owner);

// Asks the user for a path: an existing file ("Open file"), or with
// directory != 0 a folder that may be created. Returns 1 and the path, or 0
// on cancel. The default uses the native chooser; tests replace it.
extern int (*QN_path_picker)(int directory, std::string& path);

// ---- Busy dialog -----------------------------------------------------------
// Exists from the outermost QN_wait to its QN_wait_end (then it is deleted).
// Only the outermost level's message and progress are shown. No call blocks:
// pending events are handled with Fl::check().
extern Fl_Double_Window* wait_window;
extern Fl_Progress* wait_progress;
extern int QN_wait_flag;  // nesting depth, 0 when closed

void QN_wait(const char* message);
// Progress of the outermost level, 0 ... 100 (clamped; NaN 0).
void QN_wait_update(double percent);
// Closes one level; ignored when no dialog is open.
void QN_wait_end();
// Makes the core's progress reports (QB_progress_*) open, advance and close
// the busy dialog.
void QN_connect_progress();

// ---- Image labels ----------------------------------------------------------
// Shows the image file `path` on `w`, scaled down to fit when larger (a copy
// of at least 1 x 1 pixels). A directory shows "@fileopen", a file that does
// not load "@filenew". The image this function gave `w` earlier, if `w` still
// shows it, is released (shared) or deleted (scaled copy) first; `previous`
// is accepted for callers but nothing else is ever released.
void QN_load_img(const char* path, Fl_Widget* w, Fl_Shared_Image* previous);
// Takes back the image QN_load_img gave `w` (if `w` still shows it) and
// leaves `w` without image. For widgets about to be destroyed.
void QN_release_img(Fl_Widget* w);

// Activates or deactivates a widget.
void QN_set_active(Fl_Widget* w, bool on);
