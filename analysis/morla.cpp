#include "analysis/morla.h"
#include "analysis/morla_words.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

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

double CommonNeighborAnalysis::squaredlenths(double x, double y, double z) { return x * x + y * y + z * z; }

namespace {

// Bond masks of n <= 16 neighbours: bit k of adj[j] is set when neighbours j
// and k (j != k) are strictly inside the window (lo2, hi2) of each other.
void bond_masks(const CommonNeighborAnalysis::vector* r, int n, double lo2, double hi2, unsigned* adj) {
    for (int j = 0; j < n; j++) adj[j] = 0;
    for (int j = 0; j < n; j++)
        for (int k = j + 1; k < n; k++) {
            const double d2 = dist2(r[j], r[k]);
            if (d2 > lo2 && d2 < hi2) {
                adj[j] |= 1u << k;
                adj[k] |= 1u << j;
            }
        }
}

// Set bits of a mask (without a library call where the processor's own
// instruction is not assumed).
int bits(unsigned m) {
    m = m - ((m >> 1) & 0x55555555u);
    m = (m & 0x33333333u) + ((m >> 2) & 0x33333333u);
    return static_cast<int>((((m + (m >> 4)) & 0x0F0F0F0Fu) * 0x01010101u) >> 24);
}
int lowest(unsigned m) { return __builtin_ctz(m); }

// Bonds among the neighbours of set.
int bonds_within(const unsigned* adj, unsigned set) {
    int b = 0;
    for (unsigned m = set; m; m &= m - 1) b += bits(adj[lowest(m)] & set);
    return b / 2;
}

// Signature 100 c + 10 b + l of neighbour j: c common neighbours of the
// centre and j, b bonds among them, l bonds of their largest connected
// cluster.
int signature(const unsigned* adj, int j) {
    const unsigned common = adj[j];
    if (common == 0) return 0;
    const int b = bonds_within(adj, common);
    int longest = 0;
    for (unsigned left = b > 0 ? common : 0; left;) {
        unsigned cluster = left & (~left + 1), before;
        do {
            before = cluster;
            for (unsigned m = before; m; m &= m - 1) cluster |= adj[lowest(m)] & common;
        } while (cluster != before);
        longest = std::max(longest, bonds_within(adj, cluster));
        left &= ~cluster;
    }
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
    vector r[MORLA_MAX_NEIGHBOURS];
    n = relative_vectors(centre, neighbours, n, r);
    auto other = [](int count) { return 0.75f - 0.125f * static_cast<float>(count); };

    if (isadaptive == 1) {
        if (n < 12) return other(n);
        if (maxcut.empty()) maxcut.assign(1, 0.0);

        double cut2 = adaptive(r, 12);
        maxcut[0] = cut2;
        unsigned adj[MORLA_MAX_NEIGHBOURS];
        bond_masks(r, 12, 0, cut2, adj);
        int n421 = 0, n422 = 0;
        for (int j = 0; j < 12; j++) {
            const int sig = signature(adj, j);
            if (sig == 421) n421++;
            if (sig == 422) n422++;
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

double CommonNeighborParameter::squaredlenths(double x, double y, double z) { return x * x + y * y + z * z; }

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
    vector r[MORLA_MAX_NEIGHBOURS];
    n = relative_vectors(centre, neighbours, n, r);

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

double CentroSymmetryParameter::squaredlenths(double x, double y, double z) { return x * x + y * y + z * z; }

double CentroSymmetryParameter::analysis(double* centre, double** neighbours, int n, int type) {
    vector r[MORLA_MAX_NEIGHBOURS];
    n = relative_vectors(centre, neighbours, n, r);

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

double BondAngleAnalysis::squaredlenths(double x, double y, double z) { return x * x + y * y + z * z; }

double BondAngleAnalysis::point(double ax, double ay, double az, double bx, double by, double bz) {
    return ax * bx + ay * by + az * bz;
}

double BondAngleAnalysis::cosangle(vector* r, int j, int k) {
    const double d = point(r[j].x, r[j].y, r[j].z, r[k].x, r[k].y, r[k].z);
    return d / std::sqrt(squaredlenths(r[j].x, r[j].y, r[j].z) * squaredlenths(r[k].x, r[k].y, r[k].z));
}

double BondAngleAnalysis::analysis(double* centre, double** neighbours, int n) {
    vector r[MORLA_MAX_NEIGHBOURS];
    n = relative_vectors(centre, neighbours, n, r);
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
