#include "view/view_core.h"

#include <png.h>

#include <algorithm>
#include <charconv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// Double to single precision without relying on out-of-range conversions:
// magnitudes beyond the float range become infinities.
float to_float(double d) {
    if (std::isnan(d)) return std::nanf("");
    if (d > FLT_MAX) return INFINITY;
    if (d < -FLT_MAX) return -INFINITY;
    return static_cast<float>(d);
}

// Finite float for the vertex buffer; non-finite values become 0.
float finite_float(double d) {
    const float f = to_float(d);
    return std::isfinite(f) ? f : 0.0f;
}

int atom_count(const QB_tools* model) {
    return std::max(0, std::min(model->natoms, static_cast<int>(model->atoms.size())));
}

void box_centre(const QB_tools* model, double c[3]) {
    for (int d = 0; d < 3; d++) c[d] = model->lo[d] + model->size[d] / 2;
}

void push_vertex(std::vector<float>& out, float x, float y, float z, float c0, float c1, float c2,
                 float r) {
    out.push_back(x);
    out.push_back(y);
    out.push_back(z);
    out.push_back(c0);
    out.push_back(c1);
    out.push_back(c2);
    out.push_back(r);
}

// Appends the atoms (colours by `colour`) and the 54 trailing vertices, writes
// the drawn-index map and measures the depth range.
template <class Colour>
QN_render_info build(QB_tools* model, const std::vector<double>& rel_radius,
                     const QN_slice_outline& outline, std::vector<float>& out, Colour colour) {
    QN_render_info info;
    out.clear();
    const int n = atom_count(model);
    int visible = 0;
    for (int i = 0; i < n; i++)
        if (model->atoms[i].id > 0) visible++;
    out.reserve(static_cast<size_t>(QN_RENDER_FLOATS) *
                (static_cast<size_t>(visible) + QN_RENDER_EXTRA_VERTICES));

    double c[3];
    box_centre(model, c);
    int drawn = 0;
    for (int i = 0; i < n; i++) {
        atomdata& a = model->atoms[i];
        if (a.id <= 0) continue;
        float col[3];
        colour(i, col);
        push_vertex(out, finite_float(a.x - c[0]), finite_float(a.y - c[1]), finite_float(a.z - c[2]),
                    col[0], col[1], col[2],
                    finite_float(QN_render_rel_radius(a.type, rel_radius)));
        model->atoms[drawn].scratch = i;
        drawn++;
    }
    info.drawn = drawn;

    const std::array<double, 72> edges = QN_render_box_edges(model);
    for (int v = 0; v < QN_RENDER_BOX_VERTICES; v++)
        push_vertex(out, finite_float(edges[3 * v]), finite_float(edges[3 * v + 1]),
                    finite_float(edges[3 * v + 2]), 0, 0, 0, 0);

    static const float axes[6][3] = {{0, 0, 0},   {0.2f, 0, 0}, {0, 0, 0},
                                     {0, 0.2f, 0}, {0, 0, 0},   {0, 0, 0.2f}};
    for (const auto& p : axes) push_vertex(out, p[0], p[1], p[2], 0, 0, 0, 0);

    for (int v = 0; v < QN_RENDER_SLICE_VERTICES; v++)
        push_vertex(out, finite_float(outline.slice_points[v][0]),
                    finite_float(outline.slice_points[v][1]),
                    finite_float(outline.slice_points[v][2]), 0, 0, 0, 0);

    info.depth_range = QN_render_depth_range(model, out);
    return info;
}

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Visits every atom the slab selection picks.
template <class F>
int for_slab(QB_tools* model, double nx, double ny, double nz, double distance, double width, F f) {
    const int n = atom_count(model);
    const double half = width / 2;
    int changed = 0;
    for (int i = 0; i < n; i++) {
        const atomdata& a = model->atoms[i];
        const double s = nx * a.x + ny * a.y + nz * a.z;
        const bool in = half > 0 ? std::fabs(s - distance) < half : s > distance;
        if (in && f(i)) changed++;
    }
    return changed;
}

template <class F>
int for_data(QB_tools* model, int slot, double min, double max, F f) {
    if (slot < 0 || slot >= QB_slot_sum(model)) return 0;
    const int n = atom_count(model);
    int changed = 0;
    for (int i = 0; i < n; i++) {
        const double v = QB_slot_data(model, slot, i);
        if (v >= min && v <= max && f(i)) changed++;
    }
    return changed;
}

using mat = QN_mat4;

mat identity() {
    mat m{};
    m[0] = m[5] = m[10] = m[15] = 1;
    return m;
}

float& at(mat& m, int r, int c) { return m[4 * c + r]; }
float at(const mat& m, int r, int c) { return m[4 * c + r]; }

mat mul(const mat& a, const mat& b) {
    mat m{};
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            float s = 0;
            for (int k = 0; k < 4; k++) s += at(a, r, k) * at(b, k, c);
            at(m, r, c) = s;
        }
    return m;
}

mat diag(float a, float b, float c, float d) {
    mat m{};
    m[0] = a;
    m[5] = b;
    m[10] = c;
    m[15] = d;
    return m;
}

constexpr double kDegree = 3.14159265358979323846 / 180.0;

// The perspective camera: focal factor of Q and the eye's distance from the
// box centre along z (before the perspective scale of z).
constexpr float kLens = 7.5987f;
constexpr float kEye = 9.6f;

mat rot_x(double deg) {
    const float c = static_cast<float>(std::cos(deg * kDegree));
    const float s = static_cast<float>(std::sin(deg * kDegree));
    mat m = identity();
    at(m, 1, 1) = c;
    at(m, 1, 2) = -s;
    at(m, 2, 1) = s;
    at(m, 2, 2) = c;
    return m;
}

mat rot_y(double deg) {
    const float c = static_cast<float>(std::cos(deg * kDegree));
    const float s = static_cast<float>(std::sin(deg * kDegree));
    mat m = identity();
    at(m, 0, 0) = c;
    at(m, 0, 2) = s;
    at(m, 2, 0) = -s;
    at(m, 2, 2) = c;
    return m;
}

mat rot_z(double deg) {
    const float c = static_cast<float>(std::cos(deg * kDegree));
    const float s = static_cast<float>(std::sin(deg * kDegree));
    mat m = identity();
    at(m, 0, 0) = c;
    at(m, 0, 1) = -s;
    at(m, 1, 0) = s;
    at(m, 1, 1) = c;
    return m;
}

}  // namespace

int QN_render_bar_index(double v, double min, double max) {
    if (!std::isfinite(v) || !std::isfinite(min) || !std::isfinite(max) || min == max) return 0;
    const double a = to_float(v - static_cast<double>(to_float(min)));
    const double b = to_float(max - min);
    if (b == 0) return 0;  // a range below single precision
    const double q = static_cast<double>(to_float(a / b * 64)) + 0.5;
    if (!(q > 0)) return 0;  // negative, or NaN from inf / inf
    if (q >= 63) return 63;
    return static_cast<int>(q);
}

double QN_render_rel_radius(int type, const std::vector<double>& rel_radius) {
    const long long n = static_cast<long long>(rel_radius.size());
    if (n < 1) return 1.0;
    const long long k = std::min(std::max(static_cast<long long>(type) - 1, 0LL), n - 1);
    return rel_radius[static_cast<size_t>(k)];
}

double QN_render_depth_range(const QB_tools* model, const std::vector<float>& vertices) {
    double depth = 0;
    for (int d = 0; d < 3; d++)
        if (std::isfinite(model->size[d])) depth = std::max(depth, 3.464 * std::fabs(model->size[d]));
    double far2 = 0;
    for (size_t v = 0; v + 2 < vertices.size(); v += QN_RENDER_FLOATS) {
        const double x = vertices[v], y = vertices[v + 1], z = vertices[v + 2];
        const double r2 = x * x + y * y + z * z;
        if (std::isfinite(r2)) far2 = std::max(far2, r2);
    }
    // A little more than the farthest vertex so rounding keeps it inside.
    depth = std::max(depth, 2.002 * std::sqrt(far2));
    if (!(depth > 0) || !std::isfinite(depth)) return QN_DEPTH_RANGE_DEFAULT;
    return depth;
}

std::array<double, 72> QN_render_box_edges(const QB_tools* model) {
    double o[3], e[3][3];
    if (model->triclinic == 1) {
        for (int d = 0; d < 3; d++) {
            o[d] = model->origin[d];
            for (int k = 0; k < 3; k++) e[k][d] = model->cell[k][d];
        }
    } else {
        for (int d = 0; d < 3; d++) {
            o[d] = model->lo[d];
            for (int k = 0; k < 3; k++) e[k][d] = k == d ? model->size[d] : 0;
        }
    }
    double c[3];
    box_centre(model, c);
    std::array<double, 72> out{};
    int v = 0;
    // Edges along vector `along`, started from o + s * e[p] + t * e[q] with s
    // the outer and t the inner loop.
    for (int along = 0; along < 3; along++) {
        const int p = along == 0 ? 1 : 0;
        const int q = along == 2 ? 1 : 2;
        for (int s = 0; s < 2; s++)
            for (int t = 0; t < 2; t++) {
                for (int d = 0; d < 3; d++) {
                    const double start = o[d] + s * e[p][d] + t * e[q][d] - c[d];
                    out[3 * v + d] = start;
                    out[3 * (v + 1) + d] = start + e[along][d];
                }
                v += 2;
            }
    }
    return out;
}

QN_render_info QN_render_build_bar(QB_tools* model, int slot, double min, double max,
                                   const std::vector<double>& rel_radius,
                                   const QN_slice_outline& outline, std::vector<float>& out) {
    return build(model, rel_radius, outline, out, [&](int i, float col[3]) {
        const int f = QN_render_bar_index(QB_slot_data(model, slot, i), min, max);
        col[0] = static_cast<float>(f % 8) * 0.125f;
        col[1] = static_cast<float>(f / 8) * 0.125f;
        col[2] = 1.0f;
    });
}

QN_render_info QN_render_build_col(QB_tools* model, int slot_r, int slot_g, int slot_b,
                                   const std::vector<double>& rel_radius,
                                   const QN_slice_outline& outline, std::vector<float>& out) {
    return build(model, rel_radius, outline, out, [&](int i, float col[3]) {
        col[0] = finite_float(QB_slot_data(model, slot_r, i));
        col[1] = finite_float(QB_slot_data(model, slot_g, i));
        col[2] = finite_float(QB_slot_data(model, slot_b, i));
    });
}

QN_range QN_render_default_range(int ntypes) {
    if (ntypes <= 1) return {-1, 5};
    return {1 - 0.5 * ntypes, 1.5 * ntypes};
}

bool QN_render_range_is_noise(double min, double max) {
    const double spread = std::fabs(max - min);
    if (!std::isfinite(spread)) return false;
    return spread < QN_RENDER_RANGE_RESOLUTION || spread <= 1e-9 * std::max(std::fabs(min), std::fabs(max));
}

int QN_render_bar_range(const QB_tools* model, int slot, const char* name, QN_range* range) {
    const int n = atom_count(model);
    if (n == 0 || !range) return 0;
    const bool known = name != nullptr;
    double m = 0, M = 0;
    bool any = false;
    for (int i = 0; i < n; i++) {
        const double v = QB_slot_data(model, slot, i);
        if (!std::isfinite(v)) continue;
        if (!any) {
            m = M = v;
            any = true;
        } else {
            m = std::min(m, v);
            M = std::max(M, v);
        }
    }
    if (known && (std::strcmp(name, "cna") == 0 || std::strcmp(name, "baa") == 0)) {
        *range = {-3.66664, 5.66664};
    } else if (!QN_render_range_is_noise(m, M)) {
        *range = {m, M};
    } else {
        *range = {m - 2, m + 4};
    }
    if (known && std::strcmp(name, "Select") == 0) *range = {-0.1, 1.2};
    return 1;
}

QN_slice_outline QN_slice_outline_build(const QB_tools* model, double nx, double ny, double nz,
                                        double distance, double width) {
    QN_slice_outline out;
    double lo[3], hi[3], c[3];
    for (int d = 0; d < 3; d++) {
        lo[d] = model->lo[d] - 2;
        hi[d] = model->lo[d] + model->size[d] + 2;
    }
    box_centre(model, c);
    const double normal[3] = {nx, ny, nz};
    int stored = 0;
    for (int plane = 0; plane < 2; plane++) {
        const double C = plane == 0 ? distance + width / 2 : distance - width / 2;
        double pts[12][3];
        int m = 0;
        auto keep = [&](double x, double y, double z) {
            pts[m][0] = x;
            pts[m][1] = y;
            pts[m][2] = z;
            m++;
        };
        if (nz != 0)
            for (double x : {lo[0], hi[0]})
                for (double y : {lo[1], hi[1]}) {
                    const double z = (C - nx * x - ny * y) / nz;
                    if (z > lo[2] && z < hi[2]) keep(x, y, z);
                }
        if (ny != 0)
            for (double x : {lo[0], hi[0]})
                for (double z : {lo[2], hi[2]}) {
                    const double y = (C - nx * x - nz * z) / ny;
                    if (y > lo[1] && y < hi[1]) keep(x, y, z);
                }
        if (nx != 0)
            for (double y : {lo[1], hi[1]})
                for (double z : {lo[2], hi[2]}) {
                    const double x = (C - ny * y - nz * z) / nx;
                    if (x > lo[0] && x < hi[0]) keep(x, y, z);
                }

        if (m >= 4) {
            // Order around the centroid: p0 stays first; the others by the
            // angle from p0, on the side r0 x n first, the far side after.
            double g[3] = {0, 0, 0};
            for (int k = 0; k < m; k++)
                for (int d = 0; d < 3; d++) g[d] += pts[k][d] / m;
            double r0[3], axis[3];
            for (int d = 0; d < 3; d++) r0[d] = pts[0][d] - g[d];
            axis[0] = r0[1] * normal[2] - r0[2] * normal[1];
            axis[1] = r0[2] * normal[0] - r0[0] * normal[2];
            axis[2] = r0[0] * normal[1] - r0[1] * normal[0];
            double key[12];
            key[0] = 2;
            for (int k = 1; k < m; k++) {
                double v[3];
                for (int d = 0; d < 3; d++) v[d] = pts[k][d] - g[d];
                const double len = std::sqrt(dot3(r0, r0) * dot3(v, v));
                double cosine = len > 0 ? dot3(r0, v) / len : 1;
                if (!std::isfinite(cosine)) cosine = 1;
                cosine = std::min(1.0, std::max(-1.0, cosine));
                key[k] = dot3(v, axis) > 0 ? cosine + 1 : -cosine - 1;
            }
            for (int pass = 1; pass < m; pass++)
                for (int k = 1; k + 1 < m; k++)
                    if (key[k] < key[k + 1]) {
                        std::swap(key[k], key[k + 1]);
                        for (int d = 0; d < 3; d++) std::swap(pts[k][d], pts[k + 1][d]);
                    }
        }
        for (int k = 0; k < m; k++)
            for (int d = 0; d < 3; d++) out.slice_points[stored + k][d] = pts[k][d] - c[d];
        stored += m;
        out.slice_count[plane] = m;
    }
    return out;
}

int QN_trim_slab_delete(QB_tools* model, double nx, double ny, double nz, double distance,
                        double width) {
    return for_slab(model, nx, ny, nz, distance, width,
                    [&](int i) { return QB_delete_atom(model, i) == 1; });
}

int QN_trim_slab_recover(QB_tools* model, double nx, double ny, double nz, double distance,
                         double width) {
    return for_slab(model, nx, ny, nz, distance, width, [&](int i) {
        const bool hidden = model->atoms[i].id < 0;
        QB_recover_atom(model, i);
        return hidden;
    });
}

int QN_trim_data_delete(QB_tools* model, int slot, double min, double max) {
    return for_data(model, slot, min, max, [&](int i) { return QB_delete_atom(model, i) == 1; });
}

int QN_trim_data_recover(QB_tools* model, int slot, double min, double max) {
    return for_data(model, slot, min, max, [&](int i) {
        const bool hidden = model->atoms[i].id < 0;
        QB_recover_atom(model, i);
        return hidden;
    });
}

int QN_trim_inverse(QB_tools* model) {
    const int n = atom_count(model);
    int changed = 0;
    for (int i = 0; i < n; i++) {
        int32_t& id = model->atoms[i].id;
        if (id == 0 || id == INT32_MIN) continue;  // no opposite to take
        id = -id;
        changed++;
    }
    return changed;
}

int QN_trim_recover_all(QB_tools* model) {
    const int n = atom_count(model);
    int changed = 0;
    for (int i = 0; i < n; i++) {
        if (model->atoms[i].id >= 0 || model->atoms[i].id == INT32_MIN) continue;
        QB_recover_atom(model, i);
        changed++;
    }
    return changed;
}

double QN_camera_zoom_in(double view_height, double step) {
    const double next = view_height - step;
    return view_height > step && next > 0 ? next : view_height;
}

double QN_camera_zoom_out(double view_height, double step) {
    const double next = view_height + step;
    return next > 0 && std::isfinite(next) ? next : view_height;
}

double QN_camera_perspective_plus(double perspective, double step) {
    return std::max(0.0, perspective + step);
}

double QN_camera_perspective_minus(double perspective, double step) {
    return std::max(0.0, perspective - step);
}

QN_mat4 QN_camera_rotation(double rx, double ry, double rz) {
    return mul(mul(rot_x(rx), rot_y(ry)), rot_z(rz));
}

QN_mat4 QN_camera_mvp(const QN_camera& cam, int w, int h) {
    w = std::max(w, 1);
    h = std::max(h, 1);
    const mat R = QN_camera_rotation(cam.rot_x, cam.rot_y, cam.rot_z);
    const float vh = static_cast<float>(cam.view_height);
    const mat P = diag(2.0f * static_cast<float>(h) / (vh * static_cast<float>(w)), 2.0f / vh,
                       -2.0f / static_cast<float>(cam.depth_range), 1.0f);
    if (cam.perspective > 0) {
        const float p = static_cast<float>(cam.perspective);
        mat Q{};
        at(Q, 0, 0) = kLens;
        at(Q, 1, 1) = kLens;
        at(Q, 2, 2) = 5;
        at(Q, 3, 2) = -1;
        at(Q, 2, 3) = 48;
        at(Q, 3, 3) = 0;
        mat T = identity();
        at(T, 0, 3) = cam.shift_x;
        at(T, 1, 3) = cam.shift_y;
        at(T, 2, 2) = p;
        at(T, 2, 3) = -kEye;
        return mul(mul(mul(mul(P, diag(1, 1, 1.0f / p, 1)), Q), T), R);
    }
    mat T0 = identity();
    at(T0, 0, 3) = cam.shift_x;
    at(T0, 1, 3) = cam.shift_y;
    return mul(mul(P, T0), R);
}

QN_mat4 QN_camera_axes(const QN_camera& cam, int w, int h) {
    w = std::max(w, 1);
    h = std::max(h, 1);
    mat T = identity();
    at(T, 0, 3) = -0.8f;
    at(T, 1, 3) = -0.8f;
    const mat S = diag(static_cast<float>(h) / static_cast<float>(w), 1, 1, 1);
    return mul(mul(T, S), QN_camera_rotation(cam.rot_x, cam.rot_y, cam.rot_z));
}

double QN_camera_px_per_unit(const QN_camera& cam, int h) { return h / cam.view_height; }

void QN_camera_pan(QN_camera* cam, double dx, double dy, int h) {
    if (!cam || !(cam->view_height > 0)) return;
    // Seen through the lens, the centre lies kEye away and is magnified kLens times.
    double units = cam->view_height / std::max(h, 1);
    if (cam->perspective > 0) units *= static_cast<double>(kEye) / kLens;
    const double sx = cam->shift_x + dx * units, sy = cam->shift_y - dy * units;
    if (!std::isfinite(sx) || !std::isfinite(sy) || std::fabs(sx) > FLT_MAX || std::fabs(sy) > FLT_MAX) return;
    cam->shift_x = static_cast<float>(sx);
    cam->shift_y = static_cast<float>(sy);
}

int QN_pick_decode(unsigned char r, unsigned char g, unsigned char b, int drawn) {
    const long n = static_cast<long>(r) + 256L * g + 65536L * b;
    return n >= 1 && n <= drawn ? static_cast<int>(n) : 0;
}

// ------------------------------------------------------------------ framing

std::array<double, 24> QN_render_box_corners(const QB_tools* model) {
    const std::array<double, 72> edges = QN_render_box_edges(model);
    std::array<double, 24> out{};
    for (int k = 0; k < 8; k++)
        for (int d = 0; d < 3; d++) out[3 * k + d] = edges[3 * k + d];  // 4 edges along a, both ends
    return out;
}

double QN_view_bounds::extent() const {
    return std::max((x_max - x_min) / 2, (y_max - y_min) / 2);
}

bool QN_camera_bounds(const QN_camera& cam, const double* points, int count, int w, int h,
                      QN_view_bounds* out) {
    if (!points || count < 1 || !out) return false;
    const QN_mat4 m = QN_camera_mvp(cam, w, h);
    QN_view_bounds b;
    for (int k = 0; k < count; k++) {
        const double* p = points + 3 * static_cast<size_t>(k);
        double c[4];
        for (int r = 0; r < 4; r++) c[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r];
        if (!(c[3] > 0) || !std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[3]))
            return false;
        const double x = c[0] / c[3], y = c[1] / c[3];
        if (k == 0 || x < b.x_min) b.x_min = x;
        if (k == 0 || x > b.x_max) b.x_max = x;
        if (k == 0 || y < b.y_min) b.y_min = y;
        if (k == 0 || y > b.y_max) b.y_max = y;
    }
    *out = b;
    return true;
}

namespace {

// The shift s centring the values v[k] seen at distances d[k] > 0:
// max((v + s) / d) = -min((v + s) / d). The sum of the two sides grows with
// s, so bisection between -max(v) (everything left of the centre) and
// -min(v) finds it. `half` receives max((v + s) / d).
double centring_shift(const std::vector<double>& v, const std::vector<double>& d, double* half) {
    const auto [lo_it, hi_it] = std::minmax_element(v.begin(), v.end());
    if (std::all_of(d.begin(), d.end(), [](double x) { return x == 1; })) {  // orthographic
        const double s = -(*lo_it + *hi_it) / 2;
        *half = *hi_it + s;
        return s;
    }
    auto sides = [&](double s, double* top) {
        double mx = -INFINITY, mn = INFINITY;
        for (size_t k = 0; k < v.size(); k++) {
            const double q = (v[k] + s) / d[k];
            mx = std::max(mx, q);
            mn = std::min(mn, q);
        }
        if (top) *top = mx;
        return mx + mn;
    };
    double a = -*hi_it, b = -*lo_it;
    for (int i = 0; i < 200 && a < b; i++) {
        const double mid = a + (b - a) / 2;
        if (mid <= a || mid >= b) break;  // no double left between them
        if (sides(mid, nullptr) < 0)
            a = mid;
        else
            b = mid;
    }
    const double s = a + (b - a) / 2;
    sides(s, half);
    return s;
}

}  // namespace

bool QN_camera_fit(QN_camera* cam, const double* points, int count, int w, int h, double fill) {
    if (!cam || !points || count < 1 || !(fill > 0) || !std::isfinite(fill)) return false;
    w = std::max(w, 1);
    h = std::max(h, 1);
    const QN_mat4 R = QN_camera_rotation(cam->rot_x, cam->rot_y, cam->rot_z);
    const bool perspective = cam->perspective > 0;
    // The matrices hold the perspective in single precision.
    const double p = perspective ? static_cast<double>(static_cast<float>(cam->perspective)) : 0;
    std::vector<double> X(static_cast<size_t>(count)), Y(X.size()), D(X.size());
    for (int k = 0; k < count; k++) {
        const double* q = points + 3 * static_cast<size_t>(k);
        double r[3];
        for (int row = 0; row < 3; row++) r[row] = R[row] * q[0] + R[4 + row] * q[1] + R[8 + row] * q[2];
        const double dist = perspective ? kEye - p * r[2] : 1.0;
        if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(dist) || !(dist > 1e-9))
            return false;
        X[k] = r[0];
        Y[k] = r[1];
        D[k] = dist;
    }
    double half_x = 0, half_y = 0;
    const double sx = centring_shift(X, D, &half_x);
    const double sy = centring_shift(Y, D, &half_y);
    // Screen x in the view: 2 h K (X + s) / (view_height w d), y: 2 K (Y + s) /
    // (view_height d), K the lens factor (1 orthographic); centred, the
    // covered fraction is the top side.
    const double lens = perspective ? kLens : 1.0;
    const double by_width = 2.0 * h * lens * half_x / (static_cast<double>(w) * fill);
    const double by_height = 2.0 * lens * half_y / fill;
    const double height = std::max(by_width, by_height);
    if (!(height > 0) || !std::isfinite(height) || !std::isfinite(sx) || !std::isfinite(sy) ||
        std::fabs(sx) > FLT_MAX || std::fabs(sy) > FLT_MAX)
        return false;
    cam->view_height = height;
    cam->shift_x = static_cast<float>(sx);
    cam->shift_y = static_cast<float>(sy);
    return true;
}

bool QN_camera_fit_box(QN_camera* cam, const QB_tools* model, int w, int h, double fill) {
    if (!model) return false;
    const std::array<double, 24> corners = QN_render_box_corners(model);
    return QN_camera_fit(cam, corners.data(), 8, w, h, fill);
}

bool QN_box_changed(const QB_tools* a, const QB_tools* b, double tolerance) {
    if (!a || !b) return a != b;
    if ((a->triclinic == 1) != (b->triclinic == 1)) return true;
    double change = 0, scale = 0;
    auto take = [&](double x, double y) {
        const double d = std::fabs(x - y);
        change = std::isnan(d) ? INFINITY : std::max(change, d);
    };
    for (int d = 0; d < 3; d++) {
        take(a->lo[d], b->lo[d]);
        take(a->size[d], b->size[d]);
        take(a->origin[d], b->origin[d]);
        for (int k = 0; k < 3; k++) take(a->cell[k][d], b->cell[k][d]);
        scale = std::max({scale, std::fabs(a->size[d]), std::fabs(b->size[d])});
    }
    if (!(scale > 0) || !std::isfinite(scale)) return change > 0;
    return !(change <= tolerance * scale);
}

// ------------------------------------------------------------------ legend

QN_atlas QN_atlas_from_rgba(const unsigned char* rgba, int W, int H) {
    QN_atlas atlas;
    for (int f = 0; f < QN_ATLAS_COLOURS; f++) {
        const int col = f % 8, row = 7 - f / 8;  // cell of index f, rows from the file's first
        const double cw = W / 8.0, ch = H / 8.0;
        const double cx = (col + 0.5) * cw, cy = (row + 0.5) * ch, r = 0.4 * std::min(cw, ch);
        double sum[3] = {0, 0, 0};
        long long n = 0;
        if (rgba) {
            for (int y = static_cast<int>(row * ch); y < static_cast<int>((row + 1) * ch) && y < H; y++)
                for (int x = static_cast<int>(col * cw); x < static_cast<int>((col + 1) * cw) && x < W; x++) {
                    const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
                    const unsigned char* p = rgba + (static_cast<size_t>(y) * W + x) * 4;
                    if (dx * dx + dy * dy > r * r || p[3] < 128) continue;
                    for (int c = 0; c < 3; c++) sum[c] += p[c];
                    n++;
                }
        }
        QN_rgb& out = atlas[f];
        if (n == 0) {
            out.r = out.g = out.b = 128;
            continue;
        }
        out.r = static_cast<unsigned char>(std::lround(sum[0] / n));
        out.g = static_cast<unsigned char>(std::lround(sum[1] / n));
        out.b = static_cast<unsigned char>(std::lround(sum[2] / n));
    }
    return atlas;
}

bool QN_atlas_load(const char* path, QN_atlas* out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    std::vector<unsigned char> pixels;
    bool ok = path && png_image_begin_read_from_file(&image, path);
    if (ok) {
        image.format = PNG_FORMAT_RGBA;
        pixels.resize(PNG_IMAGE_SIZE(image));
        ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    }
    png_image_free(&image);
    if (out)
        *out = ok ? QN_atlas_from_rgba(pixels.data(), static_cast<int>(image.width), static_cast<int>(image.height))
                  : QN_atlas_from_rgba(nullptr, 0, 0);
    return ok;
}

namespace {
QN_legend_class_source class_source = nullptr;

int estimate_width(const std::string& text, int px) {
    return static_cast<int>(std::lround(0.6 * px * static_cast<double>(text.size())));
}
}  // namespace

void QN_legend_set_class_source(QN_legend_class_source source) { class_source = source; }
QN_legend_class_source QN_legend_get_class_source() { return class_source; }

std::string QN_legend_number(double v) {
    if (!std::isfinite(v)) return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
    if (v == 0) v = 0;  // no "-0"
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::general, 4);
    return std::string(text, r.ptr);
}

QN_legend QN_legend_build(const QB_tools* model, const QN_legend_request& request, const QN_atlas& atlas) {
    QN_legend legend;
    if (!model) return legend;
    if (request.mode == QN_legend_request::Rgb) {
        legend.kind = QN_legend::Rgb;
        legend.title = "RGB";
        const QN_rgb primaries[3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
        for (int k = 0; k < 3; k++) legend.entries.push_back({request.rgb[k], 0, primaries[k]});
        return legend;
    }
    if (request.mode != QN_legend_request::Bar || request.column == "type" || request.column.empty() ||
        request.slot < 0 || request.slot >= QB_slot_sum(model))
        return legend;
    legend.title = request.column;
    const auto colour_of = [&](double v) { return atlas[QN_render_bar_index(v, request.min, request.max)]; };
    const QN_legend_classes classes = class_source ? class_source(request.column) : QN_legend_classes{};
    if (!classes.empty()) {
        legend.kind = QN_legend::Classes;
        bool has_other = false;
        for (const auto& c : classes) has_other = has_other || c.first == -1;
        std::vector<long long> count(classes.size(), 0);
        std::vector<std::pair<double, long long>> others;  // values of the "-1" class and their counts
        for (int i = 0; i < model->natoms; i++) {
            if (model->atoms[i].id <= 0) continue;
            const double v = QB_slot_data(model, request.slot, i);
            bool matched = false;
            for (size_t k = 0; k < classes.size() && !matched; k++)
                if (classes[k].first != -1 && v == classes[k].first) count[k]++, matched = true;
            if (matched || !has_other || !std::isfinite(v)) continue;
            auto it = std::find_if(others.begin(), others.end(), [&](const auto& o) { return o.first == v; });
            if (it == others.end())
                others.push_back({v, 1});
            else
                it->second++;
        }
        for (size_t k = 0; k < classes.size(); k++) {
            if (classes[k].first != -1) {
                if (count[k] > 0) legend.entries.push_back({classes[k].second, classes[k].first, colour_of(classes[k].first)});
            } else if (!others.empty()) {
                const auto most = std::max_element(others.begin(), others.end(),
                                                   [](const auto& a, const auto& b) { return a.second < b.second; });
                legend.entries.push_back({classes[k].second, most->first, colour_of(most->first)});
            }
        }
        return legend;
    }
    legend.kind = QN_legend::Bar;
    for (int f = 0; f < QN_ATLAS_COLOURS; f++) {
        const double v = request.min + (request.max - request.min) * f / QN_ATLAS_COLOURS;
        legend.entries.push_back({"", v, atlas[f]});
    }
    legend.min_text = QN_legend_number(request.min);
    legend.max_text = QN_legend_number(request.max);
    return legend;
}

void QN_legend_layout(QN_legend* legend, int W, int H, double scale, QN_legend_measure measure) {
    (void)H;
    if (!legend) return;
    legend->quads.clear();
    legend->texts.clear();
    legend->panel = {};
    if (legend->kind == QN_legend::Empty) return;
    if (!measure) measure = estimate_width;
    if (!(scale > 0) || !std::isfinite(scale)) scale = 1;
    const auto px = [&](double v) { return std::max(1, static_cast<int>(std::lround(v * scale))); };
    const int margin = px(10), pad = px(6), tp = px(13), row = px(17), gap = px(5);
    legend->text_px = tp;
    const int x0 = margin + pad, y0 = margin + pad;
    int width = measure(legend->title, tp), top = y0;
    if (legend->kind == QN_legend::Bar) {
        const int step = px(2), bar_h = px(14), bar_w = step * static_cast<int>(legend->entries.size());
        const int bar_y = y0 + tp + px(3);
        for (size_t k = 0; k < legend->entries.size(); k++)
            legend->quads.push_back({{x0 + step * static_cast<int>(k), bar_y, step, bar_h}, legend->entries[k].colour});
        const int min_w = measure(legend->min_text, tp), max_w = measure(legend->max_text, tp);
        const int span = std::max(bar_w, min_w + gap + max_w);
        legend->texts.push_back({x0, y0, legend->min_text});
        legend->texts.push_back({x0 + std::max(bar_w, span) - max_w, y0, legend->max_text});
        width = std::max(width, span);
        top = bar_y + bar_h + px(3);
    } else {
        const int n = static_cast<int>(legend->entries.size());
        for (int k = 0; k < n; k++) {
            const int y = y0 + (n - 1 - k) * row;
            legend->quads.push_back({{x0, y, tp, tp}, legend->entries[k].colour});
            legend->texts.push_back({x0 + tp + gap, y, legend->entries[k].label});
            width = std::max(width, tp + gap + measure(legend->entries[k].label, tp));
        }
        top = y0 + n * row;
    }
    legend->texts.push_back({x0, top, legend->title});
    legend->panel = {margin, margin, width + 2 * pad, top + tp + pad - margin};
    // Laid out at the left, moved to the right corner (clear of the axis
    // triad in the lower left), never past the left margin.
    int dx = std::max(0, W - 2 * margin - legend->panel.w);
    // On a whole multiple of the scale, so that a supersampled legend keeps
    // its edges on the reduced picture's pixels.
    const int whole = static_cast<int>(std::lround(scale));
    if (whole > 1 && std::fabs(scale - whole) < 1e-9) dx -= dx % whole;
    legend->panel.x += dx;
    for (QN_legend_quad& q : legend->quads) q.rect.x += dx;
    for (QN_legend_text& t : legend->texts) t.x += dx;
}
