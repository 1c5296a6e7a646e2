// Clusters of atoms joined by bonds shorter than a cut-off.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "analysis/measure.h"
#include "analysis/measure_pass.h"
#include "qb/qb_text.h"

namespace {

// Union-find over record indices, the lower index the root.
struct Forest {
    std::vector<int> parent;
    explicit Forest(int n) : parent(static_cast<size_t>(n)) { std::iota(parent.begin(), parent.end(), 0); }
    int root(int i) {
        while (parent[static_cast<size_t>(i)] != i) {
            parent[static_cast<size_t>(i)] = parent[static_cast<size_t>(parent[static_cast<size_t>(i)])];
            i = parent[static_cast<size_t>(i)];
        }
        return i;
    }
    void join(int a, int b) {
        a = root(a);
        b = root(b);
        if (a == b) return;
        if (b < a) std::swap(a, b);
        parent[static_cast<size_t>(b)] = a;
    }
};

}  // namespace

int QN_clusters(const QB_tools* model, const QN_cluster_options& o, QN_cluster_result* out, std::string* message) {
    if (!out || !QN_measure_usable(model, o.cutoff, "Clusters", message)) return -1;
    const int n = model->natoms;
    if (!o.include.empty() && o.include.size() != static_cast<size_t>(n)) {
        if (message) *message = "Clusters: the selection does not fit the model";
        return -1;
    }
    auto in = [&](int i) { return o.include.empty() || o.include[static_cast<size_t>(i)]; };
    int taking = 0;
    for (int i = 0; i < n; i++) taking += in(i);
    if (taking == 0) {
        if (message) *message = "Clusters: no atom is selected";
        return -1;
    }
    // The bonds, each once (from its lower record), per thread.
    const int workers = measure_detail::workers_for(o.threads);
    std::vector<std::vector<std::pair<int, int>>> bonds(static_cast<size_t>(workers));
    const double cut2 = o.cutoff * o.cutoff;
    const bool done = measure_detail::each_atom(model, o.cutoff, o.threads, [&](int t, int i, int, const QB_cell_hits& h,
                                                                                  const QB_cell_list& cells) {
        if (!in(i)) return;
        for (int k = 0; k < h.count; k++) {
            if (!(h.d2[static_cast<size_t>(k)] < cut2)) continue;
            const int j = cells.source[static_cast<size_t>(h.entry[static_cast<size_t>(k)])];
            if (j > i && in(j)) bonds[static_cast<size_t>(t)].push_back({i, j});
        }
    });
    if (!done) {
        if (message) *message = "Clusters: the neighbour cells could not be made";
        return -1;
    }
    Forest forest(n);
    for (const auto& list : bonds)
        for (const auto& b : list) forest.join(b.first, b.second);
    bonds.clear();
    bonds.shrink_to_fit();
    // Clusters by size, the largest first; equal sizes by their lowest record.
    std::vector<int> size(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; i++)
        if (in(i)) size[static_cast<size_t>(forest.root(i))]++;
    std::vector<int> roots;
    for (int i = 0; i < n; i++)
        if (size[static_cast<size_t>(i)] > 0) roots.push_back(i);
    std::stable_sort(roots.begin(), roots.end(),
                     [&](int a, int b) { return size[static_cast<size_t>(a)] > size[static_cast<size_t>(b)]; });
    std::vector<int> number(static_cast<size_t>(n), 0);
    for (size_t c = 0; c < roots.size(); c++) number[static_cast<size_t>(roots[c])] = static_cast<int>(c) + 1;
    QN_cluster_result result;
    result.cluster.assign(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; i++)
        if (in(i)) result.cluster[static_cast<size_t>(i)] = number[static_cast<size_t>(forest.root(i))];

    // Centres and radii: each cluster walked along its bonds from its root,
    // the atoms placed where the bonds put them (so a cluster across a
    // periodic face stays whole).
    QB_cell_list cells;
    if (QB_cell_list_build(model, o.cutoff, o.cutoff, &cells, workers) != 1) {
        if (message) *message = "Clusters: the neighbour cells could not be made";
        return -1;
    }
    std::vector<int> entry(static_cast<size_t>(n), -1);
    for (size_t e = 0; e < cells.record.size(); e++)
        if (cells.record[e] < n) entry[static_cast<size_t>(cells.record[e])] = static_cast<int>(e);
    const size_t C = roots.size();
    std::vector<double> cx(C, 0), cy(C, 0), cz(C, 0), rg(C, 0), count(C, 0);
    std::vector<char> seen(static_cast<size_t>(n), 0);
    std::vector<std::array<double, 3>> at(static_cast<size_t>(n));
    QB_cell_walker walker(cells, measure_detail::neighbour_room(model, o.cutoff));
    QB_cell_hits hits;
    std::vector<int> queue;
    for (size_t c = 0; c < C; c++) {
        const int root = roots[c];
        queue.assign(1, root);
        seen[static_cast<size_t>(root)] = 1;
        // Positions relative to the root, which keeps the sums small.
        const atomdata& r0 = model->atoms[static_cast<size_t>(root)];
        at[static_cast<size_t>(root)] = {0, 0, 0};
        double sx = 0, sy = 0, sz = 0, s2 = 0;
        for (size_t q = 0; q < queue.size(); q++) {
            const int i = queue[q];
            const std::array<double, 3> p = at[static_cast<size_t>(i)];
            sx += p[0];
            sy += p[1];
            sz += p[2];
            s2 += p[0] * p[0] + p[1] * p[1] + p[2] * p[2];
            walker.query(entry[static_cast<size_t>(i)], o.cutoff, &hits);
            for (int more = measure_detail::neighbour_room(model, o.cutoff) * 2; hits.count >= more / 2; more *= 2) {
                QB_cell_walker wide(cells, more);
                wide.query(entry[static_cast<size_t>(i)], o.cutoff, &hits);
            }
            for (int k = 0; k < hits.count; k++) {
                if (!(hits.d2[static_cast<size_t>(k)] < cut2)) continue;
                const int j = cells.source[static_cast<size_t>(hits.entry[static_cast<size_t>(k)])];
                if (seen[static_cast<size_t>(j)] || !in(j)) continue;
                seen[static_cast<size_t>(j)] = 1;
                at[static_cast<size_t>(j)] = {p[0] + hits.dx[static_cast<size_t>(k)], p[1] + hits.dy[static_cast<size_t>(k)],
                                              p[2] + hits.dz[static_cast<size_t>(k)]};
                queue.push_back(j);
            }
        }
        const double m = static_cast<double>(queue.size());
        const double mx = sx / m, my = sy / m, mz = sz / m;
        rg[c] = std::sqrt(std::max(0.0, s2 / m - (mx * mx + my * my + mz * mz)));
        cx[c] = r0.x + mx;
        cy[c] = r0.y + my;
        cz[c] = r0.z + mz;
        count[c] = m;
        QB_wrap_point(model, cx[c], cy[c], cz[c]);
    }
    result.table.names = {"cluster", "size", "x", "y", "z", "rg"};
    std::vector<double> index(C);
    for (size_t c = 0; c < C; c++) index[c] = static_cast<double>(c + 1);
    result.table.columns = {index, count, cx, cy, cz, rg};
    if (message)
        *message = QB_format("Clusters within %g Å: %d of %d atoms in %d clusters, the largest of %d", o.cutoff,
                             taking, n, static_cast<int>(C), C ? static_cast<int>(count[0]) : 0);
    *out = std::move(result);
    return 1;
}
