#include "builders/layers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <new>

#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"

const char* const QN_DOUBLE_TITLE = "Build a double layer model with two given files";

double Quelm_Crack_limitd = 30, Quelm_Crack_limitbox = 200, Quelm_Crack_mismatch = 0.0001;
double Quelm_Crack_mina = 0, Quelm_Crack_maxa = 360, Quelm_Crack_minb = 0, Quelm_Crack_maxb = 360;

namespace {

constexpr double kMostAtoms = 4e8;
const char* const kAxisNames = "xyz";

int refused(std::string* message, const std::string& why) {
    if (message) *message = why;
    return -1;
}

// One crystal of the bilayer, centred and anchored as the construction wants.
bool prepare(const char* path, int u, int v, QB_tools& c, std::string* message) {
    std::string reason;
    const int code = QB_read_file(&c, path ? path : "", &reason);
    if (code % 2 == 0) {
        refused(message, std::string("Building model error: cannot read ") + (path ? path : "") +
                             (reason.empty() ? "" : ": " + reason));
        return false;
    }
    int live = 0;
    for (const auto& a : c.atoms) live += a.id > 0;
    if (live == 0) {
        refused(message, std::string("Building model error: ") + path + " holds no atoms");
        return false;
    }
    // A cell given as vectors along x, y and z (as a POSCAR gives every
    // cell) is an orthogonal box.
    if (c.triclinic == 1) {
        bool diagonal = true;
        for (int e = 0; e < 3; e++)
            for (int k = 0; k < 3; k++) diagonal = diagonal && (e == k ? c.cell[e][k] > 0 : c.cell[e][k] == 0);
        if (diagonal) {
            c.triclinic = 0;
            for (int k = 0; k < 3; k++) {
                c.lo[k] = c.origin[k];
                c.size[k] = c.cell[k][k];
            }
        }
    }
    if (c.triclinic == 1) {
        refused(message, "Building model error: not a orthogonal model");
        return false;
    }
    if (!(c.size[0] > 0 && c.size[1] > 0 && c.size[2] > 0)) {
        refused(message, std::string("Building model error: the box of ") + path + " has no volume");
        return false;
    }
    // The centroid to the box centre; the box to the origin; the first atom
    // at u = v = 0; everything wrapped into the box.
    double c0[3] = {0, 0, 0};
    for (const auto& a : c.atoms) c0[0] += a.x, c0[1] += a.y, c0[2] += a.z;
    for (double& x : c0) x /= c.natoms;
    for (auto& a : c.atoms) {
        a.x += c.lo[0] + c.size[0] / 2 - c0[0];
        a.y += c.lo[1] + c.size[1] / 2 - c0[1];
        a.z += c.lo[2] + c.size[2] / 2 - c0[2];
    }
    for (int k = 0; k < 3; k++) {
        c.lo[k] = c.origin[k] = 0;
        for (int e = 0; e < 3; e++) c.cell[k][e] = k == e ? c.size[k] : 0;
    }
    const double first[3] = {c.atoms[0].x, c.atoms[0].y, c.atoms[0].z};
    for (int i = 0; i < c.natoms; i++) {
        atomdata& a = c.atoms[static_cast<size_t>(i)];
        double* p[3] = {&a.x, &a.y, &a.z};
        *p[u] -= first[u];
        *p[v] -= first[v];
        QB_wrap(&c, i);
    }
    return true;
}

double coordinate(const atomdata& a, int axis) { return axis == 0 ? a.x : axis == 1 ? a.y : a.z; }

}  // namespace

void QN_double_axes(int dir, int& s, int& u, int& v) {
    if (dir == 0) {
        s = 0, u = 1, v = 2;
    } else if (dir == 1) {
        s = 1, u = 0, v = 2;
    } else {
        s = 2, u = 0, v = 1;
    }
}

double QN_double_mismatch(int na, double A, int nb, double B) {
    if (na == 0 && nb == 0) return 0;
    return std::fabs(2 * (na * A - nb * B) / (na * A + nb * B));
}

void QN_double_auto(double A, double B, int limit, int& bottom, int& upper) {
    double best = 1;
    for (int i = 1; i < limit; i++) {
        const double e = i * A;
        const double P = std::floor(e / B);
        const double r1 = (e - P * B) / e;
        if (r1 < best) {
            bottom = i;
            upper = static_cast<int>(P);
            best = r1;
        }
        const double r2 = ((P + 1) * B - e) / e;
        if (r2 < best) {
            bottom = i;
            upper = static_cast<int>(P) + 1;
            best = r2;
        }
    }
}

int QB_double_layer(int dir, const char* file_a, int na_u, int na_v, double thick_a, const char* file_b, int nb_u,
                    int nb_v, double thick_b, double gap, QB_tools* out, std::string* message, double* mismatch) {
    if (na_u < 1 || na_v < 1 || nb_u < 1 || nb_v < 1) return refused(message, "ERROR: Low area in bilayer or multilayer");
    if (!(thick_a >= 0) || !(thick_b >= 0) || !std::isfinite(thick_a) || !std::isfinite(thick_b))
        return refused(message, "Building model error: a thickness is negative");
    if (!(gap >= 0) || !std::isfinite(gap)) return refused(message, "Building model error: the vacuum must not be negative");
    int s, u, v;
    QN_double_axes(dir, s, u, v);
    QB_tools A, B;
    if (!prepare(file_a, u, v, A, message) || !prepare(file_b, u, v, B, message)) return -1;
    if (mismatch) {
        mismatch[0] = QN_double_mismatch(na_u, A.size[u], nb_u, B.size[u]);
        mismatch[1] = QN_double_mismatch(na_v, A.size[v], nb_v, B.size[v]);
    }
    const double Lu = (na_u * A.size[u] + nb_u * B.size[u]) / 2;
    const double Lv = (na_v * A.size[v] + nb_v * B.size[v]) / 2;
    // A thickness typed as a whole number of cells counts that many cells,
    // though the quotient of the decimals may fall just short of it.
    const long kA = static_cast<long>(thick_a / A.size[s] * (1 + 1e-12) + 1e-9);
    const long kB = static_cast<long>(thick_b / B.size[s] * (1 + 1e-12) + 1e-9) + 1;
    const double count = A.natoms * static_cast<double>(na_u) * na_v * (kA + 1) + B.natoms * static_cast<double>(nb_u) * nb_v * kB;
    if (!(count < kMostAtoms)) return refused(message, "Building model error: too many atoms for one model");
    try {
        QB_tools work;
        QB_init(&work);
        work.atoms.reserve(static_cast<size_t>(count));
        QB_progress_update(50);
        auto place = [&](const QB_tools& c, int nu, int nv, long k0, long k1, double base, int shift) {
            const double su = Lu / (nu * c.size[u]), sv = Lv / (nv * c.size[v]);
            for (int n = 0; n < c.natoms; n++) {
                const atomdata& p = c.atoms[static_cast<size_t>(n)];
                for (int i = 0; i < nu; i++)
                    for (int j = 0; j < nv; j++)
                        for (long k = k0; k <= k1; k++) {
                            double q[3];
                            q[u] = (c.size[u] * i + coordinate(p, u)) * su - Lu / 2;
                            q[v] = (c.size[v] * j + coordinate(p, v)) * sv - Lv / 2;
                            q[s] = k * c.size[s] + coordinate(p, s) + base;
                            work.atoms.push_back({0, p.type + shift, q[0], q[1], q[2], 0});
                        }
            }
        };
        place(A, na_u, na_v, 0, kA, -(kA + 1) * A.size[s], 0);
        place(B, nb_u, nb_v, 0, kB - 1, 0, A.ntypes);
        QB_progress_update(75);
        int top_b = 0;
        for (const auto& q : B.atoms) top_b = std::max(top_b, static_cast<int>(q.type));
        work.natoms = static_cast<int>(work.atoms.size());
        for (int i = 0; i < work.natoms; i++) work.atoms[static_cast<size_t>(i)].id = i + 1;
        work.ntypes = A.ntypes + top_b;
        work.lo[u] = -Lu / 2;
        work.size[u] = Lu;
        work.lo[v] = -Lv / 2;
        work.size[v] = Lv;
        work.lo[s] = -(kA + 1) * A.size[s] - gap / 2;
        work.size[s] = kB * B.size[s] + (kA + 1) * A.size[s] + gap;
        for (int k = 0; k < 3; k++) {
            work.origin[k] = work.lo[k];
            for (int e = 0; e < 3; e++) work.cell[k][e] = k == e ? work.size[k] : 0;
        }
        work.triclinic = 0;
        // The upper crystal's types follow the lower's, and so do their names.
        QN_name_types(&work, QN_type_names(A));
        QN_name_types(&work, QN_type_names(B), A.ntypes);
        *out = std::move(work);
    } catch (const std::bad_alloc&) {
        return refused(message, "Building model error: not enough memory for this model");
    }
    if (message) *message = QN_new_model_text(out);
    return 1;
}

// ================================================================== store

int QN_model_double_defaults(int mode) {
    const int reset = QN_reset_group(QN_DOUBLE_GROUP, QN_DOUBLE_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_char(QN_DOUBLE_GROUP, "Model_", QB_format("Double_Layer%d", mode));
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_dir", 0, 0);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_filea", "blank");
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_ax", 0, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_ay", 0, 0);
    QN_set_bit_double(QN_DOUBLE_GROUP, "M_double_at", 0, 0);
    QN_set_bit_char(QN_DOUBLE_GROUP, "M_double_fileb", "blank");
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_bx", 0, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_by", 0, 0);
    QN_set_bit_double(QN_DOUBLE_GROUP, "M_double_bt", 0, 0);
    QN_set_bit_double(QN_DOUBLE_GROUP, "M_double_void", 0, 0);
    QN_set_bit_int(QN_DOUBLE_GROUP, "M_double_period", 1, 0);
    QN_elements_default(QN_DOUBLE_GROUP);
    return 1;
}

void QN_model_double_read(QN_double_params& p) {
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_dir", p.dir);
    QN_scan_char_single(QN_DOUBLE_GROUP, "M_double_filea", p.filea);
    QN_scan_char_single(QN_DOUBLE_GROUP, "M_double_fileb", p.fileb);
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_ax", p.ax);
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_ay", p.ay);
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_bx", p.bx);
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_by", p.by);
    QN_scan_double_single(QN_DOUBLE_GROUP, "M_double_at", p.at);
    QN_scan_double_single(QN_DOUBLE_GROUP, "M_double_bt", p.bt);
    QN_scan_double_single(QN_DOUBLE_GROUP, "M_double_void", p.gap);
    QN_scan_int_single(QN_DOUBLE_GROUP, "M_double_period", p.period);
}

int QN_model_double_build(int mode, QB_tools* out, std::string& message, double largest_mismatch, double* mismatch) {
    QN_double_params p;
    QN_model_double_read(p);
    if (p.dir < 0 || p.dir > 2) return refused(&message, "Building model error: no such interface direction");
    if (mode == 1 && p.period < 1) return refused(&message, "ERROR: Zero layers in multilayer");
    double mis[2] = {0, 0};
    QB_tools work;
    const int built = QB_double_layer(p.dir, p.filea.c_str(), p.ax, p.ay, p.at, p.fileb.c_str(), p.bx, p.by, p.bt,
                                      mode == 0 ? p.gap : 0, &work, &message, mis);
    if (built != 1) return built;
    if (mismatch) mismatch[0] = mis[0], mismatch[1] = mis[1];
    int s, u, v;
    QN_double_axes(p.dir, s, u, v);
    const std::string lines = QB_format("\nInterface Mismatch %c: %lf\nInterface Mismatch %c: %lf", kAxisNames[u], mis[0],
                                        kAxisNames[v], mis[1]);
    if (largest_mismatch >= 0 && std::fabs(mis[0]) + std::fabs(mis[1]) > largest_mismatch) {
        message = "The current model has a large mismatch." + lines;
        return QN_DOUBLE_LARGE_MISMATCH;
    }
    if (mode == 1) {
        const int f[3] = {s == 0 ? p.period : 1, s == 1 ? p.period : 1, s == 2 ? p.period : 1};
        if (static_cast<double>(work.natoms) * p.period >= kMostAtoms || QB_duplicate(&work, f[0], f[1], f[2]) < 0)
            return refused(&message, "Building model error: too many atoms for one model");
    }
    if (QN_elements_apply(QN_DOUBLE_GROUP, &work, message) != 1) return -1;
    *out = std::move(work);
    message = QN_new_model_text(out) + lines;
    return 1;
}

// ==================================================================== scan

void QB_mismatch_set(double limitd, double limitbox, double mismatch) {
    Quelm_Crack_limitd = limitd;
    Quelm_Crack_limitbox = limitbox;
    Quelm_Crack_mismatch = mismatch;
}

void QB_angle_set(double mina, double maxa, double minb, double maxb) {
    Quelm_Crack_mina = mina;
    Quelm_Crack_maxa = maxa;
    Quelm_Crack_minb = minb;
    Quelm_Crack_maxb = maxb;
}

double arc_tan(double dz, double dy) {
    if (dy == 0) return dz > 0 ? 90 : 270;
    if (dz == 0) return dy > 0 ? 0 : 180;
    const double t = std::atan(std::fabs(dz / dy)) * 180 / 3.141592653589793;
    if (dy > 0 && dz > 0) return t;
    if (dy < 0 && dz > 0) return 180 - t;
    if (dy < 0 && dz < 0) return 180 + t;
    return 360 - t;
}

namespace {
// Angles of six-decimal files are good to about 1e-4 degree.
constexpr double kAngleTolerance = 1e-3;
constexpr double kPlaneTolerance = 1e-4;
constexpr double kCoincident = 0.1;
}  // namespace

int install_face(double angle, double length, std::vector<crystal_face>& faces) {
    for (crystal_face& f : faces) {
        const double d = std::fabs(f.angle - angle);
        if (d <= kAngleTolerance || std::fabs(d - 360) <= kAngleTolerance) {
            f.length = std::min(f.length, length);
            return static_cast<int>(faces.size());
        }
    }
    faces.push_back({length, angle, -1, kAngleTolerance});
    return static_cast<int>(faces.size());
}

namespace {

// The in-plane lattice directions of a crystal around its first atom.
std::vector<crystal_face> faces_of(const QB_tools* c, double limitd, int which, std::string* remarks) {
    std::vector<crystal_face> faces;
    int first = -1;
    for (int i = 0; i < c->natoms && first < 0; i++)
        if (c->atoms[static_cast<size_t>(i)].id > 0) first = i;
    if (first < 0 || !(limitd > 0)) return faces;
    double cell[3][3];
    for (int e = 0; e < 3; e++)
        for (int k = 0; k < 3; k++) cell[e][k] = c->triclinic == 1 ? c->cell[e][k] : (e == k ? c->size[e] : 0);
    auto crossv = [](const double* a, const double* b) {
        return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    const auto bc = crossv(cell[1], cell[2]), ca = crossv(cell[2], cell[0]), ab = crossv(cell[0], cell[1]);
    const double volume = cell[0][0] * bc[0] + cell[0][1] * bc[1] + cell[0][2] * bc[2];
    if (!(std::fabs(volume) > 0)) return faces;
    // Lattice index ranges covering a ball of radius limitd.
    int reach[3];
    const std::array<double, 3>* rows[3] = {&bc, &ca, &ab};
    for (int e = 0; e < 3; e++) {
        const auto& n = *rows[e];
        reach[e] = static_cast<int>(std::ceil(limitd * std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) / std::fabs(volume))) + 1;
    }
    const atomdata& a0 = c->atoms[static_cast<size_t>(first)];
    struct Vector {
        double dy, dz, length, angle;
    };
    std::vector<Vector> found;
    int coincident = 0;
    for (int i = 0; i < c->natoms; i++) {
        const atomdata& a = c->atoms[static_cast<size_t>(i)];
        if (a.id <= 0 || a.type != a0.type) continue;
        for (int na = -reach[0]; na <= reach[0]; na++)
            for (int nb = -reach[1]; nb <= reach[1]; nb++)
                for (int nc = -reach[2]; nc <= reach[2]; nc++) {
                    double d[3] = {a.x - a0.x, a.y - a0.y, a.z - a0.z};
                    for (int k = 0; k < 3; k++) d[k] += na * cell[0][k] + nb * cell[1][k] + nc * cell[2][k];
                    if (std::fabs(d[0]) > kPlaneTolerance) continue;
                    const double length = std::hypot(d[1], d[2]);
                    if (length > limitd) continue;
                    if (length < kCoincident) {
                        coincident += i != first || na != 0 || nb != 0 || nc != 0;
                        continue;
                    }
                    found.push_back({d[1], d[2], length, arc_tan(d[2], d[1])});
                }
    }
    if (coincident > 0) {
        const std::string remark =
            QB_format("crystal %d: %d atoms closer than %g to the first atom passed over\n", which, coincident, kCoincident);
        if (remarks)
            *remarks += remark;
        else
            std::fputs(remark.c_str(), stdout);
    }
    std::stable_sort(found.begin(), found.end(), [](const Vector& p, const Vector& q) {
        return p.length < q.length || (p.length == q.length && p.angle < q.angle);
    });
    for (const Vector& v : found) install_face(v.angle, v.length, faces);
    // The partner of a direction: the direction turned by +90 degrees.
    for (size_t i = 0; i < faces.size(); i++) {
        faces[i].partner = -1;
        faces[i].partner_deviation = kAngleTolerance;
        for (size_t j = 0; j < faces.size(); j++) {
            const double cdiff = faces[i].angle - faces[j].angle;
            const double dev = std::min({std::fabs(cdiff - 270), std::fabs(cdiff + 450), std::fabs(cdiff + 90)});
            if (dev <= faces[i].partner_deviation) {
                faces[i].partner = static_cast<int>(j);
                faces[i].partner_deviation = dev;
            }
        }
    }
    return faces;
}

// Smallest n1 (n1 |f1| < H) with n2 |f2| matching within the tolerance.
double match(double f1, double f2, double H, double I, int& n1, int& n2) {
    double best = H;
    n1 = n2 = 0;
    if (!(f1 < H) || !(f2 > 0)) return best;
    for (int N = 1; N * f1 < H; N++) {
        const double O = N * f1;
        const double P = std::floor(O / f2);
        const double Q = (O - P * f2) / O;
        const double R = (O - (P + 1) * f2) / O;
        const double candidate = Q > std::fabs(R) ? P + 1 : P;
        const double deviation = Q > std::fabs(R) ? std::fabs(R) : Q;
        if (deviation < best) {
            n2 = static_cast<int>(candidate);
            n1 = N;
            best = deviation;
        }
        if (best < I) break;
    }
    return best;
}

}  // namespace

int QB_mismatch_scan(const QB_tools* crystal1, const QB_tools* crystal2, std::vector<scaned_data>& results,
                     std::string* remarks) {
    results.clear();
    const std::vector<crystal_face> f1 = faces_of(crystal1, Quelm_Crack_limitd, 1, remarks);
    const std::vector<crystal_face> f2 = faces_of(crystal2, Quelm_Crack_limitd, 2, remarks);
    if (f1.empty() || f2.empty()) return 0;
    const double H = Quelm_Crack_limitbox, I = Quelm_Crack_mismatch;
    for (const crystal_face& a : f1) {
        if (a.partner < 0 || !(a.partner_deviation < kAngleTolerance)) continue;
        for (const crystal_face& b : f2) {
            if (b.partner < 0 || !(b.partner_deviation < kAngleTolerance)) continue;
            const crystal_face& pa = f1[static_cast<size_t>(a.partner)];
            const crystal_face& pb = f2[static_cast<size_t>(b.partner)];
            scaned_data r{};
            r.theta1 = a.angle;
            r.theta2 = b.angle;
            r.d1y = a.length;
            r.d2y = b.length;
            r.d1z = pa.length;
            r.d2z = pb.length;
            r.mismatchy = match(a.length, b.length, H, I, r.n1y, r.n2y);
            r.mismatchz = pa.length < H ? match(pa.length, pb.length, H, I, r.n1z, r.n2z) : H;
            const bool accepted = r.mismatchy < I && r.mismatchz < I && a.length < H && pa.length < H &&
                                  Quelm_Crack_mina <= r.theta1 && r.theta1 <= Quelm_Crack_maxa &&
                                  Quelm_Crack_minb <= r.theta2 && r.theta2 <= Quelm_Crack_maxb &&
                                  std::fabs(r.theta1 - r.theta2) > kAngleTolerance;
            if (accepted) results.push_back(r);
        }
    }
    return static_cast<int>(results.size());
}

namespace {
const char* const kScanKeys[7] = {"S_minanga", "S_maxanga", "S_minangb", "S_maxangb", "S_maxbox", "S_maxlat", "S_maxmis"};
const double kScanDefaults[7] = {0, 360, 0, 360, 200, 30, 0.0001};
const char* const kSelectionKeys[10] = {"S_anga", "S_n1y", "S_n1z", "S_d1y", "S_d1z",
                                        "S_angb", "S_n2y", "S_n2z", "S_d2y", "S_d2z"};
}  // namespace

void QN_scan_defaults() {
    for (int k = 0; k < 7; k++)
        if (Quelm_scan_dest_single(QN_CRACK_GROUP, kScanKeys[k]) < 0)
            QN_set_bit_double(QN_CRACK_GROUP, kScanKeys[k], kScanDefaults[k], 0);
}

void QN_scan_limits_from_store() {
    double v[7];
    for (int k = 0; k < 7; k++) {
        v[k] = kScanDefaults[k];
        QN_scan_double_single(QN_CRACK_GROUP, kScanKeys[k], v[k]);
    }
    QB_mismatch_set(v[5], v[4], v[6]);
    QB_angle_set(v[0], v[1], v[2], v[3]);
}

void QN_tiltscan_save(const std::vector<scaned_data>& rows) {
    for (const char* key : kSelectionKeys) QN_set_bit_char(QN_CRACK_GROUP, key, "reset");
    int j = 0;
    for (const scaned_data& r : rows) {
        if (!r.selected) continue;
        const double values[10] = {r.theta1, static_cast<double>(r.n1y), static_cast<double>(r.n1z), r.d1y, r.d1z,
                                   r.theta2, static_cast<double>(r.n2y), static_cast<double>(r.n2z), r.d2y, r.d2z};
        for (int k = 0; k < 10; k++) QN_set_bit_double(QN_CRACK_GROUP, kSelectionKeys[k], values[k], j);
        j++;
    }
}
