// The neighbour pass the measurements share: every atom record of a model
// with its neighbours within a cut-off (periodic images included), runs of
// cells taken by a few threads. Internal to the measurements.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <vector>

#include "qb/qb_neighbour.h"
#include "qb/qb_progress.h"
#include "qb/qb_threads.h"
#include "qb/qb_tools.h"

namespace measure_detail {

// The box volume: the cell's for a triclinic box.
double box_volume(const QB_tools* model);

// A first guess of the neighbours within r at the model's mean density,
// with room to spare; the pass asks again with more room when it is short.
int neighbour_room(const QB_tools* model, double r);

// The candidates of the neighbour passes: the entries of the bins within r
// of an atom's bin, bins half as wide as r, so no neighbour is ranked and
// few are looked at.
//
// each_pair calls begin(t, i, e), then pair(t, i, e, k, d2, dx, dy, dz)
// for every entry k closer than r (cells.source[k] is the atom it is, or
// is an image of), then end(t, i, e), for every atom record i (its cell
// entry e), on `threads` threads (t the thread's number; an atom is seen by
// one thread only, so per-atom results may be written directly, and
// anything summed should be summed per thread and then in thread order).
// False when the cell list cannot be made, or when a stop request
// (QB_progress_stop_requested, looked at before each row of bins is taken)
// left atoms unseen.
template <class Begin, class Pair, class End>
bool each_pair(const QB_tools* model, double r, int threads, const QB_cell_list** out_cells, Begin begin, Pair pair,
               End end) {
    QB_cell_list cells;
    const int workers = QB_thread_count(threads);
    if (QB_cell_list_build(model, r, r / 2, &cells, workers) != 1) return false;
    if (out_cells) *out_cells = &cells;
    const int n[3] = {cells.bin_count[0], cells.bin_count[1], cells.bin_count[2]};
    const int bins = n[0] * n[1] * n[2];
    if (bins < 1 || static_cast<int>(cells.start.size()) != bins + 1) return true;
    // The bin offsets whose nearest points lie within r.
    int reach[3];
    for (int d = 0; d < 3; d++)
        reach[d] = cells.bin_size[d] > 0 ? static_cast<int>(std::ceil(r / cells.bin_size[d])) : 0;
    std::vector<std::array<int, 3>> stencil;
    for (int a = -reach[0]; a <= reach[0]; a++)
        for (int b = -reach[1]; b <= reach[1]; b++)
            for (int c = -reach[2]; c <= reach[2]; c++) {
                const int off[3] = {a, b, c};
                double gap2 = 0;
                for (int d = 0; d < 3; d++) {
                    const double g = std::max(std::abs(off[d]) - 1, 0) * cells.bin_size[d];
                    gap2 += g * g;
                }
                if (gap2 < r * r) stencil.push_back({a, b, c});
            }
    const double r2 = r * r;
    const double* X = cells.x.data();
    const double* Y = cells.y.data();
    const double* Z = cells.z.data();
    std::atomic<int> next{0};
    const int chunk = std::max(1, n[2]);  // a row of bins at a time
    QB_on_threads(std::max(1, std::min(workers, bins / chunk + 1)), [&](int t) {
        while (!QB_progress_stop_requested()) {
            const int first = next.fetch_add(chunk);
            if (first >= bins) break;
            for (int b = first; b < std::min(bins, first + chunk); b++) {
                const int bz = b % n[2], by = (b / n[2]) % n[1], bx = b / (n[1] * n[2]);
                for (int e = cells.start[static_cast<size_t>(b)]; e < cells.start[static_cast<size_t>(b) + 1]; e++) {
                    const int i = cells.record[static_cast<size_t>(e)];
                    if (i >= cells.atoms) continue;  // an image
                    const double x = X[e], y = Y[e], z = Z[e];
                    begin(t, i, e);
                    for (const std::array<int, 3>& o : stencil) {
                        const int cx = bx + o[0], cy = by + o[1], cz = bz + o[2];
                        if (cx < 0 || cy < 0 || cz < 0 || cx >= n[0] || cy >= n[1] || cz >= n[2]) continue;
                        const size_t c = static_cast<size_t>((cx * n[1] + cy) * n[2] + cz);
                        const int last = cells.start[c + 1];
                        for (int k = cells.start[c]; k < last; k++) {
                            const double dx = X[k] - x, dy = Y[k] - y, dz = Z[k] - z;
                            const double d2 = dx * dx + dy * dy + dz * dz;
                            if (d2 < r2 && k != e) pair(t, i, e, k, d2, dx, dy, dz);
                        }
                    }
                    end(t, i, e);
                }
            }
        }
    });
    if (out_cells) *out_cells = nullptr;
    return next.load() >= bins;
}

// The same with each atom's neighbours gathered: f(t, i, e, hits, cells).
template <class F>
bool each_atom(const QB_tools* model, double r, int threads, F f) {
    const int workers = QB_thread_count(threads);
    std::vector<QB_cell_hits> hits(static_cast<size_t>(workers));
    const QB_cell_list* cells = nullptr;
    return each_pair(
        model, r, threads, &cells,
        [&](int t, int, int) {
            QB_cell_hits& h = hits[static_cast<size_t>(t)];
            h.count = 0;
            h.entry.clear();
            h.d2.clear();
            h.dx.clear();
            h.dy.clear();
            h.dz.clear();
        },
        [&](int t, int, int, int k, double d2, double dx, double dy, double dz) {
            QB_cell_hits& h = hits[static_cast<size_t>(t)];
            h.entry.push_back(k);
            h.d2.push_back(d2);
            h.dx.push_back(dx);
            h.dy.push_back(dy);
            h.dz.push_back(dz);
        },
        [&](int t, int i, int e) {
            QB_cell_hits& h = hits[static_cast<size_t>(t)];
            h.count = static_cast<int>(h.entry.size());
            f(t, i, e, static_cast<const QB_cell_hits&>(h), *cells);
        });
}

inline int workers_for(int threads) { return QB_thread_count(threads); }

}  // namespace measure_detail
