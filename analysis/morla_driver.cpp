#include "analysis/morla_driver.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/morla.h"
#include "analysis/morla_orient.h"
#include "app/quelm_store.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_progress.h"
#include "qb/qb_threads.h"

namespace {

const char* const kActive[6] = {"A_cna_active", "A_baa_active", "A_cnp_active",
                                "A_csp_active", "A_lco_active", "A_oim_active"};
enum { kCna, kBaa, kCnp, kCsp, kLco, kOim };


// Entry t of a per-type (or three-entry) label, 0 when missing.
double entry(const char* label, int t) {
    double v = 0;
    return QN_scan_double_multi(QN_ANALY_GROUP, t, label, v) ? v : 0;
}

template <class Orientation>
void configure_orientation(Orientation& m, const std::string& prefix, int types) {
    m.mindis = QN_stored_double(QN_ANALY_GROUP, prefix + "mindis", 3);
    double d[3], len2 = 0;
    for (int k = 0; k < 3; k++) {
        d[k] = entry((prefix + "dir").c_str(), k);
        len2 += d[k] * d[k];
    }
    const double len = std::sqrt(len2);
    for (int k = 0; k < 3; k++) m.dir[k] = len > 0 ? d[k] / len : (k == 2 ? 1 : 0);
    m.ntypes = types;
    m.cut.assign(static_cast<size_t>(types), 0);
    for (int t = 0; t < types; t++) m.cut[t] = entry((prefix + "cut").c_str(), t);
    m.isadaptive = QN_stored_int(QN_ANALY_GROUP, prefix + "adptive", 1) != 0;
}

int column(QB_tools* model, const char* name) {
    QB_add_exdouble(model, name);
    return QB_slot_get(model, name);
}

// The configured methods and the columns their results go to. Each block of
// atoms works on its own copy, as the orientation methods keep their last
// result in the object.
struct Methods {
    std::vector<bool> on;
    MORLA_METHOD::CommonNeighborAnalysis cna;
    MORLA_METHOD::BondAngleAnalysis baa;
    MORLA_METHOD::CommonNeighborParameter cnp;
    MORLA_METHOD::CentroSymmetryParameter csp;
    MORLA_METHOD::LocalCrystallographicOrientation lco;
    MORLA_METHOD::OrientationImagingMap oim;
    int slot_cna = -1, slot_baa = -1, slot_cnp = -1, slot_csp = -1;
    int slot_lco[4] = {-1, -1, -1, -1}, slot_oim[4] = {-1, -1, -1, -1};
};

// The atoms of bins begin ... end - 1 of cells, their neighbours the K
// nearest entries within near, or within R when fewer lie within near (a
// full list within the nearer radius is the list within R: every entry it
// leaves out is farther than its last one).
void analyse_bins(Methods m, const QB_cell_list& cells, int K, QB_tools* model, int begin, int end, double R,
                  double near) {
    QB_cell_walker walker(cells, K);
    QB_cell_hits hits;
    double buffers[MORLA_METHOD::MORLA_MAX_NEIGHBOURS][3];
    double* neighbours[MORLA_METHOD::MORLA_MAX_NEIGHBOURS];
    for (int k = 0; k < MORLA_METHOD::MORLA_MAX_NEIGHBOURS; k++) neighbours[k] = buffers[k];
    const bool orient = m.on[kLco] || m.on[kOim];
    for (int e = cells.start[begin]; e < cells.start[end]; e++) {
        const int i = cells.record[e];
        if (i >= cells.atoms) continue;  // an image
        walker.query(e, near, &hits);
        if (hits.count < K) walker.query(e, R, &hits);
        const int n = std::min(hits.count, static_cast<int>(MORLA_METHOD::MORLA_MAX_NEIGHBOURS));
        const MORLA_METHOD::Offsets r{hits.dx.data(), hits.dy.data(), hits.dz.data(), n};
        const int type = model->atoms[i].type - 1;
        if (m.on[kCna]) QB_slot_save(model, m.slot_cna, i, m.cna.analysis(r, type));
        if (m.on[kBaa]) QB_slot_save(model, m.slot_baa, i, m.baa.analysis(r));
        if (m.on[kCnp]) QB_slot_save(model, m.slot_cnp, i, m.cnp.analysis(r, type));
        if (m.on[kCsp]) QB_slot_save(model, m.slot_csp, i, m.csp.analysis(r, type));
        if (!orient) continue;
        for (int k = 0; k < n; k++) {
            const int t = hits.entry[k];
            buffers[k][0] = cells.x[t];
            buffers[k][1] = cells.y[t];
            buffers[k][2] = cells.z[t];
        }
        double centre[3] = {cells.x[e], cells.y[e], cells.z[e]};
        if (m.on[kLco]) {
            m.lco.analysis(centre, neighbours, n, type);
            const double v[4] = {m.lco.s, m.lco.r, m.lco.g, m.lco.b};
            for (int k = 0; k < 4; k++) QB_slot_save(model, m.slot_lco[k], i, v[k]);
        }
        if (m.on[kOim]) {
            m.oim.analysis(centre, neighbours, n, type);
            const double v[4] = {m.oim.s, m.oim.r, m.oim.g, m.oim.b};
            for (int k = 0; k < 4; k++) QB_slot_save(model, m.slot_oim[k], i, v[k]);
        }
    }
}

}  // namespace

int QN_analy_defaults(int ntypes) {
    const int g = QN_ANALY_GROUP;
    int r = QN_reset_group(g, "Analy model with MORLA");
    if (r < 0) return r;
    QN_set_bit_char(g, "Analy_", "MORLA_model");
    auto per_type = [g, ntypes](const char* label, double value) {
        for (int t = 0; t < ntypes; t++) QN_set_bit_double_multi(g, t, label, value, 0);
    };
    QN_set_bit_int(g, "A_cna_active", 0, 0);
    QN_set_bit_int(g, "A_cna_adptive", 1, 0);
    per_type("A_cna_min", 0);
    per_type("A_cna_max", 0);
    QN_set_bit_int(g, "A_baa_active", 0, 0);
    QN_set_bit_int(g, "A_cnp_active", 0, 0);
    QN_set_bit_int(g, "A_cnp_adptive", 1, 0);
    per_type("A_cnp_cut", 0);
    QN_set_bit_int(g, "A_csp_active", 0, 0);
    per_type("A_csp_cn", 0);
    for (const char* m : {"lco", "oim"}) {
        const std::string p = std::string("A_") + m + "_";
        QN_set_bit_int(g, (p + "active").c_str(), 0, 0);
        QN_set_bit_int(g, (p + "adptive").c_str(), 1, 0);
        for (int k = 0; k < 3; k++) QN_set_bit_double_multi(g, k, p + "dir", k == 2 ? 1 : 0, 0);
        QN_set_bit_double(g, p + "mindis", 3, 0);
        per_type((p + "cut").c_str(), 0);
    }
    return 1;
}

bool QN_MORLA_radii(const QB_tools* model, double* R, double* near) {
    const int N = model->natoms;
    if (N <= 0) return false;
    const double l2 = model->size[0] * model->size[0] + model->size[1] * model->size[1] +
                      model->size[2] * model->size[2];
    *R = std::sqrt(2 * l2) / std::cbrt(static_cast<double>(N));
    const int K = MORLA_METHOD::MORLA_MAX_NEIGHBOURS;
    const double volume = model->size[0] * model->size[1] * model->size[2];
    *near = std::min(*R, std::cbrt(3 * 1.25 * K * volume / (4 * std::acos(-1.0) * N)));
    return true;
}

int QN_MORLA_compute(QB_tools* model, int threads) {
    const int N = model->natoms;
    if (N <= 0) return 0;
    bool on[6];
    int active = 0;
    for (int k = 0; k < 6; k++) active += (on[k] = QN_stored_int(QN_ANALY_GROUP, kActive[k], 0) != 0);
    if (!active) return 0;
    const int T = std::max(model->ntypes, 0);

    Methods m;
    m.on.assign(on, on + 6);
    // Result columns first, then their slots (adding a column moves none).
    if (on[kCna]) m.slot_cna = column(model, "cna");
    if (on[kBaa]) m.slot_baa = column(model, "baa");
    if (on[kCnp]) m.slot_cnp = column(model, "cnp");
    if (on[kCsp]) m.slot_csp = column(model, "csp");
    const char* const lco_names[4] = {"lco_s", "lco_r", "lco_g", "lco_b"};
    const char* const oim_names[4] = {"oim_s", "oim_r", "oim_g", "oim_b"};
    for (int k = 0; k < 4 && on[kLco]; k++) m.slot_lco[k] = column(model, lco_names[k]);
    for (int k = 0; k < 4 && on[kOim]; k++) m.slot_oim[k] = column(model, oim_names[k]);
    std::printf("Current id=%d %d %d %d\n", m.slot_cna, m.slot_baa, m.slot_cnp, m.slot_csp);

    m.cna.isadaptive = QN_stored_int(QN_ANALY_GROUP, "A_cna_adptive", 1);
    m.cna.ntypes = T;
    m.cnp.ntypes = T;
    m.cnp.isadaptive = QN_stored_int(QN_ANALY_GROUP, "A_cnp_adptive", 1) != 0;
    m.csp.ntypes = T;
    for (int t = 0; t < T; t++) {
        m.cna.mincut.push_back(entry("A_cna_min", t));
        m.cna.maxcut.push_back(entry("A_cna_max", t));
        m.cnp.cut.push_back(entry("A_cnp_cut", t));
        m.csp.cn.push_back(static_cast<int>(entry("A_csp_cn", t)));
    }
    configure_orientation(m.lco, "A_lco_", T);
    configure_orientation(m.oim, "A_oim_", T);

    // The atoms and their periodic images within R of the faces, binned
    // for the nearer radius: most lists are complete within it.
    double R, near;
    QN_MORLA_radii(model, &R, &near);
    const int K = MORLA_METHOD::MORLA_MAX_NEIGHBOURS;
    const int workers = QB_thread_count(threads);
    QB_cell_list cells;
    if (QB_cell_list_build(model, R, near, &cells, workers) != 1) return 0;

    // Runs of bins holding about the same number of entries share nothing
    // but the read-only cells, so helper threads take runs alongside this
    // thread, which alone reports the progress (the busy dialog belongs to
    // the calling thread). Each atom's result goes to its own row: the
    // results do not depend on the number of threads.
    const int bins = static_cast<int>(cells.start.size()) - 1;
    const int entries = cells.start[bins];
    const int per_run = std::max(1024, entries / 256);
    std::vector<int> runs{0};
    for (int b = 0; b < bins; b++)
        if (cells.start[b + 1] - cells.start[runs.back()] >= per_run || b + 1 == bins) runs.push_back(b + 1);
    const int run_count = static_cast<int>(runs.size()) - 1;
    std::atomic<int> next{0};
    QB_on_threads(std::min(run_count, workers), [&](int t) {
        for (int k; (k = next.fetch_add(1)) < run_count;) {
            if (t == 0) QB_progress_update(50.0 + 50.0 * cells.start[runs[k]] / std::max(entries, 1));
            analyse_bins(m, cells, K, model, runs[k], runs[k + 1], R, near);
        }
    });
    return active;
}
