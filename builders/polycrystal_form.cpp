#include "builders/polycrystal_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "builders/builder_form.h"
#include "builders/crystal_source.h"
#include "builders/polycrystal.h"
#include "qb/qb_text.h"

QNPOLYTable* QN_poly_grain_list = nullptr;
int QNP_model_mode = 0;
std::array<std::string, QN_POLY_FILES> QNP_file_list = {QN_POLY_NO_FILE, QN_POLY_NO_FILE, QN_POLY_NO_FILE,
                                                        QN_POLY_NO_FILE, QN_POLY_NO_FILE, QN_POLY_NO_FILE};

Fl_Choice* QNP_model_method_choice = nullptr;
Fl_Group* QN_grain_region = nullptr;
Fl_Value_Input* QNP_rad_num = nullptr;
Fl_Value_Input* QNP_rad_seed = nullptr;
Fl_Choice* QNP_model_file_choice = nullptr;
Fl_Output* QNP_model_file_display[QN_POLY_FILES] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
int QN_model_poly_cbid = -1;

Fl_Double_Window* poly_grain_window = nullptr;
Fl_Value_Input* QNP_model_add_num = nullptr;
Fl_Value_Input* QNP_model_del_mi = nullptr;
Fl_Value_Input* QNP_model_del_ma = nullptr;
Fl_Choice* QNP_model_fid_choice = nullptr;
Fl_Value_Input* QNP_model_sum_mi = nullptr;
Fl_Value_Input* QNP_model_sum_ma = nullptr;

namespace {

const char* const kFileLabels[QN_POLY_FILES] = {"#1", "#2", "#3", "#4", "#5", "#6"};
const char* const kFileCounts[QN_POLY_FILES] = {"1", "2", "3", "4", "5", "6"};
const char* const kOpenFilters =
    "Auto detect format\t*\nLAMMPS custom dump file\t*.lmc\nLAMMPS data file\t*.lmp\nVASP POSCAR file "
    "Cartesian\t*.POSCAR\nVASP POSCAR file Direct\t*.POSCAR";
// What "More", "Preview" and "Export" say while a template the grains need
// has no file (templates_filled).
const char* const kChooseTemplate = "Please choose a template crystal file first";
constexpr int kManualGrain = 1;
constexpr int kRandomAverage = 2;

// Set while the grain window is open with a backup of the grains.
bool grain_window_open = false;

// The widgets of the form live in this group; when another form clears the
// Model tab it takes the form's globals with it and closes the grain window,
// whose buttons would otherwise reach widgets that are gone.
class PolyForm : public Fl_Group {
public:
    PolyForm(int x, int y, int w, int h) : Fl_Group(x, y, w, h) {}
    ~PolyForm() override {
        QNP_model_method_choice = nullptr;
        QN_grain_region = nullptr;
        QNP_rad_num = nullptr;
        QNP_rad_seed = nullptr;
        QNP_model_file_choice = nullptr;
        for (Fl_Output*& o : QNP_model_file_display) o = nullptr;
        if (poly_grain_window) poly_grain_window->hide();
        grain_window_open = false;
    }
};

QN_poly_grains* grains() { return QN_poly_grain_list ? &QN_poly_grain_list->grain_data : nullptr; }

int grain_count() { return QN_poly_grain_list ? static_cast<int>(QN_poly_grain_list->grain_data.grains.size()) : 0; }

int int_of(const Fl_Value_Input* w) { return w ? QB_to_int(w->value()) : 0; }

// Every template the build needs is chosen: the ones in use and any a grain
// still carries.
bool templates_filled() {
    const QN_poly_grains* g = grains();
    int needed = g ? g->files : 1;
    if (g)
        for (const QN_poly_grain& grain : g->grains) needed = std::max(needed, grain.file);
    needed = std::min(std::max(needed, 1), QN_POLY_FILES);
    for (int i = 0; i < needed; i++)
        if (QNP_file_list[static_cast<size_t>(i)] == QN_POLY_NO_FILE) return false;
    return true;
}

std::string keyword_path() {
    std::string path;
    if (QN_scan_char_single(QN_POLY_GROUP, "Model_Poly_file", path) != 1 || path.empty()) path = "./Quelm_ply.input";
    return path;
}

// "Number:" follows the table; the form is redrawn.
void show_grain_count() {
    if (QNP_rad_num) QNP_rad_num->value(grain_count());
    if (Fl_Scroll* tab = QN_model_tab()) tab->redraw();
}

void rebuild_table() {
    if (QN_poly_grain_list) QN_poly_grain_list->rebuild_rows();
}

// Empties a group whose widgets may be running a callback right now: they go
// at the next turn of the event loop.
void clear_later(Fl_Group* g) {
    while (g->children() > 0) {
        Fl_Widget* w = g->child(g->children() - 1);
        g->remove(w);
        Fl::delete_widget(w);
    }
}

template <void (*F)()>
void call(Fl_Widget*, void*) {
    F();
}

template <void (*F)(Fl_Value_Input*)>
void call_input(Fl_Widget* w, void*) {
    F(static_cast<Fl_Value_Input*>(w));
}

void cell_cb(Fl_Widget* w, long cell) { table_callback(static_cast<Fl_Value_Input*>(w), cell); }

void file_select_cb(Fl_Widget* w, long i) { QN_model_file_select(static_cast<Fl_Button*>(w), i); }

Fl_Button* button(int x, int y, int w, const char* label, Fl_Callback* action) {
    auto* b = new Fl_Button(x, y, w, 30, label);
    b->callback(action);
    return b;
}

void make_grain_window() {
    if (poly_grain_window) {
        poly_grain_window->hide();
        Fl::delete_widget(poly_grain_window);
    }
    grain_window_open = false;
    Fl_Group* const current = Fl_Group::current();
    Fl_Group::current(nullptr);
    poly_grain_window = new Fl_Double_Window(1100, 720, "Model Detail");
    poly_grain_window->callback(call<QN_model_poly_crystal_return>);
    QN_poly_grain_list = new QNPOLYTable(0, 0, 1100, 640);

    const int y1 = 645, y2 = 682;
    QNP_model_add_num = new Fl_Value_Input(115, y1, 80, 30, "Grain Number");
    button(205, y1, 60, "Add", call<QN_model_poly_add_random>);
    QNP_model_del_mi = new Fl_Value_Input(310, y1, 60, 30);
    QNP_model_del_ma = new Fl_Value_Input(390, y1, 60, 30, "-");
    button(460, y1, 70, "Delete", call<QN_model_poly_delete>);
    button(540, y1, 90, "Delete All", call<QN_model_poly_delete_all>);

    QNP_model_fid_choice = new Fl_Choice(115, y2, 80, 30, "Grain Type");
    QNP_model_sum_mi = new Fl_Value_Input(310, y2, 60, 30);
    QNP_model_sum_ma = new Fl_Value_Input(390, y2, 60, 30, "-");
    if (QNP_model_mode == 0) {
        QNP_model_fid_choice->hide();
        QNP_model_sum_mi->label("Grain Type");
    }
    button(460, y2, 70, "Select", call<QN_model_poly_select_file>);
    button(540, y2, 70, "Clear", call<QN_model_poly_clear>);
    button(620, y2, 90, "Clear All", call<QN_model_poly_clear_all>);

    button(790, y2, 90, "Save", call<QN_model_poly_crystal_save>);
    button(890, y2, 100, "Save && Exit", call<QN_model_poly_crystal_save_exit>);
    button(1000, y2, 90, "Exit", call<QN_model_poly_crystal_return>);
    poly_grain_window->end();
    poly_grain_window->resizable(QN_poly_grain_list);
    poly_grain_window->size_range(1100, 720);  // the rows of buttons need the width
    Fl_Group::current(current);
}

}  // namespace

// ------------------------------------------------------------------ table

Fl_Color QN_poly_cell_color(int number) {
    return number >= 1 && number <= QN_POLY_FILES ? static_cast<Fl_Color>(number) : FL_WHITE;
}

QNPOLYTable::QNPOLYTable(int x, int y, int w, int h, const char* label)
    : QN_cell_table(x, y, w, h, label, kColumns, titles.data()) {}

void QNPOLYTable::add_grain(double x, double y, double z, double xh, double xk, double xl, double yh, double yk,
                            double yl, double zh, double zk, double zl) {
    grain_data.add_grain(x, y, z, xh, xk, xl, yh, yk, yl, zh, zk, zl);
    rebuild_rows();
}

void QNPOLYTable::delete_grain(int first, int last) {
    grain_data.delete_grain(first, last);
    rebuild_rows();
}

void QNPOLYTable::clear_grain(int first, int last) {
    grain_data.clear_grain(first, last);
    rebuild_rows();
}

void QNPOLYTable::rebuild_rows() {
    fill_rows(static_cast<int>(grain_data.grains.size()), [this](int r, int c, int X, int Y, int W, int H) {
        const QN_poly_grain& g = grain_data.grains[static_cast<size_t>(r)];
        auto* v = new Fl_Value_Input(X, Y, W, H);
        v->box(FL_PLASTIC_UP_BOX);
        v->color(QN_poly_cell_color(g.file));
        if (c == 0) {
            v->bounds(0, QN_POLY_FILES);
            v->step(1);
            v->value(g.file);
        } else {
            v->value(g.v[c - 1]);
            if (grain_data.lock) v->input.readonly(1);
        }
        v->callback(cell_cb, static_cast<long>(kColumns * r + c));
        return v;
    });
}

Fl_Value_Input* QNPOLYTable::cell(int row, int column) const {
    return static_cast<Fl_Value_Input*>(cell_widget(row, column));
}

void QNPOLYTable::paint_row(int row, int number) {
    for (int c = 0; c < kColumns; c++)
        if (Fl_Value_Input* v = cell(row, c)) {
            v->color(QN_poly_cell_color(number));
            v->redraw();
        }
}

void table_callback(Fl_Value_Input* w, long cell) {
    if (!QN_poly_grain_list || !w || cell < 0) return;
    const int row = static_cast<int>(cell / QNPOLYTable::kColumns);
    const int column = static_cast<int>(cell % QNPOLYTable::kColumns);
    const double shown = QN_poly_grain_list->grain_data.set_cell(row, column, w->value());
    if (column == 0) {
        w->value(shown);
        QN_poly_grain_list->paint_row(row, static_cast<int>(shown));
    }
    QN_poly_grain_list->redraw();
}

// ------------------------------------------------------------------- form

int QN_model_poly_init(int count, char** entries, int* slots) {
    if (QN_POLY_GROUP < static_cast<int>(Quelm_data.size()) && Quelm_data[QN_POLY_GROUP].bit_count > 0) {
        if (!QN_ask_form_change()) return -1;
    }
    QN_model_poly_free();
    QN_model_poly_cbid = QN_sendbit_id();
    QN_model_poly_defaults(QNP_model_mode);
    for (int k = 0; k < count && entries; k++)
        if (entries[k]) {
            QN_reset_bit_char(QN_POLY_GROUP, "Model_Poly_file", entries[k], slots ? slots[k] : 0);
            QN_reset_bit_char(QN_POLY_GROUP, QN_ELEMENTS_KEY, entries[k], slots ? slots[k] : 0);
        }
    return 1;
}

void QN_model_poly_free() {
    if (QN_model_poly_cbid >= 0) QN_sendbit_free(QN_model_poly_cbid);
    QN_model_poly_cbid = -1;
}

void QN_model_poly_crystal() {
    QNP_model_mode = 0;
    QN_model_poly_crystal_core();
}

void QN_model_nanocomposite() {
    QNP_model_mode = 1;
    QN_model_poly_crystal_core();
}

void QN_model_poly_crystal_core() {
    if (QN_model_poly_init(0, nullptr, nullptr) == -1) return;
    Fl_Group* const current = Fl_Group::current();
    QN_model_form_shown(QNP_model_mode == 0 ? 2 : 5);
    make_grain_window();
    QNP_file_list.fill(QN_POLY_NO_FILE);
    QN_poly_grain_list->grain_data.files = 1;

    QN_form_region()->clear();
    // QN_model_poly_choice gives the form its height; the groups keep their
    // widgets' sizes when it changes.
    QN_form_region()->resize(0, QN_form_choice()->y() + 40, 320, 200);
    QN_form_region()->resizable(nullptr);
    QN_form_region()->begin();
    auto* form = new PolyForm(QN_form_region()->x(), QN_form_region()->y(), 320, 200);
    form->resizable(nullptr);
    const int top = form->y() + 10;
    // The cut-off is the generator's membership tolerance: an atom belongs to
    // a grain unless its squared distance to the grain's seed exceeds that to
    // another seed by more than the cut-off, so it is an area (Å²).
    const char* labels[4] = {"Box x(Å):", "Box y(Å):", "Box z(Å):", "Cutoff(Å²):"};
    Fl_Callback* setters[4] = {call_input<QN_model_poly_setbx>, call_input<QN_model_poly_setby>,
                               call_input<QN_model_poly_setbz>, call_input<QN_model_poly_setcutoff>};
    for (int k = 0; k < 4; k++) {
        auto* v = new Fl_Value_Input(110, top + 40 * k, 180, 30, labels[k]);
        v->value(0);
        v->callback(setters[k]);
        if (k == 3)
            v->tooltip("Membership tolerance in Å² (the keyword file's \"cutoff\"): an atom whose squared distances "
                       "to two grains' seeds differ by less than this may belong to both");
    }
    QNP_model_method_choice = new Fl_Choice(110, top + 160, 180, 30, "Method:");
    QNP_model_method_choice->add("Random grain");
    QNP_model_method_choice->add("Manual grain");
    QNP_model_method_choice->add("Random average");
    QNP_model_method_choice->value(0);
    QNP_model_method_choice->callback(call<QN_model_poly_choice>);
    QN_grain_region = new Fl_Group(form->x(), top + 200, 320, 0);
    QN_grain_region->resizable(nullptr);
    QN_grain_region->end();
    form->end();
    QN_form_region()->end();
    Fl_Group::current(current);
    QN_model_poly_choice();
    QN_show_model_tab();
    QN_flush_window();
}

void QN_model_poly_setbx(Fl_Value_Input* w) {
    if (w && grains()) grains()->box[0] = w->value();
}

void QN_model_poly_setby(Fl_Value_Input* w) {
    if (w && grains()) grains()->box[1] = w->value();
}

void QN_model_poly_setbz(Fl_Value_Input* w) {
    if (w && grains()) grains()->box[2] = w->value();
}

void QN_model_poly_setcutoff(Fl_Value_Input* w) {
    if (w && grains()) grains()->cutoff = w->value();
}

void QN_model_poly_choice() {
    if (!QN_grain_region || !grains()) return;
    const int method = QNP_model_method_choice ? QNP_model_method_choice->value() : 0;
    const int files = std::min(std::max(grains()->files, 1), QN_POLY_FILES);
    grains()->lock = method != kManualGrain;
    rebuild_table();

    clear_later(QN_grain_region);
    QNP_model_file_choice = nullptr;
    for (Fl_Output*& o : QNP_model_file_display) o = nullptr;
    Fl_Group* const current = Fl_Group::current();
    QN_grain_region->begin();
    const int x = QN_grain_region->x();
    int y = QN_grain_region->y();
    QNP_rad_num = new Fl_Value_Input(x + 110, y, 180, 30, "Number:");
    QNP_rad_num->value(grain_count());
    if (method == kRandomAverage) {
        QNP_rad_num->callback(call<QN_model_poly_ranave_core>);
        QNP_rad_num->when(FL_WHEN_RELEASE);
    } else {
        QNP_rad_num->callback(call<QN_model_poly_random_core>);
        QNP_rad_num->when(FL_WHEN_CHANGED);
    }
    QNP_rad_seed = new Fl_Value_Input(x + 110, y + 40, 180, 30, "Seed:");
    QNP_rad_seed->value(0);
    QNP_rad_seed->tooltip("Seed of the random numbers that place and turn the grains (the same seed, the same grains)");
    y += 80;
    if (QNP_model_mode == 0) {
        QNP_model_file_display[0] = new Fl_Output(x + 110, y, 120, 30, "Template:");
        QNP_model_file_display[0]->value(QNP_file_list[0].c_str());
        QNP_model_file_display[0]->tooltip("The template crystal file the grains are cut from");
        auto* select = new Fl_Button(x + 235, y, 55, 30, "Select");
        select->tooltip("Choose the template crystal file");
        select->callback(file_select_cb, 0L);
        y += 40;
    } else {
        QNP_model_file_choice =
            new Fl_Choice(x + 110, y, 180, 30, method == kManualGrain ? "Seed Type" : "Grain Type");
        for (const char* item : kFileCounts) QNP_model_file_choice->add(item);
        QNP_model_file_choice->value(files - 1);
        QNP_model_file_choice->callback(
            [](Fl_Widget* w, void*) { QN_model_file_choice_cb(static_cast<Fl_Choice*>(w)); });
        y += 40;
        for (int i = 0; i < files; i++) {
            QNP_model_file_display[i] = new Fl_Output(x + 50, y, 170, 30, kFileLabels[i]);
            QNP_model_file_display[i]->value(QNP_file_list[static_cast<size_t>(i)].c_str());
            auto* select = new Fl_Button(x + 230, y, 60, 30, "Select");
            select->callback(file_select_cb, static_cast<long>(i));
            y += 40;
        }
    }
    QN_elements_input(QN_POLY_GROUP, x + 110, y, 180, QN_model_poly_cbid);
    y += 40;
    button(x + 20, y, 270, "More", call<QN_model_poly_random>);
    button(x + 20, y + 40, 135, "Preview", call<QN_model_poly_preview_model>);
    button(x + 155, y + 40, 135, "Export", call<QN_model_poly_write_model>);
    QN_grain_region->end();
    Fl_Group::current(current);
    // The group, the form and the Model tab's region end 10 below the last row.
    const int bottom = y + 80;
    QN_grain_region->size(320, bottom - QN_grain_region->y());
    if (Fl_Group* form = QN_grain_region->parent()) {
        form->size(form->w(), bottom - form->y());
        if (Fl_Group* region = form->parent()) region->size(region->w(), bottom - region->y());
    }
    QN_grain_region->redraw();
    if (Fl_Scroll* tab = QN_model_tab()) tab->redraw();
}

void QN_model_file_choice_cb(Fl_Choice* w) {
    if (!w || !grains()) return;
    grains()->files = std::min(std::max(w->value() + 1, 1), QN_POLY_FILES);
    QN_model_poly_choice();
}

void QN_model_file_select(Fl_Button*, long i) {
    Fl_Native_File_Chooser chooser;
    chooser.title("Open file");
    chooser.type(Fl_Native_File_Chooser::BROWSE_FILE);
    chooser.filter(kOpenFilters);
    if (chooser.show() != 0 || !chooser.filename()) return;
    QN_model_file_select_path(static_cast<int>(i), chooser.filename());
}

int QN_model_file_select_path(int i, const std::string& path) {
    if (i < 0 || i >= QN_POLY_FILES) return -1;
    QB_tools probe;
    std::string text;
    if (QN_read_model(&probe, path.c_str(), text) != 1) {
        QN_message_alert(text.empty() ? "Reading file failed\nUnknown model format" : text.c_str());
        return -1;
    }
    QNP_file_list[static_cast<size_t>(i)] = path;
    if (QNP_model_file_display[i]) QNP_model_file_display[i]->value(path.c_str());
    return 1;
}

void QN_model_poly_random_core() {
    if (!grains() || !QNP_rad_num) return;
    grains()->random_core(int_of(QNP_rad_num), int_of(QNP_rad_seed));
    rebuild_table();
}

void QN_model_poly_ranave_core() {
    if (!grains() || !QNP_rad_num) return;
    grains()->ranave_core(int_of(QNP_rad_num), int_of(QNP_rad_seed));
    rebuild_table();
}

// ----------------------------------------------------------- grain window

void QN_model_poly_random() {
    if (!templates_filled()) {
        QN_message_alert(kChooseTemplate);
        return;
    }
    QN_model_poly_show();
}

void QN_model_poly_show() {
    if (!poly_grain_window || !grains()) return;
    QNP_model_fid_choice->clear();
    for (int i = 0; i < grains()->files; i++) QNP_model_fid_choice->add(kFileLabels[i]);
    QNP_model_fid_choice->value(0);
    poly_grain_window->show();
    grains()->keep_backup();
    grain_window_open = true;
}

void QN_model_poly_add_random() {
    if (!grains()) return;
    grains()->add_random(int_of(QNP_model_add_num));
    rebuild_table();
}

void QN_model_poly_delete() {
    if (!grains()) return;
    grains()->delete_range(int_of(QNP_model_del_mi), int_of(QNP_model_del_ma));
    rebuild_table();
}

void QN_model_poly_delete_all() {
    if (QN_poly_grain_list) QN_poly_grain_list->delete_grain(0, grain_count() - 1);
}

void QN_model_poly_select_file() {
    if (!grains()) return;
    const int number = QNP_model_mode == 1 && QNP_model_fid_choice ? QNP_model_fid_choice->value() + 1 : 1;
    if (number < 1) return;
    grains()->assign_range(int_of(QNP_model_sum_mi), int_of(QNP_model_sum_ma), number);
    rebuild_table();
}

void QN_model_poly_clear() {
    if (!grains()) return;
    grains()->clear_range(int_of(QNP_model_sum_mi), int_of(QNP_model_sum_ma));
    rebuild_table();
}

void QN_model_poly_clear_all() {
    if (QN_poly_grain_list) QN_poly_grain_list->clear_grain(0, grain_count() - 1);
}

void QN_model_poly_crystal_save() {
    if (!grains()) return;
    grains()->keep_backup();
    show_grain_count();
}

void QN_model_poly_crystal_save_exit() {
    if (!grains()) return;
    poly_grain_window->hide();
    grains()->drop_backup();
    grain_window_open = false;
    show_grain_count();
}

void QN_model_poly_crystal_return() {
    if (!grains()) return;
    poly_grain_window->hide();
    // Only a window opened by "More" holds a backup to go back to.
    if (grain_window_open) {
        grains()->restore_backup();
        grains()->drop_backup();
        rebuild_table();
    }
    grain_window_open = false;
    show_grain_count();
}

// ---------------------------------------------------------------- builds

int QN_model_poly_write(const char* path) {
    if (!grains() || !path) return -1;
    std::string bad;
    const int written = grains()->write(path, QNP_file_list, &bad);
    if (written == -2) {
        QN_message_alert(bad.empty() ? "Writing the keyword file failed\nA template file has no name"
                                     : ("Writing the keyword file failed\nThe template file name \"" + bad +
                                        "\" holds blanks, which the keyword file cannot carry.\nPlease choose "
                                        "a template whose path has no blanks.")
                                           .c_str());
        return -2;
    }
    if (written != 1) {
        QN_message_alert((std::string("Saving file failed\nCannot write ") + path).c_str());
        return -1;
    }
    return 1;
}

int QN_ic_xyz_poly(const char* input, const char* output, int mode, std::string& message) {
    if (!input) {
        message = "ERROR: NO INPUT STRUCTURE";
        return QN_POLY_REFUSED;
    }
    QB_tools built;
    QN_wait("-Building Model-Please Wait");
    int result = ic_xyz_poly(input, &built, message);
    if (result == QN_POLY_BUILT && QN_elements_apply(QN_POLY_GROUP, &built, message) != 1) result = QN_POLY_REFUSED;
    if (result == QN_POLY_BUILT && mode != 0) {
        std::printf("transfering the data into lammps data\n");
        std::fflush(stdout);
        if (QN_poly_write_data(&built, output) != 1) {
            result = QN_POLY_WRITE_FAILED;
            message = std::string("Saving file failed\nCannot write ") + (output ? output : "");
        }
    }
    QN_wait_end();
    if (result == QN_POLY_BUILT && mode == 0) {
        Current_Model = std::move(built);
        QN_update_model();
    }
    return result;
}

int QN_ic_xyz_poly(const char* input, const char* output, int mode) {
    std::string message;
    const int result = QN_ic_xyz_poly(input, output, mode, message);
    if (result != QN_POLY_BUILT) QN_message_alert(message.c_str());
    return result;
}

void QN_model_poly_preview_model() {
    if (!QN_ask_model_change()) return;
    if (!templates_filled()) {
        QN_message_alert(kChooseTemplate);
        return;
    }
    const std::string input = keyword_path();
    if (QN_model_poly_write(input.c_str()) != 1) return;
    std::string message;
    if (QN_ic_xyz_poly(input.c_str(), "./Quelm_ply.output", 0, message) != QN_POLY_BUILT) {
        QN_message_alert(message.c_str());  // the current model is as it was
        return;
    }
    QN_message(QN_new_model_text(&Current_Model).c_str());
}

void QN_model_poly_write_model() {
    if (!templates_filled()) {
        QN_message_alert(kChooseTemplate);
        return;
    }
    std::string chosen;
    if (QN_choose_file_to_save("LAMMPS data file\t*.lmp", chosen)) QN_model_poly_write_model_path(chosen);
}

int QN_model_poly_write_model_path(const std::string& chosen) {
    if (!templates_filled()) {
        QN_message_alert(kChooseTemplate);
        return -1;
    }
    const std::string name = QN_export_name(chosen, 1);
    const std::string input = keyword_path();
    if (QN_model_poly_write(input.c_str()) != 1) return -1;
    std::string message;
    const int result = QN_ic_xyz_poly(input.c_str(), name.c_str(), 1, message);
    if (result != QN_POLY_BUILT) {
        QN_message_alert(message.c_str());
        return result;
    }
    QN_message(("Model exported to " + name).c_str());
    return 1;
}
