#include "analysis/morla_driver.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "analysis/morla.h"
#include "analysis/morla_orient.h"
#include "app/quelm_store.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_progress.h"

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

// Atoms begin ... end - 1 of model, their neighbours found in work (the
// model's copy with its images and network), which is only read.
void analyse_block(Methods m, const QB_tools& work, QB_tools* model, int begin, int end, double R, double near) {
    QB_neighbour_list list;
    double buffers[MORLA_METHOD::MORLA_MAX_NEIGHBOURS][3];
    double* neighbours[MORLA_METHOD::MORLA_MAX_NEIGHBOURS];
    for (int k = 0; k < MORLA_METHOD::MORLA_MAX_NEIGHBOURS; k++) neighbours[k] = buffers[k];
    for (int i = begin; i < end; i++) {
        // A full list within the nearer radius is the list within R: every
        // atom it leaves out is farther than its last entry.
        QB_list_query(&work, i, near, &list);
        if (list.count < work.list_capacity) QB_list_query(&work, i, R, &list);
        const int n = std::min(list.count, static_cast<int>(MORLA_METHOD::MORLA_MAX_NEIGHBOURS));
        for (int k = 0; k < n; k++) {
            const atomdata& a = work.atoms[list.index[k]];
            buffers[k][0] = a.x;
            buffers[k][1] = a.y;
            buffers[k][2] = a.z;
        }
        double centre[3] = {work.atoms[i].x, work.atoms[i].y, work.atoms[i].z};
        const int type = model->atoms[i].type - 1;
        if (m.on[kCna]) QB_slot_save(model, m.slot_cna, i, m.cna.analysis(centre, neighbours, n, type));
        if (m.on[kBaa]) QB_slot_save(model, m.slot_baa, i, m.baa.analysis(centre, neighbours, n));
        if (m.on[kCnp]) QB_slot_save(model, m.slot_cnp, i, m.cnp.analysis(centre, neighbours, n, type));
        if (m.on[kCsp]) QB_slot_save(model, m.slot_csp, i, m.csp.analysis(centre, neighbours, n, type));
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

    // A working copy with its periodic images and cell network.
    const double l2 = model->size[0] * model->size[0] + model->size[1] * model->size[1] +
                      model->size[2] * model->size[2];
    const double R = std::sqrt(2 * l2) / std::cbrt(static_cast<double>(N));
    QB_tools work;
    QB_copy_system(&work, model);
    QB_pbc(&work, R);
    // Radius of a sphere that holds a quarter more atoms than a list at the
    // model's mean density: most lists are complete within it, and the
    // network's bins are made for it.
    const double volume = model->size[0] * model->size[1] * model->size[2];
    const double near = std::min(R, std::cbrt(3 * 1.25 * work.list_capacity * volume / (4 * std::acos(-1.0) * N)));

    QB_network_init(&work, near);
    QB_network_pack(&work);

    // Blocks of atoms share nothing but the read-only copy, so helper
    // threads take blocks alongside this thread, which alone reports the
    // progress (the busy dialog belongs to the calling thread).
    constexpr int kBlock = 20000;
    const int blocks = (N + kBlock - 1) / kBlock;
    std::atomic<int> next{0};
    auto work_on_blocks = [&](bool report) {
        for (int b; (b = next.fetch_add(1)) < blocks;) {
            const int begin = b * kBlock;
            if (report) QB_progress_update(50.0 + 50.0 * begin / N);
            analyse_block(m, work, model, begin, std::min(begin + kBlock, N), R, near);
        }
    };
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    const int helpers_wanted = std::min({blocks, threads > 0 ? threads : cores, 8});
    std::vector<std::thread> helpers;
    for (int t = 1; t < helpers_wanted; t++) helpers.emplace_back(work_on_blocks, false);
    work_on_blocks(true);
    for (std::thread& t : helpers) t.join();
    // The copy's images, network and atoms go with it.
    return active;
}
