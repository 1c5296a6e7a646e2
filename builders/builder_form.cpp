#include "builders/builder_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>

#include <clocale>
#include <utility>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "builders/crystal_source.h"
#include "qb/qb_formats.h"

namespace {

const char* const kDataFilter = "LAMMPS data file\t*.lmp";
const char* const kBusy = "-Building Model-Please Wait";
constexpr int kRow = 40;

// The form's widgets live in this group. When another form clears the Model
// tab, the form's binding slots are released and its widget globals cleared.
class BuilderForm : public Fl_Group {
public:
    BuilderForm(int x, int y, int w, int h, int owner, void (*forget)())
        : Fl_Group(x, y, w, h), owner_(owner), forget_(forget) {}
    ~BuilderForm() override {
        if (owner_ >= 0) QN_sendbit_free(owner_);
        if (forget_) forget_();
    }

private:
    int owner_;
    void (*forget_)();
};


// A button that runs one of the form's actions.
class ActionButton : public Fl_Button {
public:
    ActionButton(int x, int y, int w, int h, const char* label, void (*action)())
        : Fl_Button(x, y, w, h, label), action_(action) {
        callback(run);
    }

private:
    static void run(Fl_Widget* w, void*) {
        if (auto* b = static_cast<ActionButton*>(w); b->action_) b->action_();
    }
    void (*action_)();
};

const char* const kAxes[3] = {"x:", "y:", "z:"};

}  // namespace

// ------------------------------------------------------------------ fields

QN_field QN_int_field(const char* label, const std::string& key) {
    QN_field f;
    f.kind = QN_FIELD_INT;
    f.label = label;
    f.key = key;
    return f;
}

QN_field QN_double_field(const char* label, const std::string& key) {
    QN_field f = QN_int_field(label, key);
    f.kind = QN_FIELD_DOUBLE;
    return f;
}

QN_field QN_choice_field(const char* label, const std::string& key, std::vector<const char*> items) {
    QN_field f = QN_int_field(label, key);
    f.kind = QN_FIELD_CHOICE;
    f.items = std::move(items);
    return f;
}

QN_field QN_file_field(const char* button_label, const std::string& key, void (*pressed)(), Fl_Output** display,
                       Fl_Button** button) {
    QN_field f = QN_int_field(button_label, key);
    f.kind = QN_FIELD_FILE;
    f.pressed = pressed;
    f.display = display;
    f.button = button;
    return f;
}

QN_field QN_orientation_field(const std::string& prefix, Fl_Group** group) {
    QN_field f = QN_int_field("Orientation:", prefix);
    f.kind = QN_FIELD_ORIENTATION;
    f.group = group;
    return f;
}

QN_field QN_text_field(const char* label, const std::string& key) {
    QN_field f = QN_int_field(label, key);
    f.kind = QN_FIELD_TEXT;
    return f;
}

namespace {
const char* const kElementsTip =
    "Element of each atom type, in type order, e.g. Cu,Ni.\n"
    "Empty: the names the crystal files give (POSCAR species, extended XYZ species).";
}

QN_field QN_elements_field() { return QN_text_field("Elements:", QN_ELEMENTS_KEY).tip(kElementsTip); }

Fl_Input* QN_elements_input(int group, int x, int y, int w, int owner) {
    auto* in = new Fl_Input(x, y, w, 30, "Elements:");
    in->tooltip(kElementsTip);
    QN_get_char(in, group, QN_ELEMENTS_KEY, owner);
    return in;
}

std::vector<QN_store_key> QN_field_keys(const std::vector<QN_field>& fields) {
    std::vector<QN_store_key> keys;
    for (const QN_field& f : fields) switch (f.kind) {
            case QN_FIELD_INT:
            case QN_FIELD_CHOICE: keys.push_back({f.key, QN_KEY_INT}); break;
            case QN_FIELD_DOUBLE: keys.push_back({f.key, QN_KEY_DOUBLE}); break;
            case QN_FIELD_FILE:
            case QN_FIELD_TEXT: keys.push_back({f.key, QN_KEY_TEXT}); break;
            case QN_FIELD_ORIENTATION:
                for (const char* r : {"x", "y", "z"})
                    for (const char* c : {"x", "y", "z"}) keys.push_back({f.key + r + c, QN_KEY_DOUBLE});
                break;
        }
    return keys;
}

// ------------------------------------------------------------------ opening

QN_builder QN_make_builder(int group, int entry, int height, bool ask, int* cbid, int (*defaults)(), QN_build_fn build,
                           void (*preview)(), void (*export_model)(), void (*forget)()) {
    QN_builder b;
    b.group = group;
    b.entry = entry;
    b.height = height;
    b.ask = ask;
    b.cbid = cbid;
    b.defaults = defaults;
    b.build = std::move(build);
    b.preview = preview;
    b.export_model = export_model;
    b.forget = forget;
    return b;
}

int QN_builder_init(const QN_builder& b, const std::vector<QN_store_key>& keys, int count, char** entries,
                    int* slots) {
    if (b.ask && b.group >= 0 && b.group < static_cast<int>(Quelm_data.size()) &&
        Quelm_data[static_cast<size_t>(b.group)].bit_count > 0) {
        if (!QN_ask_form_change()) return -1;
    }
    if (b.cbid) {
        if (*b.cbid >= 0) QN_sendbit_free(*b.cbid);
        *b.cbid = QN_sendbit_id();
    }
    if (b.defaults) b.defaults();
    for (int i = 0; i < count && entries; i++) {
        if (!entries[i]) continue;
        const int slot = slots ? slots[i] : 0;
        for (const QN_store_key& k : keys) switch (k.kind) {
                case QN_KEY_INT: QN_reset_bit_int(b.group, k.label, entries[i], slot); break;
                case QN_KEY_DOUBLE: QN_reset_bit_double(b.group, k.label, entries[i], slot); break;
                case QN_KEY_TEXT: QN_reset_bit_char(b.group, k.label, entries[i], slot); break;
            }
    }
    return 0;
}

int QN_builder_begin(const QN_builder& b) {
    QN_model_form_shown(b.entry);
    QN_form_region()->clear();
    QN_form_region()->resize(0, QN_form_choice()->y() + QN_form_choice()->h() + 20, 320, b.height);
    QN_form_region()->begin();
    auto* form = new BuilderForm(QN_form_region()->x(), QN_form_region()->y(), 320, b.height, b.cbid ? *b.cbid : -1, b.forget);
    form->begin();
    return form->y();
}

void QN_builder_end() {
    if (Fl_Group* form = Fl_Group::current()) form->end();
    QN_form_region()->end();
    Fl_Group::current(nullptr);
    QN_show_model_tab();
    QN_flush_window();
}

int QN_builder_fields(const QN_builder& b, const std::vector<QN_field>& fields, int top) {
    const int owner = b.cbid ? *b.cbid : -1;
    int y = top + 10 - kRow;  // the first field starts a row
    for (const QN_field& f : fields) {
        if (!f.same_row) y += kRow;
        switch (f.kind) {
            case QN_FIELD_INT:
            case QN_FIELD_DOUBLE: {
                auto* v = new Fl_Value_Input(f.x, y, f.w, 30, f.label);
                if (f.tooltip) v->tooltip(f.tooltip);
                if (f.kind == QN_FIELD_INT)
                    QN_get_int_plus(v, b.group, f.key, f.after_change, owner);
                else
                    QN_get_double_plus(v, b.group, f.key, f.after_change, owner);
                if (f.inactive) v->deactivate();
                break;
            }
            case QN_FIELD_CHOICE: {
                auto* c = new Fl_Choice(f.x, y, f.w, 30, f.label);
                for (const char* item : f.items) c->add(item);
                if (f.tooltip) c->tooltip(f.tooltip);
                QN_choice_plus(c, b.group, f.key, f.after_change, owner);
                if (f.inactive) c->deactivate();
                break;
            }
            case QN_FIELD_FILE: {
                auto* out = new Fl_Output(20, y, 180, 30);
                out->value("No File");
                auto* button = new ActionButton(210, y, 100, 30, f.label, f.pressed);
                if (f.tooltip) button->tooltip(f.tooltip);
                if (f.inactive) {
                    out->deactivate();
                    button->deactivate();
                }
                if (f.display) *f.display = out;
                if (f.button) *f.button = button;
                break;
            }
            case QN_FIELD_TEXT: {
                auto* in = new Fl_Input(f.x, y, f.w, 30, f.label);
                if (f.tooltip) in->tooltip(f.tooltip);
                QN_get_char_plus(in, b.group, f.key, f.after_change, owner);
                if (f.inactive) in->deactivate();
                break;
            }
            case QN_FIELD_ORIENTATION: {
                auto* g = new Fl_Group(20, y + 20, 290, 130, f.label);
                g->box(FL_ENGRAVED_FRAME);
                g->align(FL_ALIGN_TOP_LEFT);
                const char* axes = "xyz";
                for (int r = 0; r < 3; r++)
                    for (int c = 0; c < 3; c++) {
                        auto* v = new Fl_Value_Input(50 + 85 * c, y + 30 + 40 * r, 70, 30, c == 0 ? kAxes[r] : nullptr);
                        QN_get_double(v, b.group, f.key + axes[r] + axes[c], owner);
                    }
                g->end();
                if (f.inactive) g->deactivate();
                if (f.group) *f.group = g;
                y += 160 - kRow;
                break;
            }
        }
    }
    return y + kRow;
}

void QN_builder_buttons(const QN_builder& b, int y) {
    new ActionButton(20, y, 135, 30, "Preview", b.preview);
    new ActionButton(175, y, 135, 30, "Export", b.export_model);
}

int QN_builder_open(const QN_builder& b, const std::vector<QN_field>& fields) {
    if (QN_builder_init(b, QN_field_keys(fields), 0, nullptr, nullptr) == -1) return -1;
    const int top = QN_builder_begin(b);
    QN_builder_buttons(b, QN_builder_fields(b, fields, top));
    QN_builder_end();
    return 0;
}

// -------------------------------------------------------------------- files

bool QN_builder_choose_open(std::string& chosen) {
    return QN_choose_file("Open file", Fl_Native_File_Chooser::BROWSE_FILE, kDataFilter, chosen);
}

bool QN_builder_choose_save(std::string& chosen) {
    return QN_choose_file("Save File As?", Fl_Native_File_Chooser::BROWSE_SAVE_FILE, kDataFilter, chosen);
}

int QN_builder_take_file(int group, const std::string& key, Fl_Output* display, const std::string& path) {
    if (QN_set_bit_char(group, key, path) != 1) return -1;
    std::string stored = path;
    QN_scan_char_single(group, key, stored);
    if (display) display->value(stored.c_str());
    QN_redraw_window();
    return 1;
}

void QN_builder_file(int group, const std::string& key, Fl_Output* display) {
    std::string chosen;
    if (QN_builder_choose_open(chosen)) QN_builder_take_file(group, key, display, chosen);
}

// ------------------------------------------------------------ preview, export

int QN_builder_preview(const QN_build_fn& build) {
    if (!QN_ask_model_change()) return 0;
    QB_tools model;
    QB_init(&model);
    std::string message;
    QN_wait(kBusy);
    const int result = build ? build(&model, message) : -1;
    QN_wait_end();
    if (result != 1) {
        QN_message_alert(message.c_str());
        return result < 0 ? result : -1;
    }
    Current_Model = std::move(model);
    QN_update_model();
    QN_message(message.c_str());
    return 1;
}

int QN_builder_export_path(const QN_build_fn& build, const std::string& chosen) {
    const std::string name = QN_export_name(chosen, 1);
    QB_tools model;
    QB_init(&model);
    std::string message;
    QN_wait(kBusy);
    const int result = build ? build(&model, message) : -1;
    const int written = result == 1 ? QB_dump_lmp(&model, name.c_str()) : 0;
    QN_wait_end();
    if (result != 1) {
        QN_message_alert(message.c_str());
        return result < 0 ? result : -1;
    }
    if (written != 1) {
        const std::string failure =
            "Saving file failed\n" + (written == -2 ? std::string("The box has no volume") : "Cannot write " + name);
        QN_message_alert(failure.c_str());
        return -1;
    }
    QN_message(("Model exported to " + name).c_str());
    return 1;
}

void QN_builder_export(const QN_build_fn& build) {
    std::string chosen;
    if (QN_builder_choose_save(chosen)) QN_builder_export_path(build, chosen);
}
