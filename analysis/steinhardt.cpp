#include "analysis/steinhardt.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <vector>

#include "analysis/measure.h"
#include "analysis/measure_pass.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_text.h"
#include "qb/qb_threads.h"

namespace {

constexpr double kFourPi = 4 * M_PI;
// Below this q_l the normalised w_l is reported as 0, as LAMMPS does: the
// ratio of two vanishing numbers says nothing.
constexpr double kTinyQ = 1e-6;
// Atoms handed out to a thread at a time.
constexpr int kChunk = 512;

inline int lm_index(int l, int m) { return l * (l + 1) / 2 + m; }

// Tables of the spherical harmonics Y_lm(r) = norm_lm P_l^m(cos t) e^{i m p}
// of all degrees up to lmax, m >= 0. With u = (x + i y) / r and z = cos t,
// P_l^m(z) e^{i m p} = R_l^m(z) u^m, where R_l^m = P_l^m / sin^m t is a
// polynomial: R_m^m = (-1)^m (2m - 1)!! (the Condon-Shortley phase, as
// LAMMPS), R_{m+1}^m = (2m + 1) z R_m^m and, for l >= m + 2,
// R_l^m = ((2l - 1) z R_{l-1}^m - (l + m - 1) R_{l-2}^m) / (l - m).
struct Harmonics {
    int lmax = 0;
    std::vector<double> diag;  // R_m^m
    std::vector<double> a, b;  // the recurrence's factors at lm_index(l, m)
    std::vector<double> norm;  // sqrt((2l + 1) / 4 pi (l - m)! / (l + m)!)
    std::vector<char> wanted;  // the degrees whose sums are made (the others only lead to them)

    Harmonics(int L, const std::vector<int>& degrees) : lmax(L), wanted(static_cast<size_t>(L) + 1, 0) {
        for (int l : degrees) wanted[l] = 1;
        const int size = lm_index(L, L) + 1;
        diag.assign(static_cast<size_t>(L) + 1, 1.0);
        a.assign(static_cast<size_t>(size), 0.0);
        b.assign(static_cast<size_t>(size), 0.0);
        norm.assign(static_cast<size_t>(size), 0.0);
        for (int m = 1; m <= L; m++) diag[m] = -diag[m - 1] * (2 * m - 1);
        for (int l = 0; l <= L; l++)
            for (int m = 0; m <= l; m++) {
                const int k = lm_index(l, m);
                if (l == m + 1) a[k] = 2 * m + 1;
                if (l >= m + 2) {
                    a[k] = (2.0 * l - 1) / (l - m);
                    b[k] = (l + m - 1.0) / (l - m);
                }
                double ratio = 1;  // (l - m)! / (l + m)!
                for (int f = l - m + 1; f <= l + m; f++) ratio /= f;
                norm[k] = std::sqrt((2 * l + 1) / kFourPi * ratio);
            }
    }

    // Sums R_l^m(z) u^m over the n bonds (dx, dy, dz) of squared lengths
    // d2 > 0, for the wanted l, m <= l, into (re, im) at lm_index(l, m)
    // (0 for the others).
    // The bonds go to kLanes partial sums in turn (bond j to lane j mod
    // kLanes; lanes independent, so the work runs side by side), added
    // lane after lane at the end: the same sums for the same bonds in the
    // same order, whatever else happens. part_re, part_im hold kLanes
    // entries per index.
    static constexpr int kLanes = 4;
    void sum_bonds(int n, const double* dx, const double* dy, const double* dz, const double* d2,
                   double* __restrict part_re, double* __restrict part_im, double* re, double* im) const {
        const int size = lm_index(lmax, lmax) + 1;
        std::fill(part_re, part_re + size * kLanes, 0.0);
        std::fill(part_im, part_im + size * kLanes, 0.0);
        for (int j0 = 0; j0 < n; j0 += kLanes) {
            double z[kLanes], ux[kLanes], uy[kLanes], cr[kLanes], ci[kLanes], p1[kLanes], p2[kLanes];
            for (int t = 0; t < kLanes; t++) {
                const int j = j0 + t;
                const bool bond = j < n;  // lanes past the last bond add nothing: u^m = 0
                const double inv = bond ? 1 / std::sqrt(d2[j]) : 0;
                z[t] = bond ? dz[j] * inv : 0;
                ux[t] = bond ? dx[j] * inv : 0;
                uy[t] = bond ? dy[j] * inv : 0;
                cr[t] = bond ? 1 : 0;
                ci[t] = 0;
            }
            for (int m = 0; m <= lmax; m++) {
                int k = lm_index(m, m);
                const double dm = diag[m];
                for (int t = 0; t < kLanes; t++) {
                    p1[t] = dm;
                    p2[t] = 0;
                }
                if (wanted[m])
                    for (int t = 0; t < kLanes; t++) {
                        part_re[k * kLanes + t] += dm * cr[t];
                        part_im[k * kLanes + t] += dm * ci[t];
                    }
                for (int l = m + 1; l <= lmax; l++) {
                    k += l;  // lm_index(l, m) = lm_index(l - 1, m) + l
                    const double A = a[k], B = b[k];
                    for (int t = 0; t < kLanes; t++) {
                        const double p = A * z[t] * p1[t] - B * p2[t];
                        p2[t] = p1[t];
                        p1[t] = p;
                    }
                    if (wanted[l])
                        for (int t = 0; t < kLanes; t++) {
                            part_re[k * kLanes + t] += p1[t] * cr[t];
                            part_im[k * kLanes + t] += p1[t] * ci[t];
                        }
                }
                for (int t = 0; t < kLanes; t++) {
                    const double nr = cr[t] * ux[t] - ci[t] * uy[t];
                    ci[t] = cr[t] * uy[t] + ci[t] * ux[t];
                    cr[t] = nr;
                }
            }
        }
        for (int k = 0; k < size; k++) {
            double sr = 0, si = 0;
            for (int t = 0; t < kLanes; t++) {
                sr += part_re[k * kLanes + t];
                si += part_im[k * kLanes + t];
            }
            re[k] = sr;
            im[k] = si;
        }
    }
};

// A thread's working space for one atom after another.
struct Scratch {
    std::vector<double> re, im;            // the sums of R_l^m u^m
    std::vector<double> part_re, part_im;  // their lanes
    std::vector<double> full;              // q_lm of one degree, m = -l ... l
    explicit Scratch(int lmax) {
        const size_t size = static_cast<size_t>(lm_index(lmax, lmax)) + 1;
        re.resize(size);
        im.resize(size);
        part_re.resize(size * Harmonics::kLanes);
        part_im.resize(size * Harmonics::kLanes);
        full.resize(2 * (2 * static_cast<size_t>(lmax) + 1));
    }
};

// The Wigner 3j symbol (l l l; m1 m2 m3), m1 + m2 + m3 = 0, by Racah's sum.
double wigner_3j(int l, int m1, int m2, int m3) {
    long double f[3 * QN_STEINHARDT_MAX_DEGREE + 2];  // 0! ... (3l + 1)!
    f[0] = 1;
    for (int k = 1; k <= 3 * l + 1; k++) f[k] = f[k - 1] * k;
    const long double pre = std::sqrt(f[l] * f[l] * f[l] / f[3 * l + 1] * f[l + m1] * f[l - m1] * f[l + m2] *
                                      f[l - m2] * f[l + m3] * f[l - m3]);
    const int kmin = std::max({0, -m1, m2}), kmax = std::min({l, l - m1, l + m2});
    long double sum = 0;
    for (int k = kmin; k <= kmax; k++) {
        const long double term =
            1 / (f[k] * f[k + m1] * f[k - m2] * f[l - k] * f[l - k - m1] * f[l - k + m2]);
        sum += k % 2 ? -term : term;
    }
    const long double value = pre * sum;
    return static_cast<double>(m3 % 2 ? -value : value);
}

// The terms of w_l: every (m1, m2, m3) with m1 + m2 + m3 = 0, offsets m + l.
struct Term {
    int m1, m2, m3;
    double c;
};

std::vector<Term> wigner_terms(int l) {
    std::vector<Term> out;
    for (int m1 = -l; m1 <= l; m1++)
        for (int m2 = std::max(-l, -l - m1); m2 <= std::min(l, l - m1); m2++) {
            const int m3 = -m1 - m2;
            const double c = wigner_3j(l, m1, m2, m3);
            if (c != 0) out.push_back({m1 + l, m2 + l, m3 + l, c});
        }
    return out;
}

// How the neighbours of an atom are found.
enum class Mode {
    nearest,         // the N nearest, as far as they lie
    nearest_within,  // the N nearest within the cut-off
    within,          // every neighbour within the cut-off
};

// The first atom record (lowest index) whose neighbours cannot give a value
// (record -1: the neighbour search could not be made).
struct Problem {
    int record = INT_MAX;
    int found = 0;        // neighbours it has
    int other = -1;       // the record at its place, for atoms at one place
    double radius = 0;    // searched within
    void take(const Problem& p) {
        if (p.record < record) *this = p;
    }
};

// The work of one call.
class Work {
public:
    Work(const QB_tools* model, const QN_steinhardt_options& o, Mode mode)
        : model_(model), o_(o), mode_(mode), n_(model->natoms), workers_(QB_thread_count(o.threads)),
          harmonics_(*std::max_element(o.degrees.begin(), o.degrees.end()), o.degrees) {
        const int D = static_cast<int>(o.degrees.size());
        for (int l : o.degrees) {
            offset_.push_back(stride_);
            stride_ += l + 1;
            terms_.push_back(o.wl ? wigner_terms(l) : std::vector<Term>());
        }
        result_.q.assign(static_cast<size_t>(D), std::vector<double>(static_cast<size_t>(n_), 0.0));
        if (o.wl) result_.w.assign(static_cast<size_t>(D), std::vector<double>(static_cast<size_t>(n_), 0.0));
        if (o.averaged) {
            qlm_.assign(static_cast<size_t>(n_) * stride_ * 2, 0.0);
            owner_.assign(static_cast<size_t>(n_), 0);
            first_.assign(static_cast<size_t>(n_), 0);
            count_.assign(static_cast<size_t>(n_), 0);
            lists_.resize(static_cast<size_t>(workers_));
        }
    }

    // A first search radius: room for about 1.5 N neighbours at the
    // model's mean density.
    double first_radius(int N) const {
        const double volume = measure_detail::box_volume(model_);
        if (!(volume > 0) || !std::isfinite(volume)) return 3.0;
        const double r = std::cbrt(3 * 1.5 * N * volume / (kFourPi * n_));
        return std::isfinite(r) && r > 0 ? r : 3.0;
    }

    // Runs the search of the mode; false with *problem set when an atom
    // cannot have a value.
    bool run(Problem* problem) {
        const double cutoff = o_.cutoff;
        const int N = o_.neighbours;
        if (mode_ == Mode::within) {
            pass(cutoff, cutoff, cutoff, -1, all_atoms_, problem);
        } else if (mode_ == Mode::nearest_within) {
            const double near = std::min(first_radius(N), cutoff);
            pass(cutoff, near, cutoff, N, all_atoms_, problem);
        } else {
            // Growing radii up to the farthest that can hold a neighbour:
            // no farther than the periodic box is thick (images one box
            // away are the only ones made), nor than the atoms' span.
            const double limit = search_limit();
            double r = std::min(first_radius(N), limit);
            std::vector<int> pending = all_atoms_;
            for (;;) {
                const bool last = r >= limit;
                std::vector<int> left;
                pass(r, r, r, N, pending, problem, last ? nullptr : &left);
                if (last || left.empty()) break;
                pending.swap(left);
                r = std::min(2 * r, limit);
            }
        }
        if (problem->record != INT_MAX) return false;
        if (o_.averaged) average();
        return true;
    }

    QN_steinhardt_result& result() { return result_; }

private:
    // The box's thickness across its periodic directions, or without any
    // the atoms' span, slightly widened as neighbours count only when nearer.
    double search_limit() const {
        const double reach = QN_measure_reach(model_);
        if (std::isfinite(reach)) return reach;
        double lo[3], hi[3];
        for (int d = 0; d < 3; d++) lo[d] = hi[d] = 0;
        for (int i = 0; i < n_; i++) {
            const double p[3] = {model_->atoms[i].x, model_->atoms[i].y, model_->atoms[i].z};
            for (int d = 0; d < 3; d++) {
                lo[d] = i == 0 ? p[d] : std::min(lo[d], p[d]);
                hi[d] = i == 0 ? p[d] : std::max(hi[d], p[d]);
            }
        }
        double span2 = 0;
        for (int d = 0; d < 3; d++) span2 += (hi[d] - lo[d]) * (hi[d] - lo[d]);
        return std::sqrt(span2) * (1 + 1e-9) + 1e-9;
    }

    // One search over the atoms of `records`: a cell list with the
    // periodic images within reach, binned for near, and each atom's
    // neighbours within near, or within far when near holds fewer than N
    // (N < 0: all within far). An atom with fewer than N goes to *left when
    // given, and is a problem otherwise.
    void pass(double reach, double near, double far, int N, const std::vector<int>& records, Problem* problem,
              std::vector<int>* left = nullptr) {
        QB_cell_list cells;
        if (QB_cell_list_build(model_, reach, near, &cells, workers_) != 1) {
            problem->take({-1, 0, -1, far});
            return;
        }
        // The cell entries of the atoms asked for, in cell order.
        std::vector<int> entries;
        if (records.empty()) {
            entries.reserve(static_cast<size_t>(n_));
            for (int e = 0; e < static_cast<int>(cells.record.size()); e++)
                if (cells.record[e] < n_) entries.push_back(e);
        } else {
            std::vector<char> asked(static_cast<size_t>(n_), 0);
            for (int i : records) asked[i] = 1;
            for (int e = 0; e < static_cast<int>(cells.record.size()); e++)
                if (cells.record[e] < n_ && asked[cells.record[e]]) entries.push_back(e);
        }
        const int count = static_cast<int>(entries.size());
        const int chunks = (count + kChunk - 1) / kChunk;
        const int T = std::max(1, std::min(chunks, workers_));
        std::vector<Problem> problems(static_cast<size_t>(T));
        std::vector<std::vector<int>> lefts(static_cast<size_t>(T));
        std::atomic<int> next{0};
        const int room = N > 0 ? N : measure_detail::neighbour_room(model_, far);
        QB_on_threads(T, [&](int t) {
            QB_cell_walker walker(cells, room);
            QB_cell_hits hits;
            Scratch scratch(harmonics_.lmax);
            Problem& mine = problems[static_cast<size_t>(t)];
            for (int c; (c = next.fetch_add(1)) < chunks;) {
                const int end = std::min(count, (c + 1) * kChunk);
                for (int k = c * kChunk; k < end; k++) {
                    const int e = entries[static_cast<size_t>(k)];
                    const int i = cells.record[static_cast<size_t>(e)];
                    walker.query(e, near, &hits);
                    if (N > 0 && hits.count < N && far > near) walker.query(e, far, &hits);
                    // Every neighbour within far: ask with more room while
                    // the list is full.
                    for (int more = 2 * room; N < 0 && hits.count >= more / 2; more *= 2) {
                        QB_cell_walker wide(cells, more);
                        wide.query(e, far, &hits);
                    }
                    const int used = N > 0 ? N : hits.count;
                    if (hits.count < std::max(N, 1)) {
                        if (left)
                            lefts[static_cast<size_t>(t)].push_back(i);
                        else
                            mine.take({i, hits.count, -1, far});
                        continue;
                    }
                    if (hits.d2[0] == 0) {  // nearest first
                        mine.take({i, hits.count, cells.source[hits.entry[0]], far});
                        continue;
                    }
                    if (mine.record != INT_MAX) continue;  // no result is kept anyway
                    atom(t, i, hits, used, cells, scratch);
                }
            }
        });
        for (const Problem& p : problems) problem->take(p);
        if (left) {
            left->clear();
            for (const auto& l : lefts) left->insert(left->end(), l.begin(), l.end());
            std::sort(left->begin(), left->end());
        }
    }

    // The values of atom i over its first `used` hits.
    void atom(int t, int i, const QB_cell_hits& hits, int used, const QB_cell_list& cells,
              Scratch& scratch) {
        const double* re = scratch.re.data();
        const double* im = scratch.im.data();
        double* full = scratch.full.data();
        harmonics_.sum_bonds(used, hits.dx.data(), hits.dy.data(), hits.dz.data(), hits.d2.data(),
                             scratch.part_re.data(), scratch.part_im.data(), scratch.re.data(), scratch.im.data());
        const double inv = 1.0 / used;
        for (size_t d = 0; d < o_.degrees.size(); d++) {
            const int l = o_.degrees[d];
            // q_l0 ... q_ll; q_l,-m = (-1)^m conj(q_lm).
            double* Q = full + 2 * l;  // Q[2 m], Q[2 m + 1]: q_lm for m = -l ... l
            double sum = 0;
            for (int m = 0; m <= l; m++) {
                const int k = lm_index(l, m);
                const double r = harmonics_.norm[k] * re[k] * inv, c = harmonics_.norm[k] * im[k] * inv;
                Q[2 * m] = r;
                Q[2 * m + 1] = c;
                if (m > 0) {
                    Q[-2 * m] = m % 2 ? -r : r;
                    Q[-2 * m + 1] = m % 2 ? c : -c;
                }
                sum += (m ? 2 : 1) * (r * r + c * c);
            }
            const double q = std::sqrt(kFourPi / (2 * l + 1) * sum);
            result_.q[d][i] = q;
            if (o_.wl) {
                // Odd degrees: every term meets its mirror of opposite sign.
                double w = 0;
                if (l % 2 == 0 && q >= kTinyQ) {
                    for (const Term& term : terms_[d]) {
                        const double* a = full + 2 * term.m1;
                        const double* b = full + 2 * term.m2;
                        const double* c = full + 2 * term.m3;
                        const double abr = a[0] * b[0] - a[1] * b[1], abi = a[0] * b[1] + a[1] * b[0];
                        w += term.c * (abr * c[0] - abi * c[1]);
                    }
                    w /= sum * std::sqrt(sum);
                }
                result_.w[d][i] = w;
            }
            if (o_.averaged) {
                double* store = &qlm_[(static_cast<size_t>(i) * stride_ + offset_[d]) * 2];
                std::copy(Q, Q + 2 * (l + 1), store);
            }
        }
        if (o_.averaged) {
            std::vector<int>& list = lists_[static_cast<size_t>(t)];
            owner_[i] = static_cast<unsigned char>(t);
            first_[i] = list.size();
            count_[i] = used;
            for (int k = 0; k < used; k++) list.push_back(cells.source[hits.entry[k]]);
        }
    }

    // The neighbour-averaged q_l: q_lm over the atom and its neighbours.
    void average() {
        const int D = static_cast<int>(o_.degrees.size());
        result_.averaged_q.assign(static_cast<size_t>(D), std::vector<double>(static_cast<size_t>(n_), 0.0));
        const int T = std::max(1, std::min(workers_, n_ / 4096 + 1));
        QB_on_threads(T, [&](int t) {
            const int from = static_cast<int>(static_cast<long long>(n_) * t / T);
            const int to = static_cast<int>(static_cast<long long>(n_) * (t + 1) / T);
            std::vector<double> sum(static_cast<size_t>(stride_) * 2);
            for (int i = from; i < to; i++) {
                const double* own = &qlm_[static_cast<size_t>(i) * stride_ * 2];
                std::copy(own, own + 2 * stride_, sum.begin());
                const int* list = lists_[owner_[i]].data() + first_[i];
                for (int k = 0; k < count_[i]; k++) {
                    const double* other = &qlm_[static_cast<size_t>(list[k]) * stride_ * 2];
                    for (int j = 0; j < 2 * stride_; j++) sum[j] += other[j];
                }
                const double inv = 1.0 / (count_[i] + 1);
                for (int d = 0; d < D; d++) {
                    const int l = o_.degrees[d];
                    const double* Q = sum.data() + 2 * offset_[d];
                    double s = 0;
                    for (int m = 0; m <= l; m++) s += (m ? 2 : 1) * (Q[2 * m] * Q[2 * m] + Q[2 * m + 1] * Q[2 * m + 1]);
                    result_.averaged_q[d][i] = std::sqrt(kFourPi / (2 * l + 1) * s) * inv;
                }
            }
        });
    }

    const QB_tools* model_;
    const QN_steinhardt_options& o_;
    Mode mode_;
    int n_;
    int workers_;
    Harmonics harmonics_;
    std::vector<int> offset_;  // of each degree's q_l0 among an atom's stored q_lm
    int stride_ = 0;           // stored q_lm (m >= 0) per atom
    std::vector<std::vector<Term>> terms_;
    const std::vector<int> all_atoms_;  // empty: every atom
    QN_steinhardt_result result_;
    // For the averages: each atom's q_lm (m >= 0, real and imaginary), and
    // its neighbours' records, count_[i] of them from first_[i] of the list
    // of the thread owner_[i] that found them.
    std::vector<double> qlm_;
    std::vector<unsigned char> owner_;
    std::vector<size_t> first_;
    std::vector<int> count_;
    std::vector<std::vector<int>> lists_;
};

bool refuse(std::string* message, const std::string& why) {
    if (message) *message = why;
    return false;
}

// Checks the request; false with the reason.
bool check(const QB_tools* model, const QN_steinhardt_options& o, const QN_steinhardt_result* out,
           std::string* message) {
    if (!out) return refuse(message, "No place for the result was given");
    if (!model || model->natoms <= 0) return refuse(message, "The model has no atoms");
    if (o.degrees.empty()) return refuse(message, "No degree l is chosen: give one or more of 1 ... 12");
    for (size_t k = 0; k < o.degrees.size(); k++) {
        const int l = o.degrees[k];
        if (l < 1 || l > QN_STEINHARDT_MAX_DEGREE)
            return refuse(message, QB_format("The degree l = %d is outside 1 ... %d", l, QN_STEINHARDT_MAX_DEGREE));
        if (std::find(o.degrees.begin(), o.degrees.begin() + k, l) != o.degrees.begin() + k)
            return refuse(message, QB_format("The degree l = %d is chosen twice", l));
    }
    if (!std::isfinite(o.cutoff) || o.cutoff < 0)
        return refuse(message, QB_format("The cut-off %g is not a length: give 0 to take the N nearest neighbours "
                                         "as far as they lie, or a length above 0 in Å",
                                         o.cutoff));
    if (o.neighbours > QN_STEINHARDT_MAX_NEIGHBOURS)
        return refuse(message, QB_format("%d neighbours are more than the %d an atom may have here", o.neighbours,
                                         QN_STEINHARDT_MAX_NEIGHBOURS));
    if (o.cutoff == 0 && o.neighbours < 1)
        return refuse(message, QB_format("%d neighbours, and no cut-off: give at least 1 neighbour, or a cut-off "
                                         "to take every neighbour within it",
                                         o.neighbours));
    if (o.neighbours < 0)
        return refuse(message, QB_format("%d neighbours: give at least 1, or 0 to take every neighbour within the "
                                         "cut-off",
                                         o.neighbours));
    const double reach = QN_measure_reach(model);
    if (o.cutoff > reach)
        return refuse(message, QB_format("The cut-off of %g Å is longer than the periodic box is thick (%g Å)",
                                         o.cutoff, reach));
    return true;
}

std::string describe(const QB_tools* model, const QN_steinhardt_options& o, Mode mode, const Problem& p) {
    if (p.record < 0) return "The neighbour search cannot be made on this model (too many atoms and images)";
    const int id = p.record < model->natoms ? model->atoms[p.record].id : 0;
    if (p.other >= 0) {
        const int other = p.other < model->natoms ? model->atoms[p.other].id : 0;
        return QB_format("Atoms %d and %d lie at the same place: the direction between them is undefined", id,
                         other);
    }
    switch (mode) {
        case Mode::within:
            return QB_format("Atom %d has no neighbour within the cut-off of %g Å", id, o.cutoff);
        case Mode::nearest_within:
            return QB_format("Atom %d has %d neighbours within the cut-off of %g Å, fewer than the %d asked for: "
                             "lengthen the cut-off or ask for fewer neighbours",
                             id, p.found, o.cutoff, o.neighbours);
        case Mode::nearest:
        default:
            return QB_format("Atom %d has %d neighbours within %g Å, fewer than the %d asked for, and no farther "
                             "neighbour can be found (%s)",
                             id, p.found, p.radius, o.neighbours,
                             std::isfinite(QN_measure_reach(model)) ? "the periodic box is that thick"
                                                                    : "the atoms span that far");
    }
}

}  // namespace

int QN_steinhardt(const QB_tools* model, const QN_steinhardt_options& options, QN_steinhardt_result* out,
                  std::string* message) {
    if (!check(model, options, out, message)) return -1;
    const Mode mode = options.cutoff == 0      ? Mode::nearest
                      : options.neighbours > 0 ? Mode::nearest_within
                                               : Mode::within;
    Work work(model, options, mode);
    Problem problem;
    if (!work.run(&problem)) {
        if (message) *message = describe(model, options, mode, problem);
        return -1;
    }
    *out = std::move(work.result());
    if (message) message->clear();
    return 1;
}
