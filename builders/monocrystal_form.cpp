#include "builders/monocrystal_form.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Tabs.H>
#include <FL/Fl_Value_Input.H>

#include "app/quelm_bind.h"
#include "app/quelm_dialogs.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "builders/builder_form.h"
#include "builders/monocrystal.h"
#include "qb/qb_formats.h"
#include "store/quelm_model_io.h"
#include "qb/qb_text.h"

Fl_Value_Input* QN_lattice_a = nullptr;
Fl_Value_Input* QN_lattice_b = nullptr;
Fl_Value_Input* QN_lattice_c = nullptr;
Fl_Value_Input* QN_single_dp[3] = {nullptr, nullptr, nullptr};
Fl_Group* QN_single_ort = nullptr;
Fl_Choice* QN_single_structure_choice = nullptr;
int QN_model_single_cbid = -1;

namespace {

// A structure chosen: store its index, put its default lattice parameters
// into the inputs (their callbacks store them), enable what it uses.
void choose_structure(int index) {
    if (index < 0 || index >= QN_SINGLE_STRUCTURE_COUNT) return;
    const QN_single_structure& s = QN_single_structures[index];
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_str", index, 0);
    const double values[3] = {s.a, s.b, s.c};
    Fl_Value_Input* inputs[3] = {QN_lattice_a, QN_lattice_b, QN_lattice_c};
    const bool enabled[3] = {s.a_enabled, s.b_enabled, s.c_enabled};
    for (int k = 0; k < 3; k++) {
        if (!inputs[k]) continue;
        if (inputs[k]->value() != values[k]) {
            inputs[k]->value(values[k]);
            inputs[k]->do_callback();
        }
        QN_set_active(inputs[k], enabled[k]);
    }
    if (QN_single_ort) QN_set_active(QN_single_ort, s.orientation_enabled);
}

const char* const kDuplicateTips[3] = {"Duplicate n times along x axis.", "Duplicate n times along y axis.",
                                       "Duplicate n times along z axis."};
const char* const kAxes[3] = {"x:", "y:", "z:"};

void build_form(int top) {
    QN_single_structure_choice = new Fl_Choice(100, top, 212, 30, "Structure:");
    QN_single_structure_choice->textsize(12);  // the longest names whole
    QN_single_structure_choice->tooltip("Choose a structure for building single crystal model.");
    Fl_Callback* callbacks[QN_SINGLE_STRUCTURE_COUNT] = {
        QN_model_single_S1,  QN_model_single_S2,  QN_model_single_S3_1, QN_model_single_S3_2, QN_model_single_S4,
        QN_model_single_S5,  QN_model_single_S6,  QN_model_single_S7,   QN_model_single_S8,   QN_model_single_S9,
        QN_model_single_S10, QN_model_single_S11, QN_model_single_S12,  QN_model_single_S13,  QN_model_single_S14,
        QN_model_single_S15, QN_model_single_S16, QN_model_single_S17,  QN_model_single_S18};
    for (int k = 0; k < QN_SINGLE_STRUCTURE_COUNT; k++) {
        // Labels hold '[' and '(' only; no character FLTK's menus interpret.
        QN_single_structure_choice->add(QN_single_structures[k].label, 0, callbacks[k]);
    }
    QN_single_structure_choice->value(0);

    auto* lattice = new Fl_Group(20, top + 60, 290, 130, "Lattice:");
    lattice->box(FL_ENGRAVED_FRAME);
    lattice->align(FL_ALIGN_TOP_LEFT);
    Fl_Value_Input** inputs[3] = {&QN_lattice_a, &QN_lattice_b, &QN_lattice_c};
    const char* labels[3] = {"a:", "b:", "c:"};
    const char* keys[3] = {"M_single_a", "M_single_b", "M_single_c"};
    for (int k = 0; k < 3; k++) {
        *inputs[k] = new Fl_Value_Input(70, top + 70 + 40 * k, 220, 30, labels[k]);
        (*inputs[k])->tooltip("Lattice length");
        QN_get_double(*inputs[k], QN_SINGLE_GROUP, keys[k], QN_model_single_cbid);
    }
    lattice->end();

    auto* duplicate = new Fl_Group(20, top + 220, 290, 50, "Duplicate:");
    duplicate->box(FL_ENGRAVED_FRAME);
    duplicate->align(FL_ALIGN_TOP_LEFT);
    const char* dp_keys[3] = {"M_single_dpx", "M_single_dpy", "M_single_dpz"};
    for (int k = 0; k < 3; k++) {
        QN_single_dp[k] = new Fl_Value_Input(50 + 90 * k, top + 230, 55, 30, kAxes[k]);
        QN_single_dp[k]->tooltip(kDuplicateTips[k]);
        QN_get_int(QN_single_dp[k], QN_SINGLE_GROUP, dp_keys[k], QN_model_single_cbid);
    }
    duplicate->end();

    QN_single_ort = new Fl_Group(20, top + 300, 290, 130, "Orientation:");
    QN_single_ort->box(FL_ENGRAVED_FRAME);
    QN_single_ort->align(FL_ALIGN_TOP_LEFT);
    const char* rows[3][3] = {{"M_single_oxh", "M_single_oxk", "M_single_oxl"},
                              {"M_single_oyh", "M_single_oyk", "M_single_oyl"},
                              {"M_single_ozh", "M_single_ozk", "M_single_ozl"}};
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++) {
            auto* v = new Fl_Value_Input(50 + 85 * c, top + 310 + 40 * r, 70, 30, c == 0 ? kAxes[r] : nullptr);
            QN_get_double(v, QN_SINGLE_GROUP, rows[r][c], QN_model_single_cbid);
        }
    QN_single_ort->end();

    QN_elements_input(QN_SINGLE_GROUP, 110, top + 450, 200, QN_model_single_cbid);

    auto* preview = new Fl_Button(20, top + 500, 135, 30, "Preview");
    preview->callback([](Fl_Widget*, void*) { QN_model_single_preview(); });
    auto* save = new Fl_Button(175, top + 500, 135, 30, "Export");
    save->callback([](Fl_Widget*, void*) { QN_model_single_export(); });
    choose_structure(0);
}

}  // namespace

#define QN_SINGLE_ITEM(name, index) \
    void name(Fl_Widget*, void*) { choose_structure(index); }
QN_SINGLE_ITEM(QN_model_single_S1, 0)
QN_SINGLE_ITEM(QN_model_single_S2, 1)
QN_SINGLE_ITEM(QN_model_single_S3_1, 2)
QN_SINGLE_ITEM(QN_model_single_S3_2, 3)
QN_SINGLE_ITEM(QN_model_single_S4, 4)
QN_SINGLE_ITEM(QN_model_single_S5, 5)
QN_SINGLE_ITEM(QN_model_single_S6, 6)
QN_SINGLE_ITEM(QN_model_single_S7, 7)
QN_SINGLE_ITEM(QN_model_single_S8, 8)
QN_SINGLE_ITEM(QN_model_single_S9, 9)
QN_SINGLE_ITEM(QN_model_single_S10, 10)
QN_SINGLE_ITEM(QN_model_single_S11, 11)
QN_SINGLE_ITEM(QN_model_single_S12, 12)
QN_SINGLE_ITEM(QN_model_single_S13, 13)
QN_SINGLE_ITEM(QN_model_single_S14, 14)
QN_SINGLE_ITEM(QN_model_single_S15, 15)
QN_SINGLE_ITEM(QN_model_single_S16, 16)
QN_SINGLE_ITEM(QN_model_single_S17, 17)
QN_SINGLE_ITEM(QN_model_single_S18, 18)
#undef QN_SINGLE_ITEM

int QN_model_single_init(int count, char** names, int* flags) {
    if (QN_SINGLE_GROUP < static_cast<int>(Quelm_data.size()) && Quelm_data[QN_SINGLE_GROUP].bit_count > 0) {
        if (!QN_ask_form_change()) return -1;
    }
    QN_model_single_free();
    QN_model_single_cbid = QN_sendbit_id();
    QN_model_single_defaults();
    if (count > 0) QN_model_single_apply_script(count, names, flags);
    return 0;
}

void QN_model_single_free() {
    if (QN_model_single_cbid >= 0) QN_sendbit_free(QN_model_single_cbid);
    QN_model_single_cbid = -1;
}

void QN_model_single_crystal() {
    if (QN_model_single_init(0, nullptr, nullptr) == -1) return;
    QN_model_form_shown(1);
    QN_form_region()->clear();
    QN_form_region()->resize(0, QN_form_choice()->y() + 40, 320, 670);
    QN_form_region()->begin();
    build_form(QN_form_region()->y() + 10);
    QN_form_region()->end();
    QN_show_model_tab();
    QN_flush_window();
}

void QN_model_single_preview() {
    if (!QN_ask_model_change()) return;
    QN_single_params params;
    QN_model_single_read(params);
    std::string message;
    QN_wait("-Building Model-Please Wait");
    const int result = QN_model_single_build(&Current_Model, params, message);
    QN_wait_end();
    if (result == QN_SINGLE_REFUSED) {  // nothing built, the model is as it was
        QN_message_alert(message.c_str());
        return;
    }
    if (result == QN_SINGLE_NOT_ORTHOGONAL) QN_message_alert(QN_SINGLE_REJECTED);
    QN_update_model();
    QN_message(QN_new_model_text(&Current_Model).c_str());
}

void QN_model_single_export() {
    std::string chosen;
    if (QN_choose_file_to_save("LAMMPS data file\t*.lmp", chosen)) QN_model_single_export_path(chosen);
}

int QN_model_single_export_path(const std::string& chosen) {
    const std::string name = QN_export_name(chosen, 1);
    QN_single_params params;
    QN_model_single_read(params);
    std::string message;
    QB_tools model;
    QN_wait("-Building Model-Please Wait");
    const int result = QN_model_single_build(&model, params, message);
    const int written = result == QN_SINGLE_BUILT ? QB_dump_lmp(&model, name.c_str()) : 0;
    QN_wait_end();
    if (result != QN_SINGLE_BUILT) {
        QN_message_alert(result == QN_SINGLE_NOT_ORTHOGONAL ? QN_SINGLE_REJECTED : message.c_str());
        return result;
    }
    if (written != 1) {
        QN_message_alert(("Saving file failed\nCannot write " + name).c_str());
        return -1;
    }
    QN_message(("Model exported to " + name).c_str());
    return 1;
}
