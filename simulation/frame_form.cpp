// The windows of the configurable LAMMPS frames. Everything a frame computes
// (defaults, checks, the staged task folders, the transfers) lives in the
// core (frame_template, remote_tasks); this file only lays the widgets out,
// binds them to the frame's store group and shows the core's reports.
#include "simulation/frame_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Browser.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Tree_Item.H>
#include <FL/Fl_Value_Input.H>
#include <FL/fl_draw.H>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_resources.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "app/quelm_widgets.h"
#include "simulation/frame_template.h"
#include "simulation/remote_form.h"
#include "simulation/remote_tasks.h"
#include "simulation/ssh_session.h"

namespace fs = std::filesystem;

namespace {

struct FrameRecord;

// A field showing a path and the button that picks it into a store label:
// an output for the files, an input with a hint for the folders (typed or
// picked).
struct FileLink {
    FrameRecord* record = nullptr;
    std::string label;
    bool folder = false;
    Fl_Input* output = nullptr;
    Fl_Button* button = nullptr;
};

// A text entry shown in both the "Submit" and the "Download" tab.
struct InputLink {
    FrameRecord* record = nullptr;
    std::string label;
    Fl_Input* submit = nullptr;
    Fl_Input* download = nullptr;
};


struct FrameRecord {
    std::string name;
    std::string path;        // the template file of the last build
    std::string config_dir;  // its folder (holds the "In:" script)
    std::string title_seen;  // the group's title after the defaults were written
    int group = -1;
    int owner = -1;
    bool built = false;
    Fl_Double_Window* window = nullptr;
    QN_frame_template frame;

    Fl_Group* pot_group = nullptr;
    Fl_Choice* pot_type = nullptr;
    FileLink* pot1 = nullptr;
    FileLink* pot2 = nullptr;
    FileLink* pot_cus = nullptr;
    Fl_Group* mass_group = nullptr;
    Fl_Choice* type_sum = nullptr;
    Fl_Value_Input* mass[10] = {};
    Fl_Choice* element[10] = {};

    QN_download_filelist list;
    Fl_Tree* tree = nullptr;

    // Link and loop records of the current window (its callbacks point here).
    std::vector<std::unique_ptr<FileLink>> file_links;
    std::vector<std::unique_ptr<InputLink>> input_links;
    std::vector<std::unique_ptr<QN_loop_field>> loops;
};

std::vector<std::unique_ptr<FrameRecord>> records;
// Template paths given to the menu entries as user data (kept for the run).
std::list<std::string> menu_paths;

FrameRecord* find_record(const std::string& name) {
    for (auto& r : records)
        if (r->name == name) return r.get();
    return nullptr;
}

// A text as one label of Fl_Menu_::add (no level separator, no shortcut
// marker, no divider).
void add_item(Fl_Choice* c, const std::string& text) { c->add(QN_menu_escape(text).c_str(), 0, nullptr, nullptr, 0); }

std::string stored_text(int group, const char* label, const char* fallback) {
    return QN_stored_text(group, label, fallback);
}

// A stored setting as the submission and the downloads take it: the
// placeholders of the defaults ("No_file") and of older files are none.
std::string stored_setting(int group, const char* label) {
    return QN_shown_text(QN_stored_text(group, label, ""));
}

// A stored path as a file's output shows it.
std::string shown_file(const std::string& stored) {
    return QN_is_placeholder(stored) || stored.empty() ? std::string("No file") : stored;
}

// ---- Links -------------------------------------------------------------------

void file_link_cb(Fl_Widget*, void* data) {
    auto* link = static_cast<FileLink*>(data);
    if (!QN_path_picker) return;
    std::string path;
    if (!QN_path_picker(link->folder ? 1 : 0, path)) return;
    QN_set_bit_char(link->record->group, link->label, path);
    link->output->value(path.c_str());
}

// A folder typed into its field.
void folder_typed_cb(Fl_Widget* w, void* data) {
    auto* link = static_cast<FileLink*>(data);
    const char* v = static_cast<Fl_Input*>(w)->value();
    QN_set_bit_char(link->record->group, link->label, v ? v : "");
}

// The field (x, y, w) and its button (70 wide) of a path; folder: typed
// or picked, with a greyed hint while empty.
FileLink* file_link(FrameRecord& r, const char* label, int x, int y, int w, const char* output_label,
                    const char* button_label, bool folder, const char* hint = nullptr) {
    auto link = std::make_unique<FileLink>();
    link->record = &r;
    link->label = label;
    link->folder = folder;
    const std::string stored = stored_text(r.group, label, "No_file");
    if (folder) {
        auto* in = new QN_hint_input(x, y, w, 30, output_label);
        in->hint(hint ? hint : "folder");
        in->value(QN_shown_text(stored).c_str());
        in->when(FL_WHEN_CHANGED);
        in->callback(folder_typed_cb, link.get());
        link->output = in;
    } else {
        link->output = new Fl_Output(x, y, w, 30, output_label);
        link->output->value(shown_file(stored).c_str());
    }
    link->button = new Fl_Button(x + w, y, 70, 30, button_label);
    link->button->callback(file_link_cb, link.get());
    r.file_links.push_back(std::move(link));
    return r.file_links.back().get();
}

void input_link_cb(Fl_Widget* w, void* data) {
    auto* link = static_cast<InputLink*>(data);
    const std::string text = static_cast<Fl_Input*>(w)->value() ? static_cast<Fl_Input*>(w)->value() : "";
    QN_set_bit_char(link->record->group, link->label, text);
    if (link->submit != w) link->submit->value(text.c_str());
    if (link->download != w) link->download->value(text.c_str());
}

InputLink* input_link(FrameRecord& r, const char* label) {
    auto link = std::make_unique<InputLink>();
    link->record = &r;
    link->label = label;
    r.input_links.push_back(std::move(link));
    return r.input_links.back().get();
}

// The stored value shows; a placeholder ("No_file") as an empty field with
// its hint.
void bind_input(InputLink* link, Fl_Input* in, bool submit_tab) {
    (submit_tab ? link->submit : link->download) = in;
    in->value(QN_shown_text(stored_text(link->record->group, link->label.c_str(), "")).c_str());
    in->callback(input_link_cb, link);
}

// ---- Potential and atom types ------------------------------------------------

void place(FileLink* link, int x, int y, const char* button_label) {
    link->output->resize(x, y, 200, 30);
    link->button->resize(x + 200, y, 70, 30);
    link->button->label(button_label);
    link->output->show();
    link->button->show();
}

void hide(FileLink* link) {
    link->output->hide();
    link->button->hide();
}

void update_mass(FrameRecord& r) {
    const int n = r.type_sum->value();
    QN_set_bit_int(r.group, "S_elenum", n, 0);
    const int gx = r.mass_group->x();
    const int gy = r.pot_group->y() + r.pot_group->h() + 30;
    r.mass_group->resize(gx, gy, r.mass_group->w(), n < 0 ? 90 : n / 2 * 40 + 90);
    r.type_sum->position(r.type_sum->x(), gy + 10);
    for (int k = 0; k < 10; k++) {
        const int y = gy + (k / 2) * 40 + 50;
        r.mass[k]->position(r.mass[k]->x(), y);
        r.element[k]->position(r.element[k]->x(), y);
        if (k <= n) {
            r.mass[k]->show();
            r.element[k]->show();
        } else {
            r.mass[k]->hide();
            r.element[k]->hide();
        }
    }
    if (r.window) r.window->redraw();
}

void update_type(FrameRecord& r) {
    const int type = r.pot_type->value();
    QN_set_bit_int(r.group, "S_potype", type, 0);
    const int gx = r.pot_group->x(), gy = r.pot_group->y();
    hide(r.pot1);
    hide(r.pot2);
    hide(r.pot_cus);
    int h = 50;
    switch (type) {
        case QN_POT_EAM:
        case QN_POT_EAM_ALLOY:
        case QN_POT_EAM_FS:
        case QN_POT_TERSOFF:
            place(r.pot1, gx + 290, gy + 10, "Select");
            break;
        case QN_POT_MEAM:
            h = 90;
            place(r.pot1, gx + 290, gy + 10, "*.library");
            place(r.pot2, gx + 10, gy + 50, "*.meam");
            break;
        case QN_POT_CUSTOM:
            place(r.pot_cus, gx + 290, gy + 10, "in");
            break;
        case QN_POT_CUSTOM_1:
            h = 90;
            place(r.pot_cus, gx + 290, gy + 10, "in");
            place(r.pot1, gx + 10, gy + 50, "Attach");
            break;
        case QN_POT_CUSTOM_2:
            h = 90;
            place(r.pot_cus, gx + 290, gy + 10, "in");
            place(r.pot1, gx + 10, gy + 50, "Attach");
            place(r.pot2, gx + 290, gy + 50, "Attach");
            break;
        default:
            break;
    }
    r.pot_group->resize(gx, gy, r.pot_group->w(), h);
    update_mass(r);
}

void type_cb(Fl_Widget*, void* data) { update_type(*static_cast<FrameRecord*>(data)); }
void mass_cb(Fl_Widget*, void* data) { update_mass(*static_cast<FrameRecord*>(data)); }

// ---- Template fields ---------------------------------------------------------

// Cursor and open groups of the "Setting" or "Output" tab: fields in two
// columns (a label of up to kLabelW pixels, then the field of kFieldW).
constexpr int kColumn[2] = {20, 320};
constexpr int kLabelW = 115, kFieldW = 170;

struct TabCursor {
    Fl_Scroll* scroll = nullptr;
    int x = kColumn[0], y = 50;
    std::vector<Fl_Group*> open;  // template groups, innermost last
    Fl_Group* target() const { return open.empty() ? static_cast<Fl_Group*>(scroll) : open.back(); }
    bool left() const { return x == kColumn[0]; }
    void new_row() {
        if (!left()) {
            x = kColumn[0];
            y += 40;
        }
    }
    void next_field() {
        if (left()) {
            x = kColumn[1];
        } else {
            x = kColumn[0];
            y += 40;
        }
    }
    void close_group() {
        Fl_Group* g = open.back();
        open.pop_back();
        const int h = left() ? y - g->y() + 10 : y - g->y() + 50;
        g->size(g->w(), h > 0 ? h : 10);
        y += left() ? 20 : 60;
        x = kColumn[0];
    }
};

// The height a text takes wrapped into width w.
int wrapped_height(const std::string& text, int w) {
    fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
    int tw = w, th = 0;
    fl_measure(text.c_str(), tw, th, 0);
    return th > 0 ? th : FL_NORMAL_SIZE + 4;
}

void add_field(FrameRecord& r, TabCursor& c, const QN_frame_field& f) {
    Fl_Group* into = c.target();
    const std::string shown = QN_frame_display(f.text);
    const int fx = c.x + kLabelW, fy = c.y + 10;
    switch (f.kind) {
        case QN_frame_field::TIP: {
            c.new_row();
            // The text wrapped into the width of the tab or group, as high
            // as it needs.
            const bool top = into == c.scroll;
            const int x = top ? c.scroll->x() + 10 : into->x() + 10;
            const int w = into->w() - 20;
            const int h = wrapped_height(shown, w - 6) + 4;  // a left label has 3 pixels each side
            auto* b = new Fl_Box(x, c.y, w, h);
            b->copy_label(shown.c_str());
            b->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
            into->add(b);
            c.x = kColumn[0];
            c.y += h;
            return;
        }
        case QN_frame_field::GROUP: {
            c.new_row();
            auto* g = new Fl_Group(c.x - 10, c.y + 20, c.scroll->w() - 20, 80);
            g->end();
            g->copy_label(shown.c_str());
            QN_framed(g);
            into->add(g);
            c.open.push_back(g);
            c.x = kColumn[0];
            c.y += 20;
            return;
        }
        case QN_frame_field::GROUP_END:
            if (!c.open.empty()) c.close_group();
            return;
        case QN_frame_field::INT:
        case QN_frame_field::FLOAT: {
            auto* v = new Fl_Value_Input(fx, fy, kFieldW, 30);
            v->copy_label(shown.c_str());
            into->add(v);
            if (f.kind == QN_frame_field::INT) {
                v->step(1);
                QN_get_int(v, r.group, f.text, r.owner);
            } else {
                QN_get_double(v, r.group, f.text, r.owner);
            }
            break;
        }
        case QN_frame_field::CHOICE: {
            auto* ch = new Fl_Choice(fx, fy, kFieldW, 30);
            ch->copy_label(shown.c_str());
            for (const std::string& item : f.items) add_item(ch, QN_frame_display(item));
            into->add(ch);
            QN_choice(ch, r.group, f.text, r.owner);
            break;
        }
        case QN_frame_field::LOOP: {
            constexpr int light = 25, part = (kFieldW - light) / 3;
            auto loop = std::make_unique<QN_loop_field>();
            loop->single = new Fl_Value_Input(fx, fy, kFieldW - light, 30);
            loop->single->copy_label(shown.c_str());
            loop->start = new Fl_Value_Input(fx, fy, part, 30);
            loop->start->copy_label(shown.c_str());
            loop->start->tooltip("start");
            loop->end = new Fl_Value_Input(fx + part, fy, part, 30);
            loop->end->tooltip("end");
            loop->step = new Fl_Value_Input(fx + 2 * part, fy, part, 30);
            loop->step->tooltip("step");
            loop->toggle = new Fl_Light_Button(fx + kFieldW - light, fy, light, 30);
            loop->toggle->tooltip("Loop over start ... end by step");
            for (Fl_Widget* w : {static_cast<Fl_Widget*>(loop->single), static_cast<Fl_Widget*>(loop->start),
                                 static_cast<Fl_Widget*>(loop->end), static_cast<Fl_Widget*>(loop->step),
                                 static_cast<Fl_Widget*>(loop->toggle)})
                into->add(w);
            QN_get_double(loop->single, r.group, f.text, r.owner);
            QN_get_loop(loop->start, loop->end, loop->step, r.group, f.text, r.owner);
            loop->toggle->value(0);
            loop->toggle->callback(QN_loop_callback, loop.get());
            QN_loop_callback(loop->toggle, loop.get());
            r.loops.push_back(std::move(loop));
            break;
        }
        case QN_frame_field::REGION:
            return;
    }
    c.next_field();
}

void build_template_tabs(FrameRecord& r, Fl_Scroll* setting, Fl_Scroll* output) {
    TabCursor tabs[2];
    tabs[0].scroll = setting;
    tabs[1].scroll = output;
    int current = 0;
    Fl_Group* saved = Fl_Group::current();
    Fl_Group::current(nullptr);  // widgets go where the cursor says
    for (const QN_frame_field& f : r.frame.fields) {
        if (f.kind == QN_frame_field::REGION) {
            current = f.text == "Output" ? 1 : 0;
            continue;
        }
        add_field(r, tabs[current], f);
    }
    for (TabCursor& t : tabs)
        while (!t.open.empty()) t.close_group();
    Fl_Group::current(saved);
}

// ---- The server --------------------------------------------------------------

// The connection settings of the frame; false (reported) when they cannot
// be used.
bool server_options(const FrameRecord& r, QN_ssh_options& options) {
    return QN_server_options(stored_setting(r.group, "S_severip"), stored_setting(r.group, "S_severname"),
                             stored_text(r.group, "S_severpass", ""), options);
}

// The server folder, or empty (reported).
std::string server_folder(const FrameRecord& r) {
    const std::string folder = stored_setting(r.group, "S_severfold");
    if (folder.empty()) QN_message_alert("Please enter the Server Folder");
    return folder;
}

// A fresh private folder for staging, or empty.
std::string make_stage_folder() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "quelm_frame_XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return std::string();
    return std::string(buf.data());
}

void submit(FrameRecord& r) {
    QN_ssh_options options;
    if (!server_options(r, options)) return;
    std::string message;
    if (QN_frame_check(r.group, r.frame, r.config_dir, message) < 0) {
        QN_message_alert(message.c_str());
        return;
    }
    const std::string stage = make_stage_folder();
    if (stage.empty()) {
        QN_message_alert("Can not create a temporary folder for the run files");
        return;
    }
    const std::string folder = stored_setting(r.group, "S_severfold");
    const std::string command = stored_setting(r.group, "S_severcomm");
    const int tasks = QN_frame_stage(r.group, r.frame, r.config_dir, stage, false, message);
    if (tasks < 0) {
        std::error_code ec;
        fs::remove_all(stage, ec);
        QN_message_alert(message.c_str());
        return;
    }
    const std::string source = "frame " + r.name + " " + stored_text(r.group, "S_input", "");
    QN_submit_through_scheduler(r.group, options, folder, source, [&](bool overwrite, QN_queue_request* queue) {
        return QN_submit_tasks(options, stage, tasks, folder, command, overwrite, nullptr, queue);
    });
    std::error_code ec;
    fs::remove_all(stage, ec);
}

void request(FrameRecord& r) {
    QN_ssh_options options;
    if (!server_options(r, options)) return;
    const std::string folder = server_folder(r);
    if (folder.empty()) return;
    QN_tree_request(r.tree, r.list, options, folder);
}

// "Pack": the task folders written into the Save Path as Submit sends them
// (quelm-batch stage), earlier ones replaced when the user says so.
void pack(FrameRecord& r) {
    const std::string save = stored_setting(r.group, "S_path");
    if (save.empty()) {
        QN_message_alert("Please choose the Save Path first");
        return;
    }
    std::error_code ec;
    bool overwrite = false;
    if (fs::exists(fs::path(save) / "R1", ec)) {
        if (!QN_ask_yes(save + " already holds task folders (R1 ...).\nReplace them?")) {
            QN_message(("Nothing was packed: " + save + " holds the task folders of an earlier package").c_str());
            return;
        }
        overwrite = true;
    }
    std::string message;
    const int tasks = QN_frame_stage(r.group, r.frame, r.config_dir, save, overwrite, message);
    if (tasks < 0) {
        QN_message_alert(message.empty() ? "Packing failed" : message.c_str());
        return;
    }
    QN_message(("Packed " + std::to_string(tasks) + (tasks == 1 ? " task in " : " tasks in ") + save).c_str());
}

void download_selected(FrameRecord& r) {
    const std::vector<std::string> names = QN_tree_selected(r.tree);
    if (names.empty()) {
        QN_message_alert("Please select the files to download");
        return;
    }
    const std::string save = stored_setting(r.group, "S_savefold");
    std::error_code ec;
    if (save.empty() || !fs::is_directory(save, ec)) {
        QN_message_alert("Can not access save folder");
        return;
    }
    QN_ssh_options options;
    if (!server_options(r, options)) return;
    const std::string folder = server_folder(r);
    if (folder.empty()) return;
    const QN_download_report report = QN_download_and_report(names, options, folder, save);
    if (report.done.size() == 1) {
        const std::string local = (fs::path(save) / report.done.front()).string();
        if (QN_ask_yes("The file has been downloaded.\nWould you like to open it now?")) QN_open_text_viewer(local);
    }
}

void submit_cb(Fl_Widget*, void* data) { submit(*static_cast<FrameRecord*>(data)); }
void pack_cb(Fl_Widget*, void* data) { pack(*static_cast<FrameRecord*>(data)); }
void request_cb(Fl_Widget*, void* data) { request(*static_cast<FrameRecord*>(data)); }
void download_cb(Fl_Widget*, void* data) { download_selected(*static_cast<FrameRecord*>(data)); }

void tree_cb(Fl_Widget* w, void* data) {
    auto* tree = static_cast<Fl_Tree*>(w);
    if (tree->callback_reason() == FL_TREE_REASON_SELECTED && (Fl::event_state() & FL_ALT))
        download_selected(*static_cast<FrameRecord*>(data));
}

// ---- The window --------------------------------------------------------------

void build_model_tab(FrameRecord& r) {
    Fl_Scroll* s = QN_simulation_tab("Model");
    auto* g = new Fl_Group(10, 60, 600, 90, "Model Setting");
    QN_framed(g);
    auto* mode = new Fl_Choice(120, 70, 150, 30, "Model Mode");
    add_item(mode, "Select File");
    QN_choice(mode, r.group, "S_model", r.owner);
    file_link(r, "S_input", 20, 110, 440, nullptr, "Select", false);
    g->end();
    s->end();
}

void build_potential_tab(FrameRecord& r) {
    Fl_Scroll* s = QN_simulation_tab("Potential");
    r.pot_group = new Fl_Group(10, 60, 600, 90, "Potential Setting");
    QN_framed(r.pot_group);
    r.pot_type = new Fl_Choice(140, 70, 150, 30, "Potential Type");
    for (const char* name : QN_FRAME_POTENTIAL_NAMES) add_item(r.pot_type, name);
    r.pot1 = file_link(r, "S_pot1", 310, 70, 200, nullptr, "Select", false);
    r.pot2 = file_link(r, "S_pot2", 20, 110, 200, nullptr, "Meam", false);
    r.pot_cus = file_link(r, "S_pot_cus", 310, 70, 200, nullptr, "Custom", false);
    hide(r.pot2);
    hide(r.pot_cus);
    r.pot_group->end();

    r.mass_group = new Fl_Group(10, 180, 600, 90, "Mass Setting");
    QN_framed(r.mass_group);
    r.type_sum = new Fl_Choice(100, 190, 70, 30, "Type Sum:");
    r.type_sum->tooltip("Number of atom types of the model");
    for (int k = 1; k <= 10; k++) add_item(r.type_sum, std::to_string(k));
    for (int k = 0; k < 10; k++) {
        const int x = k % 2 == 0 ? 20 : 310;
        const int y = 230 + (k / 2) * 40;
        char label[16];
        std::snprintf(label, sizeof label, "%2d# Mass:", k + 1);
        r.mass[k] = new Fl_Value_Input(x + 70, y, 80, 30);
        r.mass[k]->copy_label(label);
        r.mass[k]->tooltip("Mass of this atom type (g/mol); 0: the element's standard atomic weight");
        QN_get_double_multi(r.mass[k], r.group, k, "S_mass", r.owner);
        r.element[k] = new Fl_Choice(x + 200, y, 60, 30, " Name");
        r.element[k]->tooltip("Element of this atom type");
        for (int e = 0; e < QN_ELEMENT_COUNT; e++) add_item(r.element[k], ELEMENT_NAME[e]);
        QN_choice_multi(r.element[k], r.group, k, "S_elemt", r.owner);
    }
    r.mass_group->end();
    s->end();

    const int type = QN_stored_int(r.group, "S_potype", 0);
    r.pot_type->value(type >= 0 && type < 8 ? type : 0);
    r.pot_type->callback(type_cb, &r);
    const int n = QN_stored_int(r.group, "S_elenum", 0);
    r.type_sum->value(n >= 0 && n < 10 ? n : 0);
    r.type_sum->callback(mass_cb, &r);
}

void build_submit_tab(FrameRecord& r, InputLink* links[4]) {
    Fl_Scroll* s = QN_simulation_tab("Submit");
    auto* g = new Fl_Group(10, 60, 600, 370, "Submit Setting");
    QN_framed(g);
    file_link(r, "S_script", 160, 70, 340, "Job Script:", "Select", false);
    file_link(r, "S_path", 160, 110, 340, "Save Path:", "Select", true, "local folder for the task folders");
    auto* pack = new Fl_Button(160, 150, 170, 30, "Pack");
    pack->tooltip("Write the task folders R1 ... into the Save Path, as Submit sends them");
    pack->callback(pack_cb, &r);
    const char* labels[4] = {"Server:", "User Name:", "Password:", "Server Folder:"};
    for (int k = 0; k < 4; k++) bind_input(links[k], QN_server_field(160, 190 + 40 * k, 360, labels[k]), true);
    Fl_Input* command = QN_server_field(160, 350, 360, "Submit Command:");
    QN_get_char(command, r.group, "S_severcomm", r.owner);
    if (QN_is_placeholder(command->value())) command->value("");
    auto* go = new Fl_Button(160, 390, 170, 30, "Submit");
    go->callback(submit_cb, &r);
    g->end();
    s->end();
}

void build_download_tab(FrameRecord& r, InputLink* links[4]) {
    Fl_Scroll* s = QN_simulation_tab("Download");
    auto* g = new Fl_Group(10, 60, 600, 290, "Download");
    QN_framed(g);
    const char* labels[4] = {"Server:", "User Name:", "Password:", "Server Folder:"};
    for (int k = 0; k < 4; k++) bind_input(links[k], QN_server_field(400, 70 + 40 * k, 190, labels[k]), false);
    r.tree = QN_download_tree(tree_cb, &r);
    r.tree->size(r.tree->w(), 270);
    auto* req = new Fl_Button(290, 230, 300, 30, "Request");
    req->callback(request_cb, &r);
    file_link(r, "S_savefold", 400, 270, 120, "Save Folder", "Select", true, "local folder");
    auto* selected = new Fl_Button(290, 310, 300, 30, "Download Selected");
    selected->callback(download_cb, &r);
    g->end();
    s->end();
}

void build_window(FrameRecord& r) {
    Fl_Group* saved = Fl_Group::current();
    Fl_Group::current(nullptr);
    r.window = new Fl_Double_Window(QN_SIM_WINDOW_W, QN_SIM_TABS_H);
    r.window->copy_label(("LAMMPS Simulation " + r.name).c_str());
    r.window->color(FL_WHITE);
    auto* tabs = new Fl_Tabs(0, 0, QN_SIM_WINDOW_W, QN_SIM_TABS_H);
    tabs->color(FL_WHITE);
    build_model_tab(r);
    build_potential_tab(r);
    Fl_Scroll* setting = QN_simulation_tab("Setting");
    setting->end();
    Fl_Scroll* output = QN_simulation_tab("Output");
    output->end();
    InputLink* links[4] = {input_link(r, "S_severip"), input_link(r, "S_severname"), input_link(r, "S_severpass"),
                           input_link(r, "S_severfold")};
    build_submit_tab(r, links);
    QN_scheduler_tab(r.group, r.owner);
    build_download_tab(r, links);
    tabs->end();
    // Enlarged, the pages take the room and the tab bar keeps its height.
    tabs->resizable(tabs->child(0));
    r.window->resizable(tabs);
    r.window->size_range(QN_SIM_WINDOW_W, QN_SIM_TABS_H);
    r.window->end();
    build_template_tabs(r, setting, output);
    update_type(r);
    Fl_Group::current(saved);
    r.built = true;
}

void menu_cb(Fl_Widget*, void* path) { QN_frame_UI(static_cast<const std::string*>(path)->c_str()); }

// True while the record's group still is the one its window was built on
// (a store reset drops it).
bool group_alive(const FrameRecord& r) {
    return r.group >= QN_FIXED_GROUPS && r.group < QN_MAX_BIT &&
           Quelm_data[static_cast<size_t>(r.group)].title == r.title_seen;
}

}  // namespace

void QN_frame_UI_setup(Fl_Menu_Bar* bar) {
    if (!bar) return;
    std::vector<std::string> paths;
    std::string message;
    // A missing list is told at start-up with the rest of the resource folder.
    if (QN_frame_read_list(QN_resource_path("config"), paths, message) < 0) return;
    for (const std::string& p : paths) {
        std::error_code ec;
        const std::string path = fs::absolute(p, ec).string();
        QN_frame_template frame;
        std::string why;
        if (QN_frame_read_template(ec ? p : path, frame, why) < 0) {
            std::fprintf(stderr, "%s\n", why.c_str());
            continue;
        }
        const std::string* data = nullptr;
        for (const std::string& known : menu_paths)
            if (known == (ec ? p : path)) data = &known;
        if (!data) {
            menu_paths.push_back(ec ? p : path);
            data = &menu_paths.back();
        }
        const std::string label = "Simulation/LAMMPS/" + QN_menu_escape(frame.name);
        bar->add(label.c_str(), 0, menu_cb, const_cast<std::string*>(data), 0);
    }
}

void QN_frame_UI(const char* path) {
    if (!path) return;
    QN_frame_template frame;
    std::string message;
    if (QN_frame_read_template(path, frame, message) < 0) {
        QN_message_alert(message.c_str());
        return;
    }
    FrameRecord* r = find_record(frame.name);
    if (!r) {
        records.push_back(std::make_unique<FrameRecord>());
        r = records.back().get();
        r->name = frame.name;
        r->group = QN_add_zone();
        r->title_seen = "\x01";  // nothing built on it yet
    }
    const bool alive = group_alive(*r);
    if (r->window && r->window->shown() && alive) {
        r->window->show();  // raises it
        return;
    }
    if (!alive && r->title_seen != "\x01") r->group = QN_add_zone();  // the store was reset meanwhile
    if (r->group < 0) {
        QN_message_alert("The parameter store is not ready");
        return;
    }
    if (r->window) {
        QN_sendbit_free(r->owner);
        r->window->hide();
        delete r->window;
        r->window = nullptr;
        r->tree = nullptr;
    }
    r->file_links.clear();
    r->input_links.clear();
    r->loops.clear();
    QNDF_init(&r->list);
    r->owner = QN_sendbit_id();
    r->path = path;
    r->config_dir = fs::path(path).parent_path().string();
    if (r->config_dir.empty()) r->config_dir = ".";
    r->frame = frame;
    for (const std::string& w : frame.warnings) std::fprintf(stderr, "%s: %s\n", path, w.c_str());
    if (QN_frame_write_defaults(r->group, r->frame) < 0) {
        QN_message_alert(("Can not set up the parameters of " + r->name).c_str());
        return;
    }
    r->title_seen = Quelm_data[static_cast<size_t>(r->group)].title;
    build_window(*r);
    r->window->show();
}

Fl_Double_Window* QN_frame_window(const std::string& name) {
    FrameRecord* r = find_record(name);
    return r ? r->window : nullptr;
}

Fl_Tree* QN_frame_tree(const std::string& name) {
    FrameRecord* r = find_record(name);
    return r ? r->tree : nullptr;
}

int QN_frame_group(const std::string& name) {
    FrameRecord* r = find_record(name);
    return r ? r->group : -1;
}
