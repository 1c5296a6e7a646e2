#include "builders/nanostructures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "store/quelm_model_io.h"
#include "store/quelm_store.h"
#include "builders/crystal_source.h"
#include "qb/qb_text.h"

const char* const QN_CLUSTER_TITLE = "Build a cluster model with two given files";
const char* const QN_WIRE_TITLE = "Build a wire model with two given files";
const char* const QN_SHEET_TITLE = "Build a sheet model with two given files";
const char* const QN_CORESHELL_TITLE = "Build a coreshell model with two given files";

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kMostAtoms = 4e8;

double dot(const QN_vec& a, const QN_vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const QN_vec& a) { return std::sqrt(dot(a, a)); }
QN_vec cross(const QN_vec& a, const QN_vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
QN_vec row(const double m[3][3], int r) { return {m[r][0], m[r][1], m[r][2]}; }

// Face normals of the regular solids in their own frame.
std::vector<QN_vec> reference_normals(int shape) {
    const double s2 = std::sqrt(2.0), s6 = std::sqrt(6.0), s3 = 1 / std::sqrt(3.0);
    std::vector<QN_vec> octa;
    for (int sx : {1, -1})
        for (int sy : {1, -1})
            for (int sz : {1, -1}) octa.push_back({sx * s3, sy * s3, sz * s3});
    auto twelve = [](double a, double b) {
        return std::vector<QN_vec>{{a, 0, b},  {a, 0, -b},  {-a, 0, b},  {-a, 0, -b}, {0, b, a},  {0, b, -a},
                                   {0, -b, a}, {0, -b, -a}, {b, a, 0},   {b, -a, 0},  {-b, a, 0}, {-b, -a, 0}};
    };
    switch (shape) {
        case 1: return {{0, 0, 1}, {-s2 / 3, -s6 / 3, -1.0 / 3}, {-s2 / 3, s6 / 3, -1.0 / 3}, {2 * s2 / 3, 0, -1.0 / 3}};
        case 2: return {{0, 0, 1}, {0, 0, -1}, {0, 1, 0}, {0, -1, 0}, {1, 0, 0}, {-1, 0, 0}};
        case 3: return octa;
        case 4: return twelve(0.5257311121191336, 0.85065080835204);
        case 5: {
            auto n = twelve(0.35682208977308993, 0.9341723589627158);
            n.insert(n.end(), octa.begin(), octa.end());
            return n;
        }
    }
    return {};
}

// Circumradius over inradius of each shape (1 for the sphere).
const double kCircum[QN_SHAPES] = {1, 3, 1.7320508075688772, 1.7320508075688772, 1.2584085723648189, 1.2584085723648189};

// The orientation rows normalised; false when a polyhedron's rows are zero
// or not perpendicular.
bool orientation(const double rows[3][3], QN_vec out[3]) {
    for (int r = 0; r < 3; r++) {
        const QN_vec v = row(rows, r);
        const double len = norm(v);
        if (!(len > 0) || !std::isfinite(len)) return false;
        out[r] = {v[0] / len, v[1] / len, v[2] / len};
    }
    for (int r = 0; r < 3; r++)
        if (std::fabs(dot(out[r], out[(r + 1) % 3])) > 1e-3) return false;
    return true;
}

// The rotated normals: a reference normal (a, b, g) becomes a X + b Y + g Z.
std::vector<QN_vec> rotated_normals(int shape, const QN_vec axes[3]) {
    std::vector<QN_vec> out;
    for (const QN_vec& n : reference_normals(shape)) {
        QN_vec m;
        for (int k = 0; k < 3; k++) m[k] = n[0] * axes[0][k] + n[1] * axes[1][k] + n[2] * axes[2][k];
        out.push_back(m);
    }
    return out;
}

bool inside_polyhedron(const std::vector<QN_vec>& normals, const QN_vec& p, double R) {
    for (const QN_vec& n : normals)
        if (dot(p, n) > R) return false;
    return true;
}

// A ball of radius `reach` around the origin site: the box of the shape.
void ball_box(QN_fill_shape& s, double reach) {
    for (int a = 0; a < 3; a++) {
        s.lo[a] = -reach;
        s.hi[a] = reach;
    }
}

// The shape's planes (polyhedra) or radial bound (sphere), scaled to R.
void shape_bounds(QN_fill_shape& s, int shape, const std::vector<QN_vec>& normals, double R) {
    ball_box(s, R * kCircum[shape] * 1.001 + 1e-9);
    if (shape == 0) {
        s.radius = R;
    } else {
        for (const QN_vec& n : normals) s.planes.push_back({n, R});
    }
}

double cell_density(const QN_crystal& c) {
    const QN_vec a = row(c.cell, 0), b = row(c.cell, 1), cc = row(c.cell, 2);
    return c.sites.size() / std::fabs(dot(a, cross(b, cc)));
}


// The period of the crystal along a box axis: the shortest lattice vector
// n a + m b + l c (|n|, |m|, |l| <= 6) whose two other components vanish, to
// the precision a cell written with six decimals keeps.
bool axis_period(const QN_crystal& c, int axis, double& period) {
    constexpr int kReach = 6;
    period = 0;
    for (int n = -kReach; n <= kReach; n++)
        for (int m = -kReach; m <= kReach; m++)
            for (int l = -kReach; l <= kReach; l++) {
                QN_vec v;
                for (int k = 0; k < 3; k++) v[k] = n * c.cell[0][k] + m * c.cell[1][k] + l * c.cell[2][k];
                const double along = v[static_cast<size_t>(axis)];
                if (!(along > 0)) continue;
                bool straight = true;
                for (int k = 0; k < 3; k++)
                    if (k != axis && !(std::fabs(v[static_cast<size_t>(k)]) <= 1e-6 * along)) straight = false;
                if (straight && (period == 0 || along < period * (1 - 1e-12))) period = along;
            }
    return period > 0;
}

// Hands the generated atoms over as the new model, its types named after
// the crystal's elements.
int finish(QB_tools* out, QB_tools& work, int ntypes, const std::vector<std::string>& names, std::string* message,
           const std::string& extra = "") {
    QN_name_types(&work, names);
    QN_number_atoms(&work, ntypes);
    *out = std::move(work);
    if (message) *message = QN_new_model_text(out) + extra;
    return 1;
}

// Checks common to the shapes.
bool check_shape(int shape, double R, const double rows[3][3], QN_vec axes[3], std::string* message) {
    if (shape < 0 || shape >= QN_SHAPES) return QN_refuse(message, "no such structure");
    if (!(R > 0) || !std::isfinite(R)) return QN_refuse(message, "the radius must be above 0");
    if (shape != 0 && !orientation(rows, axes)) return QN_refuse(message, "the orientation rows must be non-zero and perpendicular");
    if (shape == 0)
        for (int r = 0; r < 3; r++) axes[r] = {r == 0 ? 1.0 : 0, r == 1 ? 1.0 : 0, r == 2 ? 1.0 : 0};
    return true;
}

bool within_limits(double estimate, std::string* message) {
    if (!(estimate < kMostAtoms)) return QN_refuse(message, "too many atoms for one model");
    return true;
}

// Cell grid over a set of points, for "is any point closer than r".
class PointGrid {
public:
    PointGrid(const QB_atom_array& atoms, size_t first, size_t last, double r) : r_(r) {
        for (int a = 0; a < 3; a++) {
            lo_[a] = 1e300;
            double hi = -1e300;
            for (size_t i = first; i < last; i++) {
                const double v = a == 0 ? atoms[i].x : a == 1 ? atoms[i].y : atoms[i].z;
                lo_[a] = std::min(lo_[a], v);
                hi = std::max(hi, v);
            }
            n_[a] = last > first ? std::max(1, std::min(256, static_cast<int>((hi - lo_[a]) / r) + 1)) : 1;
        }
        cells_.resize(static_cast<size_t>(n_[0]) * n_[1] * n_[2]);
        for (size_t i = first; i < last; i++) {
            points_.push_back({atoms[i].x, atoms[i].y, atoms[i].z});
            cells_[cell(points_.back())].push_back(static_cast<int>(points_.size() - 1));
        }
    }
    bool near(const QN_vec& p) const {
        int c[3];
        for (int a = 0; a < 3; a++) c[a] = index(p[a], a);
        for (int i = c[0] - 1; i <= c[0] + 1; i++)
            for (int j = c[1] - 1; j <= c[1] + 1; j++)
                for (int k = c[2] - 1; k <= c[2] + 1; k++) {
                    if (i < 0 || j < 0 || k < 0 || i >= n_[0] || j >= n_[1] || k >= n_[2]) continue;
                    for (int q : cells_[static_cast<size_t>((i * n_[1] + j) * n_[2] + k)]) {
                        const QN_vec& o = points_[static_cast<size_t>(q)];
                        const QN_vec d{p[0] - o[0], p[1] - o[1], p[2] - o[2]};
                        if (dot(d, d) < r_ * r_) return true;
                    }
                }
        return false;
    }

private:
    int index(double v, int a) const {
        return std::min(n_[a] - 1, std::max(0, static_cast<int>(std::floor((v - lo_[a]) / r_))));
    }
    size_t cell(const QN_vec& p) const {
        return static_cast<size_t>((index(p[0], 0) * n_[1] + index(p[1], 1)) * n_[2] + index(p[2], 2));
    }
    double r_;
    double lo_[3];
    int n_[3];
    std::vector<QN_vec> points_;
    std::vector<std::vector<int>> cells_;
};

}  // namespace

// ================================================================== geometry

int QB_cluster(int shape, const char* file, double R, double xx, double xy, double xz, double yx, double yy, double yz,
               double zx, double zy, double zz, QB_tools* out, std::string* message) {
    const double rows[3][3] = {{xx, xy, xz}, {yx, yy, yz}, {zx, zy, zz}};
    QN_vec axes[3];
    if (!check_shape(shape, R, rows, axes, message)) return -1;
    QN_crystal c;
    std::string why;
    if (QN_read_crystal(file ? file : "", c, why) != 1) {
        if (message) *message = why;
        return -1;
    }
    const double reach = R * kCircum[shape];
    if (!within_limits(cell_density(c) * 8 * reach * reach * reach, message)) return -1;
    try {
        const std::vector<QN_vec> normals = rotated_normals(shape, axes);
        QN_fill_shape s;
        shape_bounds(s, shape, normals, R);
        s.keep = [&](const QN_vec& p) { return shape == 0 ? !(dot(p, p) > R * R) : inside_polyhedron(normals, p, R); };
        QB_tools work;
        QB_init(&work);
        QN_fill_crystal(c, s, work.atoms);
        const bool all[3] = {true, true, true};
        work.natoms = static_cast<int>(work.atoms.size());
        QN_padded_box(&work, all);
        return finish(out, work, c.ntypes, c.names, message);
    } catch (const std::bad_alloc&) {
        QN_refuse(message, "not enough memory for this model");
        return -1;
    }
}

int QB_wire(int section, int axis, const char* file, double R, double H, QB_tools* out, std::string* message) {
    if (section < 0 || section >= QN_SECTIONS) return QN_refused(message, "no such structure");
    if (axis < 0 || axis > 2) return QN_refused(message, "no such direction");
    if (!(R > 0) || !std::isfinite(R)) return QN_refused(message, "the radius must be above 0");
    if (!(H > 0) || !std::isfinite(H)) return QN_refused(message, "the height must be above 0");
    QN_crystal c;
    std::string why;
    if (QN_read_crystal(file ? file : "", c, why) != 1) {
        if (message) *message = why;
        return -1;
    }
    double period = 0;
    if (!axis_period(c, axis, period))
        return QN_refused(message, "no lattice vector of the crystal lies along the wire axis");
    const double count = std::floor(H / period + 1);
    const double L = count * period;
    // Atoms are kept in [-L/2, L/2) along the axis, the window moved down by
    // a little more than rounding, so that of the two ends of a column
    // exactly one stays whatever way the last bit of either falls.
    const double slack = 1e-7 * period;
    const int m = section == 0 ? 0 : section == 1 ? 4 : section == 2 ? 6 : 8;
    const double reach = m == 0 ? R : R / std::cos(kPi / m);
    if (!within_limits(cell_density(c) * 4 * reach * reach * L, message)) return -1;
    const int u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
    try {
        QN_fill_shape s;
        for (int a = 0; a < 3; a++) {
            s.lo[a] = a == axis ? -L / 2 - slack : -reach * 1.001 - 1e-9;
            s.hi[a] = a == axis ? L / 2 : reach * 1.001 + 1e-9;
        }
        std::vector<QN_vec> faces;
        for (int k = 0; k < m; k++) {
            QN_vec n{0, 0, 0};
            n[static_cast<size_t>(u)] = std::cos(k * 2 * kPi / m);
            n[static_cast<size_t>(v)] = std::sin(k * 2 * kPi / m);
            faces.push_back(n);
            s.planes.push_back({n, R});
        }
        if (m == 0) {
            s.radius = R;
            s.radial[axis] = false;
        }
        // Half-open along the axis: the wire repeats with period L.
        s.keep = [&](const QN_vec& p) {
            if (!(p[static_cast<size_t>(axis)] >= -L / 2 - slack && p[static_cast<size_t>(axis)] < L / 2 - slack)) return false;
            if (m == 0) return !(p[static_cast<size_t>(u)] * p[static_cast<size_t>(u)] + p[static_cast<size_t>(v)] * p[static_cast<size_t>(v)] > R * R);
            for (const QN_vec& n : faces)
                if (dot(n, p) > R) return false;
            return true;
        };
        QB_tools work;
        QB_init(&work);
        QN_fill_crystal(c, s, work.atoms);
        work.natoms = static_cast<int>(work.atoms.size());
        for (atomdata& a : work.atoms) {
            double& along = axis == 0 ? a.x : axis == 1 ? a.y : a.z;
            if (along < -L / 2) along += L;
        }
        bool cross_axes[3] = {true, true, true};
        cross_axes[axis] = false;
        QN_padded_box(&work, cross_axes);
        work.lo[axis] = work.origin[axis] = -L / 2;
        work.size[axis] = work.cell[axis][axis] = L;
        return finish(out, work, c.ntypes, c.names, message);
    } catch (const std::bad_alloc&) {
        QN_refuse(message, "not enough memory for this model");
        return -1;
    }
}

int QB_sheet(int plane, const char* file, double cx, double cy, double cz, int unit, int nx, int ny, double thick,
             double vacuum, QB_tools* out, std::string* message) {
    if (plane < 0 || plane > 2) return QN_refused(message, "no such mode");
    if (unit < 0 || unit > 1) return QN_refused(message, "no such unit");
    if (nx < 1 || ny < 1) return QN_refused(message, "the duplicate counts must be 1 or more");
    if (!(thick > 0) || !std::isfinite(thick)) return QN_refused(message, "the thickness must be above 0");
    if (!(vacuum >= 0) || !std::isfinite(vacuum)) return QN_refused(message, "the vacuum must not be negative");
    QN_crystal c;
    std::string why;
    if (QN_read_crystal(file ? file : "", c, why) != 1) {
        if (message) *message = why;
        return -1;
    }
    // The two in-plane cell vectors (replicated nx and ny times) and the stacking one.
    static const int kIn[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    static const int kStack[3] = {2, 1, 0};
    const int i1 = kIn[plane][0], i2 = kIn[plane][1], is = kStack[plane];
    const QN_vec u1 = row(c.cell, i1), u2 = row(c.cell, i2), stack = row(c.cell, is);
    QN_vec n = plane == 1 ? cross(u2, u1) : cross(u1, u2);  // a x b, c x a, b x c
    const double nl = norm(n);
    for (double& x : n) x /= nl;
    double h0 = dot(stack, n);
    if (h0 < 0) {
        for (double& x : n) x = -x;
        h0 = -h0;
    }
    QN_vec P{cx, cy, cz};
    if (unit == 1)
        for (int k = 0; k < 3; k++) P[k] = c.origin[k] + cx * c.cell[0][k] + cy * c.cell[1][k] + cz * c.cell[2][k];
    const double area = norm(cross(u1, u2)) * nx * ny;
    if (!within_limits(cell_density(c) * area * (thick + 2 * h0), message)) return -1;
    try {
        QB_tools work;
        QB_init(&work);
        // The new cell: nx u1, ny u2 and the stacking vector stretched to
        // the height thick + vacuum, at the crystal's origin.
        double cell[3][3];
        for (int k = 0; k < 3; k++) {
            cell[i1][k] = nx * u1[k];
            cell[i2][k] = ny * u2[k];
            cell[is][k] = stack[k] * (thick + vacuum) / h0;
        }
        const QN_vec inv_rows[3] = {cross(row(cell, 1), row(cell, 2)), cross(row(cell, 2), row(cell, 0)),
                                    cross(row(cell, 0), row(cell, 1))};
        const double volume = dot(row(cell, 0), inv_rows[0]);
        for (size_t k = 0; k < c.sites.size(); k++) {
            QN_vec site;
            for (int a = 0; a < 3; a++) site[a] = c.first[a] + c.sites[k][a];
            // Heights above the centre plane: the site's, then m stacking steps.
            const double hs = dot({site[0] - P[0], site[1] - P[1], site[2] - P[2]}, n);
            const long m0 = static_cast<long>(std::floor((-thick / 2 - hs) / h0)) - 1;
            const long m1 = static_cast<long>(std::ceil((thick / 2 - hs) / h0)) + 1;
            for (long m = m0; m <= m1; m++) {
                const double h = hs + m * h0;
                if (!(h >= -thick / 2 && h < thick / 2)) continue;
                for (int i = 0; i < nx; i++)
                    for (int j = 0; j < ny; j++) {
                        QN_vec p;
                        for (int a = 0; a < 3; a++) p[a] = site[a] + i * u1[a] + j * u2[a] + m * stack[a];
                        // The slab's middle goes to vacuum/2 + thick/2 above the cell's origin plane.
                        const double lift = vacuum / 2 + thick / 2 + h - dot({p[0] - c.origin[0], p[1] - c.origin[1], p[2] - c.origin[2]}, n);
                        for (int a = 0; a < 3; a++) p[a] += lift * n[a];
                        // Into the cell along the two in-plane vectors.
                        const QN_vec d{p[0] - c.origin[0], p[1] - c.origin[1], p[2] - c.origin[2]};
                        double f[3];
                        for (int e = 0; e < 3; e++) f[e] = dot(inv_rows[e], d) / volume;
                        for (int e : {i1, i2}) {
                            f[e] -= std::floor(f[e]);
                            if (f[e] >= 1) f[e] = 0;
                        }
                        for (int a = 0; a < 3; a++)
                            p[a] = c.origin[a] + f[0] * cell[0][a] + f[1] * cell[1][a] + f[2] * cell[2][a];
                        work.atoms.push_back({0, c.types[k], p[0], p[1], p[2], 0});
                    }
            }
        }
        work.natoms = static_cast<int>(work.atoms.size());
        std::memcpy(work.cell, cell, sizeof cell);
        for (int k = 0; k < 3; k++) work.origin[k] = c.origin[k];
        work.triclinic = c.triclinic ? 1 : 0;
        for (int a = 0; a < 3; a++) {
            double low = 0, span = 0;
            for (int e = 0; e < 3; e++) {
                if (cell[e][a] < 0) low += cell[e][a];
                span += std::fabs(cell[e][a]);
            }
            work.lo[a] = c.origin[a] + low;
            work.size[a] = span;
        }
        return finish(out, work, c.ntypes, c.names, message);
    } catch (const std::bad_alloc&) {
        QN_refuse(message, "not enough memory for this model");
        return -1;
    }
}

int QB_coreshell(int shape, int core_mode, const char* shell_file, const char* core_file, double Rs, double Rc,
                 double xx, double xy, double xz, double yx, double yy, double yz, double zx, double zy, double zz,
                 QB_tools* out, std::string* message, double min_distance, int* removed) {
    if (core_mode < 0 || core_mode > 1) return QN_refused(message, "no such core mode");
    if (Rs < Rc) std::swap(Rs, Rc);
    if (!(Rc >= 0) || !std::isfinite(Rc)) return QN_refused(message, "the core radius must not be negative");
    if (!(min_distance >= 0) || !std::isfinite(min_distance))
        return QN_refused(message, "the minimum distance must not be negative");
    const double rows[3][3] = {{xx, xy, xz}, {yx, yy, yz}, {zx, zy, zz}};
    QN_vec axes[3];
    if (!check_shape(shape, Rs, rows, axes, message)) return -1;
    QN_crystal shell, core;
    std::string why;
    if (QN_read_crystal(shell_file ? shell_file : "", shell, why) != 1 ||
        (core_mode == 1 && QN_read_crystal(core_file ? core_file : "", core, why) != 1)) {
        if (message) *message = why;
        return -1;
    }
    const double reach = Rs * kCircum[shape];
    if (!within_limits(std::max(cell_density(shell), core_mode ? cell_density(core) : 0) * 8 * reach * reach * reach, message))
        return -1;
    try {
        const std::vector<QN_vec> normals = rotated_normals(shape, axes);
        auto inside = [&](const QN_vec& p, double R) {
            return shape == 0 ? !(dot(p, p) > R * R) : inside_polyhedron(normals, p, R);
        };
        QB_tools work;
        QB_init(&work);
        QN_fill_shape s;
        shape_bounds(s, shape, normals, Rs);
        s.convex = false;
        s.keep = [&](const QN_vec& p) {
            if (!inside(p, Rs)) return false;
            return shape == 0 ? !(dot(p, p) < Rc * Rc) : !inside_polyhedron(normals, p, Rc);
        };
        QN_fill_crystal(shell, s, work.atoms);
        const size_t shell_atoms = work.atoms.size();
        int dropped = 0;
        if (core_mode == 1 && Rc > 0) {
            QN_fill_shape k;
            shape_bounds(k, shape, normals, Rc);
            k.keep = [&](const QN_vec& p) { return shape == 0 ? dot(p, p) < Rc * Rc : inside_polyhedron(normals, p, Rc); };
            QN_fill_crystal(core, k, work.atoms);
            for (size_t i = shell_atoms; i < work.atoms.size(); i++) work.atoms[i].type += shell.ntypes;
            // Shell atoms too close to a core atom leave the interface.
            const double dmin =
                min_distance > 0 ? min_distance : 0.75 * std::min(QN_crystal_nearest(shell), QN_crystal_nearest(core));
            if (work.atoms.size() > shell_atoms && dmin > 0) {
                const PointGrid grid(work.atoms, shell_atoms, work.atoms.size(), dmin);
                QB_atom_array kept;
                kept.reserve(work.atoms.size());
                for (size_t i = 0; i < work.atoms.size(); i++) {
                    const atomdata& a = work.atoms[i];
                    if (i < shell_atoms && grid.near({a.x, a.y, a.z})) {
                        dropped++;
                        continue;
                    }
                    kept.push_back(a);
                }
                work.atoms = std::move(kept);
            }
            if (removed) *removed = dropped;
            work.natoms = static_cast<int>(work.atoms.size());
            const bool all[3] = {true, true, true};
            QN_padded_box(&work, all);
            QN_name_types(&work, core.names, shell.ntypes);
            return finish(out, work, shell.ntypes + core.ntypes, shell.names, message,
                          QB_format("\n%d shell atoms closer than %lf to the core removed", dropped, dmin));
        }
        if (removed) *removed = 0;
        work.natoms = static_cast<int>(work.atoms.size());
        const bool all[3] = {true, true, true};
        QN_padded_box(&work, all);
        return finish(out, work, shell.ntypes, shell.names, message);
    } catch (const std::bad_alloc&) {
        QN_refuse(message, "not enough memory for this model");
        return -1;
    }
}

// ================================================================ the store

namespace {

void orientation_defaults(const char* prefix) {
    const char* axes = "xyz";
    for (int r = 0; r < 3; r++)
        for (int k = 0; k < 3; k++)
            QN_set_bit_double(QN_NANO_GROUP, std::string(prefix) + axes[r] + axes[k], r == k ? 1 : 0, 0);
}

void orientation_read(const char* prefix, double rows[3][3]) {
    const char* axes = "xyz";
    for (int r = 0; r < 3; r++)
        for (int k = 0; k < 3; k++) {
            rows[r][k] = r == k ? 1 : 0;
            QN_scan_double_single(QN_NANO_GROUP, std::string(prefix) + axes[r] + axes[k], rows[r][k]);
        }
}

int integer(const char* label, int fallback) { return QN_stored_int(QN_NANO_GROUP, label, fallback); }
double real(const char* label, double fallback) { return QN_stored_double(QN_NANO_GROUP, label, fallback); }
std::string text(const char* label) { return QN_stored_text(QN_NANO_GROUP, label); }

}  // namespace

int QN_model_cluster_defaults() {
    const int reset = QN_reset_group(QN_NANO_GROUP, QN_CLUSTER_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_int(QN_NANO_GROUP, "Model_Cluster", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_cluster_mode", 0, 0);
    QN_set_bit_char(QN_NANO_GROUP, "M_cluster_input", "blank");
    QN_set_bit_double(QN_NANO_GROUP, "M_cluster_r", 10, 0);
    orientation_defaults("M_cluster_");
    QN_elements_default(QN_NANO_GROUP);
    return 1;
}

int QN_model_wire_defaults() {
    const int reset = QN_reset_group(QN_NANO_GROUP, QN_WIRE_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_int(QN_NANO_GROUP, "Model_wire", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_wire_mode", 0, 0);
    QN_set_bit_char(QN_NANO_GROUP, "M_wire_input", "blank");
    QN_set_bit_int(QN_NANO_GROUP, "M_wire_dir", 0, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_wire_r", 10, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_wire_h", 10, 0);
    QN_elements_default(QN_NANO_GROUP);
    return 1;
}

int QN_model_sheet_defaults() {
    const int reset = QN_reset_group(QN_NANO_GROUP, QN_SHEET_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_int(QN_NANO_GROUP, "Model_sheet", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_sheet_mode", 0, 0);
    QN_set_bit_char(QN_NANO_GROUP, "M_sheet_input", "blank");
    QN_set_bit_double(QN_NANO_GROUP, "M_sheet_x", 0, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_sheet_y", 0, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_sheet_z", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_sheet_u", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_sheet_nx", 1, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_sheet_ny", 1, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_sheet_thick", 5, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_sheet_void", 5, 0);
    QN_elements_default(QN_NANO_GROUP);
    return 1;
}

int QN_model_coreshell_defaults() {
    const int reset = QN_reset_group(QN_NANO_GROUP, QN_CORESHELL_TITLE);
    if (reset < 0) return reset;
    QN_set_bit_int(QN_NANO_GROUP, "Model_coreshell", 0, 0);
    QN_set_bit_int(QN_NANO_GROUP, "M_coreshell_mode", 0, 0);
    QN_set_bit_char(QN_NANO_GROUP, "M_coreshell_input", "blank");
    QN_set_bit_double(QN_NANO_GROUP, "M_coreshell_r", 10, 0);
    orientation_defaults("M_coreshell_");
    QN_set_bit_double(QN_NANO_GROUP, "M_coreshell_core", 5, 0);
    QN_set_bit_char(QN_NANO_GROUP, "M_coreshell_cfile", "blank");
    QN_set_bit_int(QN_NANO_GROUP, "M_coreshell_cmode", 0, 0);
    QN_set_bit_double(QN_NANO_GROUP, "M_coreshell_dmin", 0, 0);
    QN_elements_default(QN_NANO_GROUP);
    return 1;
}

namespace {

// The form's "Elements:" names on a model just built into `work` (private to
// the caller), handed to out when they fit; out untouched otherwise.
int named(int built, QB_tools& work, QB_tools* out, std::string& message) {
    if (built != 1) return built;
    if (QN_elements_apply(QN_NANO_GROUP, &work, message) != 1) return -1;
    *out = std::move(work);
    return 1;
}

}  // namespace

int QN_model_cluster_build(QB_tools* out, std::string& message) {
    double r[3][3];
    orientation_read("M_cluster_", r);
    QB_tools work;
    const int built = QB_cluster(integer("M_cluster_mode", 0), text("M_cluster_input").c_str(), real("M_cluster_r", 10),
                                 r[0][0], r[0][1], r[0][2], r[1][0], r[1][1], r[1][2], r[2][0], r[2][1], r[2][2], &work,
                                 &message);
    return named(built, work, out, message);
}

int QN_model_wire_build(QB_tools* out, std::string& message) {
    const std::string file = text("M_wire_input");
    QB_tools work;
    const int built = QB_wire(integer("M_wire_mode", 0), integer("M_wire_dir", 0), file.c_str(), real("M_wire_r", 10),
                              real("M_wire_h", 10), &work, &message);
    return named(built, work, out, message);
}

int QN_model_sheet_build(QB_tools* out, std::string& message) {
    QB_tools work;
    const int built = QB_sheet(integer("M_sheet_mode", 0), text("M_sheet_input").c_str(), real("M_sheet_x", 0),
                               real("M_sheet_y", 0), real("M_sheet_z", 0), integer("M_sheet_u", 0),
                               integer("M_sheet_nx", 1), integer("M_sheet_ny", 1), real("M_sheet_thick", 5),
                               real("M_sheet_void", 5), &work, &message);
    return named(built, work, out, message);
}

int QN_model_coreshell_build(QB_tools* out, std::string& message) {
    double r[3][3];
    orientation_read("M_coreshell_", r);
    QB_tools work;
    const int built = QB_coreshell(integer("M_coreshell_mode", 0), integer("M_coreshell_cmode", 0),
                                   text("M_coreshell_input").c_str(), text("M_coreshell_cfile").c_str(),
                                   real("M_coreshell_r", 10), real("M_coreshell_core", 5), r[0][0], r[0][1], r[0][2],
                                   r[1][0], r[1][1], r[1][2], r[2][0], r[2][1], r[2][2], &work, &message,
                                   real("M_coreshell_dmin", 0));
    return named(built, work, out, message);
}
