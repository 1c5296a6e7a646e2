#include "qb/qb_neighbour.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

namespace {

// Smallest effective cut-off of a network.
constexpr double kMinNetworkRadius = 3.0;
// Bins beyond this many (or beyond two per atom, whichever is more) are
// merged, so a box with a huge vacuum cannot exhaust memory.
constexpr double kMaxBins = 4194304.0;

bool valid_atom(const QB_tools* s, int i) { return i >= 0 && i < s->natoms; }

// Bin index along axis d of coordinate v, clamped in double before the
// conversion to int.
int bin_along(const QB_tools* s, int d, double v) {
    const double t = (v - s->lo[d] + s->network_radius) / s->bin_size[d];
    if (!(t > 0)) return 0;  // also NaN
    const double top = s->bin_count[d] - 1;
    return t >= top ? s->bin_count[d] - 1 : static_cast<int>(t);
}

int bin_of(const QB_tools* s, double x, double y, double z) {
    return QB_bin_index(s, bin_along(s, 0, x), bin_along(s, 1, y), bin_along(s, 2, z));
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

// Adds to the bounded list the atoms within r of q found in the bins around
// q's bin, skipping atom exclude. Distances stay squared until finish_list.
void gather(const QB_tools* s, QB_neighbour_list& l, double qx, double qy, double qz, int exclude, double r) {
    const int K = std::max(s->list_capacity, 0);
    if (K == 0 || !(r > 0)) return;
    const double r2 = r * r;
    const double q[3] = {qx, qy, qz};
    int from[3], to[3];
    for (int d = 0; d < 3; d++) {
        // One bin each way covers r whenever r fits in a bin; a larger query
        // radius reaches further.
        const double reach = std::ceil(r / s->bin_size[d]);
        const int span = reach > 1 ? static_cast<int>(std::min(reach, static_cast<double>(s->bin_count[d]))) : 1;
        const int c = bin_along(s, d, q[d]);
        from[d] = std::max(c - span, 0);
        to[d] = std::min(c + span, s->bin_count[d] - 1);
    }
    // Distance from q to each bin's slab along each axis. Edge bins also
    // hold the clamped atoms beyond the grid, so they reach to infinity.
    // A small slack keeps rounding in the binning from hiding an atom.
    double gap2[3][2 * 64 + 1];
    bool prune = true;
    for (int d = 0; d < 3; d++) {
        if (to[d] - from[d] >= 2 * 64 + 1) {
            prune = false;
            continue;
        }
        for (int b = from[d]; b <= to[d]; b++) {
            const double low = s->lo[d] - s->network_radius + b * s->bin_size[d];
            double gap = 0;
            if (b > 0 && q[d] < low) gap = low - q[d];
            if (b < s->bin_count[d] - 1 && q[d] > low + s->bin_size[d]) gap = q[d] - low - s->bin_size[d];
            gap = std::max(0.0, gap - 1e-6);
            gap2[d][b - from[d]] = gap * gap;
        }
    }
    int* index = l.index.data();
    double* dist = l.distance.data();
    int n = l.count;
    const bool packed = !s->packed_start.empty();
    const atomdata* atoms = s->atoms.data();
    const QB_packed_atom* pack = s->packed_atoms.data();
    const int natoms = s->natoms;
    for (int i = from[0]; i <= to[0]; i++)
        for (int j = from[1]; j <= to[1]; j++)
            for (int k = from[2]; k <= to[2]; k++) {
                if (prune) {
                    // Nothing in a bin farther than the current bound can enter the list.
                    const double bound = n < K ? r2 : dist[K - 1];
                    if (gap2[0][i - from[0]] + gap2[1][j - from[1]] + gap2[2][k - from[2]] >= bound) continue;
                }
                const int b = QB_bin_index(s, i, j, k);
                if (packed)
                    n = scan(pack + s->packed_start[b], pack + s->packed_start[b + 1], exclude, qx, qy, qz, r2, K,
                             index, dist, n);
                else
                    n = scan(s->bin_atoms[b], atoms, natoms, exclude, qx, qy, qz, r2, K, index, dist, n);
            }
    l.count = n;
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
    const double rr = r > kMinNetworkRadius ? r : kMinNetworkRadius;
    double counts[3];
    for (int d = 0; d < 3; d++) {
        const double L = std::isfinite(s->size[d]) && s->size[d] > 0 ? s->size[d] : 0.0;
        counts[d] = std::min(std::trunc(std::trunc(L) / rr + 2), kMaxBins);
    }
    const double cap = std::max(kMaxBins, 2.0 * s->natoms);
    double total = counts[0] * counts[1] * counts[2];
    while (total > cap) {
        const double shrink = std::cbrt(cap / total);
        for (double& c : counts) c = std::max(1.0, std::floor(c * shrink));
        total = counts[0] * counts[1] * counts[2];
    }
    for (int d = 0; d < 3; d++) {
        const double L = std::isfinite(s->size[d]) && s->size[d] > 0 ? s->size[d] : 0.0;
        s->bin_count[d] = static_cast<int>(counts[d]);
        s->bin_size[d] = (L + 2 * rr) / s->bin_count[d];
    }
    s->network_radius = rr;

    const int n = s->natoms;
    std::vector<int> where(static_cast<size_t>(n));
    std::vector<int> fill(static_cast<size_t>(total), 0);
    for (int i = 0; i < n; i++) {
        const atomdata& a = s->atoms[i];
        where[i] = bin_of(s, a.x, a.y, a.z);
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
    std::vector<int>& bin = s->bin_atoms[bin_of(s, a.x, a.y, a.z)];
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
