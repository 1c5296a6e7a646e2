#include "builders/defects.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <new>
#include <vector>

#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_random.h"
#include "qb/qb_text.h"

const char* const QN_DISLOCATION_TITLE = "Build a dislocation model with two given files";
const char* const QN_CRACK_TITLE = "Build a crack model with two given files";
const char* const QN_SOLUTE_TITLE = "Build a solute model with two given files";

namespace {

constexpr double kPi = 3.141592653589793;
// Largest |cos| between two directions that count as perpendicular: stored
// values have six decimals.
constexpr double kPerpendicular = 1e-6;

using Vec = std::array<double, 3>;

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec scaled(const Vec& a, double f) { return {a[0] * f, a[1] * f, a[2] * f}; }

// a / |a|; false for a zero or non-finite vector.
bool unit(Vec a, Vec& out) {
    const double len = std::sqrt(dot(a, a));
    if (!(len > 0) || !std::isfinite(len)) return false;
    out = scaled(a, 1 / len);
    return true;
}


bool poisson_ok(double nu) { return nu > -1 && nu <= 0.5; }

// The model with every coordinate finite, or false.
bool all_finite(const QB_tools& s) {
    for (const atomdata& a : s.atoms)
        if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(a.z)) return false;
    return true;
}

int read_model(const char* file, QB_tools& model, std::string* message) {
    std::string why;
    if (QN_read_builder_model(file ? file : "", model, why) == 1) return 1;
    if (message) *message = why;
    return -1;
}

// Hands the changed model over.
int finish(QB_tools* out, QB_tools& work, std::string* message, const std::string& report) {
    if (!all_finite(work)) return QN_refused(message, "the displacement is not finite");
    *out = std::move(work);
    if (message) *message = QN_new_model_text(out) + "\n" + report;
    return 1;
}

// ---------------------------------------------------------------- solution

int substitute(QB_tools& s, int64_t count, int type, int seed) {
    std::vector<int> hosts;
    for (int i = 0; i < s.natoms; i++)
        if (s.atoms[static_cast<size_t>(i)].id > 0 && s.atoms[static_cast<size_t>(i)].type != type) hosts.push_back(i);
    QB_random rng;
    rng.seed(static_cast<uint32_t>(seed));
    if (count >= static_cast<int64_t>(hosts.size())) {
        for (int i : hosts) s.atoms[static_cast<size_t>(i)].type = type;
        return static_cast<int>(hosts.size());
    }
    // A partial shuffle: each draw takes one of the hosts not yet taken.
    int64_t left = static_cast<int64_t>(hosts.size());
    for (int64_t k = 0; k < count; k++, left--) {
        const int64_t j = QB_random_below(rng, left);
        s.atoms[static_cast<size_t>(hosts[static_cast<size_t>(j)])].type = type;
        std::swap(hosts[static_cast<size_t>(j)], hosts[static_cast<size_t>(left - 1)]);
    }
    return static_cast<int>(count);
}

// Interstitials near random points of the cell until `count` are placed or
// the attempts run out; returns the number placed.
int insert_interstitials(QB_tools& s, int64_t count, int type, int seed, double cutoff) {
    const int hosts = s.natoms;
    QB_pbc(&s, cutoff);
    QB_network_init(&s, cutoff);
    QB_random rng;
    rng.seed(static_cast<uint32_t>(seed));
    std::vector<int> images;  // periodic copies of the inserted atoms
    const int64_t attempts = 100 * count + 1000;
    int placed = 0;
    for (int64_t k = 0; k < attempts && placed < count; k++) {
        double f[3];
        for (double& v : f) v = rng.next() / static_cast<double>(QB_RAND_MAX);
        double p[3];
        for (int d = 0; d < 3; d++)
            p[d] = s.triclinic == 1 ? s.origin[d] + f[0] * s.cell[0][d] + f[1] * s.cell[1][d] + f[2] * s.cell[2][d]
                                    : s.lo[d] + f[d] * s.size[d];
        const int added = QB_add_solute(&s, type, p[0], p[1], p[2], cutoff);
        if (added < 0) continue;
        placed++;
        const atomdata a = s.atoms[static_cast<size_t>(added)];
        const double at[3] = {a.x, a.y, a.z};
        for (const auto& q : QB_point_images(&s, cutoff, at)) {
            QB_create_atom(&s, type, q[0], q[1], q[2]);
            images.push_back(s.natoms - 1);
            QB_network_update(&s, cutoff, s.natoms - 1);
        }
    }
    QB_network_free(&s);
    QB_pbc_clean(&s);
    for (int i : images) QB_delete_atom(&s, i);
    QB_affine_delete(&s);
    // The new atoms follow the hosts with the next free ids.
    int top = 0;
    for (int i = 0; i < hosts; i++) top = std::max(top, static_cast<int>(s.atoms[static_cast<size_t>(i)].id));
    for (int i = hosts; i < s.natoms; i++) s.atoms[static_cast<size_t>(i)].id = ++top;
    return placed;
}

}  // namespace

// ============================================================= dislocation

void QN_edge_displacement(double x, double y, double b, double nu, double u[2]) {
    const double rho2 = x * x + y * y;
    const double theta = std::atan2(y, x);
    const double f = b / (2 * kPi);
    u[0] = f * (theta + x * y / (2 * (1 - nu) * rho2));
    u[1] = -f * ((1 - 2 * nu) / (4 * (1 - nu)) * std::log(rho2) + (x * x - y * y) / (4 * (1 - nu) * rho2));
}

int QB_dislocation(int mode, const char* file, double cx, double cy, double cz, int unit_kind, double dx, double dy,
                   double dz, double bx, double by, double bz, double b, double nu, QB_tools* out,
                   std::string* message, int* on_line) {
    if (mode < 0 || mode > 1) return QN_refused(message, "no such mode");
    if (unit_kind < 0 || unit_kind > 1) return QN_refused(message, "no such unit");
    Vec xi, s;
    if (!unit({dx, dy, dz}, xi) || !unit({bx, by, bz}, s) || std::fabs(dot(xi, s)) > kPerpendicular)
        return QN_refused(message, mode == 0 ? "the line direction and the slip normal must be non-zero and perpendicular"
                                          : "the line direction and the Burgers direction must be non-zero and perpendicular");
    if (!(b != 0) || !std::isfinite(b)) return QN_refused(message, "the Burgers length must not be 0");
    if (mode == 1 && !poisson_ok(nu)) return QN_refused(message, "the Poisson ratio must lie above -1 and at most 0.5");
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(cz)) return QN_refused(message, "the centre is not a number");
    QB_tools work;
    if (read_model(file, work, message) != 1) return -1;

    // Exactly perpendicular, then the third direction of the frame.
    unit(Vec{s[0] - dot(s, xi) * xi[0], s[1] - dot(s, xi) * xi[1], s[2] - dot(s, xi) * xi[2]}, s);
    const Vec n = mode == 0 ? cross(s, xi) : cross(xi, s);
    Vec C;
    const double f[3] = {cx, cy, cz};
    for (int d = 0; d < 3; d++) {
        if (unit_kind == 0)
            C[d] = f[d];
        else if (work.triclinic == 1)
            C[d] = work.origin[d] + f[0] * work.cell[0][d] + f[1] * work.cell[1][d] + f[2] * work.cell[2][d];
        else
            C[d] = work.lo[d] + f[d] * work.size[d];
    }
    int kept = 0;
    for (atomdata& a : work.atoms) {
        const Vec r{a.x - C[0], a.y - C[1], a.z - C[2]};
        const double along = dot(r, xi);
        const Vec across{r[0] - along * xi[0], r[1] - along * xi[1], r[2] - along * xi[2]};
        if (dot(across, across) < QN_DEFECT_CORE * QN_DEFECT_CORE) {
            kept++;
            continue;
        }
        Vec u;
        if (mode == 0) {
            u = scaled(xi, b * std::atan2(dot(r, s), dot(r, n)) / (2 * kPi));
        } else {
            double e[2];
            QN_edge_displacement(dot(r, s), dot(r, n), b, nu, e);
            for (int d = 0; d < 3; d++) u[d] = s[d] * e[0] + n[d] * e[1];
        }
        a.x += u[0];
        a.y += u[1];
        a.z += u[2];
    }
    if (on_line) *on_line = kept;
    return finish(out, work, message, QB_format("%d atoms on the dislocation line left in place", kept));
}

// ================================================================== crack

void QN_crack_displacement(int mode, double r, double theta, double G, double nu, double K, double u[3]) {
    const double A = K * (50 / G) * std::sqrt(r / (2 * kPi));
    const bool stress = mode == 1 || mode == 3;
    const double kappa = stress ? (3 - nu) / (1 + nu) : 3 - 4 * nu;
    const double s = std::sin(theta / 2), c = std::cos(theta / 2);
    u[0] = u[1] = u[2] = 0;
    if (mode <= 1) {
        u[0] = A * c * (kappa - 1 + 2 * s * s);
        u[1] = A * s * (kappa + 1 - 2 * c * c);
    } else if (mode <= 3) {
        u[0] = A * s * (kappa + 1 + 2 * c * c);
        u[1] = -A * c * (kappa - 1 - 2 * s * s);
    } else {
        u[2] = 4 * A * s;  // (2K/G) sqrt(r / 2 pi) sin(theta / 2)
    }
}

int QB_crack(int mode, int direction, int normal, const char* file, double length, double G, double nu, double K,
             QB_tools* out, std::string* message, int* at_tip) {
    if (mode < 0 || mode > 4) return QN_refused(message, "no such mode");
    if (direction < 0 || direction > 5) return QN_refused(message, "no such direction");
    if (normal < 0 || normal > 2) return QN_refused(message, "no such plane normal");
    const int axis = direction / 2;
    if (axis == normal) return QN_refused(message, "the crack normal lies along the crack direction");
    if (!(G > 0) || !std::isfinite(G)) return QN_refused(message, "the shear modulus must be above 0");
    if (!poisson_ok(nu)) return QN_refused(message, "the Poisson ratio must lie above -1 and at most 0.5");
    if (!std::isfinite(K)) return QN_refused(message, "the stress intensity factor is not a number");
    QB_tools work;
    if (read_model(file, work, message) != 1) return -1;
    if (work.triclinic == 1) return QN_refused(message, "not a orthogonal model");
    if (!(length >= 0 && length <= work.size[axis])) return QN_refused(message, "the crack length lies outside the box");

    const int third = 3 - axis - normal;
    const double t = direction % 2 == 0 ? 1 : -1;
    const double tip = t > 0 ? work.lo[axis] + length : work.lo[axis] + work.size[axis] - length;
    const double middle = work.lo[normal] + work.size[normal] / 2;
    int kept = 0;
    for (atomdata& a : work.atoms) {
        double p[3] = {a.x, a.y, a.z};
        const double d = (p[axis] - tip) * t, h = p[normal] - middle;
        const double r = std::hypot(d, h);
        if (r < QN_DEFECT_CORE) {
            kept++;
            continue;
        }
        double theta = std::acos(std::clamp(d / r, -1.0, 1.0));
        if (h < 0) theta = -theta;
        double u[3];
        QN_crack_displacement(mode, r, theta, G, nu, K, u);
        p[axis] += u[0] * t;
        p[normal] += u[1];
        p[third] += u[2];
        a.x = p[0];
        a.y = p[1];
        a.z = p[2];
    }
    // The box fits the opened crystal along the two axes of the crack plane's
    // cross-section, from the box's centre outwards.
    for (int e : {axis, normal}) {
        double low = work.lo[e] + work.size[e] / 2, high = low;
        for (const atomdata& a : work.atoms) {
            const double v = e == 0 ? a.x : e == 1 ? a.y : a.z;
            if (v > high) high = v + 0.2;
            if (v < low) low = v - 0.2;
        }
        work.lo[e] = work.origin[e] = low;
        work.size[e] = high - low;
    }
    for (int e = 0; e < 3; e++)
        for (int k = 0; k < 3; k++) work.cell[e][k] = e == k ? work.size[e] : 0;
    if (at_tip) *at_tip = kept;
    return finish(out, work, message, QB_format("%d atoms at the crack tip left in place", kept));
}

// =============================================================== solution

int64_t QN_fraction_count(int64_t n, double c) {
    if (!(c >= 0) || !std::isfinite(c) || n <= 0) return 0;
    // The shortest decimal that reads back as c, in fixed notation.
    char text[400];
    const auto written = std::to_chars(text, text + sizeof text, c, std::chars_format::fixed);
    if (written.ec != std::errc()) return static_cast<int64_t>(std::floor(static_cast<double>(n) * c));
    const std::string digits(text, written.ptr);
    const size_t dot_at = digits.find('.');
    const std::string whole = digits.substr(0, dot_at);
    const std::string part = dot_at == std::string::npos ? std::string() : digits.substr(dot_at + 1);
    // n * (whole + part / 10^k), the fraction in exact integers while it fits.
    __int128 result = static_cast<__int128>(n) * std::stoll(whole.empty() ? "0" : whole);
    __int128 numerator = 0, denominator = 1;
    for (char ch : part) {
        if (denominator > static_cast<__int128>(1e30)) break;  // beyond any model's count
        numerator = numerator * 10 + (ch - '0');
        denominator *= 10;
    }
    result += static_cast<__int128>(n) * numerator / denominator;
    return result > INT64_MAX ? INT64_MAX : static_cast<int64_t>(result);
}

int QB_add_solute(QB_tools* system, int type, double x, double y, double z, double cutoff) {
    if (!(cutoff > 0) || !std::isfinite(cutoff)) return -1;
    if (!system->network_built) QB_network_init(system, cutoff);
    QB_nearest_atom(system, x, y, z, cutoff);
    std::vector<Vec> near;
    for (int k = 0; k < system->neighbour_count; k++) {
        const atomdata& a = system->atoms[static_cast<size_t>(system->neighbour_index[static_cast<size_t>(k)])];
        if (a.id > 0 && a.type != type) near.push_back({a.x, a.y, a.z});
    }
    const double c2 = cutoff * cutoff;
    auto close = [&](size_t p, size_t q) {
        const Vec d{near[p][0] - near[q][0], near[p][1] - near[q][1], near[p][2] - near[q][2]};
        return dot(d, d) < c2;
    };
    const size_t m = near.size();
    for (size_t i = 0; i < m; i++)
        for (size_t j = i + 1; j < m; j++) {
            if (!close(i, j)) continue;
            for (size_t k = j + 1; k < m; k++) {
                if (!close(i, k) || !close(j, k)) continue;
                for (size_t l = k + 1; l < m; l++) {
                    if (!close(i, l) || !close(j, l) || !close(k, l)) continue;
                    Vec site;
                    for (int d = 0; d < 3; d++) site[d] = (near[i][d] + near[j][d] + near[k][d] + near[l][d]) / 4;
                    double corner = 1e300;
                    for (size_t q : {i, j, k, l}) {
                        const Vec d{near[q][0] - site[0], near[q][1] - site[1], near[q][2] - site[2]};
                        corner = std::min(corner, std::sqrt(dot(d, d)));
                    }
                    QB_wrap_point(system, site[0], site[1], site[2]);
                    // Taken when no atom (solutes and images included) is
                    // closer than the site's own corners.
                    QB_nearest_atom(system, site[0], site[1], site[2], corner * (1 - 1e-3));
                    for (int q = 0; q < system->neighbour_count; q++)
                        if (system->atoms[static_cast<size_t>(system->neighbour_index[static_cast<size_t>(q)])].id > 0)
                            return -1;
                    if (QB_create_atom(system, type, site[0], site[1], site[2]) != 1) return -1;
                    QB_network_update(system, cutoff, system->natoms - 1);
                    return system->natoms - 1;
                }
            }
        }
    return -1;
}

namespace {

bool solute_arguments_ok(int mode, double concentration, double cutoff, int type, std::string* message) {
    if (mode < 0 || mode > 1) return QN_refuse(message, "no such mode");
    if (!(concentration >= 0 && concentration <= 1)) return QN_refuse(message, "the concentration must lie between 0 and 1");
    if (type < 1 || type > QB_MAX_TYPES)
        return QN_refuse(message, QB_format("the solute type must lie between 1 and %d", QB_MAX_TYPES));
    if (mode == 1 && (!(cutoff > 0) || !std::isfinite(cutoff))) return QN_refuse(message, "the cut-off must be above 0");
    return true;
}

// The solution made in `work`, handed to `out` when it succeeds.
int make_solution(QB_tools& work, int mode, double concentration, double cutoff, int type, int seed, QB_tools* out,
                  std::string* message, int* placed) {
    int live = 0;
    for (const atomdata& a : work.atoms) live += a.id > 0;
    const int64_t count = QN_fraction_count(live, concentration);
    if (count == 0) return QN_refused(message, QB_format("%d atoms at this concentration make no solute atom", live));
    work.ntypes = std::max(work.ntypes, type);
    try {
        if (mode == 0) {
            const int converted = substitute(work, count, type, seed);
            if (placed) *placed = converted;
            return finish(out, work, message, QB_format("%d atoms converted", converted));
        }
        const int inserted = insert_interstitials(work, count, type, seed, cutoff);
        if (placed) *placed = inserted;
        if (inserted < count)
            return QN_refused(message, QB_format("placed %d of %lld interstitial atoms; the cut-off finds no more free sites",
                                              inserted, static_cast<long long>(count)));
        return finish(out, work, message, QB_format("%d interstitial atoms placed", inserted));
    } catch (const std::bad_alloc&) {
        return QN_refused(message, "not enough memory for this model");
    }
}

}  // namespace

int QB_solute(int mode, const char* file, double concentration, double cutoff, int type, int seed, QB_tools* out,
              std::string* message, int* placed) {
    if (!solute_arguments_ok(mode, concentration, cutoff, type, message)) return -1;
    QB_tools work;
    if (read_model(file, work, message) != 1) return -1;
    return make_solution(work, mode, concentration, cutoff, type, seed, out, message, placed);
}

int QB_solute_model(const QB_tools* model, int mode, double concentration, double cutoff, int type, int seed,
                    QB_tools* out, std::string* message, int* placed) {
    if (!solute_arguments_ok(mode, concentration, cutoff, type, message)) return -1;
    QB_tools work;
    QB_copy_system(&work, model);
    return make_solution(work, mode, concentration, cutoff, type, seed, out, message, placed);
}

// ================================================================== store

namespace {

int integer(const char* label, int fallback) { return QN_stored_int(QN_DEFECT_GROUP, label, fallback); }
double real(const char* label, double fallback) { return QN_stored_double(QN_DEFECT_GROUP, label, fallback); }
std::string text(const char* label) { return QN_stored_text(QN_DEFECT_GROUP, label); }

struct Default {
    const char* key;
    char kind;  // 'i' int, 'd' double, 't' text
    double value;
};

int write_defaults(const char* title, std::initializer_list<Default> keys) {
    const int reset = QN_reset_group(QN_DEFECT_GROUP, title);
    if (reset < 0) return reset;
    for (const Default& k : keys) {
        if (k.kind == 'i')
            QN_set_bit_int(QN_DEFECT_GROUP, k.key, static_cast<int>(k.value), 0);
        else if (k.kind == 'd')
            QN_set_bit_double(QN_DEFECT_GROUP, k.key, k.value, 0);
        else
            QN_set_bit_char(QN_DEFECT_GROUP, k.key, "blank");
    }
    QN_elements_default(QN_DEFECT_GROUP);
    return 1;
}

// The form's "Elements:" names on a model just built into `work`, handed to
// out when they fit; out untouched otherwise.
int named(int built, QB_tools& work, QB_tools* out, std::string& message) {
    if (built != 1) return built;
    if (QN_elements_apply(QN_DEFECT_GROUP, &work, message) != 1) return -1;
    *out = std::move(work);
    return 1;
}

}  // namespace

int QN_model_dislocation_defaults() {
    return write_defaults(QN_DISLOCATION_TITLE,
                          {{"Model_dislocation", 'i', 0}, {"M_dislocation_mode", 'i', 0}, {"M_dislocation_input", 't', 0},
                           {"M_dislocation_cu", 'i', 0},  {"M_dislocation_cx", 'd', 0},   {"M_dislocation_cy", 'd', 0},
                           {"M_dislocation_cz", 'd', 0},  {"M_dislocation_dx", 'd', 1},   {"M_dislocation_dy", 'd', 0},
                           {"M_dislocation_dz", 'd', 0},  {"M_dislocation_bx", 'd', 0},   {"M_dislocation_by", 'd', 1},
                           {"M_dislocation_bz", 'd', 0},  {"M_dislocation_bl", 'd', 0},   {"M_dislocation_miu", 'd', 0}});
}

int QN_model_crack_defaults() {
    return write_defaults(QN_CRACK_TITLE, {{"Model_crack", 'i', 0},
                                           {"M_crack_mode", 'i', 0},
                                           {"M_crack_input", 't', 0},
                                           {"M_crack_dirc", 'i', 0},
                                           {"M_crack_dirp", 'i', 0},
                                           {"M_crack_lenth", 'd', 0},
                                           {"M_crack_g", 'd', 0},
                                           {"M_crack_nu", 'd', 0},
                                           {"M_crack_KI", 'd', 0}});
}

int QN_model_solute_defaults() {
    return write_defaults(QN_SOLUTE_TITLE, {{"Model_solute", 'i', 0},
                                            {"M_solute_mode", 'i', 0},
                                            {"M_solute_input", 't', 0},
                                            {"M_solute_cont", 'd', 0.01},
                                            {"M_solute_type", 'i', 2},
                                            {"M_solute_seed", 'i', 0},
                                            {"M_solute_r", 'd', 3}});
}

int QN_model_dislocation_build(QB_tools* out, std::string& message) {
    QB_tools work;
    const int built = QB_dislocation(
        integer("M_dislocation_mode", 0), text("M_dislocation_input").c_str(), real("M_dislocation_cx", 0),
        real("M_dislocation_cy", 0), real("M_dislocation_cz", 0), integer("M_dislocation_cu", 0),
        real("M_dislocation_dx", 1), real("M_dislocation_dy", 0), real("M_dislocation_dz", 0),
        real("M_dislocation_bx", 0), real("M_dislocation_by", 1), real("M_dislocation_bz", 0),
        real("M_dislocation_bl", 0), real("M_dislocation_miu", 0), &work, &message);
    return named(built, work, out, message);
}

int QN_model_crack_build(QB_tools* out, std::string& message) {
    QB_tools work;
    const int built = QB_crack(integer("M_crack_mode", 0), integer("M_crack_dirc", 0), integer("M_crack_dirp", 0),
                               text("M_crack_input").c_str(), real("M_crack_lenth", 0), real("M_crack_g", 0),
                               real("M_crack_nu", 0), real("M_crack_KI", 0), &work, &message);
    return named(built, work, out, message);
}

int QN_model_solute_build(QB_tools* out, std::string& message) {
    QB_tools work;
    const int built =
        QB_solute(integer("M_solute_mode", 0), text("M_solute_input").c_str(), real("M_solute_cont", 0.01),
                  real("M_solute_r", 3), integer("M_solute_type", 2), integer("M_solute_seed", 0), &work, &message);
    return named(built, work, out, message);
}
