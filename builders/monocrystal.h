// Monocrystal builder, computing side: the structure table, the store group
// of the form (group 0) and the build shared by "Preview", "Export" and
// `quelm-batch build monocrystal`. Nothing here needs a display; functions
// return codes and messages and never end the program.
#pragma once

#include <string>

#include "qb/qb_tools.h"

// How a structure is generated.
enum QN_single_kind {
    QN_SINGLE_FCC,           // QB_create_fcc, any orientation
    QN_SINGLE_BCC,           // QB_create_bcc, any orientation
    QN_SINGLE_HCP,           // QB_create_hcp (orthogonal hcp cell), any orientation
    QN_SINGLE_CUBIC,         // cubic basis through QB_create_any, any orientation
    QN_SINGLE_HEXAGONAL,     // one explicit hexagonal cell, orientation ignored
    QN_SINGLE_TETRAGONAL,    // one explicit tetragonal cell, orientation ignored
    QN_SINGLE_ORTHORHOMBIC,  // one explicit orthorhombic cell, orientation ignored
};

// One basis site: type and fractional coordinates in units of the cell
// vectors, kept in single precision.
struct QN_single_site {
    int type;
    float x, y, z;
};

struct QN_single_structure {
    const char* label;  // menu label of the "Structure:" choice
    int code;           // structure code for QN_model_single_others (0: a lattice generator)
    double a, b, c;     // default lattice parameters (0 where unused)
    bool a_enabled, b_enabled, c_enabled;  // lattice inputs the choice enables
    bool orientation_enabled;              // whether the "Orientation:" group is enabled
    QN_single_kind kind;
    int site_count;
    const QN_single_site* sites;  // the basis in creation order; for fcc, bcc and
                                  // hcp the conventional cell, for reference only
};

constexpr int QN_SINGLE_STRUCTURE_COUNT = 19;
extern const QN_single_structure QN_single_structures[QN_SINGLE_STRUCTURE_COUNT];

// Whether the build of this structure follows the orientation inputs.
bool QN_single_uses_orientation(const QN_single_structure& s);

// The form's parameters as read from the store.
struct QN_single_params {
    int structure = 0;  // index into QN_single_structures
    double a = 3.6149098873, b = 0, c = 0;
    int dpx = 1, dpy = 1, dpz = 1;
    double ox[3] = {1, 0, 0};  // crystal direction [hkl] along box x
    double oy[3] = {0, 1, 0};
    double oz[3] = {0, 0, 1};
    std::string elements;  // "Elements:": one element symbol per type, empty for none
};

constexpr int QN_SINGLE_GROUP = 0;
extern const char* const QN_SINGLE_TITLE;  // "Build a single_crystal with specific structure and orientation"
extern const char* const QN_SINGLE_REJECTED;  // "Building model error: not a orthogonal system"

// Resets store group 0 with the form's title and writes "Model_" and every
// key with the defaults of structure 0 (and "M_elements" empty). Returns 1, or a negative store code
// when the store is not initialised.
int QN_model_single_defaults();

// Store side of choosing structure `index` in the "Structure:" choice:
// writes "M_single_str" and the structure's default lattice parameters for
// the inputs it enables. QN_REFUSED-like -1 for an index outside the table.
int QN_model_single_choose(int index);

// For every key of the form, applies QN_reset_bit_int / QN_reset_bit_double
// with each of the count (names[i], flags[i]) pairs of a loaded script.
void QN_model_single_apply_script(int count, char** names, const int* flags);

// Reads the parameters back from group 0. Returns 1 when every numeric key
// was found, 0 when some were missing (those keep the defaults of params);
// "M_elements" is read when present.
int QN_model_single_read(QN_single_params& params);

// Result codes of the build.
constexpr int QN_SINGLE_BUILT = 1;
constexpr int QN_SINGLE_REFUSED = -1;         // parameters refused before building; model untouched
constexpr int QN_SINGLE_NOT_ORTHOGONAL = -2;  // orientation rejected; model left without atoms

// Checks the parameters without building: QN_SINGLE_BUILT when they can be
// built, else QN_SINGLE_REFUSED and the reason in message.
int QN_model_single_check(const QN_single_params& params, std::string& message);

// Builds the crystal into model, replacing what it held, its types named
// after params.elements when that is not empty. On QN_SINGLE_BUILT
// message is "New model detected with %d atoms and %d types\nBox size %lf %lf
// %lf". A rejected orientation (measure 0.1 or more) empties the model and
// gives QN_SINGLE_NOT_ORTHOGONAL with QN_SINGLE_REJECTED; any other refusal
// gives QN_SINGLE_REFUSED with its reason and leaves model as it was.
int QN_model_single_build(QB_tools* model, const QN_single_params& params, std::string& message);

// Builds one structure cell by its code into model (cleared by the caller)
// and returns the orientation measure: that of QB_create_any for the cubic
// bases, 0 for the explicit cells, which ignore the orientation.
double QN_model_single_others(QB_tools* model, int code, double a, double b, double c, double xh, double xk,
                              double xl, double yh, double yk, double yl, double zh, double zk, double zl);
