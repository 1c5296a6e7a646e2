#include "analysis/morla_driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "analysis/morla.h"
#include "analysis/morla_orient.h"
#include "store/quelm_store.h"
#include "qb/qb_neighbour.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"
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

// The values of the double column at slot (a file's or the program's),
// nullptr for the fixed slots and integer columns.
std::vector<double>* double_values(QB_tools* s, int slot) {
    int index = slot - 5;
    if (index < 0) return nullptr;
    if (index < s->channel_count) return &s->channel_data[static_cast<size_t>(index)];
    index -= s->channel_count + s->exint_count;
    if (index < 0 || index >= s->exdouble_count) return nullptr;
    return &s->exdouble_data[static_cast<size_t>(index)];
}

// The result columns of a run, and what they held before it, so that a run
// stopped on request can leave the model's columns as they were: the
// columns it added are taken away again, and the values of those it reused
// (a re-run's, or a file's column of the same name) are put back.
class ResultColumns {
public:
    explicit ResultColumns(QB_tools* model) : model_(model) {}
    int column(const char* name) {
        const int before = QB_slot_get(model_, name);
        if (before < 0) {
            if (QB_add_exdouble(model_, name) == 1) added_.emplace_back(name);
            return QB_slot_get(model_, name);
        }
        if (const std::vector<double>* values = double_values(model_, before)) {
            kept_.push_back({before, *values});
        } else {  // an integer column
            Kept k{before, std::vector<double>(static_cast<size_t>(model_->natoms))};
            for (int i = 0; i < model_->natoms; i++) k.values[static_cast<size_t>(i)] = QB_slot_data(model_, before, i);
            k.integer = true;
            kept_.push_back(std::move(k));
        }
        return before;
    }
    void restore() {
        // Adding a column moves no slot, and the added ones come last.
        for (Kept& k : kept_) {
            if (!k.integer) {
                // In place: whoever holds the column's memory keeps it.
                std::vector<double>* values = double_values(model_, k.slot);
                if (values && values->size() == k.values.size()) std::copy(k.values.begin(), k.values.end(), values->begin());
                else if (values) values->swap(k.values);
                continue;
            }
            for (int i = 0; i < model_->natoms; i++) QB_slot_save(model_, k.slot, i, k.values[static_cast<size_t>(i)]);
        }
        for (auto name = added_.rbegin(); name != added_.rend(); ++name) {
            auto& names = model_->exdouble_names;
            const auto at = std::find(names.rbegin(), names.rend(), *name);
            if (at == names.rend()) continue;
            const auto index = static_cast<long>(names.size()) - 1 - (at - names.rbegin());
            names.erase(names.begin() + index);
            model_->exdouble_data.erase(model_->exdouble_data.begin() + index);
            model_->exdouble_count--;
        }
        kept_.clear();
        added_.clear();
    }

private:
    struct Kept {
        int slot;
        std::vector<double> values;
        bool integer = false;
    };
    QB_tools* model_;
    std::vector<Kept> kept_;
    std::vector<std::string> added_;
};

// Takes runs 0 ... run_count - 1 in turn, run(k) for each, until none is
// left or a stop is requested (looked at before each run); true when every
// run was taken.
template <class Run>
bool take_runs(std::atomic<int>& next, int run_count, Run run) {
    while (!QB_progress_stop_requested()) {
        const int k = next.fetch_add(1);
        if (k >= run_count) return true;
        run(k);
    }
    return false;
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

// Each atom of bins begin ... end - 1 of cells with its neighbours, the K
// nearest entries within near, or within R when fewer lie within near (a
// full list within the nearer radius is the list within R: every entry it
// leaves out is farther than its last one), at most MORLA_MAX_NEIGHBOURS of
// them: f(atom, entry, hits, offsets).
template <class F>
void each_atom(const QB_cell_list& cells, int K, int begin, int end, double R, double near, F f) {
    QB_cell_walker walker(cells, K);
    QB_cell_hits hits;
    for (int e = cells.start[begin]; e < cells.start[end]; e++) {
        const int i = cells.record[e];
        if (i >= cells.atoms) continue;  // an image
        walker.query(e, near, &hits);
        if (hits.count < K) walker.query(e, R, &hits);
        const int n = std::min(hits.count, static_cast<int>(MORLA_METHOD::MORLA_MAX_NEIGHBOURS));
        f(i, e, hits, MORLA_METHOD::Offsets{hits.dx.data(), hits.dy.data(), hits.dz.data(), n});
    }
}

// The methods of m over the atoms of bins begin ... end - 1.
void analyse_bins(Methods m, const QB_cell_list& cells, int K, QB_tools* model, int begin, int end, double R,
                  double near) {
    double buffers[MORLA_METHOD::MORLA_MAX_NEIGHBOURS][3];
    double* neighbours[MORLA_METHOD::MORLA_MAX_NEIGHBOURS];
    for (int k = 0; k < MORLA_METHOD::MORLA_MAX_NEIGHBOURS; k++) neighbours[k] = buffers[k];
    const bool orient = m.on[kLco] || m.on[kOim];
    each_atom(cells, K, begin, end, R, near,
              [&](int i, int e, const QB_cell_hits& hits, const MORLA_METHOD::Offsets& r) {
        const int n = r.n;
        const int type = model->atoms[i].type - 1;
        if (m.on[kCna]) QB_slot_save(model, m.slot_cna, i, m.cna.analysis(r, type));
        if (m.on[kBaa]) QB_slot_save(model, m.slot_baa, i, m.baa.analysis(r));
        if (m.on[kCnp]) QB_slot_save(model, m.slot_cnp, i, m.cnp.analysis(r, type));
        if (m.on[kCsp]) QB_slot_save(model, m.slot_csp, i, m.csp.analysis(r, type));
        if (!orient) return;
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
    });
}

// Atoms found fcc, hcp and bcc by the adaptive common neighbour analysis.
using Structures = std::array<long long, 3>;
enum { kFcc, kHcp, kBcc };

// The structures of every atom, counted per type (entry t for type t + 1;
// types outside 1 ... T are counted in the model's total only), and the
// model's total in entry T. The counts do not depend on the threads.
// *stopped tells whether a stop request left runs uncounted.
std::vector<Structures> count_structures(const QB_tools* model, int T, const QB_cell_list& cells, int K,
                                         const std::vector<int>& runs, double R, double near, int workers,
                                         bool* stopped) {
    const int run_count = static_cast<int>(runs.size()) - 1;
    const int helpers = std::max(1, std::min(run_count, workers));
    std::vector<std::vector<Structures>> part(static_cast<size_t>(helpers),
                                              std::vector<Structures>(static_cast<size_t>(T) + 1, Structures{}));
    std::atomic<int> next{0};
    QB_on_threads(helpers, [&](int t) {
        MORLA_METHOD::CommonNeighborAnalysis cna;
        cna.isadaptive = 1;
        std::vector<Structures>& mine = part[static_cast<size_t>(t)];
        take_runs(next, run_count, [&](int k) {
            each_atom(cells, K, runs[k], runs[k + 1], R, near,
                      [&](int i, int, const QB_cell_hits&, const MORLA_METHOD::Offsets& r) {
                const float code = cna.analysis(r, 0);
                const int s = code == 1.0f ? kFcc : code == 3.0f ? kHcp : code == 2.0f ? kBcc : -1;
                if (s < 0) return;
                const int type = model->atoms[i].type - 1;
                if (type >= 0 && type < T) mine[static_cast<size_t>(type)][s]++;
                mine[static_cast<size_t>(T)][s]++;
            });
        });
    });
    if (stopped) *stopped = next.load() < run_count;
    std::vector<Structures> total(static_cast<size_t>(T) + 1, Structures{});
    for (const auto& p : part)
        for (size_t t = 0; t < total.size(); t++)
            for (int s = 0; s < 3; s++) total[t][s] += p[t][s];
    return total;
}

// The CSP neighbour number of the structures counted: 12 when more atoms
// are close-packed (fcc or hcp) than bcc (also on a tie), 8 otherwise, 0
// when no atom has a structure; *atoms and *name say which atoms decided.
int structure_neighbours(const Structures& c, long long* atoms, std::string* name) {
    if (c[kFcc] + c[kHcp] + c[kBcc] == 0) return 0;
    if (c[kFcc] + c[kHcp] >= c[kBcc]) {
        *atoms = c[kFcc] + c[kHcp];
        *name = c[kHcp] == 0 ? "fcc" : c[kFcc] == 0 ? "hcp" : "fcc or hcp";
        return 12;
    }
    *atoms = c[kBcc];
    *name = "bcc";
    return 8;
}

void add_line(std::string* message, const std::string& line) {
    if (!message) return;
    if (!message->empty()) *message += "\n";
    *message += line;
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

int QN_MORLA_compute(QB_tools* model, int threads, std::string* message) {
    if (message) message->clear();
    const int N = model->natoms;
    if (N <= 0) return 0;
    bool on[6];
    int active = 0;
    for (int k = 0; k < 6; k++) active += (on[k] = QN_stored_int(QN_ANALY_GROUP, kActive[k], 0) != 0);
    if (!active) return 0;
    const int T = std::max(model->ntypes, 0);

    // CSP's neighbour numbers: 0 is taken from the structure below; a
    // number that cannot give a value (no pair of neighbours, or more
    // neighbours than a list holds) is refused before anything is written.
    const int K = MORLA_METHOD::MORLA_MAX_NEIGHBOURS;
    std::vector<int> csp_cn(static_cast<size_t>(T), 0);
    bool csp_from_structure = false;
    for (int t = 0; t < T && on[kCsp]; t++) {
        const double v = std::trunc(entry("A_csp_cn", t));  // read as a whole number
        if (!(v >= 0 && v <= K) || v == 1) {
            add_line(message, QB_format("CSP: a neighbour number of %g for type %d gives no value; give 2 ... %d, "
                                        "or 0 to take it from the structure (12 for fcc and hcp, 8 for bcc)",
                                        v, t + 1, K));
            return -1;
        }
        const int cn = static_cast<int>(v);
        csp_cn[static_cast<size_t>(t)] = cn;
        csp_from_structure |= cn == 0;
    }

    // The atoms and their periodic images within R of the faces, binned
    // for the nearer radius: most lists are complete within it.
    auto stop = [&]() {
        if (message) *message = QB_STOPPED_MESSAGE;
        return -1;
    };
    if (QB_progress_stop_requested()) return stop();
    double R, near;
    QN_MORLA_radii(model, &R, &near);
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

    // A CSP neighbour number of 0 follows the type's structure: 12 when
    // most of its fcc, hcp and bcc atoms are close-packed, 8 when most are
    // bcc; a type without such atoms follows the whole model's. A model
    // without any is refused: every value would be a guess.
    if (csp_from_structure) {
        bool stopped = false;
        const std::vector<Structures> found = count_structures(model, T, cells, K, runs, R, near, workers, &stopped);
        if (stopped) return stop();  // nothing written yet
        for (int t = 0; t < T; t++) {
            if (csp_cn[static_cast<size_t>(t)] != 0) continue;
            long long decided = 0;
            std::string name;
            bool own = true;
            int cn = structure_neighbours(found[static_cast<size_t>(t)], &decided, &name);
            if (cn == 0) {
                own = false;
                cn = structure_neighbours(found[static_cast<size_t>(T)], &decided, &name);
            }
            if (cn == 0) {
                add_line(message, QB_format("CSP: no atom is fcc, hcp or bcc, so the number of neighbours of type %d "
                                            "cannot be taken from the structure; give it (12 for fcc and hcp, 8 "
                                            "for bcc)",
                                            t + 1));
                return -1;
            }
            long long atoms = N;
            if (own) atoms = std::count_if(model->atoms.begin(), model->atoms.begin() + N,
                                           [t](const atomdata& a) { return a.type == t + 1; });
            add_line(message, QB_format("CSP of type %d over %d neighbours: %lld of %s%lld atoms are %s", t + 1, cn,
                                        decided, own ? "its " : "the model's ", atoms, name.c_str()));
            csp_cn[static_cast<size_t>(t)] = cn;
        }
    }

    Methods m;
    m.on.assign(on, on + 6);
    // Result columns first, then their slots (adding a column moves none).
    ResultColumns columns(model);
    if (on[kCna]) m.slot_cna = columns.column("cna");
    if (on[kBaa]) m.slot_baa = columns.column("baa");
    if (on[kCnp]) m.slot_cnp = columns.column("cnp");
    if (on[kCsp]) m.slot_csp = columns.column("csp");
    const char* const lco_names[4] = {"lco_s", "lco_r", "lco_g", "lco_b"};
    const char* const oim_names[4] = {"oim_s", "oim_r", "oim_g", "oim_b"};
    for (int k = 0; k < 4 && on[kLco]; k++) m.slot_lco[k] = columns.column(lco_names[k]);
    for (int k = 0; k < 4 && on[kOim]; k++) m.slot_oim[k] = columns.column(oim_names[k]);

    m.cna.isadaptive = QN_stored_int(QN_ANALY_GROUP, "A_cna_adptive", 1);
    m.cna.ntypes = T;
    m.cnp.ntypes = T;
    m.cnp.isadaptive = QN_stored_int(QN_ANALY_GROUP, "A_cnp_adptive", 1) != 0;
    m.csp.ntypes = T;
    m.csp.cn = csp_cn;
    for (int t = 0; t < T; t++) {
        m.cna.mincut.push_back(entry("A_cna_min", t));
        m.cna.maxcut.push_back(entry("A_cna_max", t));
        m.cnp.cut.push_back(entry("A_cnp_cut", t));
    }
    configure_orientation(m.lco, "A_lco_", T);
    configure_orientation(m.oim, "A_oim_", T);

    // A stop request is looked at before each run is taken; a run cut
    // short that way leaves the model's columns as they were.
    std::atomic<int> next{0};
    QB_on_threads(std::min(run_count, workers), [&](int t) {
        take_runs(next, run_count, [&](int k) {
            if (t == 0) QB_progress_update(50.0 + 50.0 * cells.start[runs[k]] / std::max(entries, 1));
            analyse_bins(m, cells, K, model, runs[k], runs[k + 1], R, near);
        });
    });
    if (next.load() < run_count) {
        columns.restore();
        return stop();
    }
    return active;
}
