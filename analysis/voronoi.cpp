#include "analysis/voronoi.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "qb/qb_neighbour.h"
#include "qb/qb_threads.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// Distances within this fraction of the first search radius (a few mean
// atom spacings) count as equal: a vertex that close to a cutting plane lies
// on it, so that rounding in a perfect lattice (where four or more faces
// meet at a vertex) makes no faces of its own.
constexpr double kTolerance = 1e-10;
// Two atoms closer than this fraction of the first search radius lie at one
// place.
constexpr double kSameDistance = 1e-8;
// Rounds of growing search reach before a cell is given up.
constexpr int kMaxPasses = 40;
// The most records a copy replicated for a thin periodic box may hold.
constexpr long long kMaxReplicated = 50000000;

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void cross3(const double* a, const double* b, double* c) {
    c[0] = a[1] * b[2] - a[2] * b[1];
    c[1] = a[2] * b[0] - a[0] * b[2];
    c[2] = a[0] * b[1] - a[1] * b[0];
}

// The box as three cell vectors from an origin, with the unit normals of its
// face pairs (normal e points along cell vector e) and the heights between
// them.
struct Box {
    double a[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double origin[3] = {0, 0, 0};
    double normal[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double low[3] = {0, 0, 0};  // normal e . x on the face through the origin
    double height[3] = {0, 0, 0};
    double inverse[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // row e: fractional coordinate e
    int periodic[3] = {0, 0, 0};
    double volume = 0;
    double edges = 0;  // |a| + |b| + |c|

    // Fractional coordinate e of point p.
    double fraction(int e, const double* p) const {
        const double q[3] = {p[0] - origin[0], p[1] - origin[1], p[2] - origin[2]};
        return inverse[e][0] * q[0] + inverse[e][1] * q[1] + inverse[e][2] * q[2];
    }
};

bool box_of(const QB_tools* s, Box* b) {
    if (s->triclinic == 1) {
        for (int e = 0; e < 3; e++)
            for (int d = 0; d < 3; d++) b->a[e][d] = s->cell[e][d];
        for (int d = 0; d < 3; d++) b->origin[d] = s->origin[d];
    } else {
        for (int e = 0; e < 3; e++) {
            for (int d = 0; d < 3; d++) b->a[e][d] = e == d ? s->size[d] : 0;
            b->origin[e] = s->lo[e];
        }
    }
    for (int e = 0; e < 3; e++) b->periodic[e] = s->periodic[e] == 1 ? 1 : 0;
    double c[3];
    cross3(b->a[1], b->a[2], c);
    b->volume = std::fabs(dot3(b->a[0], c));
    for (int e = 0; e < 3; e++) b->edges += std::sqrt(dot3(b->a[e], b->a[e]));
    if (!(b->volume > 0) || !std::isfinite(b->volume)) return false;
    for (int e = 0; e < 3; e++) {
        double n[3];
        cross3(b->a[(e + 1) % 3], b->a[(e + 2) % 3], n);
        const double len = std::sqrt(dot3(n, n));
        const double sign = dot3(n, b->a[e]) < 0 ? -1.0 : 1.0;
        for (int d = 0; d < 3; d++) b->normal[e][d] = sign * n[d] / len;
        b->low[e] = dot3(b->normal[e], b->origin);
        b->height[e] = dot3(b->normal[e], b->a[e]);
        // Row e of the inverse: the fractional coordinate along a_e is
        // (normal_e . q) / height_e.
        for (int d = 0; d < 3; d++) b->inverse[e][d] = b->normal[e][d] / b->height[e];
    }
    return true;
}

// One Voronoi cell under construction: a convex polyhedron around its atom
// (at the origin) kept as vertices and faces, each face a loop of vertex
// indices turning counter-clockwise seen from outside, with the plane that
// made it. A cut writes the cell anew into a second set of buffers, which
// then change places with the first. The buffers only grow, so that
// building many cells allocates nothing once they are large enough.
class Cell {
public:
    // The cube of half-size h around the atom.
    void cube(double h) {
        static const int loops[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4},
                                        {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
        a_.room(8, 24, 6);
        for (int v = 0; v < 8; v++) {
            a_.x[v] = v & 1 ? h : -h;
            a_.y[v] = v & 2 ? h : -h;
            a_.z[v] = v & 4 ? h : -h;
        }
        for (int f = 0; f < 6; f++) {
            a_.start[f] = 4 * f;
            a_.plane[f] = -1;
            for (int k = 0; k < 4; k++) a_.loop[4 * f + k] = loops[f][k];
        }
        a_.start[6] = 24;
        a_.vertices = 8;
        a_.faces = 6;
        far2_ = 3 * h * h;
        for (int d = 0; d < 3; d++) {
            low_[d] = -h;
            high_[d] = h;
        }
    }

    // The largest squared distance of a vertex from the atom.
    double far2() const { return far2_; }

    // Keeps the part where n . v <= h, with tol the distance within which a
    // vertex counts as lying on the plane (n need not be a unit vector: tol
    // is scaled by its length). 0: nothing cut off; 1: cut, the plane's face
    // added (tagged plane); -1: no vertex is left inside.
    int clip(double nx, double ny, double nz, double h, double tol, int plane) {
        const int nv = a_.vertices, nf = a_.faces, nl = a_.start[nf];
        const double t = tol * std::sqrt(nx * nx + ny * ny + nz * nz);
        if (side_.size() < static_cast<size_t>(nv)) {
            side_.resize(2 * static_cast<size_t>(nv));
            s_.resize(2 * static_cast<size_t>(nv));
            map_.resize(2 * static_cast<size_t>(nv));
        }
        // side: 1 beyond the plane, 0 on it, -1 inside.
        bool out = false, in = false;
        const double *X = a_.x.data(), *Y = a_.y.data(), *Z = a_.z.data();
        for (int v = 0; v < nv; v++) {
            const double s = nx * X[v] + ny * Y[v] + nz * Z[v] - h;
            s_[v] = s;
            const int side = (s > t) - (s < -t);
            side_[v] = static_cast<signed char>(side);
            out |= side > 0;
            in |= side < 0;
        }
        if (!out) return 0;
        if (!in) return -1;
        // At most one new vertex per edge (nl / 2 of them); a face keeps at
        // most twice its vertices; the new face takes at most all of them.
        const int most = nv + nl / 2 + 1;
        b_.room(most, 2 * nl + most, nf + 1);
        if (ring_.size() < static_cast<size_t>(most)) {
            ring_.resize(2 * static_cast<size_t>(most));
            key_.resize(2 * static_cast<size_t>(most));
        }
        // The vertices kept, renumbered; those on the plane start the ring
        // of the new face.
        double *BX = b_.x.data(), *BY = b_.y.data(), *BZ = b_.z.data();
        int kept = 0;
        rings_ = 0;
        for (int v = 0; v < nv; v++) {
            if (side_[v] > 0) {
                map_[v] = -1;
                continue;
            }
            if (side_[v] == 0) ring_[rings_++] = kept;
            BX[kept] = X[v];
            BY[kept] = Y[v];
            BZ[kept] = Z[v];
            map_[v] = kept++;
        }
        b_.vertices = kept;
        // Each face without its part beyond the plane; an edge that crosses
        // the plane gets one new vertex, shared by the two faces along it.
        cuts_ = 0;
        const int* L = a_.loop.data();
        int* BL = b_.loop.data();
        int written = 0, faces = 0;
        for (int f = 0; f < nf; f++) {
            const int from = a_.start[f], to = a_.start[f + 1];
            const int begin = written;
            for (int k = from; k < to; k++) {
                const int a = L[k], b = L[k + 1 < to ? k + 1 : from];
                const int sa = side_[a];
                if (sa <= 0) BL[written++] = map_[a];
                if (sa * side_[b] < 0) BL[written++] = crossing(a, b);
            }
            if (written - begin >= 3) {
                b_.start[faces] = begin;
                b_.plane[faces++] = a_.plane[f];
            } else {
                written = begin;
            }
        }
        if (rings_ >= 3) {
            add_ring(nx, ny, nz, BL + written);
            b_.start[faces] = written;
            b_.plane[faces++] = plane;
            written += rings_;
        }
        b_.start[faces] = written;
        b_.faces = faces;
        std::swap(a_, b_);
        far2_ = 0;
        for (int d = 0; d < 3; d++) low_[d] = high_[d] = 0;
        for (int v = 0; v < a_.vertices; v++) {
            far2_ = std::max(far2_, BX[v] * BX[v] + BY[v] * BY[v] + BZ[v] * BZ[v]);
            low_[0] = std::min(low_[0], BX[v]);
            high_[0] = std::max(high_[0], BX[v]);
            low_[1] = std::min(low_[1], BY[v]);
            high_[1] = std::max(high_[1], BY[v]);
            low_[2] = std::min(low_[2], BZ[v]);
            high_[2] = std::max(high_[2], BZ[v]);
        }
        return 1;
    }

    // Whether the plane n . v = h (as for clip) surely misses the cell: it
    // lies beyond the corner of the cell's bounding box farthest along n.
    bool misses(double nx, double ny, double nz, double h, double tol) const {
        const double top = std::max(nx * low_[0], nx * high_[0]) + std::max(ny * low_[1], ny * high_[1]) +
                           std::max(nz * low_[2], nz * high_[2]);
        return top < h - 2 * tol * (std::fabs(nx) + std::fabs(ny) + std::fabs(nz));
    }

    // The volume, and the number of faces of an area above threshold (every
    // face for 0).
    void measure(double threshold, double* volume, int* faces) const {
        double v6 = 0;
        int count = 0;
        const double *X = a_.x.data(), *Y = a_.y.data(), *Z = a_.z.data();
        for (int f = 0; f < a_.faces; f++) {
            const int from = a_.start[f], to = a_.start[f + 1];
            const int o = a_.loop[from];
            const double p0[3] = {X[o], Y[o], Z[o]};
            double area[3] = {0, 0, 0};
            for (int k = from + 1; k + 1 < to; k++) {
                const int i = a_.loop[k], j = a_.loop[k + 1];
                const double p[3] = {X[i] - p0[0], Y[i] - p0[1], Z[i] - p0[2]};
                const double q[3] = {X[j] - p0[0], Y[j] - p0[1], Z[j] - p0[2]};
                double c[3];
                cross3(p, q, c);
                for (int d = 0; d < 3; d++) area[d] += c[d];
            }
            // The tetrahedra from the atom: (p0 . sum of the cross products) / 6.
            v6 += dot3(p0, area);
            if (threshold > 0) {
                if (0.5 * std::sqrt(dot3(area, area)) > threshold) count++;
            } else {
                count++;
            }
        }
        *volume = v6 / 6;
        *faces = count;
    }

private:
    // Vertices and faces: face f is loop[start[f]] ... loop[start[f + 1] - 1].
    struct Store {
        std::vector<double> x, y, z;
        std::vector<int> loop, start, plane;
        int vertices = 0, faces = 0;
        // Room for v vertices, l loop entries and f faces.
        void room(int v, int l, int f) {
            if (x.size() < static_cast<size_t>(v)) {
                x.resize(2 * static_cast<size_t>(v));
                y.resize(2 * static_cast<size_t>(v));
                z.resize(2 * static_cast<size_t>(v));
            }
            if (loop.size() < static_cast<size_t>(l)) loop.resize(2 * static_cast<size_t>(l));
            if (plane.size() < static_cast<size_t>(f)) {
                plane.resize(2 * static_cast<size_t>(f));
                start.resize(2 * static_cast<size_t>(f) + 1);
            }
        }
    };

    // The vertex where edge a-b crosses the plane, made once per edge.
    int crossing(int a, int b) {
        const int lo = std::min(a, b), hi = std::max(a, b);
        for (int k = 0; k < cuts_; k++)
            if (cut_[k][0] == lo && cut_[k][1] == hi) return cut_[k][2];
        // From the inner end, so the point does not depend on the direction.
        const int in = side_[a] < 0 ? a : b, out = in == a ? b : a;
        const double u = s_[in] / (s_[in] - s_[out]);
        const int v = b_.vertices++;
        b_.x[v] = a_.x[in] + u * (a_.x[out] - a_.x[in]);
        b_.y[v] = a_.y[in] + u * (a_.y[out] - a_.y[in]);
        b_.z[v] = a_.z[in] + u * (a_.z[out] - a_.z[in]);
        if (cuts_ == static_cast<int>(cut_.size())) cut_.resize(2 * cut_.size() + 16);
        cut_[cuts_++] = {lo, hi, v};
        ring_[rings_++] = v;
        return v;
    }

    // Writes the new face to loop: the vertices on the plane in the order
    // of their angle about their centre, counter-clockwise seen along -n
    // (from outside).
    void add_ring(double nx, double ny, double nz, int* loop) {
        const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        const double n[3] = {nx / len, ny / len, nz / len};
        double u[3];
        const double ax = std::fabs(n[0]), ay = std::fabs(n[1]), az = std::fabs(n[2]);
        const double e[3] = {ax <= ay && ax <= az ? 1.0 : 0.0, ay < ax && ay <= az ? 1.0 : 0.0,
                             az < ax && az < ay ? 1.0 : 0.0};
        cross3(n, e, u);
        const double ul = std::sqrt(dot3(u, u));
        for (double& c : u) c /= ul;
        double w[3];
        cross3(n, u, w);
        const double *X = b_.x.data(), *Y = b_.y.data(), *Z = b_.z.data();
        double c[3] = {0, 0, 0};
        for (int k = 0; k < rings_; k++) {
            const int v = ring_[k];
            c[0] += X[v];
            c[1] += Y[v];
            c[2] += Z[v];
        }
        for (double& q : c) q /= rings_;
        for (int k = 0; k < rings_; k++) {
            const int v = ring_[k];
            const double q[3] = {X[v] - c[0], Y[v] - c[1], Z[v] - c[2]};
            const double kk = pseudo_angle(dot3(q, u), dot3(q, w));
            // Insertion sort: rings are short.
            int j = k;
            while (j > 0 && key_[j - 1] > kk) {
                key_[j] = key_[j - 1];
                loop[j] = loop[j - 1];
                j--;
            }
            key_[j] = kk;
            loop[j] = v;
        }
    }

    // A number that grows with the angle of (x, y) from 0 to 2 pi, from 0 to 4.
    static double pseudo_angle(double x, double y) {
        const double r = std::fabs(x) + std::fabs(y);
        if (!(r > 0)) return 0;
        if (y >= 0) return x >= 0 ? y / r : 1 - x / r;
        return x < 0 ? 2 - y / r : 3 + x / r;
    }

    Store a_, b_;  // the cell, and the buffers a cut writes to
    double far2_ = 0;
    double low_[3] = {0, 0, 0}, high_[3] = {0, 0, 0};  // its bounding box (the atom inside)
    // Scratch of clip.
    std::vector<double> s_, key_;
    std::vector<signed char> side_;
    std::vector<int> map_, ring_;
    std::vector<std::array<int, 3>> cut_;
    int cuts_ = 0, rings_ = 0;
};

// Bins of a cell list: the bin of a coordinate along an axis, clamped into
// the grid as the list bins its entries.
int bin_along(const QB_cell_list& c, int d, double v) {
    const double t = (v - c.lo[d] + c.radius) / c.bin_size[d];
    if (!(t > 0)) return 0;
    const double top = c.bin_count[d] - 1;
    return t >= top ? c.bin_count[d] - 1 : static_cast<int>(t);
}

// What building one cell came to.
enum Outcome { kClosed, kWider, kSamePlace, kVanished };

// A failure met while building the cells: the lowest record it concerns, so
// that every thread count reports the same one.
struct Trouble {
    int record = INT_MAX;
    int kind = 0;   // an Outcome: kSamePlace or kVanished
    int other = -1; // for kSamePlace: the entry at the same place
    void note(int r, int k, int o) {
        if (r < record) {
            record = r;
            kind = k;
            other = o;
        }
    }
};

// The walls of the cell of an atom at p: the box faces that are not
// periodic. False when the cell vanished.
bool clip_walls(const Box& box, const double* p, double tol, Cell* cell) {
    for (int d = 0; d < 3; d++) {
        if (box.periodic[d]) continue;
        const double* u = box.normal[d];
        const double h = dot3(u, p) - box.low[d];
        if (cell->clip(u[0], u[1], u[2], box.height[d] - h, tol, -2 - 2 * d) < 0 ||
            cell->clip(-u[0], -u[1], -u[2], h, tol, -3 - 2 * d) < 0)
            return false;
    }
    return true;
}

// Twice the distance beyond which no atom can cut the cell.
double reach_of(const Cell& cell, double tol) { return 2 * (std::sqrt(cell.far2()) + tol); }

// The cell of entry e from its K nearest neighbours within r (the list
// complete within r): each cuts with the plane halfway to it, nearest first,
// until the next one is farther than twice the farthest vertex.
Outcome cell_from_nearest(const QB_cell_list& cells, const Box& box, int e, double r, int K, double tol,
                          double same2, QB_cell_walker* walker, QB_cell_hits* hits, Cell* cell, int* other,
                          double* wider) {
    walker->query(e, r, hits);
    if (hits->count > 0 && hits->d2[0] <= same2) {
        *other = hits->entry[0];
        return kSamePlace;
    }
    cell->cube(r);
    const double p[3] = {cells.x[e], cells.y[e], cells.z[e]};
    if (!clip_walls(box, p, tol, cell)) return kVanished;
    for (int j = 0; j < hits->count; j++) {
        const double d2 = hits->d2[j], reach = reach_of(*cell, tol);
        if (d2 > reach * reach) return kClosed;
        if (cell->clip(hits->dx[j], hits->dy[j], hits->dz[j], 0.5 * d2, tol, j) < 0) return kVanished;
    }
    // Every neighbour within r is listed when the list is not full; a full
    // one holds all up to its last.
    const double reach = reach_of(*cell, tol);
    const bool full = hits->count == K && K < static_cast<int>(cells.x.size()) - 1;
    const double known = full ? std::sqrt(hits->d2[hits->count - 1]) : r;
    if (known > reach) return kClosed;
    *wider = reach;
    return kWider;
}

// The cell of entry e from every entry of the list, bin shell after bin
// shell around its own bin, until the shells lie farther than twice the
// farthest vertex; the list must hold every atom within that reach of the
// box.
Outcome cell_from_bins(const QB_cell_list& cells, const Box& box, int e, double reach_list, double tol,
                       double same2, Cell* cell, int* other, double* wider) {
    cell->cube(reach_list);
    const double p[3] = {cells.x[e], cells.y[e], cells.z[e]};
    if (!clip_walls(box, p, tol, cell)) return kVanished;
    int at[3], span = 0;
    double step = HUGE_VAL;
    for (int d = 0; d < 3; d++) {
        at[d] = bin_along(cells, d, p[d]);
        span = std::max({span, at[d], cells.bin_count[d] - 1 - at[d]});
        step = std::min(step, cells.bin_size[d]);
    }
    const int* count = cells.bin_count;
    for (int shell = 0; shell <= span; shell++) {
        // A bin of this shell lies at least shell - 1 bins away (an edge bin
        // also holds entries clamped into it from beyond: farther still).
        const double reach = reach_of(*cell, tol);
        if (shell > 0 && (shell - 1) * step > reach) break;
        const int i0 = std::max(at[0] - shell, 0), i1 = std::min(at[0] + shell, count[0] - 1);
        const int j0 = std::max(at[1] - shell, 0), j1 = std::min(at[1] + shell, count[1] - 1);
        const int k0 = std::max(at[2] - shell, 0), k1 = std::min(at[2] + shell, count[2] - 1);
        Outcome stop = kClosed;
        auto visit = [&](int i, int j, int k) {
            const int b = (i * count[1] + j) * count[2] + k;
            for (int t = cells.start[b]; t < cells.start[b + 1]; t++) {
                if (t == e) continue;
                const double dx = cells.x[t] - p[0], dy = cells.y[t] - p[1], dz = cells.z[t] - p[2];
                const double d2 = dx * dx + dy * dy + dz * dz;
                if (d2 <= same2) {
                    *other = t;
                    stop = kSamePlace;
                    return false;
                }
                const double now = reach_of(*cell, tol);
                if (d2 > now * now || cell->misses(dx, dy, dz, 0.5 * d2, tol)) continue;
                if (cell->clip(dx, dy, dz, 0.5 * d2, tol, t) < 0) {
                    stop = kVanished;
                    return false;
                }
            }
            return true;
        };
        // Only the shell's surface: the bins inside it were visited before.
        for (int i = i0; i <= i1; i++)
            for (int j = j0; j <= j1; j++) {
                if (std::abs(i - at[0]) == shell || std::abs(j - at[1]) == shell) {
                    for (int k = k0; k <= k1; k++)
                        if (!visit(i, j, k)) return stop;
                } else {
                    if (at[2] - shell >= 0 && !visit(i, j, at[2] - shell)) return stop;
                    if (at[2] + shell < count[2] && !visit(i, j, at[2] + shell)) return stop;
                }
            }
    }
    const double reach = reach_of(*cell, tol);
    if (reach <= reach_list) return kClosed;
    *wider = reach;
    return kWider;
}

}  // namespace

int QN_voronoi(const QB_tools* model, const QN_voronoi_options& options, QN_voronoi_result* out,
               std::string* message) {
    auto refuse = [message, out](const std::string& why) {
        if (out) {
            out->volume.clear();
            out->faces.clear();
        }
        if (message) *message = why;
        return QB_REFUSED;
    };
    if (message) message->clear();
    if (out == nullptr) return refuse("no place for the results");
    out->volume.clear();
    out->faces.clear();
    if (model == nullptr) return refuse("the model has no atoms");
    if (!(options.face_threshold >= 0) || !std::isfinite(options.face_threshold))
        return refuse("the face area threshold must be 0 or more");
    // The live atoms: no deleted records, no periodic ghosts.
    std::vector<int> live;
    live.reserve(static_cast<size_t>(std::max(model->natoms, 0)));
    const bool ghosts = model->pbc_end > model->pbc_start && model->pbc_start > 0;
    for (int i = 0; i < model->natoms; i++) {
        if (model->atoms[i].id < 0) continue;
        if (ghosts && i >= model->pbc_start && i < model->pbc_end) continue;
        live.push_back(i);
    }
    const int n = static_cast<int>(live.size());
    if (n == 0) return refuse("the model has no atoms");
    Box box;
    if (!box_of(model, &box)) return refuse("the box has no volume");

    // A copy to work on: the atoms brought into the box across its periodic
    // faces (by whole cell vectors); across a free face an atom must lie
    // inside, as the box face is the wall of its cell there.
    QB_tools work;
    QB_init(&work);
    for (int d = 0; d < 3; d++) {
        work.size[d] = model->size[d];
        work.lo[d] = model->lo[d];
        work.origin[d] = model->origin[d];
        work.periodic[d] = box.periodic[d];
        for (int e = 0; e < 3; e++) work.cell[e][d] = model->cell[e][d];
    }
    if (model->triclinic != 1)
        for (int d = 0; d < 3; d++) work.cell[d][d] = model->size[d];
    work.triclinic = model->triclinic == 1 ? 1 : 0;
    work.ntypes = 1;
    work.atoms.resize(static_cast<size_t>(n));
    work.natoms = n;
    for (int k = 0; k < n; k++) {
        const atomdata& a = model->atoms[live[k]];
        double p[3] = {a.x, a.y, a.z};
        if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2]))
            return refuse("atom " + std::to_string(a.id) + " has no finite position");
        for (int e = 0; e < 3; e++) {
            const double f = box.fraction(e, p);
            if (box.periodic[e]) {
                const double shift = std::floor(f);
                if (shift != 0)
                    for (int d = 0; d < 3; d++) p[d] -= shift * box.a[e][d];
                // Rounding can leave a point a hair outside; one more step.
                const double g = box.fraction(e, p);
                if (g < 0)
                    for (int d = 0; d < 3; d++) p[d] += box.a[e][d];
                else if (g >= 1)
                    for (int d = 0; d < 3; d++) p[d] -= box.a[e][d];
            } else if (f < -kTolerance || f > 1 + kTolerance) {
                return refuse("atom " + std::to_string(a.id) +
                              " lies outside the box across a face that is not periodic");
            }
        }
        work.atoms[k] = {a.id, 1, p[0], p[1], p[2], 0};
    }

    const double threshold = options.face_threshold;
    const int T = QB_thread_count(options.threads);
    out->volume.assign(static_cast<size_t>(model->natoms), 0.0);
    out->faces.assign(static_cast<size_t>(model->natoms), 0);
    // The first search takes in the neighbours a cell of a dense packing
    // needs (about twice its farthest vertex) for the mean volume per atom,
    // the K nearest within it, nearest first. Cells that do not close within
    // it (sparse regions) are built again from a list that reaches as far
    // as they need, taking the atoms bin shell after bin shell.
    const double rs = std::cbrt(3 * box.volume / (4 * kPi * n));
    const double r0 = 3.5 * rs;
    const int K0 = 64;
    const double tol = kTolerance * r0;
    const double same2 = (kSameDistance * r0) * (kSameDistance * r0);
    std::vector<char> todo(static_cast<size_t>(n), 1);
    double reach = r0;
    for (int pass = 0;; pass++) {
        // No cell reaches farther from its atom than the box's edges added up
        // (it lies within the box's walls, or nearer its atom than to the
        // atom's own periodic images).
        if (pass == kMaxPasses || reach > 4 * box.edges) return refuse("a Voronoi cell did not close");
        // A periodic direction not thicker than the reach is replicated, so
        // that the atoms within reach are single images of the copy's atoms.
        int factor[3] = {1, 1, 1};
        long long copies = 1;
        for (int e = 0; e < 3; e++) {
            if (box.periodic[e] && !(box.height[e] > reach)) {
                const double m = std::floor(reach / box.height[e]) + 1;
                if (m > 1e6) return refuse("the box is too thin for the Voronoi cells");
                factor[e] = static_cast<int>(m);
            }
            copies *= factor[e];
        }
        if (copies * n > kMaxReplicated) return refuse("the box is too thin for the Voronoi cells");
        QB_tools replica;
        const QB_tools* on = &work;
        if (copies > 1) {
            QB_init(&replica);
            QB_copy_system(&replica, &work);
            for (int d = 0; d < 3; d++) replica.periodic[d] = work.periodic[d];
            if (QB_duplicate(&replica, factor[0], factor[1], factor[2]) != 1)
                return refuse("the box is too thin for the Voronoi cells");
            on = &replica;
        }
        QB_cell_list cells;
        if (QB_cell_list_build(on, reach, pass == 0 ? reach : r0, &cells, T) != 1)
            return refuse("the neighbour search failed");
        const int bins = static_cast<int>(cells.start.size()) - 1;
        const int chunk = pass == 0 ? 16 : 1;
        std::atomic<int> next{0};
        std::vector<std::vector<int>> failed(static_cast<size_t>(T));
        std::vector<double> wider(static_cast<size_t>(T), 0.0);
        std::vector<Trouble> troubles(static_cast<size_t>(T));
        QB_on_threads(T, [&](int t) {
            QB_cell_walker walker(cells, pass == 0 ? K0 : 0);
            QB_cell_hits hits;
            Cell cell;
            for (;;) {
                const int b0 = next.fetch_add(chunk);
                if (b0 >= bins) break;
                const int b1 = std::min(bins, b0 + chunk);
                for (int e = cells.start[b0]; e < cells.start[b1]; e++) {
                    const int k = cells.record[e];
                    if (k >= n || !todo[k]) continue;
                    int other = -1;
                    double need = 0;
                    const Outcome o =
                        pass == 0 ? cell_from_nearest(cells, box, e, reach, K0, tol, same2, &walker, &hits, &cell,
                                                      &other, &need)
                                  : cell_from_bins(cells, box, e, reach, tol, same2, &cell, &other, &need);
                    if (o == kClosed) {
                        const int i = live[k];
                        cell.measure(threshold, &out->volume[i], &out->faces[i]);
                    } else if (o == kWider) {
                        failed[t].push_back(k);
                        wider[t] = std::max(wider[t], need);
                    } else {
                        troubles[t].note(k, o, other);
                    }
                }
            }
        });
        Trouble trouble;
        for (const Trouble& t : troubles) trouble.note(t.record, t.kind, t.other);
        if (trouble.record != INT_MAX) {
            const int id = model->atoms[live[trouble.record]].id;
            if (trouble.kind == kVanished)
                return refuse("the Voronoi cell of atom " + std::to_string(id) + " vanished");
            // The other atom: the record the entry copies, found by its
            // place (the entry may be an image).
            const int e = trouble.other;
            const double q[3] = {cells.x[e], cells.y[e], cells.z[e]};
            int other = -1;
            for (int k = 0; k < n && other < 0; k++) {
                if (k == trouble.record) continue;
                double dq[3] = {work.atoms[k].x - q[0], work.atoms[k].y - q[1], work.atoms[k].z - q[2]};
                for (int d = 0; d < 3; d++) {
                    if (!box.periodic[d]) continue;
                    const double f = std::round(dot3(box.inverse[d], dq));
                    for (int c = 0; c < 3; c++) dq[c] -= f * box.a[d][c];
                }
                if (dot3(dq, dq) <= 4 * same2) other = k;
            }
            const std::string with = other >= 0 ? "atom " + std::to_string(model->atoms[live[other]].id)
                                                : "a periodic image of itself";
            return refuse("atom " + std::to_string(id) + " lies at the same place as " + with);
        }
        std::fill(todo.begin(), todo.end(), 0);
        int left = 0;
        double need = reach;
        for (int t = 0; t < T; t++) {
            for (int k : failed[t]) todo[k] = 1;
            left += static_cast<int>(failed[t].size());
            need = std::max(need, wider[t]);
        }
        if (left == 0) break;
        // A cell that kept a face of its starting cube needs at least twice
        // the reach; any other, its own twice farthest vertex.
        reach = std::max(reach, need * 1.01);
    }
    return 1;
}
