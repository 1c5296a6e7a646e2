#include "builders/nano_form.h"

#include <FL/Fl_Button.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Output.H>

#include <vector>

#include "app/quelm_bind.h"
#include "store/quelm_store.h"
#include "builders/builder_form.h"
#include "builders/nanostructures.h"

Fl_Output* M_cluster_dispa = nullptr;
Fl_Output* M_wire_dispa = nullptr;
Fl_Output* M_sheet_dispa = nullptr;
Fl_Output* M_coreshell_dispa = nullptr;
Fl_Output* M_coreshell_dispb = nullptr;
Fl_Group* QN_cluster_matrix = nullptr;
Fl_Group* QN_coreshell_matrix = nullptr;
Fl_Button* QN_coreshell_cfile = nullptr;

int QN_model_cluster_cbid = -1;
int QN_model_wire_cbid = -1;
int QN_model_sheet_cbid = -1;
int QN_model_coreshell_cbid = -1;

namespace {

const std::vector<const char*> kShapes = {"Sphere",       "Tetrahedron", "Hexahedron",
                                          "Octahedron",   "Dodecahedron", "Icosahedron"};

void release(int& cbid) {
    if (cbid >= 0) QN_sendbit_free(cbid);
    cbid = -1;
}

// ---------------------------------------------------------------- nanoparticle

// The current model stays until "Preview".
const QN_builder& cluster() {
    static const QN_builder b = QN_make_builder(QN_NANO_GROUP, 6, 410, false, &QN_model_cluster_cbid,
                                                QN_model_cluster_defaults, QN_model_cluster_build, M_cluster_preview,
                                                M_cluster_export, [] {
                                                    M_cluster_dispa = nullptr;
                                                    QN_cluster_matrix = nullptr;
                                                });
    return b;
}

const std::vector<QN_field>& cluster_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Structure:", "M_cluster_mode", kShapes).then(QN_cluster_mode_callback),
        QN_file_field("Select Model", "M_cluster_input", M_cluster_reading1, &M_cluster_dispa),
        QN_double_field("Radius(Å):", "M_cluster_r"),
        QN_orientation_field("M_cluster_", &QN_cluster_matrix).off(),
        QN_elements_field(),
    };
    return f;
}

// ------------------------------------------------------------------- nanowire

const QN_builder& wire() {
    static const QN_builder b =
        QN_make_builder(QN_NANO_GROUP, 7, 370, true, &QN_model_wire_cbid, QN_model_wire_defaults, QN_model_wire_build,
                        M_wire_preview, M_wire_export, [] { M_wire_dispa = nullptr; });
    return b;
}

const std::vector<QN_field>& wire_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Structure:", "M_wire_mode", {"Cylinder", "Pyramid", "Hexagonal Prism", "Octagonal Prism"}),
        QN_file_field("Select Model", "M_wire_input", M_wire_reading1, &M_wire_dispa),
        QN_choice_field("Direction:", "M_wire_dir", {"X", "Y", "Z"}),
        QN_double_field("Radius(Å):", "M_wire_r"),
        QN_double_field("Height(Å):", "M_wire_h"),
        QN_elements_field(),
    };
    return f;
}

// ------------------------------------------------------------------ nanosheet

const QN_builder& sheet() {
    static const QN_builder b =
        QN_make_builder(QN_NANO_GROUP, 8, 390, true, &QN_model_sheet_cbid, QN_model_sheet_defaults, QN_model_sheet_build,
                        M_sheet_preview, M_sheet_export, [] { M_sheet_dispa = nullptr; });
    return b;
}

const std::vector<QN_field>& sheet_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Mode:", "M_sheet_mode", {"xy", "xz", "yz"}),
        QN_file_field("Select Model", "M_sheet_input", M_sheet_reading1, &M_sheet_dispa),
        QN_choice_field("Center", "M_sheet_u", {"Å", "Box"}).at(80, 60),
        QN_double_field(nullptr, "M_sheet_x").at(145, 52).beside(),
        QN_double_field(nullptr, "M_sheet_y").at(202, 52).beside(),
        QN_double_field(nullptr, "M_sheet_z").at(259, 52).beside(),
        QN_int_field("Duplicate:", "M_sheet_nx").at(110, 95),
        QN_int_field(nullptr, "M_sheet_ny").at(215, 95).beside(),
        QN_double_field("Thickness(Å):", "M_sheet_thick"),
        QN_double_field("Vacuum(Å):", "M_sheet_void"),
        QN_elements_field(),
    };
    return f;
}

// ----------------------------------------------------------------- core-shell

const QN_builder& coreshell() {
    static const QN_builder b = QN_make_builder(
        QN_NANO_GROUP, 9, 540, true, &QN_model_coreshell_cbid, QN_model_coreshell_defaults, QN_model_coreshell_build,
        M_coreshell_preview, M_coreshell_export, [] {
            M_coreshell_dispa = M_coreshell_dispb = nullptr;
            QN_coreshell_matrix = nullptr;
            QN_coreshell_cfile = nullptr;
        });
    return b;
}

const std::vector<QN_field>& coreshell_fields() {
    static const std::vector<QN_field> f = {
        QN_choice_field("Structure:", "M_coreshell_mode", kShapes).then(QN_coreshell_mode_callback),
        QN_file_field("Select Shell", "M_coreshell_input", M_coreshell_reading1, &M_coreshell_dispa),
        QN_double_field("Shell Radius(Å):", "M_coreshell_r"),
        QN_orientation_field("M_coreshell_", &QN_coreshell_matrix).off(),
        QN_double_field("Core Radius(Å):", "M_coreshell_core"),
        QN_choice_field("Core Mode:", "M_coreshell_cmode", {"Empty", "Solid"}).then(QN_coreshell_cmode_callback),
        QN_file_field("Select Core", "M_coreshell_cfile", M_coreshell_reading2, &M_coreshell_dispb,
                      &QN_coreshell_cfile)
            .off(),
        QN_double_field("Min Distance(Å):", "M_coreshell_dmin")
            .tip("Shell atoms closer than this to a core atom are removed.\n"
                 "0 means automatic: 0.75 times the smaller nearest-neighbour distance of the two crystals."),
        QN_elements_field(),
    };
    return f;
}

}  // namespace

// ----------------------------------------------------------------- opening

// The shape-dependent widgets follow the stored values.
void QN_model_cluster() {
    if (QN_builder_open(cluster(), cluster_fields()) == 0) QN_cluster_mode_callback();
}
void QN_model_wire() { QN_builder_open(wire(), wire_fields()); }
void QN_model_sheet() { QN_builder_open(sheet(), sheet_fields()); }
void QN_model_coreshell() {
    if (QN_builder_open(coreshell(), coreshell_fields()) != 0) return;
    QN_coreshell_mode_callback();
    QN_coreshell_cmode_callback();
}

int QN_model_cluster_init(int count, char** entries, int* slots) {
    return QN_builder_init(cluster(), QN_field_keys(cluster_fields()), count, entries, slots);
}
int QN_model_wire_init(int count, char** entries, int* slots) {
    return QN_builder_init(wire(), QN_field_keys(wire_fields()), count, entries, slots);
}
int QN_model_sheet_init(int count, char** entries, int* slots) {
    return QN_builder_init(sheet(), QN_field_keys(sheet_fields()), count, entries, slots);
}
int QN_model_coreshell_init(int count, char** entries, int* slots) {
    return QN_builder_init(coreshell(), QN_field_keys(coreshell_fields()), count, entries, slots);
}

void QN_model_cluster_free() { release(QN_model_cluster_cbid); }
void QN_model_wire_free() { release(QN_model_wire_cbid); }
void QN_model_sheet_free() { release(QN_model_sheet_cbid); }
void QN_model_coreshell_free() { release(QN_model_coreshell_cbid); }

// -------------------------------------------------------------------- files

void M_cluster_reading1() { QN_builder_file(QN_NANO_GROUP, "M_cluster_input", M_cluster_dispa); }
void M_wire_reading1() { QN_builder_file(QN_NANO_GROUP, "M_wire_input", M_wire_dispa); }
void M_sheet_reading1() { QN_builder_file(QN_NANO_GROUP, "M_sheet_input", M_sheet_dispa); }
void M_coreshell_reading1() { QN_builder_file(QN_NANO_GROUP, "M_coreshell_input", M_coreshell_dispa); }
void M_coreshell_reading2() { QN_builder_file(QN_NANO_GROUP, "M_coreshell_cfile", M_coreshell_dispb); }

int M_cluster_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_NANO_GROUP, "M_cluster_input", M_cluster_dispa, path);
}
int M_wire_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_NANO_GROUP, "M_wire_input", M_wire_dispa, path);
}
int M_sheet_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_NANO_GROUP, "M_sheet_input", M_sheet_dispa, path);
}
int M_coreshell_reading1_path(const std::string& path) {
    return QN_builder_take_file(QN_NANO_GROUP, "M_coreshell_input", M_coreshell_dispa, path);
}
int M_coreshell_reading2_path(const std::string& path) {
    return QN_builder_take_file(QN_NANO_GROUP, "M_coreshell_cfile", M_coreshell_dispb, path);
}

// ------------------------------------------------------------ preview, export

void M_cluster_preview() { QN_builder_preview(cluster().build); }
void M_wire_preview() { QN_builder_preview(wire().build); }
void M_sheet_preview() { QN_builder_preview(sheet().build); }
void M_coreshell_preview() { QN_builder_preview(coreshell().build); }

void M_cluster_export() { QN_builder_export(cluster().build); }
void M_wire_export() { QN_builder_export(wire().build); }
void M_sheet_export() { QN_builder_export(sheet().build); }
void M_coreshell_export() { QN_builder_export(coreshell().build); }

int M_cluster_export_path(const std::string& chosen) { return QN_builder_export_path(cluster().build, chosen); }
int M_wire_export_path(const std::string& chosen) { return QN_builder_export_path(wire().build, chosen); }
int M_sheet_export_path(const std::string& chosen) { return QN_builder_export_path(sheet().build, chosen); }
int M_coreshell_export_path(const std::string& chosen) { return QN_builder_export_path(coreshell().build, chosen); }

// ------------------------------------------------------------------ actions

void QN_cluster_mode_callback() {
    QN_set_active(QN_cluster_matrix, QN_stored_int(QN_NANO_GROUP, "M_cluster_mode") != 0);
}

void QN_coreshell_mode_callback() {
    QN_set_active(QN_coreshell_matrix, QN_stored_int(QN_NANO_GROUP, "M_coreshell_mode") != 0);
}

void QN_coreshell_cmode_callback() {
    const bool solid = QN_stored_int(QN_NANO_GROUP, "M_coreshell_cmode") == 1;
    QN_set_active(M_coreshell_dispb, solid);
    QN_set_active(QN_coreshell_cfile, solid);
}
