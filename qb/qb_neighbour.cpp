#include "qb/qb_neighbour.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "qb/qb_threads.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Smallest effective cut-off of a network.
constexpr double kMinNetworkRadius = 3.0;
// Bins beyond this many (or beyond two per atom, whichever is more) are
// merged, so a box with a huge vacuum cannot exhaust memory.
constexpr double kMaxBins = 4194304.0;

bool valid_atom(const QB_tools* s, int i) { return i >= 0 && i < s->natoms; }

// The bins of a network: a grid over the box widened by the network's
// cut-off on every side; atoms beyond it are clamped into the edge bins.
struct Grid {
    double lo[3] = {0, 0, 0};
    double bin_size[3] = {0, 0, 0};
    double radius = 0;
    int count[3] = {0, 0, 0};
};

Grid grid_of(const QB_tools* s) {
    Grid g;
    for (int d = 0; d < 3; d++) {
        g.lo[d] = s->lo[d];
        g.bin_size[d] = s->bin_size[d];
        g.count[d] = s->bin_count[d];
    }
    g.radius = s->network_radius;
    return g;
}

Grid grid_of(const QB_cell_list& c) {
    Grid g;
    for (int d = 0; d < 3; d++) {
        g.lo[d] = c.lo[d];
        g.bin_size[d] = c.bin_size[d];
        g.count[d] = c.bin_count[d];
    }
    g.radius = c.radius;
    return g;
}

// The grid for cut-off r over a box of the given size holding records
// atoms: bins of at least max(r, 3) along each axis, merged while there are
// more than kMaxBins of them and more than two per record.
Grid make_grid(const double lo[3], const double size[3], double records, double r) {
    Grid g;
    const double rr = r > kMinNetworkRadius ? r : kMinNetworkRadius;
    double counts[3], L[3];
    for (int d = 0; d < 3; d++) {
        L[d] = std::isfinite(size[d]) && size[d] > 0 ? size[d] : 0.0;
        counts[d] = std::min(std::trunc(std::trunc(L[d]) / rr + 2), kMaxBins);
    }
    const double cap = std::max(kMaxBins, 2.0 * records);
    double total = counts[0] * counts[1] * counts[2];
    while (total > cap) {
        const double shrink = std::cbrt(cap / total);
        for (double& c : counts) c = std::max(1.0, std::floor(c * shrink));
        total = counts[0] * counts[1] * counts[2];
    }
    for (int d = 0; d < 3; d++) {
        g.lo[d] = lo[d];
        g.count[d] = static_cast<int>(counts[d]);
        g.bin_size[d] = (L[d] + 2 * rr) / g.count[d];
    }
    g.radius = rr;
    return g;
}

int bin_total(const Grid& g) { return g.count[0] * g.count[1] * g.count[2]; }

int bin_index(const Grid& g, int i, int j, int k) { return (i * g.count[1] + j) * g.count[2] + k; }

// Bin index along axis d of coordinate v, clamped in double before the
// conversion to int.
int bin_along(const Grid& g, int d, double v) {
    const double t = (v - g.lo[d] + g.radius) / g.bin_size[d];
    if (!(t > 0)) return 0;  // also NaN
    const double top = g.count[d] - 1;
    return t >= top ? g.count[d] - 1 : static_cast<int>(t);
}

int bin_of(const Grid& g, double x, double y, double z) {
    return bin_index(g, bin_along(g, 0, x), bin_along(g, 1, y), bin_along(g, 2, z));
}

// The record's own list, seen as a caller-owned list while it is filled.
QB_neighbour_list own_list(QB_tools* s) {
    QB_neighbour_list l;
    l.count = 0;
    l.index.swap(s->neighbour_index);
    l.distance.swap(s->neighbour_distance);
    return l;
}

void give_back(QB_tools* s, QB_neighbour_list& l) {
    s->neighbour_count = l.count;
    s->neighbour_index.swap(l.index);
    s->neighbour_distance.swap(l.distance);
    s->list_allocated = std::max(s->list_capacity, 0);
}

void reset_list(const QB_tools* s, QB_neighbour_list& l) {
    const int K = std::max(s->list_capacity, 0);
    if (static_cast<int>(l.index.size()) < K) {
        l.index.resize(K);
        l.distance.resize(K);
    }
    l.count = 0;
}

void finish_list(QB_neighbour_list& l) {
    for (int k = 0; k < l.count; k++) l.distance[k] = std::sqrt(l.distance[k]);
}

// Inserts atom m at squared distance d2 into the sorted bounded list of n
// entries (at most K, all nearer than r2); returns the new count.
inline int insert(int m, double d2, double r2, int K, int* index, double* dist, int n) {
    int pos;
    if (n < K) {
        if (!(d2 < r2)) return n;
        pos = n++;
    } else {
        if (!(d2 < dist[K - 1])) return n;
        pos = K - 1;
    }
    while (pos > 0 && dist[pos - 1] > d2) {
        index[pos] = index[pos - 1];
        dist[pos] = dist[pos - 1];
        pos--;
    }
    index[pos] = m;
    dist[pos] = d2;
    return n;
}

// The atoms of one bin, from the packed copy or from the atoms themselves.
inline int scan(const QB_packed_atom* from, const QB_packed_atom* to, int exclude, double qx, double qy, double qz,
                double r2, int K, int* index, double* dist, int n) {
    for (const QB_packed_atom* a = from; a < to; a++) {
        if (a->index == exclude) continue;
        const double dx = a->x - qx, dy = a->y - qy, dz = a->z - qz;
        n = insert(a->index, dx * dx + dy * dy + dz * dz, r2, K, index, dist, n);
    }
    return n;
}

inline int scan(const std::vector<int>& bin, const atomdata* atoms, int natoms, int exclude, double qx, double qy,
                double qz, double r2, int K, int* index, double* dist, int n) {
    for (int m : bin) {
        if (m == exclude || m >= natoms) continue;
        const double dx = atoms[m].x - qx, dy = atoms[m].y - qy, dz = atoms[m].z - qz;
        n = insert(m, dx * dx + dy * dy + dz * dz, r2, K, index, dist, n);
    }
    return n;
}

// The bins a query for the point q within r visits, and the squared
// distance from q to each bin's slab along each axis.
struct Window {
    int from[3], to[3];
    bool prune = true;
    double gap2[3][2 * 64 + 1];
};

Window window(const Grid& g, const double q[3], double r) {
    Window w;
    for (int d = 0; d < 3; d++) {
        // One bin each way covers r whenever r fits in a bin; a larger query
        // radius reaches further.
        const double reach = std::ceil(r / g.bin_size[d]);
        const int span = reach > 1 ? static_cast<int>(std::min(reach, static_cast<double>(g.count[d]))) : 1;
        const int c = bin_along(g, d, q[d]);
        w.from[d] = std::max(c - span, 0);
        w.to[d] = std::min(c + span, g.count[d] - 1);
    }
    // Edge bins also hold the clamped atoms beyond the grid, so they reach
    // to infinity. A small slack keeps rounding in the binning from hiding
    // an atom.
    for (int d = 0; d < 3; d++) {
        if (w.to[d] - w.from[d] >= 2 * 64 + 1) {
            w.prune = false;
            continue;
        }
        for (int b = w.from[d]; b <= w.to[d]; b++) {
            const double low = g.lo[d] - g.radius + b * g.bin_size[d];
            double gap = 0;
            if (b > 0 && q[d] < low) gap = low - q[d];
            if (b < g.count[d] - 1 && q[d] > low + g.bin_size[d]) gap = q[d] - low - g.bin_size[d];
            gap = std::max(0.0, gap - 1e-6);
            w.gap2[d][b - w.from[d]] = gap * gap;
        }
    }
    return w;
}

// Adds to the bounded list of n entries (squared distances dist) what
// scan_bin(b, n) finds in each bin of the window, bins (i, j, k) in order,
// k fastest; returns the new count.
template <class ScanBin>
int visit_window(const Grid& g, const Window& w, double r2, int K, const double* dist, int n, ScanBin scan_bin) {
    for (int i = w.from[0]; i <= w.to[0]; i++)
        for (int j = w.from[1]; j <= w.to[1]; j++)
            for (int k = w.from[2]; k <= w.to[2]; k++) {
                if (w.prune) {
                    // Nothing in a bin farther than the current bound can enter the list.
                    const double bound = n < K ? r2 : dist[K - 1];
                    if (w.gap2[0][i - w.from[0]] + w.gap2[1][j - w.from[1]] + w.gap2[2][k - w.from[2]] >= bound)
                        continue;
                }
                n = scan_bin(bin_index(g, i, j, k), n);
            }
    return n;
}

// Adds to the bounded list the atoms within r of q found in the bins around
// q's bin, skipping atom exclude. Distances stay squared until finish_list.
void gather(const QB_tools* s, QB_neighbour_list& l, double qx, double qy, double qz, int exclude, double r) {
    const int K = std::max(s->list_capacity, 0);
    if (K == 0 || !(r > 0)) return;
    const double r2 = r * r;
    const double q[3] = {qx, qy, qz};
    const Grid g = grid_of(s);
    const Window w = window(g, q, r);
    int* index = l.index.data();
    double* dist = l.distance.data();
    const bool packed = !s->packed_start.empty();
    const atomdata* atoms = s->atoms.data();
    const QB_packed_atom* pack = s->packed_atoms.data();
    const int natoms = s->natoms;
    l.count = visit_window(g, w, r2, K, dist, l.count, [&](int b, int n) {
        if (packed)
            return scan(pack + s->packed_start[b], pack + s->packed_start[b + 1], exclude, qx, qy, qz, r2, K, index,
                        dist, n);
        return scan(s->bin_atoms[b], atoms, natoms, exclude, qx, qy, qz, r2, K, index, dist, n);
    });
}

// The periodic directions of a record and the tests that decide which
// images of a position are taken.
struct ImageFrame {
    double shift[3][3];  // the vector added for a +1 step along each direction
    bool triclinic;
    double normal[3][3];
    double normal_len[3];
    double low[3], high[3];
    double lo[3], len[3];
    int periodic[3];
    double r;
};

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

ImageFrame image_frame(const QB_tools* s, double r) {
    ImageFrame f{};
    f.r = r;
    f.triclinic = s->triclinic == 1;
    for (int d = 0; d < 3; d++) f.periodic[d] = s->periodic[d];
    if (!f.triclinic) {
        for (int d = 0; d < 3; d++) {
            f.lo[d] = s->lo[d];
            f.len[d] = s->size[d];
            f.shift[d][d] = s->size[d];
        }
        return f;
    }
    const auto& c = s->cell;
    double top[3];
    for (int d = 0; d < 3; d++) top[d] = s->origin[d] + c[0][d] + c[1][d] + c[2][d];
    for (int e = 0; e < 3; e++) {
        const double* u = c[(e + 1) % 3];
        const double* v = c[(e + 2) % 3];
        f.normal[e][0] = u[1] * v[2] - u[2] * v[1];
        f.normal[e][1] = u[2] * v[0] - u[0] * v[2];
        f.normal[e][2] = u[0] * v[1] - u[1] * v[0];
        f.normal_len[e] = std::sqrt(dot(f.normal[e], f.normal[e]));
        f.low[e] = dot(f.normal[e], s->origin);
        f.high[e] = dot(f.normal[e], top);
        for (int d = 0; d < 3; d++) f.shift[e][d] = c[e][d];
    }
    return f;
}

// Shift choices of position p along each direction, in the order 0, +1, -1.
struct Choices {
    int value[3][3];
    int count[3];
};

Choices image_choices(const ImageFrame& f, const double* p) {
    Choices ch;
    for (int e = 0; e < 3; e++) {
        ch.value[e][0] = 0;
        ch.count[e] = 1;
        if (f.periodic[e] != 1) continue;
        bool plus, minus;
        if (f.triclinic) {
            const double h = dot(f.normal[e], p);
            const double reach = f.normal_len[e] * f.r;
            plus = std::fabs(h - f.low[e]) < reach;
            minus = std::fabs(h - f.high[e]) < reach;
        } else {
            plus = p[e] < f.lo[e] + f.r;
            minus = p[e] > f.lo[e] + f.len[e] - f.r;
        }
        if (plus) ch.value[e][ch.count[e]++] = 1;
        if (minus) ch.value[e][ch.count[e]++] = -1;
    }
    return ch;
}

// Calls visit(dx, dy, dz) for every taken combination in loop order (a
// outermost, c innermost), the identity included.
template <class F>
void for_each_image(const ImageFrame& f, const Choices& ch, F visit) {
    for (int a = 0; a < ch.count[0]; a++)
        for (int b = 0; b < ch.count[1]; b++)
            for (int c = 0; c < ch.count[2]; c++) {
                const int sa = ch.value[0][a], sb = ch.value[1][b], sc = ch.value[2][c];
                double d[3];
                for (int k = 0; k < 3; k++) d[k] = sa * f.shift[0][k] + sb * f.shift[1][k] + sc * f.shift[2][k];
                visit(sa == 0 && sb == 0 && sc == 0, d);
            }
}

}  // namespace

int QB_network_init(QB_tools* s, double r) {
    if (std::isnan(r) || std::isinf(r)) return QB_REFUSED;
    QB_network_free(s);
    const Grid g = make_grid(s->lo, s->size, s->natoms, r);
    for (int d = 0; d < 3; d++) {
        s->bin_count[d] = g.count[d];
        s->bin_size[d] = g.bin_size[d];
    }
    s->network_radius = g.radius;
    const int total = bin_total(g);

    const int n = s->natoms;
    std::vector<int> where(static_cast<size_t>(n));
    std::vector<int> fill(static_cast<size_t>(total), 0);
    for (int i = 0; i < n; i++) {
        const atomdata& a = s->atoms[i];
        where[i] = bin_of(g, a.x, a.y, a.z);
        fill[where[i]]++;
    }
    s->bin_atoms.assign(static_cast<size_t>(total), std::vector<int>());
    for (size_t b = 0; b < fill.size(); b++) s->bin_atoms[b].reserve(fill[b]);
    for (int i = 0; i < n; i++) s->bin_atoms[where[i]].push_back(i);
    s->network_built = 1;
    return 1;
}

int QB_network_update(QB_tools* s, double /*r*/, int i) {
    if (!s->network_built) return 0;
    if (!valid_atom(s, i)) return QB_REFUSED;
    const atomdata& a = s->atoms[i];
    std::vector<int>& bin = s->bin_atoms[bin_of(grid_of(s), a.x, a.y, a.z)];
    if (std::find(bin.begin(), bin.end(), i) != bin.end()) return 0;
    bin.push_back(i);
    s->packed_atoms.clear();
    s->packed_start.clear();
    return 1;
}

int QB_network_pack(QB_tools* s) {
    if (!s->network_built) return QB_REFUSED;
    const size_t bins = s->bin_atoms.size();
    s->packed_start.assign(bins + 1, 0);
    s->packed_atoms.clear();
    for (size_t b = 0; b < bins; b++) {
        for (int m : s->bin_atoms[b]) {
            if (m >= s->natoms) continue;
            const atomdata& a = s->atoms[m];
            s->packed_atoms.push_back({a.x, a.y, a.z, m});
        }
        s->packed_start[b + 1] = static_cast<int>(s->packed_atoms.size());
    }
    return 1;
}

void QB_network_free(QB_tools* s) {
    s->bin_atoms.clear();
    s->bin_atoms.shrink_to_fit();
    s->packed_atoms.clear();
    s->packed_atoms.shrink_to_fit();
    s->packed_start.clear();
    s->packed_start.shrink_to_fit();
    for (int d = 0; d < 3; d++) {
        s->bin_count[d] = 0;
        s->bin_size[d] = 0;
    }
    s->network_radius = 0;
    s->network_built = 0;
}

int QB_list_query(const QB_tools* s, int i, double r, QB_neighbour_list* list) {
    if (!s->network_built || !valid_atom(s, i) || !list) return QB_REFUSED;
    reset_list(s, *list);
    const atomdata& a = s->atoms[i];
    gather(s, *list, a.x, a.y, a.z, i, r);
    finish_list(*list);
    return 1;
}

int QB_list_build(QB_tools* s, int i, double r) {
    if (!s->network_built || !valid_atom(s, i)) return QB_REFUSED;
    QB_neighbour_list l = own_list(s);
    QB_list_query(s, i, r, &l);
    give_back(s, l);
    return 1;
}

int QB_nearest_atom(QB_tools* s, double x, double y, double z, double r) {
    if (!s->network_built) return QB_REFUSED;
    QB_neighbour_list l = own_list(s);
    reset_list(s, l);
    gather(s, l, x, y, z, -1, r);
    finish_list(l);
    give_back(s, l);
    return 1;
}

int QB_pbclist_build(QB_tools* s, int i, double r) {
    if (!s->network_built || !valid_atom(s, i)) return QB_REFUSED;
    QB_neighbour_list l = own_list(s);
    reset_list(s, l);
    const atomdata a = s->atoms[i];
    const double p[3] = {a.x, a.y, a.z};
    const ImageFrame f = image_frame(s, r);
    for_each_image(f, image_choices(f, p), [&](bool, const double* d) {
        gather(s, l, p[0] + d[0], p[1] + d[1], p[2] + d[2], i, r);
    });
    finish_list(l);
    give_back(s, l);
    return 1;
}

void QB_list_clear(QB_tools* s) {
    s->neighbour_index.clear();
    s->neighbour_index.shrink_to_fit();
    s->neighbour_distance.clear();
    s->neighbour_distance.shrink_to_fit();
    s->neighbour_count = 0;
    s->list_allocated = 0;
}

int QB_pbc(QB_tools* s, double r) {
    if (s->pbc_start != 0 && s->pbc_end != 0) {
        std::printf("PBC init twice!\n");
        return QB_REFUSED;
    }
    if (!std::isfinite(r)) return QB_REFUSED;
    const int n = s->natoms;
    const ImageFrame f = image_frame(s, r);
    auto choices_of = [&f](const atomdata& a) {
        const double p[3] = {a.x, a.y, a.z};
        return image_choices(f, p);
    };
    long long extra = 0;
    for (int i = 0; i < n; i++) {
        const Choices ch = choices_of(s->atoms[i]);
        extra += static_cast<long long>(ch.count[0]) * ch.count[1] * ch.count[2] - 1;
    }
    if (n + extra > INT_MAX) return QB_REFUSED;
    const int total = static_cast<int>(n + extra);
    s->atoms.reserve(static_cast<size_t>(total));
    std::vector<int> source;
    source.reserve(static_cast<size_t>(extra));
    for (int i = 0; i < n; i++) {
        const atomdata a = s->atoms[i];
        for_each_image(f, choices_of(a), [&](bool identity, const double* d) {
            if (identity) return;
            s->atoms.push_back({a.id, a.type, a.x + d[0], a.y + d[1], a.z + d[2], 0});
            source.push_back(i);
        });
    }
    s->natoms = total;
    QB_for_each_column(s, [n, &source](auto& column) {
        column.resize(static_cast<size_t>(n));
        column.reserve(column.size() + source.size());
        for (int from : source) column.push_back(column[from]);
    });
    s->pbc_start = n;
    s->pbc_end = total;
    return 1;
}

std::vector<std::array<double, 3>> QB_point_images(const QB_tools* s, double r, const double p[3]) {
    std::vector<std::array<double, 3>> out;
    const ImageFrame f = image_frame(s, r);
    for_each_image(f, image_choices(f, p), [&](bool identity, const double* d) {
        if (!identity) out.push_back({p[0] + d[0], p[1] + d[1], p[2] + d[2]});
    });
    return out;
}

int QB_pbc_clean(QB_tools* s) {
    if (s->pbc_start == 0 && s->pbc_end == 0) return 0;
    for (int i = s->pbc_start; i < s->pbc_end; i++) QB_delete_atom(s, i);
    s->pbc_start = s->pbc_end = 0;
    return 1;
}

namespace {

#if defined(__SSE2__)
// For each mask of four lanes: the set lanes' numbers packed to the front,
// and how many there are.
struct PackedLanes {
    alignas(16) __m128i lanes[16];
    int count[16];
    PackedLanes() {
        for (int mask = 0; mask < 16; mask++) {
            alignas(16) int at[4] = {0, 0, 0, 0};
            int n = 0;
            for (int lane = 0; lane < 4; lane++)
                if (mask & (1 << lane)) at[n++] = lane;
            lanes[mask] = _mm_load_si128(reinterpret_cast<const __m128i*>(at));
            count[mask] = n;
        }
    }
};
const PackedLanes kPacked;

#endif

// The K nearest of the m candidates (entries entry[t], padding -1; skip is
// left out) within r2 of q, in the order of a stable sort by distance (what
// inserting them one by one into the bounded list gives): index and dist
// (K + 1 entries: the last is scratch) receive the entries and squared
// distances, the count is returned.
//
// A first pass over the candidates' positions in single precision, taken
// relative to a nearby origin and four at a time, keeps those within r2 +
// margin: margin bounds that pass's rounding, so no candidate within r2 is
// lost. The distances that decide are then those of the positions
// themselves (dx dx + dy dy + dz dz in double precision, as everywhere), and
// the candidates inside are gathered and ranked without branches, as
// whether a candidate lies inside and where it ranks cannot be foreseen.
// An infinite margin skips the first pass. inside and D hold m + 1 entries.
int nearest_of(const QB_cell_list& c, const float* FX, const float* FY, const float* FZ, const int* entry, int m,
               const double* q, const double* origin, double r2, double margin, int skip, int K, int* inside,
               double* D, int* index, double* dist) {
    int passed = 0;
#if defined(__SSE2__)
    if (!std::isfinite(margin)) {
        for (int t = 0; t < m; t++) inside[passed++] = t;
    } else {
    const __m128 qx = _mm_set1_ps(static_cast<float>(q[0] - origin[0]));
    const __m128 qy = _mm_set1_ps(static_cast<float>(q[1] - origin[1]));
    const __m128 qz = _mm_set1_ps(static_cast<float>(q[2] - origin[2]));
    const __m128 limit = _mm_set1_ps(static_cast<float>(r2 + margin));
    for (int t = 0; t < m; t += 4) {
        const __m128 dx = _mm_sub_ps(_mm_loadu_ps(FX + t), qx);
        const __m128 dy = _mm_sub_ps(_mm_loadu_ps(FY + t), qy);
        const __m128 dz = _mm_sub_ps(_mm_loadu_ps(FZ + t), qz);
        const __m128 d2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
        const int mask = _mm_movemask_ps(_mm_cmplt_ps(d2, limit));
        // The kept lanes' indices, packed to the front, are written as four;
        // the count moves past those kept.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(inside + passed),
                         _mm_add_epi32(_mm_set1_epi32(t), _mm_load_si128(&kPacked.lanes[mask])));
        passed += kPacked.count[mask];
    }
    }
#else
    (void)FX, (void)FY, (void)FZ, (void)origin, (void)margin;
    for (int t = 0; t < m; t++) inside[passed++] = t;
#endif
    int kept = 0;
    for (int k = 0; k < passed; k++) {
        const int t = entry[inside[k]];
        if (t < 0) continue;  // padding
        const double dx = c.x[t] - q[0], dy = c.y[t] - q[1], dz = c.z[t] - q[2];
        D[kept] = dx * dx + dy * dy + dz * dz;
        inside[kept] = t;
        kept += (D[kept] < r2) & (t != skip);
    }
    // Rank of each: the nearer ones, and the equally near ones before it.
#if defined(__SSE2__)
    D[kept] = HUGE_VAL;  // pairs of two
    for (int k = 0; k < kept; k++) {
        const double d = D[k];
        const __m128d dd = _mm_set1_pd(d);
        __m128i count = _mm_setzero_si128();  // a true comparison is -1 in its lane
        // Pairs wholly before k count at most d, pairs wholly after it less
        // than d; the pair holding k is counted one by one.
        const int pair = k & ~1;
        for (int j = 0; j < pair; j += 2)
            count = _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(D + j), dd)));
        for (int j = pair + 2; j < kept; j += 2)
            count = _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmplt_pd(_mm_loadu_pd(D + j), dd)));
        alignas(16) long long lanes[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), count);
        const int other = pair + 1 - (k - pair);  // the pair's other member
        const int rank = std::min(static_cast<int>(lanes[0] + lanes[1]) + (other < k ? D[other] <= d : D[other] < d), K);
        index[rank] = inside[k];
        dist[rank] = d;
    }
#else
    for (int k = 0; k < kept; k++) {
        const double d = D[k];
        int rank = 0;
        for (int j = 0; j < k; j++) rank += D[j] <= d;
        for (int j = k + 1; j < kept; j++) rank += D[j] < d;
        rank = std::min(rank, K);  // K: a slot past the list
        index[rank] = inside[k];
        dist[rank] = d;
    }
#endif
    return std::min(kept, K);
}

}  // namespace

int QB_cell_list_build(const QB_tools* s, double reach, double r, QB_cell_list* c, int threads) {
    if (!std::isfinite(reach) || !std::isfinite(r)) return QB_REFUSED;
    const int n = s->natoms;
    const ImageFrame f = image_frame(s, reach);
    auto choices_of = [&f](const atomdata& a) {
        const double p[3] = {a.x, a.y, a.z};
        return image_choices(f, p);
    };
    // The atoms are cut into T runs; their images are numbered after all
    // the atoms, run after run, as QB_pbc appends them.
    const int T = std::min(QB_thread_count(threads), n / 4096 + 1);
    std::vector<int> from(static_cast<size_t>(T) + 1);
    for (int t = 0; t <= T; t++) from[t] = static_cast<int>(static_cast<long long>(n) * t / T);
    std::vector<long long> images(static_cast<size_t>(T), 0);
    QB_on_threads(T, [&](int t) {
        for (int i = from[t]; i < from[t + 1]; i++) {
            const Choices ch = choices_of(s->atoms[i]);
            images[t] += static_cast<long long>(ch.count[0]) * ch.count[1] * ch.count[2] - 1;
        }
    });
    std::vector<int> image_base(static_cast<size_t>(T));
    long long total = n;
    for (int t = 0; t < T; t++) {
        if (total + images[t] > INT_MAX) return QB_REFUSED;
        image_base[t] = static_cast<int>(total);
        total += images[t];
    }
    // Segment t < T: the atoms of run t; segment T + t: their images.
    // put(record, atom, x, y, z) for each record of a segment, in record
    // order (atom: the record an image copies, or the record itself).
    auto visit_segment = [&](int segment, auto put) {
        const int t = segment % T;
        if (segment < T) {
            for (int i = from[t]; i < from[t + 1]; i++) put(i, i, s->atoms[i].x, s->atoms[i].y, s->atoms[i].z);
            return;
        }
        int k = image_base[t];
        for (int i = from[t]; i < from[t + 1]; i++) {
            const atomdata a = s->atoms[i];
            for_each_image(f, choices_of(a), [&](bool identity, const double* d) {
                if (!identity) put(k++, i, a.x + d[0], a.y + d[1], a.z + d[2]);
            });
        }
    };

    const Grid g = make_grid(s->lo, s->size, static_cast<double>(total), r);
    c->atoms = n;
    for (int d = 0; d < 3; d++) {
        c->lo[d] = g.lo[d];
        c->bin_size[d] = g.bin_size[d];
        c->bin_count[d] = g.count[d];
    }
    c->radius = g.radius;
    // A counting sort by bin that keeps the record order within a bin: each
    // segment counts its records per bin, and writes from where the
    // segments before it end in each bin.
    const int bins = bin_total(g);
    std::vector<int> where(static_cast<size_t>(total));
    std::vector<std::vector<int>> at(2 * static_cast<size_t>(T));
    QB_on_threads(T, [&](int t) {
        for (int segment : {t, T + t}) {
            std::vector<int>& count = at[segment];
            count.assign(static_cast<size_t>(bins), 0);
            visit_segment(segment, [&](int rec, int, double x, double y, double z) {
                where[rec] = bin_of(g, x, y, z);
                count[where[rec]]++;
            });
        }
    });
    c->start.assign(static_cast<size_t>(bins) + 1, 0);
    int next = 0;
    for (int b = 0; b < bins; b++) {
        c->start[b] = next;
        for (std::vector<int>& count : at) {
            const int here = count[b];
            count[b] = next;
            next += here;
        }
    }
    c->start[bins] = next;
    c->x.resize(static_cast<size_t>(total));
    c->y.resize(static_cast<size_t>(total));
    c->z.resize(static_cast<size_t>(total));
    c->record.resize(static_cast<size_t>(total));
    c->source.resize(static_cast<size_t>(total));
    QB_on_threads(T, [&](int t) {
        for (int segment : {t, T + t}) {
            std::vector<int>& fill = at[segment];
            visit_segment(segment, [&](int rec, int atom, double x, double y, double z) {
                const int e = fill[where[rec]]++;
                c->x[e] = x;
                c->y[e] = y;
                c->z[e] = z;
                c->record[e] = rec;
                c->source[e] = atom;
            });
        }
    });
    return 1;
}

QB_cell_walker::QB_cell_walker(const QB_cell_list& c, int K)
    : c_(c), K_(std::max(K, 0)), index_(static_cast<size_t>(K_) + 1), dist_(static_cast<size_t>(K_) + 1) {}

void QB_cell_walker::query(int e, double r, QB_cell_hits* hits) {
    hits->count = 0;
    if (K_ == 0 || !(r > 0) || e < 0 || e >= static_cast<int>(c_.x.size())) return;
    const Grid g = grid_of(c_);
    const double q[3] = {c_.x[e], c_.y[e], c_.z[e]};
    const double r2 = r * r;
    int* index = index_.data();
    double* dist = dist_.data();
    int n = 0;
    if (r <= g.bin_size[0] && r <= g.bin_size[1] && r <= g.bin_size[2]) {
        // The query visits the bin and its neighbours, the same for every
        // entry of the bin: their entries are gathered once, in visit order
        // (rows of three bins lie together), with their positions relative
        // to the bin's corner in single precision.
        int at[3];
        for (int d = 0; d < 3; d++) at[d] = bin_along(g, d, q[d]);
        const int b = bin_index(g, at[0], at[1], at[2]);
        if (b != bin_) {
            bin_ = b;
            for (int d = 0; d < 3; d++) origin_[d] = g.lo[d] - g.radius + at[d] * g.bin_size[d];
            const int k0 = std::max(at[2] - 1, 0), k1 = std::min(at[2] + 1, g.count[2] - 1);
            int rows[9][2], m = 0, nrows = 0;
            for (int i = std::max(at[0] - 1, 0); i <= std::min(at[0] + 1, g.count[0] - 1); i++)
                for (int j = std::max(at[1] - 1, 0); j <= std::min(at[1] + 1, g.count[1] - 1); j++) {
                    rows[nrows][0] = c_.start[bin_index(g, i, j, k0)];
                    rows[nrows][1] = c_.start[bin_index(g, i, j, k1) + 1];
                    m += rows[nrows][1] - rows[nrows][0];
                    nrows++;
                }
            // Groups of four below: the padding lies at infinity.
            const int padded = (m + 3) & ~3;
            entry_.resize(padded);
            x_.resize(padded);
            y_.resize(padded);
            z_.resize(padded);
            d2_.resize(padded + 1);
            inside_.resize(padded + 1);
            int at_entry = 0;
            for (int w = 0; w < nrows; w++) {
                const int from = rows[w][0], count = rows[w][1] - rows[w][0];
                for (int t = 0; t < count; t++) {
                    x_[at_entry + t] = static_cast<float>(c_.x[from + t] - origin_[0]);
                    y_[at_entry + t] = static_cast<float>(c_.y[from + t] - origin_[1]);
                    z_[at_entry + t] = static_cast<float>(c_.z[from + t] - origin_[2]);
                    entry_[at_entry + t] = from + t;
                }
                at_entry += count;
            }
            for (int t = m; t < padded; t++) {
                entry_[t] = -1;
                x_[t] = y_[t] = z_[t] = HUGE_VALF;
            }
        }
        // A centre inside its bin has its neighbours within r of the bin,
        // so within 2 bins of the corner (atoms clamped into edge bins may
        // lie farther, but then far beyond r, and rounding keeps them
        // there): each coordinate difference is off by at most e, and the
        // squared distance by 2 r e + e^2 per axis plus the rounding of the
        // sums. A centre clamped into an edge bin from far away goes
        // without the first pass.
        const double reach = 3 * std::max({g.bin_size[0], g.bin_size[1], g.bin_size[2]});
        const double e_axis = 4 * reach / (1 << 24);
        bool near_corner = true;
        for (int d = 0; d < 3; d++) near_corner = near_corner && std::fabs(q[d] - origin_[d]) <= reach;
        const double margin = near_corner ? 2 * (3 * (2 * r * e_axis + e_axis * e_axis) + 4 * r2 / (1 << 24)) : HUGE_VAL;
        n = nearest_of(c_, x_.data(), y_.data(), z_.data(), entry_.data(), static_cast<int>(entry_.size()), q,
                       origin_, r2, margin, e, K_, inside_.data(), d2_.data(), index, dist);
    } else {
        const Window w = window(g, q, r);
        n = visit_window(g, w, r2, K_, dist, 0, [&](int b, int count) {
            for (int t = c_.start[b]; t < c_.start[b + 1]; t++) {
                if (t == e) continue;
                const double dx = c_.x[t] - q[0], dy = c_.y[t] - q[1], dz = c_.z[t] - q[2];
                count = insert(t, dx * dx + dy * dy + dz * dz, r2, K_, index, dist, count);
            }
            return count;
        });
    }
    if (static_cast<int>(hits->entry.size()) < K_) {
        hits->entry.resize(K_);
        hits->d2.resize(K_);
        hits->dx.resize(K_);
        hits->dy.resize(K_);
        hits->dz.resize(K_);
    }
    for (int k = 0; k < n; k++) {
        const int t = index[k];
        hits->entry[k] = t;
        hits->d2[k] = dist[k];
        hits->dx[k] = c_.x[t] - q[0];
        hits->dy[k] = c_.y[t] - q[1];
        hits->dz[k] = c_.z[t] - q[2];
    }
    hits->count = n;
}
