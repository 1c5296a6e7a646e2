// Wigner-Seitz defect analysis: every atom on the nearest site of a
// reference, the sites counted.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "analysis/measure.h"
#include "analysis/measure_pass.h"
#include "qb/qb_text.h"
#include "qb/qb_threads.h"

namespace {

using Vec = std::array<double, 3>;

// A box as origin and cell vectors (rows), with the inverse to fractional
// coordinates.
struct Frame {
    Vec origin{};
    double cell[3][3] = {};
    double inverse[3][3] = {};
    int periodic[3] = {1, 1, 1};
    bool ok = false;

    explicit Frame(const QB_tools* s) {
        for (int d = 0; d < 3; d++) periodic[d] = s->periodic[d];
        if (s->triclinic == 1) {
            for (int d = 0; d < 3; d++) {
                origin[d] = s->origin[d];
                for (int k = 0; k < 3; k++) cell[d][k] = s->cell[d][k];
            }
        } else {
            for (int d = 0; d < 3; d++) {
                origin[d] = s->lo[d];
                cell[d][d] = s->size[d];
            }
        }
        // p = origin + f M, M the rows a, b, c: f = (p - origin) M^-1.
        const double(*m)[3] = cell;
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        ok = std::isfinite(det) && std::fabs(det) > 0;
        if (!ok) return;
        inverse[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
        inverse[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
        inverse[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
        inverse[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
        inverse[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
        inverse[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
        inverse[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
        inverse[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
        inverse[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    }
    Vec fractional(double x, double y, double z) const {
        const double p[3] = {x - origin[0], y - origin[1], z - origin[2]};
        Vec f{};
        for (int k = 0; k < 3; k++) f[k] = p[0] * inverse[0][k] + p[1] * inverse[1][k] + p[2] * inverse[2][k];
        return f;
    }
    Vec cartesian(const Vec& f) const {  // without the origin: a difference
        Vec p{};
        for (int k = 0; k < 3; k++) p[k] = f[0] * cell[0][k] + f[1] * cell[1][k] + f[2] * cell[2][k];
        return p;
    }
    // The distance between opposite faces along vector d.
    double width(int d) const {
        const double* b = cell[(d + 1) % 3];
        const double* c = cell[(d + 2) % 3];
        const double cr[3] = {b[1] * c[2] - b[2] * c[1], b[2] * c[0] - b[0] * c[2], b[0] * c[1] - b[1] * c[0]};
        const double area = std::sqrt(cr[0] * cr[0] + cr[1] * cr[1] + cr[2] * cr[2]);
        const double volume = std::fabs(cell[d][0] * cr[0] + cell[d][1] * cr[1] + cell[d][2] * cr[2]);
        return area > 0 ? volume / area : 0;
    }
};

double wrap01(double f) {
    f -= std::floor(f);
    return f >= 1 ? 0 : f;
}

// The reference sites binned in fractional coordinates for nearest-site
// queries, periodic along the reference's periodic vectors.
class Sites {
public:
    Sites(const QB_tools* ref, const Frame& frame) : frame_(frame) {
        const int n = ref->natoms;
        const double per_bin = 2.0;
        const int side = std::max(1, static_cast<int>(std::cbrt(n / per_bin)));
        // Bins about as wide along every vector.
        const double w[3] = {frame.width(0), frame.width(1), frame.width(2)};
        const double mean = std::cbrt(std::max(w[0] * w[1] * w[2], 1e-300));
        for (int d = 0; d < 3; d++) {
            count_[d] = std::clamp(static_cast<int>(std::lround(side * w[d] / mean)), 1, 1024);
            bin_width_[d] = w[d] / count_[d];
        }
        f_.resize(static_cast<size_t>(n));
        std::vector<int> bin(static_cast<size_t>(n));
        start_.assign(static_cast<size_t>(count_[0]) * count_[1] * count_[2] + 1, 0);
        for (int i = 0; i < n; i++) {
            const atomdata& a = ref->atoms[static_cast<size_t>(i)];
            Vec f = frame.fractional(a.x, a.y, a.z);
            for (int d = 0; d < 3; d++)
                if (frame.periodic[d]) f[d] = wrap01(f[d]);
            f_[static_cast<size_t>(i)] = f;
            bin[static_cast<size_t>(i)] = bin_of(f);
            start_[static_cast<size_t>(bin[static_cast<size_t>(i)]) + 1]++;
        }
        for (size_t b = 1; b < start_.size(); b++) start_[b] += start_[b - 1];
        std::vector<int> fill(start_.begin(), start_.end() - 1);
        order_.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; i++) order_[static_cast<size_t>(fill[static_cast<size_t>(bin[static_cast<size_t>(i)])]++)] = i;
    }

    // The nearest site to fractional point f (wrapped along periodic
    // vectors), ties to the lower record.
    int nearest(Vec f) const {
        for (int d = 0; d < 3; d++)
            if (frame_.periodic[d]) f[d] = wrap01(f[d]);
        int c[3];
        for (int d = 0; d < 3; d++) c[d] = std::clamp(static_cast<int>(std::floor(f[d] * count_[d])), 0, count_[d] - 1);
        int best = -1;
        double best_d2 = INFINITY;
        const double min_width = std::min({bin_width_[0], bin_width_[1], bin_width_[2]});
        // Blocks of bins around the point's, each a shell further out: a
        // site outside the block is farther than reach bin widths, so the
        // nearest found is the nearest once it is closer than that.
        const int last = std::max({count_[0], count_[1], count_[2]}) + 1;
        for (int reach = 1;; reach++) {
            for (int i = -reach; i <= reach; i++)
                for (int j = -reach; j <= reach; j++)
                    for (int k = -reach; k <= reach; k++)
                        if (reach == 1 || std::max({std::abs(i), std::abs(j), std::abs(k)}) == reach)
                            visit(c, i, j, k, f, best, best_d2);
            if (best >= 0 && std::sqrt(best_d2) <= reach * min_width) return best;
            if (reach >= last) return best;
        }
    }

private:
    const Frame& frame_;
    int count_[3] = {1, 1, 1};
    double bin_width_[3] = {1, 1, 1};
    std::vector<Vec> f_;
    std::vector<int> start_, order_;

    int bin_of(const Vec& f) const {
        int c[3];
        for (int d = 0; d < 3; d++) c[d] = std::clamp(static_cast<int>(std::floor(f[d] * count_[d])), 0, count_[d] - 1);
        return (c[0] * count_[1] + c[1]) * count_[2] + c[2];
    }

    void visit(const int* c, int i, int j, int k, const Vec& f, int& best, double& best_d2) const {
        int cell[3] = {c[0] + i, c[1] + j, c[2] + k};
        double shift[3] = {0, 0, 0};
        for (int d = 0; d < 3; d++) {
            if (cell[d] >= 0 && cell[d] < count_[d]) continue;
            if (!frame_.periodic[d]) return;
            // A bin beyond a periodic face: its image.
            const int wraps = static_cast<int>(std::floor(static_cast<double>(cell[d]) / count_[d]));
            cell[d] -= wraps * count_[d];
            shift[d] = wraps;
        }
        const int b = (cell[0] * count_[1] + cell[1]) * count_[2] + cell[2];
        for (int s = start_[static_cast<size_t>(b)]; s < start_[static_cast<size_t>(b) + 1]; s++) {
            const int site = order_[static_cast<size_t>(s)];
            const Vec& g = f_[static_cast<size_t>(site)];
            const Vec diff = frame_.cartesian({f[0] - g[0] - shift[0], f[1] - g[1] - shift[1], f[2] - g[2] - shift[2]});
            const double d2 = diff[0] * diff[0] + diff[1] * diff[1] + diff[2] * diff[2];
            if (d2 < best_d2 || (d2 == best_d2 && site < best)) {
                best_d2 = d2;
                best = site;
            }
        }
    }
};

}  // namespace

int QN_wigner_seitz(const QB_tools* model, const QB_tools* reference, QN_defect_result* out, std::string* message,
                    int threads) {
    auto refuse = [&](const std::string& why) {
        if (message) *message = "Wigner-Seitz: " + why;
        return -1;
    };
    if (!out) return -1;
    if (!model || model->natoms < 1) return refuse("the model has no atoms");
    if (!reference || reference->natoms < 1) return refuse("the reference has no atoms");
    const Frame mine(model), theirs(reference);
    if (!mine.ok) return refuse("the model's box has no volume");
    if (!theirs.ok) return refuse("the reference's box has no volume");
    const Sites sites(reference, theirs);
    const int n = model->natoms;
    QN_defect_result r;
    r.site.assign(static_cast<size_t>(n), 0);
    r.occupancy.assign(static_cast<size_t>(n), 0);
    std::vector<int> on(static_cast<size_t>(n), -1);
    const int workers = QB_thread_count(threads);
    std::atomic<int> next{0};
    const int chunk = 4096;
    QB_on_threads(workers, [&](int) {
        for (int start; (start = next.fetch_add(chunk)) < n;)
            for (int i = start; i < std::min(n, start + chunk); i++) {
                const atomdata& a = model->atoms[static_cast<size_t>(i)];
                // The atom's place in its own box is its place in the reference's.
                on[static_cast<size_t>(i)] = sites.nearest(mine.fractional(a.x, a.y, a.z));
            }
    });
    r.site_occupancy.assign(static_cast<size_t>(reference->natoms), 0);
    for (int i = 0; i < n; i++)
        if (on[static_cast<size_t>(i)] >= 0) r.site_occupancy[static_cast<size_t>(on[static_cast<size_t>(i)])]++;
    for (int i = 0; i < n; i++) {
        const int s = on[static_cast<size_t>(i)];
        r.site[static_cast<size_t>(i)] = s + 1;
        r.occupancy[static_cast<size_t>(i)] = s >= 0 ? r.site_occupancy[static_cast<size_t>(s)] : 0;
    }
    for (int occ : r.site_occupancy) {
        if (occ == 0) r.vacancies++;
        if (occ > 1) r.interstitials += occ - 1;
    }
    if (message) *message = QN_defect_summary(r);
    *out = std::move(r);
    return 1;
}

std::string QN_defect_summary(const QN_defect_result& r) {
    return QB_format("Wigner-Seitz: %lld vacanc%s, %lld interstitial%s (%d sites, %d atoms)", r.vacancies,
                     r.vacancies == 1 ? "y" : "ies", r.interstitials, r.interstitials == 1 ? "" : "s",
                     static_cast<int>(r.site_occupancy.size()), static_cast<int>(r.site.size()));
}
