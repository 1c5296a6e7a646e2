#include "builders/monocrystal.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "qb/qb_lattice.h"
#include "store/quelm_model_io.h"
#include "qb/qb_text.h"

namespace {

// Fractions as the basis tables keep them: single precision.
constexpr float h = 0.5f;
constexpr float q1 = 0.25f;
constexpr float q3 = 0.75f;
constexpr float t1 = 1.0f / 3;
constexpr float t2 = 2.0f / 3;

constexpr QN_single_site kFcc[] = {{1, 0, 0, 0}, {1, h, h, 0}, {1, h, 0, h}, {1, 0, h, h}};
constexpr QN_single_site kBcc[] = {{1, 0, 0, 0}, {1, h, h, h}};
constexpr QN_single_site kHcp[] = {{1, t1, t2, q1}, {1, t2, t1, q3}};
constexpr QN_single_site kDiamond[] = {{1, 0, 0, 0},    {1, 0, h, h},    {1, h, h, 0},    {1, h, 0, h},
                                       {1, q3, q1, q3}, {1, q1, q1, q1}, {1, q1, q3, q3}, {1, q3, q3, q1}};
constexpr QN_single_site kNaCl[] = {{1, h, h, h}, {1, h, 0, 0}, {1, 0, h, 0}, {1, 0, 0, h},
                                    {2, 0, 0, 0}, {2, 0, h, h}, {2, h, 0, h}, {2, h, h, 0}};
constexpr QN_single_site kCsCl[] = {{1, h, h, h}, {2, 0, 0, 0}};
constexpr QN_single_site kZnS[] = {{1, q1, q1, q1}, {1, q3, q3, q1}, {1, q3, q1, q3}, {1, q1, q3, q3},
                                   {2, 0, 0, 0},    {2, 0, h, h},    {2, h, 0, h},    {2, h, h, 0}};
constexpr QN_single_site kL10[] = {{1, 0, 0, 0}, {2, h, h, h}};
constexpr QN_single_site kCaF2[] = {{1, 0, 0, 0},    {1, 0, h, h},    {1, h, 0, h},    {1, h, h, 0},
                                    {2, q1, q1, q1}, {2, q3, q3, q3}, {2, q3, q3, q1}, {2, q1, q1, q3},
                                    {2, q3, q1, q3}, {2, q1, q3, q1}, {2, q1, q3, q3}, {2, q3, q1, q1}};
constexpr float uP = 0.384f;  // pyrite sulphur parameter
constexpr QN_single_site kFeS2[] = {{1, 0, 0, 0},
                                    {1, h, 0, h},
                                    {1, 0, h, h},
                                    {1, h, h, 0},
                                    {2, uP, uP, uP},
                                    {2, 1 - uP, 1 - uP, 1 - uP},
                                    {2, h - uP, 1 - uP, h + uP},
                                    {2, h + uP, uP, h - uP},
                                    {2, 1 - uP, h + uP, h - uP},
                                    {2, uP, h - uP, h + uP},
                                    {2, h + uP, h - uP, 1 - uP},
                                    {2, h - uP, h + uP, uP}};
constexpr float uR = 0.30478f;  // rutile oxygen parameter
constexpr QN_single_site kRutile[] = {{1, 0, 0, 0},          {1, h, h, h},          {2, uR, uR, 0},
                                      {2, 1 - uR, 1 - uR, 0}, {2, h - uR, h + uR, h}, {2, h + uR, h - uR, h}};
constexpr QN_single_site kAnatase[] = {{1, 0, 0, 0},        {1, h, h, h},        {1, 0, h, q1},
                                       {1, h, 0, q3},       {2, 0, 0, 0.20806f}, {2, h, h, 0.70806f},
                                       {2, 0, h, 0.45806f}, {2, h, 0, 0.95806f}, {2, h, 0, 0.54194f},
                                       {2, 0, h, 0.04194f}, {2, h, h, 0.29194f}, {2, 0, 0, 0.79194f}};
constexpr QN_single_site kAlB2[] = {{1, 0, 0, 0}, {2, t1, t2, h}, {2, t2, t1, h}};
constexpr QN_single_site kSnNi3[] = {{1, t1, t2, q1},
                                     {1, t2, t1, q3},
                                     {2, 0.83919f, 0.67838f, q1},
                                     {2, 0.16081f, 0.32162f, q3},
                                     {2, 0.32162f, 0.16081f, q1},
                                     {2, 0.67838f, 0.83919f, q3},
                                     {2, 0.83919f, 0.16081f, q1},
                                     {2, 0.16081f, 0.83919f, q3}};
constexpr QN_single_site kNiAl3[] = {
    {1, 0.369f, 0.25f, 0.445f},  {1, 0.631f, 0.75f, 0.555f},  {1, 0.131f, 0.75f, 0.945f},
    {1, 0.869f, 0.25f, 0.055f},  {2, 0.174f, 0.053f, 0.144f}, {2, 0.826f, 0.947f, 0.856f},
    {2, 0.326f, 0.947f, 0.644f}, {2, 0.674f, 0.053f, 0.356f}, {2, 0.826f, 0.553f, 0.856f},
    {2, 0.174f, 0.447f, 0.144f}, {2, 0.674f, 0.447f, 0.356f}, {2, 0.326f, 0.553f, 0.644f},
    {2, 0.011f, 0.25f, 0.585f},  {2, 0.989f, 0.75f, 0.415f},  {2, 0.489f, 0.75f, 0.085f},
    {2, 0.511f, 0.25f, 0.915f}};
constexpr QN_single_site kTiNi3[] = {{1, 0, 0, 0},
                                     {1, 0, 0, h},
                                     {1, t1, t2, q1},
                                     {1, t2, t1, q3},
                                     {2, h, 0, 0},
                                     {2, 0, h, 0},
                                     {2, h, h, 0},
                                     {2, h, 0, h},
                                     {2, 0, h, h},
                                     {2, h, h, h},
                                     {2, 0.833f, 0.666f, q1},
                                     {2, 0.167f, 0.334f, q3},
                                     {2, 0.334f, 0.167f, q1},
                                     {2, 0.666f, 0.833f, q3},
                                     {2, 0.833f, 0.167f, q1},
                                     {2, 0.167f, 0.833f, q3}};
constexpr QN_single_site kL12[] = {{1, 0, 0, 0}, {2, 0, h, h}, {2, h, 0, h}, {2, h, h, 0}};
constexpr QN_single_site kL60[] = {{1, 0, 0, 0}, {2, h, h, 0}, {2, 0, h, h}, {2, h, 0, h}};

template <size_t N>
constexpr int count(const QN_single_site (&)[N]) {
    return static_cast<int>(N);
}

// Store keys of the form, in the order the defaults are written.
struct Key {
    const char* label;
    bool integer;
};
constexpr Key kKeys[] = {{"M_single_str", true},  {"M_single_a", false},   {"M_single_b", false},
                         {"M_single_c", false},   {"M_single_dpx", true},  {"M_single_dpy", true},
                         {"M_single_dpz", true},  {"M_single_oxh", false}, {"M_single_oxk", false},
                         {"M_single_oxl", false}, {"M_single_oyh", false}, {"M_single_oyk", false},
                         {"M_single_oyl", false}, {"M_single_ozh", false}, {"M_single_ozk", false},
                         {"M_single_ozl", false}};

double length(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

bool finite3(const double v[3]) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// Cartesian vector of the three-index hexagonal direction [u v w].
void hexagonal_direction(const double d[3], double a, double c, double out[3]) {
    out[0] = a * (d[0] - d[1] / 2);
    out[1] = a * d[1] * std::sqrt(3.0) / 2;
    out[2] = c * d[2];
}

// Atoms one unrepeated box will hold, from the box volume and the density of
// the structure.
double atoms_per_box(const QN_single_structure& s, const QN_single_params& p) {
    switch (s.kind) {
        case QN_SINGLE_FCC:
        case QN_SINGLE_BCC:
        case QN_SINGLE_CUBIC:
            return s.site_count * length(p.ox) * length(p.oy) * length(p.oz);
        case QN_SINGLE_HCP: {
            double x[3], y[3], z[3];
            hexagonal_direction(p.ox, p.a, p.c, x);
            hexagonal_direction(p.oy, p.a, p.c, y);
            hexagonal_direction(p.oz, p.a, p.c, z);
            const double cell = std::sqrt(3.0) / 2 * p.a * p.a * p.c;  // holds 2 atoms
            return 2 * length(x) * length(y) * length(z) / cell;
        }
        default:
            return s.site_count;
    }
}

const QN_single_structure* structure_of_code(int code) {
    if (code == 0) return nullptr;
    for (const QN_single_structure& s : QN_single_structures)
        if (s.code == code) return &s;
    return nullptr;
}

// Axis-aligned bounds of the cell: size the sum of the absolute components,
// lo the sum of the negative ones, per axis.
void bounds_from_cell(QB_tools* model) {
    for (int d = 0; d < 3; d++) {
        double size = 0, lo = 0;
        for (int e = 0; e < 3; e++) {
            size += std::fabs(model->cell[e][d]);
            if (model->cell[e][d] < 0) lo += model->cell[e][d];
        }
        model->size[d] = size;
        model->lo[d] = lo;
    }
}

}  // namespace

const char* const QN_SINGLE_TITLE = "Build a single_crystal with specific structure and orientation";
const char* const QN_SINGLE_REJECTED = "Building model error: not a orthogonal system";

// clang-format off
const QN_single_structure QN_single_structures[QN_SINGLE_STRUCTURE_COUNT] = {
    {"cF4[225]-A1(Cu)", 0, 3.6149098873, 0, 0, true, false, false, true, QN_SINGLE_FCC, count(kFcc), kFcc},
    {"cI2[229]-A2(W)", 0, 3.1649000645, 0, 0, true, false, false, true, QN_SINGLE_BCC, count(kBcc), kBcc},
    {"hP2[194]-A3(Mg)Orthogonal", 0, 3.2093000412, 0, 5.2102999687, true, false, true, true, QN_SINGLE_HCP, count(kHcp), kHcp},
    {"hP2[194]-A3(Mg)", 3, 3.2093000412, 0, 5.2102999687, true, false, true, false, QN_SINGLE_HEXAGONAL, count(kHcp), kHcp},
    {"cF8[227]-A4(Diamond)", 4, 3.5669898987, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kDiamond), kDiamond},
    {"cF8[225]-B1(NaCl)", 1001, 5.640200138, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kNaCl), kNaCl},
    {"cP2[221]-B2(CsCl)", 1002, 4.123000145, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kCsCl), kCsCl},
    {"cF8[216]-B3(ZnS)", 1003, 5.409299851, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kZnS), kZnS},
    {"tP2[123]-L10(AuCu)", 1051, 2.8020000458, 0, 3.6710000038, true, false, true, false, QN_SINGLE_TETRAGONAL, count(kL10), kL10},
    {"cF12[225]-C1(CaF2)", 2001, 5.461520195, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kCaF2), kCaF2},
    {"cP12[205]-C2(FeS2)", 2002, 5.417900085, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kFeS2), kFeS2},
    {"tP6[136]-C4(TiO2)", 2004, 4.593699932, 0, 2.958699942, true, false, true, false, QN_SINGLE_TETRAGONAL, count(kRutile), kRutile},
    {"tI12[141]-C5(TiO2)", 2005, 3.784499884, 0, 9.514300346, true, false, true, false, QN_SINGLE_TETRAGONAL, count(kAnatase), kAnatase},
    {"hP3[191]-C32(AlB2)", 2032, 3.009000063, 0, 3.262000084, true, false, true, false, QN_SINGLE_HEXAGONAL, count(kAlB2), kAlB2},
    {"hP8[194]-D019(SnNi3)", 3019, 5.295000076, 0, 4.247000217, true, false, true, false, QN_SINGLE_HEXAGONAL, count(kSnNi3), kSnNi3},
    {"oP16[62]-D020(NiAl3)", 3020, 6.59800005, 7.352000237, 4.802000046, true, true, true, false, QN_SINGLE_ORTHORHOMBIC, count(kNiAl3), kNiAl3},
    {"hP16[194]-D024(TiNi3)", 3024, 5.100999832, 0, 8.306699753, true, false, true, false, QN_SINGLE_HEXAGONAL, count(kTiNi3), kTiNi3},
    {"cP4[221]-L12(AuCu3)", 3029, 3.742599964, 0, 0, true, false, false, true, QN_SINGLE_CUBIC, count(kL12), kL12},
    // The orientation group stays enabled here although the cell ignores it.
    {"tP4[123]-L60(CuTi3)", 3030, 4.157999992, 0, 3.594000101, true, false, true, true, QN_SINGLE_TETRAGONAL, count(kL60), kL60},
};
// clang-format on

bool QN_single_uses_orientation(const QN_single_structure& s) {
    return s.kind == QN_SINGLE_FCC || s.kind == QN_SINGLE_BCC || s.kind == QN_SINGLE_HCP || s.kind == QN_SINGLE_CUBIC;
}

// ------------------------------------------------------------------- store

int QN_model_single_defaults() {
    const int reset = QN_reset_group(QN_SINGLE_GROUP, QN_SINGLE_TITLE);
    if (reset < 0) return reset;
    const QN_single_params d;
    QN_set_bit_char(QN_SINGLE_GROUP, "Model_", "Single_Crystal");
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_str", d.structure, 0);
    QN_set_bit_double(QN_SINGLE_GROUP, "M_single_a", d.a, 0);
    QN_set_bit_double(QN_SINGLE_GROUP, "M_single_b", d.b, 0);
    QN_set_bit_double(QN_SINGLE_GROUP, "M_single_c", d.c, 0);
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_dpx", d.dpx, 0);
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_dpy", d.dpy, 0);
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_dpz", d.dpz, 0);
    const char* axes = "xyz";
    const double* dirs[3] = {d.ox, d.oy, d.oz};
    const char* index = "hkl";
    for (int v = 0; v < 3; v++)
        for (int k = 0; k < 3; k++) {
            const std::string label = std::string("M_single_o") + axes[v] + index[k];
            QN_set_bit_double(QN_SINGLE_GROUP, label, dirs[v][k], 0);
        }
    QN_elements_default(QN_SINGLE_GROUP);
    return 1;
}

int QN_model_single_choose(int index) {
    if (index < 0 || index >= QN_SINGLE_STRUCTURE_COUNT) return -1;
    const QN_single_structure& s = QN_single_structures[index];
    QN_set_bit_int(QN_SINGLE_GROUP, "M_single_str", index, 0);
    if (s.a_enabled) QN_set_bit_double(QN_SINGLE_GROUP, "M_single_a", s.a, 0);
    if (s.b_enabled) QN_set_bit_double(QN_SINGLE_GROUP, "M_single_b", s.b, 0);
    if (s.c_enabled) QN_set_bit_double(QN_SINGLE_GROUP, "M_single_c", s.c, 0);
    return 1;
}

void QN_model_single_apply_script(int count, char** names, const int* flags) {
    if (!names || !flags) return;
    for (const Key& key : kKeys)
        for (int i = 0; i < count; i++) {
            if (!names[i]) continue;
            if (key.integer)
                QN_reset_bit_int(QN_SINGLE_GROUP, key.label, names[i], flags[i]);
            else
                QN_reset_bit_double(QN_SINGLE_GROUP, key.label, names[i], flags[i]);
        }
    for (int i = 0; i < count; i++)
        if (names[i]) QN_reset_bit_char(QN_SINGLE_GROUP, QN_ELEMENTS_KEY, names[i], flags[i]);
}

int QN_model_single_read(QN_single_params& p) {
    int found = 0;
    found += QN_scan_int_single(QN_SINGLE_GROUP, "M_single_str", p.structure);
    found += QN_scan_double_single(QN_SINGLE_GROUP, "M_single_a", p.a);
    found += QN_scan_double_single(QN_SINGLE_GROUP, "M_single_b", p.b);
    found += QN_scan_double_single(QN_SINGLE_GROUP, "M_single_c", p.c);
    found += QN_scan_int_single(QN_SINGLE_GROUP, "M_single_dpx", p.dpx);
    found += QN_scan_int_single(QN_SINGLE_GROUP, "M_single_dpy", p.dpy);
    found += QN_scan_int_single(QN_SINGLE_GROUP, "M_single_dpz", p.dpz);
    const char* axes = "xyz";
    const char* index = "hkl";
    double* dirs[3] = {p.ox, p.oy, p.oz};
    for (int v = 0; v < 3; v++)
        for (int k = 0; k < 3; k++)
            found += QN_scan_double_single(QN_SINGLE_GROUP, std::string("M_single_o") + axes[v] + index[k], dirs[v][k]);
    QN_scan_char_single(QN_SINGLE_GROUP, QN_ELEMENTS_KEY, p.elements);
    return found == static_cast<int>(sizeof(kKeys) / sizeof(kKeys[0])) ? 1 : 0;
}

// ------------------------------------------------------------------- build

int QN_model_single_check(const QN_single_params& p, std::string& message) {
    if (p.structure < 0 || p.structure >= QN_SINGLE_STRUCTURE_COUNT) {
        message = QB_format("Building model error: there is no structure number %d", p.structure);
        return QN_SINGLE_REFUSED;
    }
    const QN_single_structure& s = QN_single_structures[p.structure];
    if (p.dpx < 1 || p.dpy < 1 || p.dpz < 1) {
        message = QB_format("Building model error: the repeat counts must be 1 or more (x %d, y %d, z %d)", p.dpx,
                            p.dpy, p.dpz);
        return QN_SINGLE_REFUSED;
    }
    const struct {
        bool used;
        const char* name;
        double value;
    } lattice[3] = {{s.a_enabled, "a", p.a}, {s.b_enabled, "b", p.b}, {s.c_enabled, "c", p.c}};
    for (const auto& l : lattice)
        if (l.used && !(l.value > 0 && std::isfinite(l.value))) {
            message = QB_format("Building model error: the lattice parameter %s must be above 0 (it is %lf)", l.name,
                                l.value);
            return QN_SINGLE_REFUSED;
        }
    if (QN_single_uses_orientation(s)) {
        const double* dirs[3] = {p.ox, p.oy, p.oz};
        for (int v = 0; v < 3; v++)
            if (!finite3(dirs[v]) || !(length(dirs[v]) > 0)) {
                message = QB_format("Building model error: the orientation along %c [%g %g %g] has no length", "xyz"[v],
                                    dirs[v][0], dirs[v][1], dirs[v][2]);
                return QN_SINGLE_REFUSED;
            }
    }
    if (!QB_split_elenames(p.elements).empty()) {
        // One name per type of the structure's basis.
        QB_tools types;
        for (int i = 0; i < s.site_count; i++) types.ntypes = std::max(types.ntypes, s.sites[i].type);
        std::string why;
        if (QB_set_elenames(&types, p.elements, &why) != 1) {
            message = "Building model error: Elements: " + why;
            return QN_SINGLE_REFUSED;
        }
    }
    const double atoms = atoms_per_box(s, p) * p.dpx * p.dpy * p.dpz;
    if (!(atoms <= static_cast<double>(INT_MAX))) {
        message = QB_format("Building model error: about %.0f atoms, more than a model can hold (%d)", atoms, INT_MAX);
        return QN_SINGLE_REFUSED;
    }
    return QN_SINGLE_BUILT;
}

int QN_model_single_build(QB_tools* model, const QN_single_params& p, std::string& message) {
    if (QN_model_single_check(p, message) != QN_SINGLE_BUILT) return QN_SINGLE_REFUSED;
    const QN_single_structure& s = QN_single_structures[p.structure];
    // Built aside and moved in at the end, so a refusal on the way leaves
    // the model as it was.
    QB_tools work;
    QB_init(&work);
    try {
        double e;
        switch (s.kind) {
            case QN_SINGLE_FCC:
                e = QB_create_fcc(&work, p.a, p.ox[0], p.ox[1], p.ox[2], p.oy[0], p.oy[1], p.oy[2], p.oz[0],
                                  p.oz[1], p.oz[2]);
                break;
            case QN_SINGLE_BCC:
                e = QB_create_bcc(&work, p.a, p.ox[0], p.ox[1], p.ox[2], p.oy[0], p.oy[1], p.oy[2], p.oz[0],
                                  p.oz[1], p.oz[2]);
                break;
            case QN_SINGLE_HCP:
                e = QB_create_hcp(&work, p.a, p.c, p.ox[0], p.ox[1], p.ox[2], p.oy[0], p.oy[1], p.oy[2], p.oz[0],
                                  p.oz[1], p.oz[2]);
                break;
            default:
                e = QN_model_single_others(&work, s.code, p.a, p.b, p.c, p.ox[0], p.ox[1], p.ox[2], p.oy[0],
                                           p.oy[1], p.oy[2], p.oz[0], p.oz[1], p.oz[2]);
                break;
        }
        if (e < 0) {
            message = "Building model error: the lattice generator refused these directions (too long)";
            return QN_SINGLE_REFUSED;
        }
        if (!(e < 0.1)) {
            // The model is emptied, keeping the box of the rejected build.
            QB_free_atom(&work);
            *model = std::move(work);
            message = QN_SINGLE_REJECTED;
            return QN_SINGLE_NOT_ORTHOGONAL;
        }
        if (QB_duplicate(&work, p.dpx, p.dpy, p.dpz) < 0) {
            message = "Building model error: too many atoms for one model";
            return QN_SINGLE_REFUSED;
        }
    } catch (const std::bad_alloc&) {
        message = "Building model error: not enough memory for this model";
        return QN_SINGLE_REFUSED;
    }
    if (!QB_split_elenames(p.elements).empty()) {
        std::string why;
        if (QB_set_elenames(&work, p.elements, &why) != 1) {
            message = "Building model error: Elements: " + why;
            return QN_SINGLE_REFUSED;
        }
    }
    *model = std::move(work);
    message = QN_new_model_text(model);
    return QN_SINGLE_BUILT;
}

double QN_model_single_others(QB_tools* model, int code, double a, double b, double c, double xh, double xk,
                              double xl, double yh, double yk, double yl, double zh, double zk, double zl) {
    const QN_single_structure* s = structure_of_code(code);
    if (s && s->kind == QN_SINGLE_CUBIC) {
        std::unique_ptr<double[][4]> basis(new double[s->site_count][4]);
        for (int i = 0; i < s->site_count; i++) {
            basis[i][0] = s->sites[i].type;
            basis[i][1] = s->sites[i].x;
            basis[i][2] = s->sites[i].y;
            basis[i][3] = s->sites[i].z;
        }
        return QB_create_any(model, a, xh, xk, xl, yh, yk, yl, zh, zk, zl, s->site_count, basis.get());
    }
    if (s && (s->kind == QN_SINGLE_HEXAGONAL || s->kind == QN_SINGLE_TETRAGONAL ||
              s->kind == QN_SINGLE_ORTHORHOMBIC)) {
        const double vectors[3][3] = {
            {a, 0, 0},
            {s->kind == QN_SINGLE_HEXAGONAL ? -0.5 * a : 0,
             s->kind == QN_SINGLE_HEXAGONAL ? 0.866025404 * a : (s->kind == QN_SINGLE_ORTHORHOMBIC ? b : a), 0},
            {0, 0, c}};
        for (int e = 0; e < 3; e++)
            for (int d = 0; d < 3; d++) model->cell[e][d] = vectors[e][d];
        for (int d = 0; d < 3; d++) model->origin[d] = 0;
        for (int i = 0; i < s->site_count; i++) {
            const double f[3] = {s->sites[i].x, s->sites[i].y, s->sites[i].z};
            double r[3];
            for (int d = 0; d < 3; d++) r[d] = f[0] * vectors[0][d] + f[1] * vectors[1][d] + f[2] * vectors[2][d];
            QB_create_atom(model, s->sites[i].type, r[0], r[1], r[2]);
        }
        model->triclinic = 1;
    }
    bounds_from_cell(model);
    return 0;
}
