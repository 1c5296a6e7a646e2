#include "qb/qb_lattice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Candidate lattice points above this many would keep the generator busy for
// minutes: such directions are refused.
constexpr double kMaxCandidates = 1.0e9;

struct Vec {
    double x, y, z;
};

double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(const Vec& a) { return std::sqrt(dot(a, a)); }
bool usable_length(double len) { return len > 0 && std::isfinite(len); }
double frac(double t) { return t - std::trunc(t); }

void warn_if_not_orthogonal(double measure) {
    if (measure > 0.001) std::printf("WARNING: non-orthogonal or non-periodic system\n");
}

void set_box(QB_tools* s, double lx, double ly, double lz) {
    const double len[3] = {lx, ly, lz};
    for (int d = 0; d < 3; d++) {
        s->lo[d] = 0;
        s->origin[d] = 0;
        s->size[d] = len[d];
        s->cell[d][d] = len[d];
    }
}

// Rotates p into the box frame and keeps it when it lies in the window.
void keep_point(QB_tools* s, int type, const Vec& p, const Vec axes[3], const double len[3]) {
    const double q[3] = {dot(p, axes[0]), dot(p, axes[1]), dot(p, axes[2])};
    for (int d = 0; d < 3; d++)
        if (!(q[d] > -0.00001 && q[d] < len[d] - 0.00001)) return;
    QB_create_atom(s, type, q[0], q[1], q[2]);
}

struct BasisPoint {
    int type;
    double x, y, z;
};

// Shared by the cubic generators. With absolute == true the basis points
// are positions (p = b + a (i, j, k)), otherwise fractions of the cell
// (p = (f + (i, j, k)) a).
double create_cubic(QB_tools* s, double a, const Vec& X, const Vec& Y, const Vec& Z, const Vec checks[3],
                    const std::vector<BasisPoint>& basis, bool absolute) {
    if (!(a > 0) || !std::isfinite(a)) return QB_LATTICE_REFUSED;
    const double lenX = length(X), lenY = length(Y), lenZ = length(Z);
    if (!usable_length(lenX) || !usable_length(lenY) || !usable_length(lenZ)) return QB_LATTICE_REFUSED;

    const double len[3] = {a * lenX, a * lenY, a * lenZ};
    const double H = std::sqrt(len[0] * len[0] + len[1] * len[1] + len[2] * len[2]);
    const double Nd = std::trunc(H / a);
    const double side = 2 * Nd + 2;
    if (side * side * side * std::max<size_t>(basis.size(), 1) > kMaxCandidates) return QB_LATTICE_REFUSED;

    double measure = 0;
    for (int v = 0; v < 3; v++)
        measure += std::fabs(frac(dot(checks[v], X))) + std::fabs(frac(dot(checks[v], Y))) +
                   std::fabs(frac(dot(checks[v], Z)));
    measure += std::fabs(dot(X, Y)) + std::fabs(dot(X, Z)) + std::fabs(dot(Y, Z));
    warn_if_not_orthogonal(measure);

    set_box(s, len[0], len[1], len[2]);
    const Vec axes[3] = {{X.x / lenX, X.y / lenX, X.z / lenX},
                         {Y.x / lenY, Y.y / lenY, Y.z / lenY},
                         {Z.x / lenZ, Z.y / lenZ, Z.z / lenZ}};
    const int N = static_cast<int>(Nd);
    for (int i = -N - 1; i <= N; i++)
        for (int j = -N - 1; j <= N; j++)
            for (int k = -N - 1; k <= N; k++)
                for (const BasisPoint& b : basis) {
                    const Vec p = absolute ? Vec{b.x + a * i, b.y + a * j, b.z + a * k}
                                           : Vec{(b.x + i) * a, (b.y + j) * a, (b.z + k) * a};
                    keep_point(s, b.type, p, axes, len);
                }
    return measure;
}

}  // namespace

double QB_create_fcc(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl) {
    const Vec checks[3] = {{-1, 1, 1}, {1, -1, 1}, {1, 1, -1}};
    const std::vector<BasisPoint> basis = {{1, 0, 0, 0}, {1, a / 2, a / 2, 0}, {1, a / 2, 0, a / 2}, {1, 0, a / 2, a / 2}};
    return create_cubic(s, a, {xh, xk, xl}, {yh, yk, yl}, {zh, zk, zl}, checks, basis, true);
}

double QB_create_bcc(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl) {
    const Vec checks[3] = {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
    const std::vector<BasisPoint> basis = {{1, 0, 0, 0}, {1, a / 2, a / 2, a / 2}};
    return create_cubic(s, a, {xh, xk, xl}, {yh, yk, yl}, {zh, zk, zl}, checks, basis, true);
}

double QB_create_any(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl, int count, const double (*basis)[4]) {
    if (count < 0 || (count > 0 && !basis)) return QB_LATTICE_REFUSED;
    const Vec checks[3] = {{0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
    std::vector<BasisPoint> points;
    int top = 1;
    for (int r = 0; r < count; r++) {
        const int type = QB_to_int(basis[r][0]);
        points.push_back({type, basis[r][1], basis[r][2], basis[r][3]});
        top = std::max(top, type);
    }
    const double measure = create_cubic(s, a, {xh, xk, xl}, {yh, yk, yl}, {zh, zk, zl}, checks, points, false);
    if (measure >= 0) s->ntypes = top;
    return measure;
}

double QB_create_hcp(QB_tools* s, double a, double c, double xu, double xv, double xw, double yu, double yv,
                     double yw, double zu, double zv, double zw) {
    if (!(a > 0) || !std::isfinite(a) || !(c > 0) || !std::isfinite(c)) return QB_LATTICE_REFUSED;
    auto cartesian = [a, c](double u, double v, double w) {
        return Vec{a * (u - v / 2), a * v * std::sqrt(3.0) / 2, c * w};
    };
    const Vec X = cartesian(xu, xv, xw), Y = cartesian(yu, yv, yw), Z = cartesian(zu, zv, zw);
    const double len[3] = {length(X), length(Y), length(Z)};
    for (double l : len)
        if (!usable_length(l)) return QB_LATTICE_REFUSED;

    const double H = std::sqrt(len[0] * len[0] + len[1] * len[1] + len[2] * len[2]);
    const double Nx = std::trunc(H / a), Ny = std::trunc(H / (a * 0.8660254037844386)), Nz = std::trunc(H / c);
    if ((2 * Nx + 2) * (2 * Ny + 2) * (2 * Nz + 2) * 4 > kMaxCandidates) return QB_LATTICE_REFUSED;

    const double measure = std::fabs(dot(X, Y)) + std::fabs(dot(X, Z)) + std::fabs(dot(Y, Z));
    warn_if_not_orthogonal(measure);

    set_box(s, len[0], len[1], len[2]);
    const Vec axes[3] = {{X.x / len[0], X.y / len[0], X.z / len[0]},
                         {Y.x / len[1], Y.y / len[1], Y.z / len[1]},
                         {Z.x / len[2], Z.y / len[2], Z.z / len[2]}};
    const Vec basis[4] = {{0, 0, 0},
                          {a / 2, a * 0.8660254037844386, 0},
                          {0, a * 1.1547005383792517, c / 2},
                          {a / 2, a * 0.2886751345948129, c / 2}};
    const int nx = static_cast<int>(Nx), ny = static_cast<int>(Ny), nz = static_cast<int>(Nz);
    for (int i = -nx - 1; i <= nx; i++)
        for (int j = -ny - 1; j <= ny; j++)
            for (int k = -nz - 1; k <= nz; k++)
                for (const Vec& b : basis) {
                    const Vec p = {b.x + i * a, b.y + j * 1.7320508075688772 * a, b.z + k * c};
                    keep_point(s, 1, p, axes, len);
                }
    return measure;
}
