// The radial distribution function and coordination numbers.
#include <cmath>
#include <string>
#include <vector>

#include "analysis/measure.h"
#include "analysis/measure_pass.h"
#include "qb/qb_text.h"

namespace {

// The checks every neighbour measurement makes: atoms to measure, and a
// cut-off above 0 that no periodic image beyond the nearest can undercut.
bool usable(const QB_tools* model, double cutoff, const char* what, std::string* message) {
    auto refuse = [&](const std::string& why) {
        if (message) *message = std::string(what) + ": " + why;
        return false;
    };
    if (!model || model->natoms < 1) return refuse("the model has no atoms");
    if (!(cutoff > 0) || !std::isfinite(cutoff)) return refuse(QB_format("the cut-off must be above 0 (%g)", cutoff));
    const double reach = QN_measure_reach(model);
    if (cutoff > reach)
        return refuse(QB_format("the cut-off %g Å is longer than the box is wide (%g Å across a periodic face)",
                                cutoff, reach));
    return true;
}

// The type of the atom a cell entry is (or is an image of).
int type_of(const QB_tools* model, const QB_cell_list& cells, int entry) {
    return model->atoms[static_cast<size_t>(cells.source[static_cast<size_t>(entry)])].type;
}

}  // namespace

bool QN_measure_usable(const QB_tools* model, double cutoff, const char* what, std::string* message) {
    return usable(model, cutoff, what, message);
}

int QN_rdf(const QB_tools* model, const QN_rdf_options& o, QN_table* out, std::string* message) {
    if (!out || !usable(model, o.cutoff, "RDF", message)) return -1;
    if (o.bins < 1 || o.bins > QN_RDF_MAX_BINS) {
        if (message) *message = QB_format("RDF: the number of bins must be 1 ... %d (%d)", QN_RDF_MAX_BINS, o.bins);
        return -1;
    }
    const int T = model->ntypes;
    const bool partial = T >= 2 && T <= 10;
    const int pairs = partial ? T * (T + 1) / 2 : 0;
    auto pair_of = [T](int a, int b) { return a * T - a * (a - 1) / 2 + (b - a); };  // 0-based, a <= b
    const size_t B = static_cast<size_t>(o.bins);
    const double delr = o.cutoff / o.bins, delrinv = 1.0 / delr;
    const int workers = measure_detail::workers_for(o.threads);
    // Counts per thread, summed in thread order: integers, so any order gives the same.
    std::vector<std::vector<long long>> total(static_cast<size_t>(workers), std::vector<long long>(B, 0));
    std::vector<std::vector<long long>> by_pair(static_cast<size_t>(workers),
                                                std::vector<long long>(B * static_cast<size_t>(pairs), 0));
    const QB_cell_list* cells = nullptr;
    const bool done = measure_detail::each_pair(
        model, o.cutoff, o.threads, &cells, [](int, int, int) {},
        [&](int t, int i, int, int k, double d2, double, double, double) {
            const int bin = static_cast<int>(std::sqrt(d2) * delrinv);
            if (bin >= o.bins) return;
            total[static_cast<size_t>(t)][static_cast<size_t>(bin)]++;
            if (!partial) return;
            const int a = model->atoms[static_cast<size_t>(i)].type - 1;
            const int b = type_of(model, *cells, k) - 1;
            // Each A-B pair once, from its A atom.
            if (a < 0 || a >= T || b < a || b >= T) return;
            by_pair[static_cast<size_t>(t)][static_cast<size_t>(pair_of(a, b)) * B + static_cast<size_t>(bin)]++;
        },
        [](int, int, int) {});
    if (!done) {
        if (message) *message = "RDF: the neighbour cells could not be made";
        return -1;
    }
    std::vector<long long> sum(B, 0), sum_pairs(B * static_cast<size_t>(pairs), 0);
    for (int t = 0; t < workers; t++) {
        for (size_t b = 0; b < B; b++) sum[b] += total[static_cast<size_t>(t)][b];
        for (size_t b = 0; b < sum_pairs.size(); b++) sum_pairs[b] += by_pair[static_cast<size_t>(t)][b];
    }
    std::vector<long long> count(static_cast<size_t>(T > 0 ? T : 0), 0);
    for (const atomdata& a : model->atoms)
        if (a.type >= 1 && a.type <= T) count[static_cast<size_t>(a.type - 1)]++;

    QN_table table;
    table.names = {"r", "g", "n"};
    table.columns.assign(3, std::vector<double>(B, 0));
    for (size_t b = 0; b < B; b++) table.columns[0][b] = (static_cast<double>(b) + 0.5) * delr;
    const double constant = 4.0 * M_PI / (3.0 * measure_detail::box_volume(model));
    // g and the running coordination of one pair: i atoms around which j
    // atoms are counted, `self` when the two sets are the same atoms.
    auto fill = [&](const long long* hist, double icount, double jcount, bool self, std::vector<double>& g,
                    std::vector<double>& n) {
        const double normfac = icount > 0 ? jcount - (self ? 1.0 : 0.0) : 0.0;
        double coord = 0;
        for (size_t b = 0; b < B; b++) {
            const double lower = static_cast<double>(b) * delr, upper = static_cast<double>(b + 1) * delr;
            const double vfrac = constant * (upper * upper * upper - lower * lower * lower);
            const double gr = vfrac * normfac != 0 ? static_cast<double>(hist[b]) / (vfrac * normfac * icount) : 0.0;
            if (icount != 0) coord += gr * vfrac * normfac;
            g[b] = gr;
            n[b] = coord;
        }
    };
    fill(sum.data(), model->natoms, model->natoms, true, table.columns[1], table.columns[2]);
    for (int a = 0; a < T && partial; a++)
        for (int b = a; b < T; b++) {
            table.names.push_back(QB_format("g_%d_%d", a + 1, b + 1));
            table.names.push_back(QB_format("n_%d_%d", a + 1, b + 1));
            table.columns.emplace_back(B, 0);
            table.columns.emplace_back(B, 0);
            const size_t gk = table.columns.size() - 2;
            fill(&sum_pairs[static_cast<size_t>(pair_of(a, b)) * B], static_cast<double>(count[static_cast<size_t>(a)]),
                 static_cast<double>(count[static_cast<size_t>(b)]), a == b, table.columns[gk], table.columns[gk + 1]);
        }
    *out = std::move(table);
    if (message)
        *message = QB_format("RDF of %d atoms to %g Å in %d bins: first peak at %g Å", model->natoms, o.cutoff,
                             o.bins, [&] {
                                 size_t best = 0;
                                 for (size_t b = 1; b < B; b++)
                                     if (out->columns[1][b] > out->columns[1][best]) best = b;
                                 return out->columns[0][best];
                             }());
    return 1;
}

int QN_coordination(const QB_tools* model, const QN_coordination_options& o, std::vector<double>* out,
                    std::string* message) {
    if (!out || !usable(model, o.cutoff, "Coordination", message)) return -1;
    std::vector<bool> counted;
    if (!o.types.empty()) {
        counted.assign(static_cast<size_t>(std::max(model->ntypes, 0)) + 1, false);
        for (int t : o.types) {
            if (t < 1 || t > model->ntypes) {
                if (message) *message = QB_format("Coordination: the model has no atom type %d", t);
                return -1;
            }
            counted[static_cast<size_t>(t)] = true;
        }
    }
    std::vector<double> result(static_cast<size_t>(model->natoms), 0);
    const QB_cell_list* cells = nullptr;
    const int workers = measure_detail::workers_for(o.threads);
    std::vector<int> count(static_cast<size_t>(workers), 0);
    const bool done = measure_detail::each_pair(
        model, o.cutoff, o.threads, &cells, [&](int t, int, int) { count[static_cast<size_t>(t)] = 0; },
        [&](int t, int, int, int k, double, double, double, double) {
            if (!counted.empty()) {
                const int b = type_of(model, *cells, k);
                if (b < 1 || b > model->ntypes || !counted[static_cast<size_t>(b)]) return;
            }
            count[static_cast<size_t>(t)]++;
        },
        [&](int t, int i, int) { result[static_cast<size_t>(i)] = count[static_cast<size_t>(t)]; });
    if (!done) {
        if (message) *message = "Coordination: the neighbour cells could not be made";
        return -1;
    }
    *out = std::move(result);
    if (message) *message = QB_format("Coordination of %d atoms within %g Å", model->natoms, o.cutoff);
    return 1;
}
