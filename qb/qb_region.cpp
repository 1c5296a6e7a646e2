// Region library: constructors, membership tests and the table they live in.
#include "qb/qb_region.h"

#include <array>
#include <cmath>
#include <cstdio>

std::vector<QB_region_entry> QB_region_control;
int QB_region_sum = 0;
int QB_region_invest = 0;
QB_tools* INV_SYS = nullptr;
int QB_invest_system_flag = 0;

std::vector<QB_region_cuboid_record> QB_region_cuboiddata;
int QB_region_cuboid_sum = 0;
std::vector<QB_region_sphere_record> QB_region_spheredata;
int QB_region_sphere_sum = 0;
std::vector<QB_region_cylinder_record> QB_region_cylinderdata;
int QB_region_cylinder_sum = 0;
std::vector<QB_region_cone_record> QB_region_conedata;
int QB_region_cone_sum = 0;
std::vector<QB_region_plane_record> QB_region_planedata;
int QB_region_plane_sum = 0;
std::vector<QB_region_prism_record> QB_region_prismdata;
int QB_region_prism_sum = 0;
std::vector<QB_region_polyhedron_record> QB_region_polyhedrondata;
int QB_region_polyhedron_sum = 0;
std::vector<QB_region_expression_record> QB_region_expressiondata;
int QB_region_expression_sum = 0;
std::vector<QB_region_deform_record> QB_region_deformdata;
int QB_region_deform_sum = 0;
std::vector<QB_region_rotate_record> QB_region_rotatedata;
int QB_region_rotate_sum = 0;
std::vector<QB_region_move_record> QB_region_movedata;
int QB_region_move_sum = 0;
std::vector<QB_region_periodic_record> QB_region_periodicdata;
int QB_region_periodic_sum = 0;
std::vector<QB_region_logic_record> QB_region_math;
int QB_region_logic_sum = 0;

namespace {

constexpr double kPi = 3.141592653589793;
const char* const kEmptyOperand = "Create region failed: dealing with empty region\n";

using V3 = std::array<double, 3>;

// Evaluation state: which regions are being evaluated (to cut cycles of
// operand references), the nesting depth and whether a cycle was met.
std::vector<char> busy;
int depth = 0;
bool cycle_met = false;

// Face normals of the polyhedra, rebuilt when a region's parameters change.
struct Faces {
    std::array<double, 14> key{};
    bool built = false;
    bool usable = false;
    double bound = 1;
    std::vector<V3> normals;
};
std::vector<Faces> face_cache;

bool exists(int k) {
    return k >= 0 && k < QB_region_sum && k < static_cast<int>(QB_region_control.size());
}

bool has_system() { return QB_invest_system_flag && INV_SYS; }

V3 pos(const atomdata& a) { return {a.x, a.y, a.z}; }

atomdata at(atomdata a, const V3& q) {
    a.x = q[0];
    a.y = q[1];
    a.z = q[2];
    return a;
}

double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

V3 cross(const V3& a, const V3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

V3 cell_row(const QB_tools* s, int e) { return {s->cell[e][0], s->cell[e][1], s->cell[e][2]}; }

// Turns v by the angle (cosine c, sine s) about the unit axis u, right-hand sense.
V3 turn(const V3& u, double c, double s, const V3& v) {
    const V3 w = cross(u, v);
    const double k = (1 - c) * dot(u, v);
    return {c * v[0] + k * u[0] + s * w[0], c * v[1] + k * u[1] + s * w[1],
            c * v[2] + k * u[2] + s * w[2]};
}

// The record of the region being evaluated, or null when that index has
// none of this kind.
template <class T>
const T* own(const std::vector<T>& v) {
    const int k = QB_region_invest;
    return k >= 0 && k < static_cast<int>(v.size()) ? &v[k] : nullptr;
}

// Appends a region and returns its record for the constructor to fill.
template <class T>
T& append(QB_region_test test, double volume, std::vector<T>& v, int& sum) {
    const int k = QB_region_add(test, volume);
    if (static_cast<int>(v.size()) <= k) v.resize(static_cast<size_t>(k) + 1);
    sum = static_cast<int>(v.size());
    return v[k];
}

int cuboid_test(int, atomdata atom) {
    const auto* r = own(QB_region_cuboiddata);
    if (!r) return 0;
    return r->x0 <= atom.x && atom.x < r->x1 && r->y0 <= atom.y && atom.y < r->y1 &&
           r->z0 <= atom.z && atom.z < r->z1;
}

int sphere_test(int, atomdata atom) {
    const auto* r = own(QB_region_spheredata);
    if (!r) return 0;
    const V3 d = {atom.x - r->cx, atom.y - r->cy, atom.z - r->cz};
    return r->r * r->r > dot(d, d);
}

int cylinder_test(int, atomdata atom) {
    const auto* r = own(QB_region_cylinderdata);
    if (!r || r->axis < 0 || r->axis > 2) return 0;
    const V3 d = {atom.x - r->cx, atom.y - r->cy, atom.z - r->cz};
    const double da = d[r->axis];
    return r->r * r->r > dot(d, d) - da * da && r->length / 2 > std::fabs(da);
}

int cone_test(int, atomdata atom) {
    const auto* r = own(QB_region_conedata);
    if (!r || r->dir < 0 || r->dir > 5) return 0;
    const V3 d = {atom.x - r->cx, atom.y - r->cy, atom.z - r->cz};
    const int a = r->dir / 2;
    const double t = r->dir % 2 ? -d[a] : d[a];
    if (!(0 < t && t < r->height)) return 0;
    const double rt = r->radius * (1 - t / r->height);
    return rt * rt > dot(d, d) - d[a] * d[a];
}

int plane_test(int, atomdata atom) {
    const auto* r = own(QB_region_planedata);
    if (!r) return 0;
    const double e = r->nx * atom.x + r->ny * atom.y + r->nz * atom.z;
    if (r->width <= 0) return e > r->d;
    return r->width > std::fabs(e - r->d) / (r->nx * r->nx + r->ny * r->ny + r->nz * r->nz);
}

int prism_test(int, atomdata atom) {
    const auto* r = own(QB_region_prismdata);
    if (!r) return 0;
    if (r->axis < 0 || r->axis > 2) return 1;
    const V3 d = {atom.x - r->cx, atom.y - r->cy, atom.z - r->cz};
    const double a = d[r->axis];
    if (a < -r->length / 2 || a > r->length / 2) return 0;
    const double u = d[r->axis == 0 ? 1 : 0];
    const double v = d[r->axis == 2 ? 1 : 2];
    for (int i = 0; i < r->sides; i++) {
        const double th = i * 2 * kPi / r->sides;
        if (std::cos(th) * u + std::sin(th) * v > r->r) return 0;
    }
    return 1;
}

// The cyclic placements of (x, 0, y) with every sign of x and y.
void add_cyclic(std::vector<V3>& out, double x, double y) {
    for (int sx : {1, -1})
        for (int sy : {1, -1}) {
            out.push_back({sx * x, 0, sy * y});
            out.push_back({0, sy * y, sx * x});
            out.push_back({sy * y, sx * x, 0});
        }
}

void add_cube_corners(std::vector<V3>& out, double c) {
    for (int sx : {1, -1})
        for (int sy : {1, -1})
            for (int sz : {1, -1}) out.push_back({sx * c, sy * c, sz * c});
}

void build_faces(const QB_region_polyhedron_record& r, Faces& f) {
    f.normals.clear();
    f.usable = true;
    f.bound = 1;
    const double n[3][3] = {{r.n1x, r.n1y, r.n1z}, {r.n2x, r.n2y, r.n2z}, {r.n3x, r.n3y, r.n3z}};
    const double R[3] = {r.R1, r.R2, r.R3};
    const double k3 = 1 / std::sqrt(3.0);
    switch (r.kind) {
        case 0:
        case 1: {
            const int m = (r.surfaces < 0 ? 0 : r.surfaces > 2 ? 2 : r.surfaces) + 1;
            for (int i = 0; i < m; i++) {
                const V3 ni = {n[i][0], n[i][1], n[i][2]};
                const double scale = 1 / (std::sqrt(dot(ni, ni)) * R[i]);
                const V3 u = {ni[0] * scale, ni[1] * scale, ni[2] * scale};
                static const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                                {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
                for (int p = 0; p < (r.kind == 0 ? 1 : 6); p++)
                    for (int sx : {1, -1})
                        for (int sy : {1, -1})
                            for (int sz : {1, -1})
                                f.normals.push_back({sx * u[perms[p][0]], sy * u[perms[p][1]],
                                                     sz * u[perms[p][2]]});
            }
            return;
        }
        case 2: {
            const double s2 = std::sqrt(2.0), s23 = std::sqrt(2.0 / 3.0);
            f.normals = {{0, 0, 1},
                         {-s2 / 3, -s23, -1.0 / 3},
                         {-s2 / 3, s23, -1.0 / 3},
                         {2 * s2 / 3, 0, -1.0 / 3}};
            break;
        }
        case 3:
            f.normals = {{0, 0, 1}, {0, 0, -1}, {0, 1, 0}, {0, -1, 0}, {1, 0, 0}, {-1, 0, 0}};
            break;
        case 4: add_cube_corners(f.normals, k3); break;
        case 5: add_cyclic(f.normals, 0.5257311121191336, 0.85065080835204); break;
        case 6:
            add_cyclic(f.normals, 0.35682208977308993, 0.9341723589627158);
            add_cube_corners(f.normals, k3);
            break;
        default: f.usable = false; return;
    }
    f.bound = r.R1;
}

int polyhedron_test(int, atomdata atom) {
    const auto* r = own(QB_region_polyhedrondata);
    if (!r) return 0;
    const int k = QB_region_invest;
    if (static_cast<int>(face_cache.size()) <= k) face_cache.resize(static_cast<size_t>(k) + 1);
    Faces& f = face_cache[k];
    const std::array<double, 14> key = {double(r->kind), double(r->surfaces),
                                        r->n1x, r->n1y, r->n1z, r->n2x, r->n2y, r->n2z,
                                        r->n3x, r->n3y, r->n3z, r->R1, r->R2, r->R3};
    if (!f.built || f.key != key) {
        build_faces(*r, f);
        f.key = key;
        f.built = true;
    }
    if (!f.usable) return 0;
    const V3 d = {atom.x - r->cx, atom.y - r->cy, atom.z - r->cz};
    for (const V3& n : f.normals)
        if (!(dot(n, d) <= f.bound)) return 0;  // a NaN face (zero normal or radius) excludes too
    return 1;
}

int expression_test(int i, atomdata atom) {
    const auto* r = own(QB_region_expressiondata);
    if (!r || !has_system()) return 0;
    // Positions come from the tested point so that moved, rotated and
    // periodic copies of a position range follow their transform.
    const int slot = QB_slot_get(INV_SYS, r->name.c_str());
    const double v = slot >= 2 && slot <= 4 ? pos(atom)[slot - 2]
                     : slot >= 0            ? QB_slot_data(INV_SYS, slot, i)
                                            : 0.0;
    return r->min <= v && v <= r->max;
}

int inbox_test(int, atomdata atom) {
    if (!has_system()) return 0;
    const QB_tools* s = INV_SYS;
    const V3 p = pos(atom);
    if (s->triclinic != 1) {
        for (int d = 0; d < 3; d++)
            if (!(s->lo[d] <= p[d] && p[d] <= s->lo[d] + s->size[d])) return 0;
        return 1;
    }
    const V3 e[3] = {cell_row(s, 0), cell_row(s, 1), cell_row(s, 2)};
    const V3 o = {s->origin[0], s->origin[1], s->origin[2]};
    const V3 far = {o[0] + e[0][0] + e[1][0] + e[2][0], o[1] + e[0][1] + e[1][1] + e[2][1],
                    o[2] + e[0][2] + e[1][2] + e[2][2]};
    for (int a = 0; a < 3; a++) {
        V3 n = cross(e[(a + 1) % 3], e[(a + 2) % 3]);
        if (dot(n, e[a]) < 0) n = {-n[0], -n[1], -n[2]};
        const double v = dot(n, p);
        if (!(dot(n, o) <= v && v < dot(n, far))) return 0;
    }
    return 1;
}

int deform_test(int i, atomdata atom) {
    const auto* r = own(QB_region_deformdata);
    if (!r) return 0;
    QB_region_deform_record rec = *r;
    double inv_t[3][3];
    if (!QB_region_matrix_reverse(rec.m, inv_t)) return 0;
    const V3 d = {atom.x - rec.cx, atom.y - rec.cy, atom.z - rec.cz};
    const V3 c = {rec.cx, rec.cy, rec.cz};
    V3 q;
    for (int a = 0; a < 3; a++)
        q[a] = inv_t[0][a] * d[0] + inv_t[1][a] * d[1] + inv_t[2][a] * d[2] + c[a];
    return QB_region_extract(i, at(atom, q), rec.k);
}

int rotate_test(int i, atomdata atom) {
    const auto* r = own(QB_region_rotatedata);
    if (!r) return 0;
    const QB_region_rotate_record rec = *r;
    const double len = std::sqrt(rec.ax * rec.ax + rec.ay * rec.ay + rec.az * rec.az);
    if (!(len > 0)) return 0;
    const V3 u = {rec.ax / len, rec.ay / len, rec.az / len};
    const V3 c = {rec.cx, rec.cy, rec.cz};
    const V3 p = {atom.x - c[0], atom.y - c[1], atom.z - c[2]};
    const V3 d = turn(u, rec.cos_angle, -rec.sin_angle, p);  // turned back
    return QB_region_extract(i, at(atom, {c[0] + d[0], c[1] + d[1], c[2] + d[2]}), rec.k);
}

int move_test(int i, atomdata atom) {
    const auto* r = own(QB_region_movedata);
    if (!r) return 0;
    const QB_region_move_record rec = *r;
    const V3 f = {rec.dx, rec.dy, rec.dz};
    V3 shift = f;
    if (rec.mode != 0) {
        if (!has_system()) return 0;
        const QB_tools* s = INV_SYS;
        for (int a = 0; a < 3; a++)
            shift[a] = s->triclinic == 1
                           ? f[0] * s->cell[0][a] + f[1] * s->cell[1][a] + f[2] * s->cell[2][a]
                           : f[a] * s->size[a];
    }
    return QB_region_extract(i, at(atom, {atom.x - shift[0], atom.y - shift[1], atom.z - shift[2]}),
                             rec.k);
}

int periodic_test(int i, atomdata atom) {
    const auto* r = own(QB_region_periodicdata);
    if (!r || !has_system()) return 0;
    const int k = r->k;
    const QB_tools* s = INV_SYS;
    const V3 p = pos(atom);
    for (int e = -1; e <= 1; e++)
        for (int f = -1; f <= 1; f++)
            for (int g = -1; g <= 1; g++) {
                const int m[3] = {e, f, g};
                V3 q = p;
                for (int a = 0; a < 3; a++)
                    q[a] += s->triclinic == 1
                                ? e * s->cell[0][a] + f * s->cell[1][a] + g * s->cell[2][a]
                                : m[a] * s->size[a];
                if (QB_region_extract(i, at(atom, q), k)) return 1;
            }
    return 0;
}

int logic_test(int i, atomdata atom) {
    const auto* r = own(QB_region_math);
    if (!r) return 0;
    const QB_region_logic_record rec = *r;
    auto in = [&](int k) { return QB_region_extract(i, atom, k) != 0; };
    switch (rec.operation) {
        case 1: return in(rec.a) && in(rec.b);
        case 2: return in(rec.a) || in(rec.b);
        case 3: {
            const bool a = in(rec.a), b = in(rec.b);
            return a && b ? 0 : a ? 1 : b;
        }
        case 4: return in(rec.a) ? 0 : !in(rec.b);
        case 5: return !in(rec.a);
    }
    return 0;
}

int logic(int a, int b, double vol, int operation) {
    if (a < 0 || b < 0) return QB_REFUSED;
    append(logic_test, vol, QB_region_math, QB_region_logic_sum) = {a, b, operation};
    return QB_region_sum - 1;
}

// Rotate, move and periodic need an existing operand.
bool operand_missing(int k, bool say) {
    if (exists(k)) return false;
    if (say) std::printf("%s", kEmptyOperand);
    return true;
}

}  // namespace

int QB_region_add(QB_region_test test, double volume) {
    QB_region_control.push_back({test, volume});
    QB_region_sum = static_cast<int>(QB_region_control.size());
    busy.resize(QB_region_control.size(), 0);
    return QB_region_sum - 1;
}

int DEAL_ALL(int, atomdata) { return 1; }

double VOL_BOX() { return 1; }

int QB_region_extract(int i, atomdata atom, int k) {
    if (!exists(k)) return 0;
    if (busy.size() < QB_region_control.size()) busy.resize(QB_region_control.size(), 0);
    if (busy[k]) {
        cycle_met = true;
        return 0;
    }
    if (depth == 0) cycle_met = false;
    const QB_region_test test = QB_region_control[k].test;
    busy[k] = 1;
    depth++;
    QB_region_invest = k;
    const int result = test ? test(i, atom) : 0;
    depth--;
    if (k < static_cast<int>(busy.size())) busy[k] = 0;
    QB_region_invest = k;
    return depth == 0 && cycle_met ? 0 : result;
}

void QB_region_set_invest_system(QB_tools* s) {
    INV_SYS = s;
    QB_invest_system_flag = s ? 1 : 0;
}

int QB_region_matrix_reverse(double (*M)[3], double (*out)[3]) {
    double cof[3][3];
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
            cof[i][j] = M[i1][j1] * M[i2][j2] - M[i1][j2] * M[i2][j1];
        }
    const double det = M[0][0] * cof[0][0] + M[0][1] * cof[0][1] + M[0][2] * cof[0][2];
    if (!(std::fabs(det) >= 0.0001)) return 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) out[i][j] = cof[i][j] / det;
    return 1;
}

void QB_region_logic_memory() {
    if (static_cast<int>(QB_region_math.size()) < QB_region_sum)
        QB_region_math.resize(static_cast<size_t>(QB_region_sum));
    QB_region_logic_sum = static_cast<int>(QB_region_math.size());
}

void QB_region_clean() {
    QB_region_control.clear();
    QB_region_control.shrink_to_fit();
    QB_region_sum = 0;
    busy.clear();
}

void QB_region_free() {
    QB_region_clean();
    auto drop = [](auto& v, int& sum) {
        v.clear();
        v.shrink_to_fit();
        sum = 0;
    };
    drop(QB_region_cuboiddata, QB_region_cuboid_sum);
    drop(QB_region_spheredata, QB_region_sphere_sum);
    drop(QB_region_cylinderdata, QB_region_cylinder_sum);
    drop(QB_region_conedata, QB_region_cone_sum);
    drop(QB_region_planedata, QB_region_plane_sum);
    drop(QB_region_prismdata, QB_region_prism_sum);
    drop(QB_region_polyhedrondata, QB_region_polyhedron_sum);
    drop(QB_region_expressiondata, QB_region_expression_sum);
    drop(QB_region_deformdata, QB_region_deform_sum);
    drop(QB_region_rotatedata, QB_region_rotate_sum);
    drop(QB_region_movedata, QB_region_move_sum);
    drop(QB_region_periodicdata, QB_region_periodic_sum);
    drop(QB_region_math, QB_region_logic_sum);
    face_cache.clear();
    QB_region_invest = 0;
}

int QB_region_get_sum() { return QB_region_sum; }

int QB_region_get_invest() { return QB_region_invest; }

double QB_region_volume(int k) {
    if (!exists(k)) return 0;
    QB_region_invest = k;
    return QB_region_control[k].volume;
}

int QB_region_vol(int k, double v) {
    if (!exists(k)) return QB_REFUSED;
    QB_region_control[k].volume = v;
    return 1;
}

int QB_region_cuboid(double x0, double y0, double z0, double x1, double y1, double z1) {
    append(cuboid_test, (x1 - x0) * (y1 - y0) * (z1 - z0), QB_region_cuboiddata,
           QB_region_cuboid_sum) = {x0, y0, z0, x1, y1, z1};
    return QB_region_sum - 1;
}

int QB_region_sphere(double cx, double cy, double cz, double r) {
    append(sphere_test, 4.0 / 3.0 * kPi * r * r * r, QB_region_spheredata, QB_region_sphere_sum) =
        {r, cx, cy, cz};
    return QB_region_sum - 1;
}

int QB_region_cylinder(double cx, double cy, double cz, double r, double length, int axis) {
    append(cylinder_test, kPi * r * r * length, QB_region_cylinderdata, QB_region_cylinder_sum) =
        {r, cx, cy, cz, length, axis};
    return QB_region_sum - 1;
}

int QB_region_cone(double cx, double cy, double cz, double radius, double height, int dir) {
    append(cone_test, kPi * radius * radius * height / 3, QB_region_conedata, QB_region_cone_sum) =
        {cx, cy, cz, height, radius, dir};
    return QB_region_sum - 1;
}

int QB_region_plane(double nx, double ny, double nz, double px, double py, double pz,
                    double width) {
    append(plane_test, 1, QB_region_planedata, QB_region_plane_sum) =
        {nx, ny, nz, nx * px + ny * py + nz * pz, width};
    return QB_region_sum - 1;
}

int QB_region_prism(double cx, double cy, double cz, double r, double length, int sides, int axis) {
    append(prism_test, 1, QB_region_prismdata, QB_region_prism_sum) =
        {axis, cx, cy, cz, r, length, sides};
    return QB_region_sum - 1;
}

int QB_region_polyhedron(int kind, int surfaces, double cx, double cy, double cz, double n1x,
                         double n1y, double n1z, double n2x, double n2y, double n2z, double n3x,
                         double n3y, double n3z, double R1, double R2, double R3) {
    append(polyhedron_test, 1, QB_region_polyhedrondata, QB_region_polyhedron_sum) =
        {kind, surfaces, cx, cy, cz, n1x, n1y, n1z, n2x, n2y, n2z, n3x, n3y, n3z, R1, R2, R3};
    return QB_region_sum - 1;
}

int QB_region_expression(const char* name, double min, double max) {
    append(expression_test, 1, QB_region_expressiondata, QB_region_expression_sum) =
        {name ? name : "", max, min};
    return QB_region_sum - 1;
}

int QB_region_inbox() { return QB_region_add(inbox_test, 1); }

int QB_region_deform(int k, double cx, double cy, double cz, double m00, double m01, double m02,
                     double m10, double m11, double m12, double m20, double m21, double m22) {
    if (k < 0) return QB_REFUSED;
    const double vol = exists(k) ? QB_region_control[k].volume : 1;
    append(deform_test, vol, QB_region_deformdata, QB_region_deform_sum) =
        {cx, cy, cz, {{m00, m01, m02}, {m10, m11, m12}, {m20, m21, m22}}, k};
    return QB_region_sum - 1;
}

int QB_region_rotate(int k, double cx, double cy, double cz, double ax, double ay, double az,
                     double angle) {
    if (operand_missing(k, true)) return QB_REFUSED;
    const double a = angle * kPi / 180;
    append(rotate_test, QB_region_control[k].volume, QB_region_rotatedata, QB_region_rotate_sum) =
        {cx, cy, cz, ax, ay, az, std::cos(a), std::sin(a), k};
    return QB_region_sum - 1;
}

int QB_region_move(int k, int mode, double dx, double dy, double dz) {
    if (operand_missing(k, true)) return QB_REFUSED;
    append(move_test, QB_region_control[k].volume, QB_region_movedata, QB_region_move_sum) =
        {dx, dy, dz, k, mode};
    return QB_region_sum - 1;
}

int QB_region_periodic(int k) {
    if (operand_missing(k, false)) return QB_REFUSED;
    append(periodic_test, QB_region_control[k].volume, QB_region_periodicdata,
           QB_region_periodic_sum) = {k};
    return QB_region_sum - 1;
}

int QB_region_and(int a, int b, double vol) { return logic(a, b, vol, 1); }
int QB_region_or(int a, int b, double vol) { return logic(a, b, vol, 2); }
int QB_region_comple(int a, int b, double vol) { return logic(a, b, vol, 3); }
int QB_region_neither(int a, int b, double vol) { return logic(a, b, vol, 4); }
int QB_region_not(int a, double vol) { return logic(a, 0, vol, 5); }
