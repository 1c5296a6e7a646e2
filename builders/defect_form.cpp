#include "builders/defect_form.h"

#include <FL/Fl_Group.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Value_Input.H>

#include <cstring>
#include <utility>
#include <vector>

#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "app/quelm_shell.h"
#include "builders/builder_form.h"
#include "builders/defects.h"

Fl_Output* M_solute_dispa = nullptr;
Fl_Output* M_dislocation_dispa = nullptr;
Fl_Output* M_crack_dispa = nullptr;
Fl_Value_Input* QN_Burgers_Input = nullptr;
Fl_Value_Input* Interstitial_Solute_Cutoff = nullptr;

int QN_model_solute_cbid = -1;
int QN_model_dislocation_cbid = -1;
int QN_model_crack_cbid = -1;

namespace {

const char* const kSlipNorm = "Slip Norm:";
const char* const kBurgersDir = "Burgers Dir:";
const char* const kCutoff = "Cutoff(Å):";

void release(int& cbid) {
    if (cbid >= 0) QN_sendbit_free(cbid);
    cbid = -1;
}

// The value input labelled `label` of the form now in the Model tab.
Fl_Value_Input* form_input(const char* label) {
    if (!QN_form_region() || QN_form_region()->children() == 0) return nullptr;
    Fl_Group* form = QN_form_region()->child(0)->as_group();
    for (int i = 0; form && i < form->children(); i++) {
        auto* v = dynamic_cast<Fl_Value_Input*>(form->child(i));
        if (v && v->label() && std::strcmp(v->label(), label) == 0) return v;
    }
    return nullptr;
}

// Three inputs in a row for a vector: the labelled first, two after it.
void vector_row(std::vector<QN_field>& f, const char* label, const char* prefix) {
    const std::string p = prefix;
    f.push_back(QN_double_field(label, p + "x").at(110, 64));
    f.push_back(QN_double_field(nullptr, p + "y").at(178, 64).beside());
    f.push_back(QN_double_field(nullptr, p + "z").at(246, 64).beside());
}

// ------------------------------------------------------------ solid solution

// The current model stays until "Preview".
const QN_builder& solute() {
    static const QN_builder b = QN_make_builder(QN_DEFECT_GROUP, 10, 350, false, &QN_model_solute_cbid,
                                                QN_model_solute_defaults, QN_model_solute_build, M_solute_preview,
                                                M_solute_export, [] {
                                                    M_solute_dispa = nullptr;
                                                    Interstitial_Solute_Cutoff = nullptr;
                                                });
    return b;
}

const std::vector<QN_field>& solute_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Mode:", "M_solute_mode", {"Substitutional Solution", "Interstitial Solution"})
            .at(80, 230)
            .then(QN_solute_mode_callback),
        QN_file_field("Select Model", "M_solute_input", M_solute_reading1, &M_solute_dispa),
        QN_double_field("Concentrate:", "M_solute_cont")
            .tip("Solute atoms as a fraction of the atom count, 0 to 1"),
        QN_int_field("Type:", "M_solute_type").tip("Atom type of the solute atoms"),
        QN_int_field("Seed:", "M_solute_seed")
            .tip("Seed of the random draw: the same seed picks the same sites"),
        QN_double_field(kCutoff, "M_solute_r")
            .tip("Interstitial sites: four atoms closer than this to each other, in Å")
            .off(),
        QN_elements_field(),
    };
    return f;
}

// ---------------------------------------------------------------- dislocation

const QN_builder& dislocation() {
    static const QN_builder b =
        QN_make_builder(QN_DEFECT_GROUP, 11, 430, true, &QN_model_dislocation_cbid, QN_model_dislocation_defaults,
                        QN_model_dislocation_build, M_dislocation_preview, M_dislocation_export, [] {
                            M_dislocation_dispa = nullptr;
                            QN_Burgers_Input = nullptr;
                        });
    return b;
}

const std::vector<QN_field>& dislocation_fields() {
    static const std::vector<QN_field> f = [] {
        std::vector<QN_field> v = {
            QN_choice_field("Mode:", "M_dislocation_mode", {"Screw Dislocation", "Edge Dislocation"})
                .then(QN_dislocation_mode_callback),
            QN_file_field("Select Model", "M_dislocation_input", M_dislocation_reading1, &M_dislocation_dispa),
            QN_choice_field("Center", "M_dislocation_cu", {"Å", "Box"}).at(80, 60),
            QN_double_field(nullptr, "M_dislocation_cx").at(145, 52).beside(),
            QN_double_field(nullptr, "M_dislocation_cy").at(202, 52).beside(),
            QN_double_field(nullptr, "M_dislocation_cz").at(259, 52).beside(),
        };
        vector_row(v, "Line Dir:", "M_dislocation_d");
        vector_row(v, kSlipNorm, "M_dislocation_b");
        v.push_back(QN_double_field("Burgers Lengths(Å):", "M_dislocation_bl")
                        .at(160, 150)
                        .tip("Length of the Burgers vector, in Å"));
        v.push_back(QN_double_field("Poisson Ratio:", "M_dislocation_miu").tip("Used by the edge dislocation"));
        v.push_back(QN_elements_field());
        return v;
    }();
    return f;
}

// ---------------------------------------------------------------------- crack

const QN_builder& crack() {
    static const QN_builder b =
        QN_make_builder(QN_DEFECT_GROUP, 12, 470, true, &QN_model_crack_cbid, QN_model_crack_defaults,
                        QN_model_crack_build, M_crack_preview, M_crack_export, [] { M_crack_dispa = nullptr; });
    return b;
}

const std::vector<QN_field>& crack_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Mode:", "M_crack_mode",
                        {"Mode I Plain Strain", "Mode I Plain Stress", "Mode II Plain Strain", "Mode II Plain Stress",
                         "Mode III"}),
        QN_file_field("Select Model", "M_crack_input", M_crack_reading1, &M_crack_dispa),
        QN_choice_field("Direction:", "M_crack_dirc", {"X+", "X-", "Y+", "Y-", "Z+", "Z-"}),
        QN_choice_field("Plane Normal:", "M_crack_dirp", {"X", "Y", "Z"}),
        QN_double_field("Crack Lengths(Å):", "M_crack_lenth")
            .at(160, 150)
            .tip("Distance of the crack tip from the box face the crack enters, in Å"),
        QN_double_field("Shear Modulus:", "M_crack_g").tip("Shear modulus G of the crystal, in GPa"),
        QN_double_field("Poisson Ratio:", "M_crack_nu"),
        QN_double_field("Stress Intensity Factor :", "M_crack_KI")
            .at(195, 115)
            .tip("Stress intensity factor K, in MPa·√m"),
        QN_elements_field(),
    };
    return f;
}

}  // namespace

// ----------------------------------------------------------------- opening

// The mode-dependent widgets follow the stored values.
void QN_model_solute() {
    if (QN_builder_open(solute(), solute_fields()) != 0) return;
    Interstitial_Solute_Cutoff = form_input(kCutoff);
    QN_solute_mode_callback();
}
void QN_model_dislocation() {
    if (QN_builder_open(dislocation(), dislocation_fields()) != 0) return;
    QN_Burgers_Input = form_input(kSlipNorm);
    QN_dislocation_mode_callback();
}
void QN_model_crack() { QN_builder_open(crack(), crack_fields()); }

int QN_model_solute_init(int count, char** entries, int* slots) {
    return QN_builder_init(solute(), QN_field_keys(solute_fields()), count, entries, slots);
}
int QN_model_dislocation_init(int count, char** entries, int* slots) {
    return QN_builder_init(dislocation(), QN_field_keys(dislocation_fields()), count, entries, slots);
}
int QN_model_crack_init(int count, char** entries, int* slots) {
    return QN_builder_init(crack(), QN_field_keys(crack_fields()), count, entries, slots);
}

void QN_model_solute_free() { release(QN_model_solute_cbid); }
void QN_model_dislocation_free() { release(QN_model_dislocation_cbid); }
void QN_model_crack_free() { release(QN_model_crack_cbid); }

// -------------------------------------------------------------------- files

void M_solute_reading1() { QN_builder_file(QN_DEFECT_GROUP, "M_solute_input", M_solute_dispa); }
void M_dislocation_reading1() { QN_builder_file(QN_DEFECT_GROUP, "M_dislocation_input", M_dislocation_dispa); }
void M_crack_reading1() { QN_builder_file(QN_DEFECT_GROUP, "M_crack_input", M_crack_dispa); }

int M_solute_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_DEFECT_GROUP, "M_solute_input", M_solute_dispa, path);
}
int M_dislocation_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_DEFECT_GROUP, "M_dislocation_input", M_dislocation_dispa, path);
}
int M_crack_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_DEFECT_GROUP, "M_crack_input", M_crack_dispa, path);
}

// ------------------------------------------------------------ preview, export

void M_solute_preview() { QN_builder_preview(solute().build); }
void M_dislocation_preview() { QN_builder_preview(dislocation().build); }
void M_crack_preview() { QN_builder_preview(crack().build); }

void M_solute_export() { QN_builder_export(solute().build); }
void M_dislocation_export() { QN_builder_export(dislocation().build); }
void M_crack_export() { QN_builder_export(crack().build); }

int M_solute_export_path(const std::string& chosen) { return QN_builder_export_path(solute().build, chosen); }
int M_dislocation_export_path(const std::string& chosen) {
    return QN_builder_export_path(dislocation().build, chosen);
}
int M_crack_export_path(const std::string& chosen) { return QN_builder_export_path(crack().build, chosen); }

// ------------------------------------------------------------------ actions

void QN_dislocation_mode_callback() {
    if (!QN_Burgers_Input) return;
    QN_Burgers_Input->label(QN_stored_int(QN_DEFECT_GROUP, "M_dislocation_mode") == 1 ? kBurgersDir : kSlipNorm);
    if (QN_form_region()) QN_form_region()->redraw();
}

void QN_solute_mode_callback() {
    QN_set_active(Interstitial_Solute_Cutoff, QN_stored_int(QN_DEFECT_GROUP, "M_solute_mode") == 1);
}
