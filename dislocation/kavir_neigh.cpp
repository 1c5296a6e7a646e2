#include "dislocation/kavir_neigh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "qb/qb_formats.h"
#include "qb/qb_text.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Counts the distinct cells of edge c (per axis clipped to [lo, lo + L) on
// periodic axes) that hold atoms and returns their volume.
double occupied_volume(int n, const double* pos, const double lo[3], const double len[3], const bool clip[3], double c) {
    int nb[3];
    double w[3];
    for (int d = 0; d < 3; d++) {
        if (clip[d]) {
            nb[d] = std::max(1, static_cast<int>(std::floor(len[d] / c)));
            w[d] = len[d] / nb[d];
        } else {
            nb[d] = std::max(1, static_cast<int>(std::floor(len[d] / c)) + 1);
            w[d] = c;
        }
    }
    std::vector<int64_t> keys(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
        int64_t key = 0;
        for (int d = 2; d >= 0; d--) {
            const double x = pos[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
            const int k = std::clamp(static_cast<int>(std::floor((x - lo[d]) / w[d])), 0, nb[d] - 1);
            key = key * nb[d] + k;
        }
        keys[static_cast<size_t>(i)] = key;
    }
    const double total = static_cast<double>(nb[0]) * nb[1] * nb[2];
    int64_t occupied = 0;
    if (total <= 8.0 * n + 64) {
        std::vector<uint8_t> seen(static_cast<size_t>(total), 0);
        for (int64_t k : keys)
            if (!seen[static_cast<size_t>(k)]) {
                seen[static_cast<size_t>(k)] = 1;
                occupied++;
            }
    } else {
        std::sort(keys.begin(), keys.end());
        occupied = std::unique(keys.begin(), keys.end()) - keys.begin();
    }
    return static_cast<double>(occupied) * w[0] * w[1] * w[2];
}

}  // namespace

double KAVIR_spacing(int n, const double* pos, const double box[3][3], const bool* periodic) {
    if (n <= 0) return 0;
    double lo[3], len[3];
    bool clip[3];
    for (int d = 0; d < 3; d++) {
        double mn, mx;
        KAVIR_extent(n, pos, d, mn, mx);
        clip[d] = periodic[d] && box[2][d] > 0 && mn >= box[0][d] && mx <= box[1][d];
        lo[d] = clip[d] ? box[0][d] : mn;
        len[d] = clip[d] ? box[2][d] : mx - mn;
    }
    // First guess from the bounding space, each axis at least a tenth of the
    // largest (a flat sheet still has a volume).
    const double big = std::max({len[0], len[1], len[2], 1e-3});
    double v0 = 1;
    for (double l : len) v0 *= std::max(l, 0.1 * big);
    double c = 2 * std::cbrt(v0 / n);
    double rho = n / v0;
    for (int pass = 0; pass < 4; pass++) {
        const double v = occupied_volume(n, pos, lo, len, clip, c);
        rho = n / v;
        const double next = 2 / std::cbrt(rho);
        if (std::fabs(next - c) < 0.05 * c) break;
        c = next;
    }
    return 0.896 * std::cbrt(4 / rho);
}

// ================================================================ CBIN

int64_t CBIN::cell_of(const double* p, int c[3]) const {
    for (int d = 0; d < 3; d++) {
        const double x = (p[d] - lo[d]) / cell[d];
        if (!(x >= 0) || x >= nbin[d] + 1e-9) return -1;
        c[d] = std::min(nbin[d] - 1, static_cast<int>(x));
    }
    return c[0] + static_cast<int64_t>(nbin[0]) * (c[1] + static_cast<int64_t>(nbin[1]) * c[2]);
}

void CBIN::calculate() {
    double box[3][3];
    pre_box_size(box, n, pos);
    calculate(box[0], box[1]);
}

void CBIN::calculate(const double lo_[3], const double hi_[3]) {
    // Cells of at least `size`; coarser when a sparse space would need far
    // more cells than atoms.
    double c = size > 0 ? size : 1.0;
    for (;;) {
        double t = 1;
        for (int d = 0; d < 3; d++) {
            lo[d] = lo_[d];
            hi[d] = hi_[d];
            len[d] = std::max(hi[d] - lo[d], 0.0);
            nbin[d] = std::max(1, static_cast<int>(std::floor(len[d] / c)));
            cell[d] = len[d] > 0 ? len[d] / nbin[d] : c;
            if (cell[d] < c) cell[d] = c;
            t *= nbin[d];
        }
        if (t <= 4.0 * n + 4096 || t < 1e6) break;
        c *= 1.5;
    }
    total = static_cast<int64_t>(nbin[0]) * nbin[1] * nbin[2];
    boxid.assign(static_cast<size_t>(n), -1);
    start.assign(static_cast<size_t>(total) + 1, 0);
    int c3[3];
    for (int i = 0; i < n; i++) {
        const int64_t b = cell_of(pos + 3 * static_cast<size_t>(i), c3);
        boxid[static_cast<size_t>(i)] = static_cast<int>(b);
        if (b >= 0) start[static_cast<size_t>(b) + 1]++;
    }
    for (int64_t b = 0; b < total; b++) start[static_cast<size_t>(b) + 1] += start[static_cast<size_t>(b)];
    const size_t binned = static_cast<size_t>(start[static_cast<size_t>(total)]);
    binid.assign(binned, 0);
    packed.assign(3 * binned, 0.0);
    std::vector<int64_t> fill(start.begin(), start.end() - 1);
    for (int i = 0; i < n; i++) {
        const int b = boxid[static_cast<size_t>(i)];
        if (b < 0) continue;
        const size_t q = static_cast<size_t>(fill[static_cast<size_t>(b)]++);
        binid[q] = i;
        for (int d = 0; d < 3; d++) packed[3 * q + static_cast<size_t>(d)] = pos[3 * static_cast<size_t>(i) + static_cast<size_t>(d)];
    }
}

// ================================================================ CPERI

void CPERI::calculate() {
    pbc_any = periodic[0] || periodic[1] || periodic[2];
    ext_id.clear();
    real_of.clear();
    ext_type.clear();
    ext_pos.clear();
    oldidx.clear();
    shift.clear();
    outside = 0;
    // Atoms inside the box along the periodic axes; along the others the
    // space reaches as far as the atoms do.
    for (int d = 0; d < 3; d++) {
        ext_lo[d] = lo[d];
        ext_hi[d] = hi[d];
    }
    std::vector<uint8_t> inside(static_cast<size_t>(n), 1);
    for (int i = 0; i < n; i++) {
        const double* x = pos + 3 * static_cast<size_t>(i);
        for (int d = 0; d < 3; d++) {
            if (!std::isfinite(x[d])) inside[static_cast<size_t>(i)] = 0;
            else if (periodic[d] && (x[d] < lo[d] || x[d] >= hi[d])) inside[static_cast<size_t>(i)] = 0;
        }
        if (!inside[static_cast<size_t>(i)]) {
            outside++;
            continue;
        }
        for (int d = 0; d < 3; d++)
            if (!periodic[d]) {
                ext_lo[d] = std::min(ext_lo[d], x[d]);
                ext_hi[d] = std::max(ext_hi[d], x[d]);
            }
    }
    int m[3] = {0, 0, 0};
    for (int d = 0; d < 3; d++) {
        if (periodic[d]) {
            if (!(len[d] > 0)) throw KavirError(KAVIR_BAD_DATA, "the box has no length along a periodic axis");
            m[d] = static_cast<int>(std::ceil(size / len[d]));
            ext_lo[d] = lo[d] - size;
            ext_hi[d] = hi[d] + size;
        }
        ext_len[d] = ext_hi[d] - ext_lo[d];
    }
    // Room for the atoms and the images of a layer of width `size` on
    // each periodic face.
    size_t room = static_cast<size_t>(n);
    for (int d = 0; d < 3; d++)
        if (periodic[d] && len[d] > 0) room += static_cast<size_t>(n * std::min(2.0, 2 * size / len[d] + 0.05));
    ext_id.reserve(room);
    ext_type.reserve(room);
    oldidx.reserve(room);
    real_of.reserve(room);
    ext_pos.reserve(3 * room);
    shift.reserve(3 * room);
    auto push = [&](int i, const double* x, int s0, int s1, int s2) {
        ext_id.push_back(id[i]);
        ext_type.push_back(type[i]);
        ext_pos.insert(ext_pos.end(), x, x + 3);
        oldidx.push_back(i);
        shift.push_back(s0);
        shift.push_back(s1);
        shift.push_back(s2);
    };
    // Atoms inside in space-filling order: cells of `size` grouped in
    // blocks of 8 x 8 x 8 cells, counting-sorted by block and cell.
    std::vector<int> sorted;
    {
        const double c = size > 0 ? size : 1.0;
        int64_t nc[3], nblock[3];
        for (int d = 0; d < 3; d++) {
            nc[d] = std::max<int64_t>(1, static_cast<int64_t>(std::min(1e6, (ext_hi[d] - ext_lo[d]) / c)) + 1);
            nblock[d] = (nc[d] + 7) / 8;
        }
        const int64_t range = nblock[0] * nblock[1] * nblock[2] * 512;
        std::vector<int64_t> key(static_cast<size_t>(n), -1);
        for (int i = 0; i < n; i++) {
            if (!inside[static_cast<size_t>(i)]) continue;
            int64_t k[3];
            for (int d = 0; d < 3; d++)
                k[d] = std::clamp<int64_t>(static_cast<int64_t>((pos[3 * static_cast<size_t>(i) + static_cast<size_t>(d)] - ext_lo[d]) / c),
                                           0, nc[d] - 1);
            const int64_t block = ((k[2] >> 3) * nblock[1] + (k[1] >> 3)) * nblock[0] + (k[0] >> 3);
            key[static_cast<size_t>(i)] = block * 512 + (k[2] & 7) * 64 + (k[1] & 7) * 8 + (k[0] & 7);
        }
        if (range <= 8 * static_cast<int64_t>(n) + 4096) {
            std::vector<int> start(static_cast<size_t>(range) + 1, 0);
            for (int64_t k : key)
                if (k >= 0) start[static_cast<size_t>(k) + 1]++;
            for (int64_t k = 0; k < range; k++) start[static_cast<size_t>(k) + 1] += start[static_cast<size_t>(k)];
            sorted.assign(static_cast<size_t>(start[static_cast<size_t>(range)]), 0);
            for (int i = 0; i < n; i++)
                if (key[static_cast<size_t>(i)] >= 0) sorted[static_cast<size_t>(start[static_cast<size_t>(key[static_cast<size_t>(i)])]++)] = i;
        } else {
            for (int i = 0; i < n; i++)
                if (key[static_cast<size_t>(i)] >= 0) sorted.push_back(i);
            std::stable_sort(sorted.begin(), sorted.end(),
                             [&](int a, int b) { return key[static_cast<size_t>(a)] < key[static_cast<size_t>(b)]; });
        }
    }
    for (int i : sorted) push(i, pos + 3 * static_cast<size_t>(i), 0, 0, 0);
    nreal = static_cast<int>(oldidx.size());
    {
        std::vector<int> entry(static_cast<size_t>(n), -1);
        for (int r = 0; r < nreal; r++) entry[static_cast<size_t>(oldidx[static_cast<size_t>(r)])] = r;
        by_input.clear();
        by_input.reserve(static_cast<size_t>(nreal));
        for (int i = 0; i < n; i++)
            if (entry[static_cast<size_t>(i)] >= 0) by_input.push_back(entry[static_cast<size_t>(i)]);
    }
    real_of.resize(static_cast<size_t>(nreal));
    for (int r = 0; r < nreal; r++) real_of[static_cast<size_t>(r)] = r;
    if (pbc_any) {
        for (int r = 0; r < nreal; r++) {
            const int i = oldidx[static_cast<size_t>(r)];
            const double* x = pos + 3 * static_cast<size_t>(i);
            // Shifts per axis that keep the image within the widened box.
            int s_lo[3], s_hi[3];
            for (int d = 0; d < 3; d++) {
                s_lo[d] = 0;
                s_hi[d] = 0;
                if (!periodic[d]) continue;
                for (int s = -m[d]; s <= m[d]; s++) {
                    const double y = x[d] + s * len[d];
                    if (y >= ext_lo[d] && y < ext_hi[d]) {
                        s_lo[d] = std::min(s_lo[d], s);
                        s_hi[d] = std::max(s_hi[d], s);
                    }
                }
            }
            for (int a = s_lo[0]; a <= s_hi[0]; a++)
                for (int b = s_lo[1]; b <= s_hi[1]; b++)
                    for (int c = s_lo[2]; c <= s_hi[2]; c++) {
                        if (a == 0 && b == 0 && c == 0) continue;
                        const double y[3] = {x[0] + a * len[0], x[1] + b * len[1], x[2] + c * len[2]};
                        push(i, y, a, b, c);
                        real_of.push_back(r);
                    }
        }
    }
    ntotal = static_cast<int>(oldidx.size());
    if (outside > 0)
        kavir->say("%d atoms lie outside the box along a periodic axis and are left out\n", outside);
}

// ================================================================ CMAP

void CMAP::map() {
    map12.assign(static_cast<size_t>(size1), -1);
    if (twoway) map21.assign(static_cast<size_t>(size2), -1);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int i = 0; i < size1; i++) lo = std::min<int64_t>(lo, id1[i]), hi = std::max<int64_t>(hi, id1[i]);
    for (int j = 0; j < size2; j++) lo = std::min<int64_t>(lo, id2[j]), hi = std::max<int64_t>(hi, id2[j]);
    auto duplicate = [&](int id, const std::string& where) {
        throw KavirError(KAVIR_BAD_DATA, "atom id " + std::to_string(id) + " appears twice in " + where);
    };
    const int64_t range = size1 + size2 > 0 ? hi - lo + 1 : 0;
    if (range > 0 && range <= 4 * static_cast<int64_t>(size1 + size2) + 1024) {
        std::vector<int> t2(static_cast<size_t>(range), -1), t1(static_cast<size_t>(range), -1);
        for (int j = 0; j < size2; j++) {
            int& slot = t2[static_cast<size_t>(id2[j] - lo)];
            if (slot >= 0) duplicate(id2[j], name2);
            slot = j;
        }
        for (int i = 0; i < size1; i++) {
            int& slot = t1[static_cast<size_t>(id1[i] - lo)];
            if (slot >= 0) duplicate(id1[i], name1);
            slot = i;
            map12[static_cast<size_t>(i)] = t2[static_cast<size_t>(id1[i] - lo)];
        }
        if (twoway)
            for (int j = 0; j < size2; j++) map21[static_cast<size_t>(j)] = t1[static_cast<size_t>(id2[j] - lo)];
    } else {
        auto sorted = [&](const int* ids, int n, const std::string& where) {
            std::vector<std::pair<int, int>> v(static_cast<size_t>(n));
            for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = {ids[i], i};
            std::sort(v.begin(), v.end());
            for (size_t k = 1; k < v.size(); k++)
                if (v[k].first == v[k - 1].first) duplicate(v[k].first, where);
            return v;
        };
        const auto s1 = sorted(id1, size1, name1), s2 = sorted(id2, size2, name2);
        size_t a = 0, b = 0;
        while (a < s1.size() && b < s2.size()) {
            if (s1[a].first < s2[b].first) a++;
            else if (s1[a].first > s2[b].first) b++;
            else {
                map12[static_cast<size_t>(s1[a].second)] = s2[b].second;
                if (twoway) map21[static_cast<size_t>(s2[b].second)] = s1[a].second;
                a++;
                b++;
            }
        }
    }
    unmatched1 = static_cast<int>(std::count(map12.begin(), map12.end(), -1));
    unmatched2 = twoway ? static_cast<int>(std::count(map21.begin(), map21.end(), -1)) : 0;
}

// ================================================================ CANL

double CANL::dist(int i, int j) const {
    const double* a = pos + 3 * static_cast<size_t>(i);
    const double* b = pos + 3 * static_cast<size_t>(j);
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

double CANL::reach() const {
    double r = 0;
    for (double l : neigh_length_stan) r = std::max(r, l);
    return r;
}

template <class Cutoff>
void CANL::lists(Cutoff cutoff, double rmax) {
    constexpr size_t kBlock = 4096;
    const size_t blocks = (static_cast<size_t>(nlist) + kBlock - 1) / kBlock;
    std::vector<std::vector<int>> part(blocks);
    pneigh_start.assign(static_cast<size_t>(nlist) + 1, 0);
    KAVIR_parallel(static_cast<size_t>(nlist), kBlock, [&](size_t b0, size_t b1) {
        std::vector<int>& out = part[b0 / kBlock];
        out.reserve((b1 - b0) * 16);
        for (size_t i = b0; i < b1; i++) {
            const size_t before = out.size();
            const int ii = static_cast<int>(i);
            const double* x = pos + 3 * i;
            // An atom without a position (no partner in a reference) has no neighbours.
            if (std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]))
            grid->near(x, rmax, [&](int j, double, double, double, double d2) {
                if (j == ii) return;
                const double L = cutoff(ii, j);
                if (d2 < L * L) out.push_back(j);
            });
            pneigh_start[i + 1] = static_cast<int64_t>(out.size() - before);
        }
    });
    for (size_t i = 0; i < static_cast<size_t>(nlist); i++) pneigh_start[i + 1] += pneigh_start[i];
    pneighid.resize(static_cast<size_t>(pneigh_start[static_cast<size_t>(nlist)]));
    size_t at = 0;
    for (auto& p : part) {
        std::copy(p.begin(), p.end(), pneighid.begin() + static_cast<std::ptrdiff_t>(at));
        at += p.size();
        std::vector<int>().swap(p);
    }
    find_unpure();
}

template <class Cutoff>
void CANL::filter(Cutoff cutoff) {
    // Marks the pairs to keep on every core, then packs them.
    const size_t total = pneighid.size();
    std::vector<uint8_t> keep(total, 0);
    std::vector<int64_t> kept(static_cast<size_t>(nlist) + 1, 0);
    KAVIR_parallel(static_cast<size_t>(nlist), 8192, [&](size_t b0, size_t b1) {
        for (size_t i = b0; i < b1; i++) {
            int64_t c = 0;
            for (int64_t q = pneigh_start[i]; q < pneigh_start[i + 1]; q++) {
                const int j = pneighid[static_cast<size_t>(q)];
                const bool k = dist(static_cast<int>(i), j) < cutoff(static_cast<int>(i), j);
                keep[static_cast<size_t>(q)] = k;
                c += k;
            }
            kept[i + 1] = c;
        }
    });
    for (size_t i = 0; i < static_cast<size_t>(nlist); i++) kept[i + 1] += kept[i];
    std::vector<int> packed(static_cast<size_t>(kept[static_cast<size_t>(nlist)]));
    KAVIR_parallel(static_cast<size_t>(nlist), 8192, [&](size_t b0, size_t b1) {
        for (size_t i = b0; i < b1; i++) {
            size_t w = static_cast<size_t>(kept[i]);
            for (int64_t q = pneigh_start[i]; q < pneigh_start[i + 1]; q++)
                if (keep[static_cast<size_t>(q)]) packed[w++] = pneighid[static_cast<size_t>(q)];
        }
    });
    pneighid.swap(packed);
    pneigh_start.swap(kept);
    find_unpure();
}

void CANL::find_unpure() {
    unpure.assign(static_cast<size_t>(nlist), 0);
    KAVIR_parallel(static_cast<size_t>(nlist), 16384, [&](size_t b0, size_t b1) {
        for (size_t i = b0; i < b1; i++) {
            const int* nb = neigh(static_cast<int>(i));
            for (int k = 0, c = pneighn(static_cast<int>(i)); k < c; k++)
                if (type[static_cast<size_t>(nb[k])] != type[i]) {
                    unpure[i] = 1;
                    break;
                }
        }
    });
}

void CANL::cal_stat() {
    stat_pass++;
    const size_t T = static_cast<size_t>(ntypes);
    const size_t amount = static_cast<size_t>(stat.amount);
    exstat.assign(T, std::vector<double>(amount, 0.0));
    exstat_dlength.assign(T, 0.0);
    exstat_min.assign(T, 0.0);
    stat_mean.assign(T, 0.0);
    stat_dev.assign(T, 0.0);
    ebond.assign(T, -1.0);
    // Each pass over the lists runs on blocks of atoms whose partial sums
    // are added afterwards.
    constexpr size_t kBlock = 16384;
    const size_t blocks = (static_cast<size_t>(nlist) + kBlock - 1) / kBlock;
    auto over_blocks = [&](size_t width, const std::function<void(size_t, double*)>& atom_work) {
        std::vector<double> part(blocks * width, 0.0);
        KAVIR_parallel(static_cast<size_t>(nlist), kBlock, [&](size_t b0, size_t b1) {
            double* acc = &part[(b0 / kBlock) * width];
            for (size_t i = b0; i < b1; i++) atom_work(i, acc);
        });
        std::vector<double> total(width, 0.0);
        for (size_t b = 0; b < blocks; b++)
            for (size_t k = 0; k < width; k++) total[k] += part[b * width + k];
        return total;
    };
    // Sums per type: pure count, sum, squares; all count, sum, squares.
    const std::vector<double> sums = over_blocks(6 * T, [&](size_t i, double* acc) {
        double* a = acc + 6 * static_cast<size_t>(type[i]);
        const bool pure = !unpure[i];
        for (int k = 0, c = pneighn(static_cast<int>(i)); k < c; k++) {
            const double d = length(static_cast<int>(i), k);
            a[3] += 1;
            a[4] += d;
            a[5] += d * d;
            if (pure) {
                a[0] += 1;
                a[1] += d;
                a[2] += d * d;
            }
        }
    });
    for (size_t t = 0; t < T; t++) {
        const double* a = &sums[6 * t];
        // Ordered alloys and concentrated solutions have no atom whose
        // neighbours all share its type: their statistics use every atom.
        const bool pure = a[0] > 0;
        const double c = pure ? a[0] : a[3];
        if (c == 0) continue;
        if (!pure && stat_pass == 1)
            kavir->say("type %d has no atom whose neighbours are all of its type; its bond length comes from all its atoms\n",
                       typeid_[t]);
        const double E = (pure ? a[1] : a[4]) / c;
        double D = (pure ? a[2] : a[5]) / c - E * E;
        double S;
        if (D < 1e-10) {
            D = 1e-10;
            S = 1e-5;
        } else {
            S = std::sqrt(D);
        }
        stat_mean[t] = E;
        stat_dev[t] = S;
        exstat_dlength[t] = (stat.mult_min + stat.mult_max) * S / stat.amount;
        exstat_min[t] = E - stat.mult_min * S;
    }
    const std::vector<double> hist = over_blocks(amount * T, [&](size_t i, double* acc) {
        const size_t t = static_cast<size_t>(type[i]);
        if (exstat_dlength[t] <= 0) return;
        for (int k = 0, c = pneighn(static_cast<int>(i)); k < c; k++) {
            int bin = static_cast<int>((length(static_cast<int>(i), k) - exstat_min[t]) / exstat_dlength[t]);
            if (bin <= 0) bin = 1;
            if (bin > stat.amount - 1) bin = stat.amount - 1;
            acc[t * amount + static_cast<size_t>(bin)] += 1;
        }
    });
    std::vector<double> mode_value(T, 0.0);
    for (size_t t = 0; t < T; t++) {
        for (size_t b = 0; b < amount; b++) exstat[t][b] = hist[t * amount + b];
        if (exstat_dlength[t] <= 0) continue;
        const auto& h = exstat[t];
        const size_t mode = static_cast<size_t>(std::max_element(h.begin(), h.end()) - h.begin());
        mode_value[t] = (static_cast<double>(mode) + 0.5) * exstat_dlength[t] + exstat_min[t];
    }
    const std::vector<double> window = over_blocks(2 * T, [&](size_t i, double* acc) {
        const size_t t = static_cast<size_t>(type[i]);
        const double v = mode_value[t];
        for (int k = 0, m = pneighn(static_cast<int>(i)); k < m; k++) {
            const double d = length(static_cast<int>(i), k);
            if (d > (1 - stat.window) * v && d < (1 + stat.window) * v) {
                acc[2 * t] += d;
                acc[2 * t + 1] += 1;
            }
        }
    });
    for (size_t t = 0; t < T; t++)
        if (exstat_dlength[t] > 0) ebond[t] = window[2 * t + 1] > 0 ? window[2 * t] / window[2 * t + 1] : mode_value[t];
    if (callback) callback(this);
}

bool CANL::calculate() {
    // Types in order of first appearance among the listed atoms.
    std::unordered_map<int, int> index;
    typeid_.clear();
    for (int k = 0; k < nlist; k++) {
        const int i = in_order(k);
        if (index.emplace(type_value[i], static_cast<int>(typeid_.size())).second) typeid_.push_back(type_value[i]);
    }
    for (int i = nlist; i < n; i++)
        if (index.emplace(type_value[i], static_cast<int>(typeid_.size())).second) typeid_.push_back(type_value[i]);
    ntypes = static_cast<int>(typeid_.size());
    onetype = ntypes == 1;
    type.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) type[static_cast<size_t>(i)] = index[type_value[i]];

    neigh_length_stan.assign(static_cast<size_t>(ntypes), -1.0);
    for (size_t c = 0; c < cut_type.size(); c++) {
        auto it = index.find(cut_type[c]);
        if (it != index.end()) neigh_length_stan[static_cast<size_t>(it->second)] = cut_len[c];
    }
    const bool all_given = std::all_of(neigh_length_stan.begin(), neigh_length_stan.end(), [](double l) { return l > 0; });
    if (all_given) {
        kavir->say("neigh_length_stan(manual_all):\n");
        for (int t : typeid_) kavir->say("%4d\t", t);
        kavir->say("\n");
        for (double l : neigh_length_stan) kavir->say("%7.4f\t", l);
        kavir->say("\n");
    } else {
        // First pass: every atom closer than h.
        lists([](int, int) { return HUGE_VAL; }, h);
        first_radius_ = h;
        cal_stat();
        double longest = 0;
        for (int t = 0; t < ntypes; t++)
            if (ebond[static_cast<size_t>(t)] > 0) longest = std::max(longest, 1.25 * ebond[static_cast<size_t>(t)]);
        if (longest <= 0)
            throw KavirError(KAVIR_BAD_DATA, QB_format("no atom has a neighbour closer than %g; the data hold no crystal", h));
        for (int t = 0; t < ntypes; t++) {
            double& L = neigh_length_stan[static_cast<size_t>(t)];
            if (L > 0) continue;
            const double e = ebond[static_cast<size_t>(t)];
            if (e > 0) {
                L = 1.25 * e;
            } else {
                L = longest;
                kavir->say("type %d has no neighbour closer than %g; it takes the longest length of the others\n",
                           typeid_[static_cast<size_t>(t)], h);
            }
        }
        kavir->say("neigh_length_stan(auto):\n");
        for (int t : typeid_) kavir->say("%4d\t\t", t);
        kavir->say("\n");
        for (int t = 0; t < ntypes; t++)
            kavir->say("%7.4f(%6.4f)\t", neigh_length_stan[static_cast<size_t>(t)], ebond[static_cast<size_t>(t)]);
        kavir->say("\n\n");
    }
    if (reach() > extent * (1 + 1e-12)) {
        first_radius_ = 0;  // the caller rebuilds the set
        return false;
    }
    final_pass();
    return true;
}

void CANL::final_pass() {
    // The set may have been extended since the types were indexed.
    if (type.size() != static_cast<size_t>(n)) {
        std::unordered_map<int, int> index;
        for (size_t t = 0; t < typeid_.size(); t++) index.emplace(typeid_[t], static_cast<int>(t));
        type.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) type[static_cast<size_t>(i)] = index.at(type_value[i]);
    }
    const double* L = neigh_length_stan.data();
    const int* t = type.data();
    const double x = x_lneigh;
    auto pair = [L, t, x](int i, int j) {
        const int a = t[i], b = t[j];
        return a == b ? L[a] : (1 - x) * L[a] + x * L[b];
    };
    // Pair lengths never exceed the longest type length; when the lists of
    // the first pass reach that far, the final lists are a part of them.
    const double r = std::max(L[0], reach());
    const bool subset = first_radius_ >= r;
    first_radius_ = 0;
    if (onetype) {
        const double l = L[0];
        auto one = [l](int, int) { return l; };
        if (subset) filter(one);
        else lists(one, l);
    } else {
        if (subset) filter(pair);
        else lists(pair, r);
    }
    // The statistics of the final lists are only written out.
    if (callback) cal_stat();
}

void KAVIR_neighbours::build(const CCMDBASE& cmd, const atom& a) {
    h = KAVIR_spacing(a.natoms, a.pos.data(), a.box, cmd.boundary);
    if (!(h > 0) || !std::isfinite(h)) throw KavirError(KAVIR_BAD_DATA, "the atoms have no spacing (all at one point?)");
    double manual = 0;
    for (double l : cmd.cut_len) manual = std::max(manual, l);
    double reach = std::max(h, manual);
    peri.n = a.natoms;
    peri.id = a.id.data();
    peri.type = a.type.data();
    peri.pos = a.pos.data();
    peri.showpbc = cmd.showpbc;
    for (int d = 0; d < 3; d++) {
        peri.periodic[d] = cmd.boundary[d];
        peri.lo[d] = a.box[0][d];
        peri.hi[d] = a.box[1][d];
        peri.len[d] = a.box[2][d];
        if (a.boxtype != 2) peri.periodic[d] = false;
    }
    auto extend = [&](double r) {
        peri.size = r;
        peri.calculate();
        if (peri.nreal == 0) throw KavirError(KAVIR_BAD_DATA, "no atom lies inside the box");
        grid.n = peri.ntotal;
        grid.pos = peri.ext_pos.data();
        grid.size = r;
        grid.calculate(peri.ext_lo, peri.ext_hi);
        anl.n = peri.ntotal;
        anl.nlist = peri.nreal;
        anl.type_value = peri.ext_type.data();
        anl.pos = peri.ext_pos.data();
        anl.grid = &grid;
        anl.order = &peri.by_input;
        anl.extent = r;
    };
    extend(reach);
    peri.kavir->say("space box num: %d %d %d total: %lld\n", grid.nbin[0], grid.nbin[1], grid.nbin[2],
               static_cast<long long>(grid.total));
    anl.h = h;
    anl.cut_type = cmd.cut_type;
    anl.cut_len = cmd.cut_len;
    anl.x_lneigh = cmd.x_lneigh;
    if (!anl.calculate()) {
        // The lengths reach beyond the images made so far.
        extend(anl.reach());
        anl.final_pass();
    }
}

// ================================================================ CCMC

void CCMC::calc(const CCMDBASE& cmd) {
    nb.build(cmd, *def);
    CPERI& p = nb.peri;
    map.size1 = def->natoms;
    map.id1 = def->id.data();
    map.size2 = ref->natoms;
    map.id2 = ref->id.data();
    map.map();
    double deflen[3], reflen[3];
    for (int d = 0; d < 3; d++) {
        deflen[d] = def->box[2][d];
        reflen[d] = ref->box[2][d];
    }
    if (cmd.eliminate_cell && def->boxtype == 2 && ref->boxtype == 2)
        pre_eliminate_cell(def->box, ref->box, ref->natoms, ref->pos.data());
    const double* L = cmd.eliminate_cell ? deflen : reflen;
    refpos.assign(3 * static_cast<size_t>(p.ntotal), kNaN);
    unmatched = 0;
    for (int e = 0; e < p.ntotal; e++) {
        const int r = map.map12[static_cast<size_t>(p.oldidx[static_cast<size_t>(e)])];
        if (r < 0) {
            if (e < p.nreal) unmatched++;
            continue;
        }
        for (int d = 0; d < 3; d++)
            refpos[3 * static_cast<size_t>(e) + static_cast<size_t>(d)] =
                ref->p(r)[d] + p.shift[3 * static_cast<size_t>(e) + static_cast<size_t>(d)] * L[d];
    }
    if (unmatched > 0)
        kavir->say("%d atoms have no partner of the same id in the reference; their results are nan\n", unmatched);
    pre_mindisplace(p.periodic, p.len, p.ntotal, refpos.data(), p.ext_pos.data());
    if (cmd.neighset == 1) {
        refgrid.n = p.ntotal;
        refgrid.pos = refpos.data();
        refgrid.size = nb.grid.size;
        refgrid.calculate();
        nb.anl.pos = refpos.data();
        nb.anl.grid = &refgrid;
        nb.anl.final_pass();
    }
    if (cmd.showpbc && p.ntotal > 0) ex_peri_func(cmd, p, nb.grid, "PERI");
    if (cmd.bin) ex_bin_func(cmd, cmd.neighset == 1 ? refgrid : nb.grid, "bin_");
    if (cmd.neighbor_list) ex_pointsneigh_func(cmd, nb.anl, "_pointsneigh");
}

// ================================================================ diagnostics

namespace {

std::string item_name(const CCMDBASE& cmd, const std::string& item) { return cmd.kavir->path(item + ".txt"); }

}  // namespace

void ex_bin_func(const CCMDBASE& cmd, const CBIN& grid, const std::string& name) {
    KAVIR_out out(item_name(cmd, name));
    out.rows(static_cast<size_t>(grid.total), [&](size_t b, std::string& s) {
        const int64_t first = grid.start[b], last = grid.start[b + 1];
        s += QB_format("box%5zu %5lld ", b, static_cast<long long>(last - first));
        for (int64_t q = first; q < last; q++) s += QB_format("%4d ", grid.binid[static_cast<size_t>(q)]);
        s += "\n";
    });
    out.commit();
}

void ex_pointsneigh_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name) {
    KAVIR_out out(item_name(cmd, name));
    out.rows(static_cast<size_t>(anl.nlist), [&](size_t k, std::string& s) {
        const size_t i = static_cast<size_t>(anl.in_order(static_cast<int>(k)));
        const int c = anl.pneighn(static_cast<int>(i));
        s += QB_format("%d\t", c);
        for (int k = 0; k < c; k++) s += QB_format("%d\t", anl.neigh(static_cast<int>(i))[k] + 1);
        for (int k = c; k < 20; k++) s += "0\t";
        s += "\n";
    });
    out.commit();
}

void ex_neighlenth_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name) {
    KAVIR_out out(item_name(cmd, name));
    out.rows(static_cast<size_t>(anl.nlist), [&](size_t k, std::string& s) {
        const size_t i = static_cast<size_t>(anl.in_order(static_cast<int>(k)));
        const int c = anl.pneighn(static_cast<int>(i));
        s += QB_format("%zu\t%d\t", k, c);
        for (int k = 0; k < c; k++) s += QB_format("%.5f\t", anl.length(static_cast<int>(i), k));
        for (int k = c; k < 20; k++) s += QB_format("%.5f\t", 0.0);
        s += "\n";
    });
    out.commit();
}

void ex_stat_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name) {
    KAVIR_out out(item_name(cmd, name));
    std::string s;
    for (int b = 0; b < anl.stat.amount; b++) {
        for (int t = 0; t < anl.ntypes; t++) {
            const size_t tt = static_cast<size_t>(t);
            s += QB_format("%.5f\t%.0f\t", b * anl.exstat_dlength[tt] + anl.exstat_min[tt], anl.exstat[tt][static_cast<size_t>(b)]);
        }
        s += "\n";
    }
    out.text(s);
    out.commit();
}

void ex_unpure_func(const CCMDBASE& cmd, const CANL& anl, const std::string& name) {
    KAVIR_out out(item_name(cmd, name));
    out.text("#F A 0 0 0 3 0 0\n#C x y z StructureType pure lneightemp neigh\n#X 40.0 0.0 0.0\n#Y 0.0 40.0 0.0\n"
             "#Z 0.0 0.0 40.0\n#E\n");
    out.rows(static_cast<size_t>(anl.nlist), [&](size_t k, std::string& s) {
        const size_t i = static_cast<size_t>(anl.in_order(static_cast<int>(k)));
        const double* x = anl.pos + 3 * i;
        s += QB_format("%8.5f\t%8.5f\t%8.5f\t%d\t%d\t%d\t\n", x[0], x[1], x[2], anl.type[i], anl.unpure[i],
                       anl.pneighn(static_cast<int>(i)));
    });
    out.commit();
}

void ex_peri_func(const CCMDBASE& cmd, const CPERI& peri, const CBIN& grid, const std::string& name) {
    KAVIR_out out(cmd.kavir->path(name));
    cmd.head_out(out.file(), "id\ttype\tx\ty\tz\tboxid\toldidx", peri.ntotal, peri.ext_lo, peri.ext_hi);
    out.rows(static_cast<size_t>(peri.ntotal), [&](size_t e, std::string& s) {
        s += QB_format("%d\t%d\t", peri.ext_id[e], peri.ext_type[e]);
        for (int d = 0; d < 3; d++) cmd.real(s, peri.ext_pos[3 * e + static_cast<size_t>(d)], '\t');
        s += QB_format("%d\t%d\n", grid.boxid[e], peri.oldidx[e]);
    });
    out.commit();
}
