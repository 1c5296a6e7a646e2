#include "analysis/morla.h"
#include "analysis/morla_words.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace MORLA_METHOD {

namespace {

// Fills r[0..n) with neighbour - centre; returns the usable count.
template <class V>
int relative_vectors(const double* centre, double* const* neighbours, int n, V* r) {
    n = usable_count(centre, neighbours, n);
    for (int j = 0; j < n; j++) {
        r[j].x = neighbours[j][0] - centre[0];
        r[j].y = neighbours[j][1] - centre[1];
        r[j].z = neighbours[j][2] - centre[2];
    }
    return n;
}

// Fills r[0..n) from the offsets; returns the usable count.
template <class V>
int offset_vectors(const Offsets& o, V* r) {
    const int n = o.n < 0 ? 0 : o.n > MORLA_MAX_NEIGHBOURS ? MORLA_MAX_NEIGHBOURS : o.n;
    for (int j = 0; j < n; j++) {
        r[j].x = o.x[j];
        r[j].y = o.y[j];
        r[j].z = o.z[j];
    }
    return n;
}

// A method's analysis from absolute positions or from offsets: both become
// the relative vectors of the method's own kind.
template <class M, class... Type>
auto from_positions(M& m, const double* centre, double* const* neighbours, int n, Type... type) {
    typename M::vector r[MORLA_MAX_NEIGHBOURS];
    n = relative_vectors(centre, neighbours, n, r);
    return m.analysis_relative(r, n, type...);
}

template <class M, class... Type>
auto from_offsets(M& m, const Offsets& o, Type... type) {
    typename M::vector r[MORLA_MAX_NEIGHBOURS];
    const int n = offset_vectors(o, r);
    return m.analysis_relative(r, n, type...);
}

template <class V>
double dist2(const V& a, const V& b) {
    const double dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
    return dx * dx + dy * dy + dz * dz;
}

template <class V>
double norm2(const V& a) {
    return a.x * a.x + a.y * a.y + a.z * a.z;
}

// Entry of a per-type array for a 0-based type index: the type's own entry
// when type < ntypes, entry 0 otherwise; -1 (no parameters) for a negative
// type or an entry the array does not have.
int type_slot(int type, int ntypes, std::size_t length) {
    if (type < 0) return -1;
    const int t = type < ntypes ? type : 0;
    return static_cast<std::size_t>(t) < length ? t : -1;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

double mark(double x) { return x + 0.5; }

double other_code(int n) { return 0.75 - 0.125 * n; }

// ---------------------------------------------------------------------------
// Common neighbour analysis

int CommonNeighborAnalysis::init(int argc, char** argv) {
    const int k = find_word(argc, argv, "cna");
    if (k < 0) return 0;
    const std::vector<double> v = numbers_after(argc, argv, k);
    if (v.size() < 2) {
        isadaptive = 1;
        ntypes = 0;
        mincut.assign(1, 0.0);
        maxcut.assign(1, 0.0);
        return 1;
    }
    const int pairs = static_cast<int>(v.size() / 2);
    mincut.assign(pairs, 0.0);
    maxcut.assign(pairs, 0.0);
    for (int t = 0; t < pairs; t++) {
        mincut[t] = v[2 * t];
        maxcut[t] = v[2 * t + 1];
    }
    ntypes = pairs;
    isadaptive = 0;
    return 1;
}

void CommonNeighborAnalysis::freesetting() {
    std::vector<double>().swap(maxcut);
    std::vector<double>().swap(mincut);
}

double CommonNeighborAnalysis::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }

namespace {

// Bond masks of n <= 16 neighbours: bit k of adj[j] is set when neighbours j
// and k (j != k) are strictly inside the window (lo2, hi2) of each other.
// The distance of a pair is the same both ways round, so each row is
// worked out on its own, two pairs at a time, without branches.
void bond_masks(const CommonNeighborAnalysis::vector* r, int n, double lo2, double hi2, unsigned* adj) {
    double X[MORLA_MAX_NEIGHBOURS], Y[MORLA_MAX_NEIGHBOURS], Z[MORLA_MAX_NEIGHBOURS];
    for (int k = 0; k < n; k++) {
        X[k] = r[k].x;
        Y[k] = r[k].y;
        Z[k] = r[k].z;
    }
#if defined(__SSE2__)
    const int even = n & ~1;
    const __m128d low = _mm_set1_pd(lo2), high = _mm_set1_pd(hi2);
#else
    const int even = 0;
#endif
    for (int j = 0; j < n; j++) {
        unsigned row = 0;
#if defined(__SSE2__)
        const __m128d xj = _mm_set1_pd(X[j]), yj = _mm_set1_pd(Y[j]), zj = _mm_set1_pd(Z[j]);
        for (int k = 0; k < even; k += 2) {
            const __m128d dx = _mm_sub_pd(_mm_loadu_pd(X + k), xj);
            const __m128d dy = _mm_sub_pd(_mm_loadu_pd(Y + k), yj);
            const __m128d dz = _mm_sub_pd(_mm_loadu_pd(Z + k), zj);
            const __m128d d2 = _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
            const __m128d in = _mm_and_pd(_mm_cmpgt_pd(d2, low), _mm_cmplt_pd(d2, high));
            row |= static_cast<unsigned>(_mm_movemask_pd(in)) << k;
        }
#endif
        for (int k = even; k < n; k++) {
            const double dx = X[k] - X[j], dy = Y[k] - Y[j], dz = Z[k] - Z[j];
            const double d2 = dx * dx + dy * dy + dz * dz;
            row |= static_cast<unsigned>((d2 > lo2) & (d2 < hi2)) << k;
        }
        adj[j] = row & ~(1u << j);
    }
}

// Set bits of a mask of neighbours (at most 16 bits), from a table of the
// bytes' counts: no library call, and no reliance on the processor's own
// instruction.
struct ByteBits {
    unsigned char n[256];
    constexpr ByteBits() : n() {
        for (int b = 0; b < 256; b++) n[b] = static_cast<unsigned char>((b & 1) + n[b / 2]);
    }
};
constexpr ByteBits kByteBits;
static_assert(MORLA_MAX_NEIGHBOURS <= 16, "neighbour masks are counted a byte at a time, two bytes");
int bits(unsigned m) { return kByteBits.n[m & 0xFFu] + kByteBits.n[(m >> 8) & 0xFFu]; }
int lowest(unsigned m) { return __builtin_ctz(m); }

// Bonds among the neighbours of set.
int bonds_within(const unsigned* adj, unsigned set) {
    int b = 0;
    for (unsigned m = set; m; m &= m - 1) b += bits(adj[lowest(m)] & set);
    return b / 2;
}

// Bonds of the largest connected cluster of the neighbours in common.
int largest_cluster(const unsigned* adj, unsigned common) {
    int longest = 0;
    for (unsigned left = common; left;) {
        unsigned cluster = left & (~left + 1), before;
        do {
            before = cluster;
            for (unsigned m = before; m; m &= m - 1) cluster |= adj[lowest(m)] & common;
        } while (cluster != before);
        longest = std::max(longest, bonds_within(adj, cluster));
        left &= ~cluster;
    }
    return longest;
}

// Signature 100 c + 10 b + l of neighbour j: c common neighbours of the
// centre and j, b bonds among them, l bonds of their largest connected
// cluster.
int signature(const unsigned* adj, int j) {
    const unsigned common = adj[j];
    if (common == 0) return 0;
    // The degrees within the common neighbours give the bonds, and settle
    // the largest cluster when there are at most two: two bonds form one
    // cluster exactly when they share a neighbour.
    int twice = 0, top = 0;
    for (unsigned m = common; m; m &= m - 1) {
        const int d = bits(adj[lowest(m)] & common);
        twice += d;
        top = std::max(top, d);
    }
    const int b = twice / 2;
    const int longest = b <= 1 ? b : b == 2 ? (top == 2 ? 2 : 1) : largest_cluster(adj, common);
    return 100 * bits(common) + 10 * b + longest;
}

}  // namespace

int CommonNeighborAnalysis::num(vector* r, int j, int n, double lo2, double hi2) {
    if (r == nullptr || n <= 0) return 0;
    if (n > MORLA_MAX_NEIGHBOURS) n = MORLA_MAX_NEIGHBOURS;
    if (j < 0 || j >= n) return 0;
    unsigned adj[MORLA_MAX_NEIGHBOURS];
    bond_masks(r, n, lo2, hi2, adj);
    return signature(adj, j);
}

double CommonNeighborAnalysis::adaptive(vector* r, int k) {
    if (r == nullptr) return 0;
    if (k == 12) {
        double s = 0;
        for (int j = 0; j < 12; j++) s += std::sqrt(norm2(r[j]));
        return 5.82842712474619 * 0.25 * s * s / 144.0;
    }
    if (k == 14) {
        double s = 0;
        for (int j = 0; j < 8; j++) s += std::sqrt(4.0 / 3.0 * norm2(r[j]));
        for (int j = 8; j < 14; j++) s += std::sqrt(norm2(r[j]));
        return 5.82842712474619 * 0.25 * s * s / 196.0;
    }
    return 0;
}

float CommonNeighborAnalysis::analysis(double* centre, double** neighbours, int n, int type) {
    return from_positions(*this, centre, neighbours, n, type);
}

float CommonNeighborAnalysis::analysis(const Offsets& o, int type) { return from_offsets(*this, o, type); }

float CommonNeighborAnalysis::analysis_relative(vector* r, int n, int type) {
    auto other = [](int count) { return 0.75f - 0.125f * static_cast<float>(count); };

    if (isadaptive == 1) {
        if (n < 12) return other(n);
        if (maxcut.empty()) maxcut.assign(1, 0.0);

        double cut2 = adaptive(r, 12);
        maxcut[0] = cut2;
        unsigned adj[MORLA_MAX_NEIGHBOURS];
        bond_masks(r, 12, 0, cut2, adj);
        // Any other signature rules out both fcc and hcp.
        int n421 = 0, n422 = 0;
        for (int j = 0; j < 12; j++) {
            const int sig = signature(adj, j);
            if (sig == 421) n421++;
            else if (sig == 422) n422++;
            else break;
        }
        if (n421 == 12) return 1.0f;
        if (n421 == 6 && n422 == 6) return 3.0f;

        if (n >= 14) {
            cut2 = adaptive(r, 14);
            maxcut[0] = cut2;
            bond_masks(r, 14, 0, cut2, adj);
            int n444 = 0, n666 = 0;
            for (int j = 0; j < 14; j++) {
                const int sig = signature(adj, j);
                if (sig == 444) n444++;
                if (sig == 666) n666++;
            }
            if (n444 == 6 && n666 == 8) return 2.0f;
        }
        return other(n);
    }
    if (isadaptive != 0) return other(n);

    // Fixed window: a type without a window keeps no neighbour.
    const int t = type_slot(type, ntypes, mincut.size() < maxcut.size() ? mincut.size() : maxcut.size());
    if (t < 0) return other(0);
    const double lo = mincut[t], hi = maxcut[t];
    const double lo2 = lo * lo, hi2 = hi * hi;

    vector kept[MORLA_MAX_NEIGHBOURS];
    int m = 0;
    for (int j = 0; j < n; j++) {
        const double d2 = norm2(r[j]);
        if (d2 > lo2 && d2 < hi2) kept[m++] = r[j];
    }
    if (m < 12) return other(m);

    unsigned adj[MORLA_MAX_NEIGHBOURS];
    bond_masks(kept, m, lo2, hi2, adj);
    int n444 = 0, n421 = 0, n422 = 0, n666 = 0;
    for (int j = 0; j < m; j++) {
        switch (signature(adj, j)) {
            case 444: n444++; break;
            case 421: n421++; break;
            case 422: n422++; break;
            case 666: n666++; break;
            default: break;
        }
    }
    if (n444 == 6 && n666 == 8) return 2.0f;
    if (n421 == 12) return 1.0f;
    if (n421 == 6 && n422 == 6) return 3.0f;
    return other(m);
}

// ---------------------------------------------------------------------------
// Common neighbour parameter

int CommonNeighborParameter::init(int argc, char** argv) {
    const int k = find_word(argc, argv, "cnp");
    if (k < 0) return 0;
    const std::vector<double> v = numbers_after(argc, argv, k);
    if (v.empty()) {
        isadaptive = true;
        ntypes = 0;
        cut.assign(1, 0.0);
        return -1;
    }
    cut = v;
    ntypes = static_cast<int>(v.size());
    isadaptive = false;
    return 1;
}

void CommonNeighborParameter::freesetting() { std::vector<double>().swap(cut); }

double CommonNeighborParameter::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }

double CommonNeighborParameter::num(vector* r, int j, int n, double cut2) {
    if (r == nullptr || n <= 0) return 0;
    if (n > MORLA_MAX_NEIGHBOURS) n = MORLA_MAX_NEIGHBOURS;
    if (j < 0 || j >= n) return 0;
    double vx = 0, vy = 0, vz = 0;
    for (int k = 0; k < n; k++) {
        if (k == j || !(dist2(r[k], r[j]) < cut2)) continue;
        vx += 2 * r[k].x - r[j].x;
        vy += 2 * r[k].y - r[j].y;
        vz += 2 * r[k].z - r[j].z;
    }
    return vx * vx + vy * vy + vz * vz;
}

double CommonNeighborParameter::analysis(double* centre, double** neighbours, int n, int type) {
    return from_positions(*this, centre, neighbours, n, type);
}

double CommonNeighborParameter::analysis(const Offsets& o, int type) { return from_offsets(*this, o, type); }

double CommonNeighborParameter::analysis_relative(vector* r, int n, int type) {

    double R = 0;
    if (isadaptive) {
        if (n == 0) return kNaN;
        double s = 0;
        const int first = n < 4 ? n : 4, last = n < 12 ? n : 12;
        for (int j = 0; j < first; j++) s += 2.0 / std::sqrt(3.0) * std::sqrt(norm2(r[j]));
        for (int j = 4; j < last; j++) s += std::sqrt(norm2(r[j]));
        const double D = n >= 12 ? 12.0 : static_cast<double>(n);
        R = (1 + std::sqrt(2.0)) * 0.5 * s / D;
        if (cut.empty()) cut.assign(1, 0.0);
        cut[0] = R;
    } else {
        const int t = type_slot(type, ntypes, cut.size());
        if (t < 0) return kNaN;
        R = cut[t];
    }
    const double R2 = R * R;

    vector kept[MORLA_MAX_NEIGHBOURS];
    int m = 0;
    for (int j = 0; j < n; j++)
        if (norm2(r[j]) < R2) kept[m++] = r[j];
    if (m == 0) return kNaN;

    double sum = 0;
    for (int j = 0; j < m; j++) sum += num(kept, j, m, R2);
    return sum / m;
}

// ---------------------------------------------------------------------------
// Centro-symmetry parameter

int CentroSymmetryParameter::init(int argc, char** argv) {
    const int k = find_word(argc, argv, "csp");
    if (k < 0) return 0;
    std::vector<int> v;
    int x = 0;
    for (int i = k + 1; i < argc && whole_int(argv[i], &x); i++) v.push_back(x);
    if (v.empty()) {
        freesetting();
        ntypes = 0;
        return -1;
    }
    cn = v;
    ntypes = static_cast<int>(v.size());
    return 1;
}

void CentroSymmetryParameter::freesetting() { std::vector<int>().swap(cn); }

double CentroSymmetryParameter::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }

double CentroSymmetryParameter::analysis(double* centre, double** neighbours, int n, int type) {
    return from_positions(*this, centre, neighbours, n, type);
}

double CentroSymmetryParameter::analysis(const Offsets& o, int type) { return from_offsets(*this, o, type); }

double CentroSymmetryParameter::analysis_relative(vector* r, int n, int type) {

    const int t = type_slot(type, ntypes, cn.size());
    if (t < 0) return -1;
    const int N = cn[t];
    if (n < N) return -1;
    if (N <= 1) return 0;

    // The N/2 smallest pair values, kept in descending order; slots start
    // empty (+inf), so every pair competes.
    const int half = N / 2;
    double slots[MORLA_MAX_NEIGHBOURS / 2];
    for (int i = 0; i < half; i++) slots[i] = std::numeric_limits<double>::infinity();
    for (int j = 0; j < N; j++)
        for (int k = j + 1; k < N; k++) {
            const double sx = r[j].x + r[k].x, sy = r[j].y + r[k].y, sz = r[j].z + r[k].z;
            const double s = sx * sx + sy * sy + sz * sz;
            if (!(s < slots[0])) continue;
            slots[0] = s;
            for (int i = 0; i + 1 < half && slots[i] < slots[i + 1]; i++) {
                const double tmp = slots[i];
                slots[i] = slots[i + 1];
                slots[i + 1] = tmp;
            }
        }
    double sum = 0;
    for (int i = 0; i < half; i++) sum += slots[i];
    return sum;
}

// ---------------------------------------------------------------------------
// Bond-angle analysis

double BondAngleAnalysis::squaredlengths(double x, double y, double z) { return x * x + y * y + z * z; }

double BondAngleAnalysis::point(double ax, double ay, double az, double bx, double by, double bz) {
    return ax * bx + ay * by + az * bz;
}

double BondAngleAnalysis::cosangle(vector* r, int j, int k) {
    const double d = point(r[j].x, r[j].y, r[j].z, r[k].x, r[k].y, r[k].z);
    return d / std::sqrt(squaredlengths(r[j].x, r[j].y, r[j].z) * squaredlengths(r[k].x, r[k].y, r[k].z));
}

double BondAngleAnalysis::analysis(double* centre, double** neighbours, int n) {
    return from_positions(*this, centre, neighbours, n);
}

double BondAngleAnalysis::analysis(const Offsets& o) { return from_offsets(*this, o); }

double BondAngleAnalysis::analysis_relative(vector* r, int n) {
    if (n < 6) return other_code(n);

    double r02 = 0;
    for (int j = 0; j < 6; j++) r02 += norm2(r[j]);
    r02 /= 6;

    int N0 = 0, N1 = 0;
    for (int j = 0; j < n; j++) {
        const double d2 = norm2(r[j]);
        if (d2 < 1.45 * r02) N0++;
        if (d2 < 1.55 * r02) N1++;
    }

    int chi[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int j = 0; j < N0; j++)
        for (int k = j + 1; k < N0; k++) {
            const double c = cosangle(r, j, k);
            if (c < -0.945) chi[0]++;
            else if (c < -0.915) chi[1]++;
            else if (c < -0.755) chi[2]++;
            else if (c < -0.195) chi[3]++;
            else if (c < 0.195) chi[4]++;
            else if (c < 0.245) chi[5]++;
            else if (c < 0.795) chi[6]++;
            else chi[7]++;
        }

    // A zero denominator gives +inf (or NaN for 0/0), spelled out here.
    const int denom = chi[5] + chi[6] - chi[4];
    double dbcc;
    if (denom != 0) dbcc = 0.35 * chi[4] / denom;
    else dbcc = chi[4] == 0 ? kNaN : std::numeric_limits<double>::infinity();
    const double dcp = std::fabs(1.0 - chi[6] / 24.0);
    double dfcc = 0.61 * (std::abs(chi[0] + chi[1] - 6) + chi[2]) / 6.0;
    double dhcp = (std::abs(chi[0] - 3) + std::abs(chi[0] + chi[1] + chi[2] + chi[3] - 9)) / 12.0;

    if (chi[0] == 6) dfcc = 0;
    else if (chi[0] == 7) dbcc = 0;
    else if (chi[0] <= 3) dhcp = 0;

    if (chi[7] > 0) return other_code(N1);
    if (dbcc <= dcp) return N1 > 10 ? 2.0 : other_code(N1);
    if (N1 == 11 || N1 == 12) return dfcc < dhcp ? 1.0 : 3.0;
    return other_code(N1);
}

// ---------------------------------------------------------------------------
// Excess potential energy

void ExcessPotentialEnergy::setting(const double* e, int ne, const double* ref, int nref) {
    if (e == nullptr || ne < 0) ne = 0;
    if (ref == nullptr || nref < 0) nref = 0;
    energy.assign(e, e + ne);
    reference.assign(ref, ref + nref);
    nenergy = ne;
    nreference = nref;
}

void ExcessPotentialEnergy::freesetting() {
    std::vector<double>().swap(energy);
    std::vector<double>().swap(reference);
    nenergy = 0;
    nreference = 0;
}

double ExcessPotentialEnergy::analysis(int atom, int type) {
    if (atom < 0 || atom >= nenergy || static_cast<std::size_t>(atom) >= energy.size()) return 0;
    if (type < 0 || type >= nreference || static_cast<std::size_t>(type) >= reference.size()) return 0;
    return energy[atom] - reference[type];
}

}  // namespace MORLA_METHOD
