#include "app/quelm_bind.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Shared_Image.H>
#include <FL/Fl_Value_Input.H>
#include <FL/filename.H>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>

#include "app/quelm_dialogs.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "qb/qb_progress.h"

std::vector<QN_send_bit> SEND_BIT;
int BIT_SUM = 0;
int BIT_ID = 0;

Fl_Double_Window* wait_window = nullptr;
Fl_Progress* wait_progress = nullptr;
int QN_wait_flag = 0;

namespace {

using action_fn = void (*)();

// ---- Finding the bound bit -------------------------------------------------

// Whether a value text carries `label` ("-label=..."), readable or not: an
// emptied text value ("-label=") still belongs to its widget.
bool carries_label(const Quelm_data_bit_LV2& bit, const std::string& label) {
    if (bit.values.empty()) return false;
    const std::string& text = bit.values[0];
    const size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    const size_t n = label.size();
    return text.size() >= start + n + 1 && text.compare(start, n, label) == 0 && text[start + n] == '=';
}

bool valid_group(int group) { return group >= 0 && static_cast<size_t>(group) < Quelm_data.size(); }

// Number of bits before `index` that carry `label`.
int labelled_before(int group, const std::string& label, int index) {
    const auto& bits = Quelm_data[group].bits;
    int seen = 0;
    for (int i = 0; i < index; i++)
        if (carries_label(bits[i], label)) seen++;
    return seen;
}

// Index of the `occurrence`-th bit carrying `label`, or -1.
int nth_labelled(int group, const std::string& label, int occurrence) {
    const auto& bits = Quelm_data[group].bits;
    int seen = 0;
    for (size_t i = 0; i < bits.size(); i++)
        if (carries_label(bits[i], label) && seen++ == occurrence) return static_cast<int>(i);
    return -1;
}

// The bit a binder binds: the store's own lookup, or else a value of that
// label that was emptied (a form binding its widgets again).
int find_for_binding(int group, const std::string& label, int occurrence) {
    const int index = Quelm_scan_dest_multi(group, label, occurrence);
    if (index >= 0 || !valid_group(group) || occurrence < 0) return index;
    return nth_labelled(group, label, occurrence);
}

[[noreturn]] void no_such_label(const std::string& label) {
    QN_message_alert("Programming ERROR : no such label");
    QN_message_alert(label.c_str());
    std::exit(1);
}

int bind_bit(int group, int occurrence, const std::string& label) {
    const int index = find_for_binding(group, label, occurrence);
    if (index < 0) no_such_label(label);
    return index;
}

// The bit a slot writes to now. The recorded index is used while that bit is
// still the slot's occurrence of its label; after a reset of the group it is
// looked up again. -1 when the group no longer holds the label.
int resolve(QN_send_bit& s) {
    if (!valid_group(s.group)) return -1;
    const auto& bits = Quelm_data[s.group].bits;
    if (s.bit >= 0 && static_cast<size_t>(s.bit) < bits.size() && carries_label(bits[s.bit], s.label) &&
        labelled_before(s.group, s.label, s.bit) == s.occurrence)
        return s.bit;
    const int index = nth_labelled(s.group, s.label, s.occurrence);
    if (index >= 0) s.bit = index;
    return index;
}

// ---- Reading the stored value ----------------------------------------------

const std::string* slot_text(int group, int index, size_t slot) {
    const auto& bit = Quelm_data[group].bits[index];
    return slot < bit.values.size() ? &bit.values[slot] : nullptr;
}

double stored_double(int group, int index, const std::string& label, size_t slot = 0) {
    double v = 0;
    const std::string* text = slot_text(group, index, slot);
    if (text) Quelm_scan_double_single(*text, label, v);
    return v;
}

int stored_int(int group, int index, const std::string& label) {
    int v = 0;
    const std::string* text = slot_text(group, index, 0);
    if (text) Quelm_scan_int_single(*text, label, v);
    return v;
}

int to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT_MAX;
    if (v <= -2147483648.0) return INT_MIN;
    return static_cast<int>(v);
}

// ---- Slots and callbacks ---------------------------------------------------

void* as_data(int slot) { return reinterpret_cast<void*>(static_cast<intptr_t>(slot)); }

int take_slot(int group, int index, const std::string& label, action_fn after_change, int owner, Fl_Widget* widget) {
    const int id = QN_get_bitid();
    QN_send_bit& s = SEND_BIT[id];
    s = QN_send_bit{};
    s.group = group;
    s.bit = index;
    s.label = label;
    s.after_change = after_change ? after_change : QN_extra_blank;
    s.owner = owner;
    s.occurrence = labelled_before(group, label, index);
    s.widget = widget;
    return id;
}

// The slot of a callback, when it still belongs to this widget; else -1.
int live_slot(Fl_Widget* w, void* data) {
    const intptr_t id = reinterpret_cast<intptr_t>(data);
    if (id < 0 || static_cast<size_t>(id) >= SEND_BIT.size()) return -1;
    const QN_send_bit& s = SEND_BIT[id];
    if (s.owner < 0) return -1;
    if (s.widget != w && !(s.loop_end && s.loop_end == w) && !(s.loop_step && s.loop_step == w)) return -1;
    return static_cast<int>(id);
}

// Empties the bound bit, lets `store` write it, then runs the action. The
// action may bind or release widgets (SEND_BIT may move), so nothing of the
// slot is touched after it.
template <class Store>
void update(int id, Store store) {
    QN_send_bit& s = SEND_BIT[id];
    const int index = resolve(s);
    if (index < 0) return;
    auto& bits = Quelm_data[s.group].bits;
    QN_delete_bit(bits, index);
    store(bits, index, s.label);
    const action_fn action = s.after_change ? s.after_change : QN_extra_blank;
    action();
}

void int_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    auto* input = static_cast<Fl_Value_Input*>(w);
    const int v = to_int(input->value());
    input->value(v);
    update(id, [v](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_int(bits, index, label, v, 0);
    });
}

void double_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    const double v = static_cast<Fl_Value_Input*>(w)->value();
    update(id, [v](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_double(bits, index, label, v, 0);
    });
}

void bool_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    const int v = static_cast<Fl_Button*>(w)->value() ? 1 : 0;
    update(id, [v](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_int(bits, index, label, v, 0);
    });
}

void char_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    auto* input = static_cast<Fl_Input*>(w);
    const std::string text(input->value(), static_cast<size_t>(input->size()));
    update(id, [&text](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_char(bits, index, label, text);
    });
}

void choice_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    const int v = static_cast<Fl_Choice*>(w)->value();
    update(id, [v](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_int(bits, index, label, v, 0);
    });
}

void pick_path(Fl_Widget* w, void* data, int directory) {
    if (live_slot(w, data) < 0 || !QN_path_picker) return;
    std::string path;
    if (!QN_path_picker(directory, path)) return;
    // The chooser ran the event loop: the form may have closed meanwhile.
    const int id = live_slot(w, data);
    if (id < 0) return;
    update(id, [&path](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        QN_save_bit_char(bits, index, label, path);
    });
}

void file_cb(Fl_Widget* w, void* data) { pick_path(w, data, 0); }
void dir_cb(Fl_Widget* w, void* data) { pick_path(w, data, 1); }

int native_picker(int directory, std::string& path) {
    return QN_choose_file("Open file",
                          directory ? Fl_Native_File_Chooser::BROWSE_SAVE_DIRECTORY : Fl_Native_File_Chooser::BROWSE_FILE,
                          nullptr, path)
               ? 1
               : 0;
}

// ---- Loops -----------------------------------------------------------------

// Orders and fits the three loop inputs; returns the values to store.
std::vector<double> normalise_loop(Fl_Value_Input* start_in, Fl_Value_Input* end_in, Fl_Value_Input* step_in) {
    double start = start_in->value(), end = end_in->value(), step = step_in->value();
    if (!std::isfinite(start)) start = 0;
    if (!std::isfinite(end)) end = start;
    if (std::isnan(step)) step = 0;
    if (start > end) std::swap(start, end);
    if (start == end)
        step = 0;
    else if (step == 0)
        step = end - start;

    std::vector<double> values;
    if (step > 0) {
        // A ratio a hair below a whole number (0.3 / 0.1) still counts it.
        // A range beyond the double range is divided piecewise.
        const double range = end - start;
        const bool finite = std::isfinite(range);
        const double ratio = finite ? range / step : end / step - start / step;
        const double whole = std::floor(ratio * (1 + 1e-9));
        const int n = !(whole < QN_LOOP_MAX_VALUES - 1) ? QN_LOOP_MAX_VALUES : std::max(2, static_cast<int>(whole) + 1);
        step = finite ? range / (n - 1) : end / (n - 1) - start / (n - 1);
        values.reserve(n);
        values.push_back(start);
        for (int i = 1; i < n - 1; i++) {
            const double t = static_cast<double>(i) / (n - 1);
            values.push_back(start * (1 - t) + end * t);
        }
        values.push_back(end);
    } else {
        step = 0;
        end = start;
        values.push_back(start);
    }
    start_in->value(start);
    end_in->value(end);
    step_in->value(step);
    return values;
}

void loop_cb(Fl_Widget* w, void* data) {
    const int id = live_slot(w, data);
    if (id < 0) return;
    const QN_send_bit& s = SEND_BIT[id];
    const std::vector<double> values = normalise_loop(s.loop_start, s.loop_end, s.loop_step);
    update(id, [&values](std::vector<Quelm_data_bit_LV2>& bits, int index, const std::string& label) {
        for (size_t i = 0; i < values.size(); i++) QN_save_bit_double(bits, index, label, values[i], static_cast<int>(i));
    });
}

// ---- Busy dialog -----------------------------------------------------------

// The busy dialog is not closed by the user (Escape, window button).
void ignore_close(Fl_Widget*, void*) {}

double clamp_percent(double p) {
    if (std::isnan(p)) return 0;
    return std::min(100.0, std::max(0.0, p));
}

void hook_begin(const char* message) { QN_wait(message); }
void hook_update(double percent) { QN_wait_update(percent); }
void hook_end() { QN_wait_end(); }

// ---- Images ----------------------------------------------------------------

// The image QN_load_img gave each widget (shared, or a scaled copy).
std::map<Fl_Widget*, Fl_Image*> given_images;

void free_image(Fl_Image* image) {
    if (auto* shared = dynamic_cast<Fl_Shared_Image*>(image))
        shared->release();
    else
        delete image;
}

void take_back_image(Fl_Widget* w) {
    const auto it = given_images.find(w);
    if (it == given_images.end()) return;
    Fl_Image* image = it->second;
    given_images.erase(it);
    // Someone else gave the widget another image since: leave both alone.
    if (w->image() != image) return;
    w->image(nullptr);
    free_image(image);
}

void show_symbol(Fl_Widget* w, const char* symbol) {
    w->label(symbol);
    w->image(nullptr);
    w->labelsize(64);
    w->labelcolor(52);
    w->redraw();
}

}  // namespace

int (*QN_path_picker)(int directory, std::string& path) = native_picker;

// ---- Owner keys and slots --------------------------------------------------

int QN_sendbit_id() { return BIT_ID++; }

void QN_sendbit_free(int owner) {
    for (auto& s : SEND_BIT)
        if (s.owner == owner) s.owner = -1;
}

int QN_get_bitid() {
    for (size_t i = 0; i < SEND_BIT.size(); i++)
        if (SEND_BIT[i].owner < 0) return static_cast<int>(i);
    SEND_BIT.emplace_back();
    BIT_SUM = static_cast<int>(SEND_BIT.size());
    return BIT_SUM - 1;
}

void QN_extra_blank() {}

// ---- Binders ---------------------------------------------------------------

int QN_get_int_full(Fl_Value_Input* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                    int owner) {
    const int index = bind_bit(group, occurrence, label);
    w->value(stored_int(group, index, label));
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(int_cb, as_data(id));
    return id;
}
int QN_get_int(Fl_Value_Input* w, int group, const std::string& label, int owner) {
    return QN_get_int_full(w, group, 0, label, QN_extra_blank, owner);
}
int QN_get_int_plus(Fl_Value_Input* w, int group, const std::string& label, void (*after_change)(), int owner) {
    return QN_get_int_full(w, group, 0, label, after_change, owner);
}

int QN_get_double_full(Fl_Value_Input* w, int group, int occurrence, const std::string& label,
                       void (*after_change)(), int owner) {
    const int index = bind_bit(group, occurrence, label);
    w->value(stored_double(group, index, label));
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(double_cb, as_data(id));
    return id;
}
int QN_get_double(Fl_Value_Input* w, int group, const std::string& label, int owner) {
    return QN_get_double_full(w, group, 0, label, QN_extra_blank, owner);
}
int QN_get_double_plus(Fl_Value_Input* w, int group, const std::string& label, void (*after_change)(),
                       int owner) {
    return QN_get_double_full(w, group, 0, label, after_change, owner);
}
int QN_get_double_multi(Fl_Value_Input* w, int group, int occurrence, const std::string& label, int owner) {
    return QN_get_double_full(w, group, occurrence, label, QN_extra_blank, owner);
}

int QN_get_bool_full(Fl_Button* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner) {
    (void)after_change;  // a button state change runs no action
    const int index = bind_bit(group, occurrence, label);
    w->value(stored_int(group, index, label) != 0 ? 1 : 0);
    const int id = take_slot(group, index, label, QN_extra_blank, owner, w);
    w->callback(bool_cb, as_data(id));
    return id;
}
int QN_get_bool(Fl_Button* w, int group, const std::string& label, int owner) {
    return QN_get_bool_full(w, group, 0, label, QN_extra_blank, owner);
}

int QN_get_char_full(Fl_Input* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner) {
    const int index = bind_bit(group, occurrence, label);
    std::string text;
    const std::string* stored = slot_text(group, index, 0);
    if (!stored || !Quelm_scan_char_single(*stored, label, text)) text = "NULL";
    w->value(text.data(), static_cast<int>(text.size()));
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(char_cb, as_data(id));
    return id;
}
int QN_get_char(Fl_Input* w, int group, const std::string& label, int owner) {
    return QN_get_char_full(w, group, 0, label, QN_extra_blank, owner);
}
int QN_get_char_plus(Fl_Input* w, int group, const std::string& label, void (*after_change)(), int owner) {
    return QN_get_char_full(w, group, 0, label, after_change, owner);
}

int QN_get_file_full(Fl_Widget* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                     int owner) {
    const int index = bind_bit(group, occurrence, label);
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(file_cb, as_data(id));
    return id;
}
int QN_get_file_plus(Fl_Widget* w, int group, const std::string& label, void (*after_change)(), int owner) {
    return QN_get_file_full(w, group, 0, label, after_change, owner);
}

int QN_get_dir_full(Fl_Widget* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                    int owner) {
    const int index = bind_bit(group, occurrence, label);
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(dir_cb, as_data(id));
    return id;
}
int QN_get_dir_plus(Fl_Widget* w, int group, const std::string& label, void (*after_change)(), int owner) {
    return QN_get_dir_full(w, group, 0, label, after_change, owner);
}

int QN_get_loop_full(Fl_Value_Input* start, Fl_Value_Input* end, Fl_Value_Input* step, int group, int occurrence,
                     const std::string& label, void (*after_change)(), int owner) {
    const int index = bind_bit(group, occurrence, label);
    start->tooltip("Initial value");
    end->tooltip("End value");
    step->tooltip("Step");
    const int count = Quelm_data[group].bits[index].value_count;
    const double first = stored_double(group, index, label, 0);
    if (count < 2) {
        start->value(first);
        end->value(first);
        step->value(0);
    } else {
        const double last = stored_double(group, index, label, static_cast<size_t>(count - 1));
        start->value(first);
        end->value(last);
        step->value((last - first) / (count - 1));
    }
    const int id = take_slot(group, index, label, after_change, owner, start);
    QN_send_bit& s = SEND_BIT[id];
    s.loop_start = start;
    s.loop_end = end;
    s.loop_step = step;
    start->callback(loop_cb, as_data(id));
    end->callback(loop_cb, as_data(id));
    step->callback(loop_cb, as_data(id));
    return id;
}
int QN_get_loop(Fl_Value_Input* start, Fl_Value_Input* end, Fl_Value_Input* step, int group,
                const std::string& label, int owner) {
    return QN_get_loop_full(start, end, step, group, 0, label, QN_extra_blank, owner);
}

int QN_choice_full(Fl_Choice* w, int group, int occurrence, const std::string& label, void (*after_change)(),
                   int owner) {
    const int index = bind_bit(group, occurrence, label);
    const int items = w->size() > 0 ? w->size() - 1 : 0;  // without the terminating item
    if (items > 0) w->value(std::min(items - 1, std::max(0, stored_int(group, index, label))));
    const int id = take_slot(group, index, label, after_change, owner, w);
    w->callback(choice_cb, as_data(id));
    return id;
}
int QN_choice(Fl_Choice* w, int group, const std::string& label, int owner) {
    return QN_choice_full(w, group, 0, label, QN_extra_blank, owner);
}
int QN_choice_plus(Fl_Choice* w, int group, const std::string& label, void (*after_change)(), int owner) {
    return QN_choice_full(w, group, 0, label, after_change, owner);
}
int QN_choice_multi(Fl_Choice* w, int group, int occurrence, const std::string& label, int owner) {
    return QN_choice_full(w, group, occurrence, label, QN_extra_blank, owner);
}

// ---- Busy dialog -----------------------------------------------------------

void QN_wait(const char* message) {
    // A form under construction must not adopt the dialog, and showing a
    // window would end its construction (FLTK clears the current group).
    Fl_Group* building = Fl_Group::current();
    if (QN_wait_flag <= 0 || !wait_window) {
        Fl_Group::current(nullptr);
        wait_window = new Fl_Double_Window(200, 100);
        wait_window->set_modal();
        wait_window->callback(ignore_close);
        auto* text = new Fl_Box(30, 20, 140, 30);
        text->box(FL_NO_BOX);
        text->copy_label(message ? message : "");
        wait_progress = new Fl_Progress(30, 50, 140, 30);
        wait_progress->minimum(0);
        wait_progress->maximum(100);
        wait_progress->value(0);
        wait_window->end();
        QN_wait_flag = 1;
    } else {
        QN_wait_flag++;
    }
    wait_window->show();
    wait_window->redraw();
    Fl::check();
    Fl_Group::current(building);
}

void QN_wait_update(double percent) {
    if (QN_wait_flag == 1 && wait_progress) {
        wait_progress->value(static_cast<float>(clamp_percent(percent)));
        wait_progress->redraw();
    }
    Fl::check();
}

void QN_wait_end() {
    if (QN_wait_flag <= 0) {
        QN_wait_flag = 0;
        return;
    }
    if (--QN_wait_flag > 0) return;
    if (wait_window) {
        wait_window->hide();
        delete wait_window;
    }
    wait_window = nullptr;
    wait_progress = nullptr;
}

void QN_connect_progress() {
    const QB_progress_hooks hooks = {hook_begin, hook_update, hook_end};
    QB_set_progress_hooks(&hooks);
}

// ---- Image labels ----------------------------------------------------------

void QN_load_img(const char* path, Fl_Widget* w, Fl_Shared_Image* previous) {
    (void)previous;  // only what this function gave w is ever released
    if (!w) return;
    take_back_image(w);
    static const bool registered = (fl_register_images(), true);
    (void)registered;

    if (path && fl_filename_isdir(path)) {
        show_symbol(w, "@fileopen");
        return;
    }
    Fl_Shared_Image* image = path && *path ? Fl_Shared_Image::get(path) : nullptr;
    if (image && (image->w() <= 0 || image->h() <= 0)) {
        image->release();
        image = nullptr;
    }
    if (!image) {
        show_symbol(w, "@filenew");
        return;
    }
    w->labelsize(14);
    w->labelcolor(0);
    w->label(nullptr);
    const int ww = std::max(1, w->w()), wh = std::max(1, w->h());
    Fl_Image* shown = image;
    if (image->w() > ww || image->h() > wh) {
        const float s = std::max(static_cast<float>(image->w()) / static_cast<float>(ww),
                                 static_cast<float>(image->h()) / static_cast<float>(wh));
        const int cw = std::max(1, static_cast<int>(static_cast<float>(image->w()) / s));
        const int ch = std::max(1, static_cast<int>(static_cast<float>(image->h()) / s));
        shown = image->copy(cw, ch);
        image->release();
    }
    w->image(shown);
    given_images[w] = shown;
    w->redraw();
}

void QN_release_img(Fl_Widget* w) {
    if (!w) return;
    take_back_image(w);
    w->redraw();
}

void QN_set_active(Fl_Widget* w, bool on) {
    if (!w) return;
    if (on)
        w->activate();
    else
        w->deactivate();
}
