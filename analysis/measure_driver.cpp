#include "analysis/measure_driver.h"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "analysis/steinhardt.h"
#include "analysis/voronoi.h"
#include "qb/qb_formats.h"
#include "qb/qb_progress.h"
#include "qb/qb_text.h"
#include "store/quelm_store.h"

const QN_measure_kind QN_measure_kinds[QN_M_COUNT] = {
    {"rdf", "RDF", "E_rdf_"},           {"coordination", "Coordination", "E_coord_"},
    {"steinhardt", "Steinhardt", "E_q_"}, {"voronoi", "Voronoi", "E_vor_"},
    {"clusters", "Clusters", "E_cl_"},  {"defects", "Wigner-Seitz", "E_ws_"},
};

int QN_measure_find(const std::string& name) {
    for (int k = 0; k < QN_M_COUNT; k++)
        if (name == QN_measure_kinds[k].name) return k;
    if (name == "coord") return QN_M_COORD;
    if (name == "ws" || name == "wigner-seitz") return QN_M_DEFECTS;
    return -1;
}

namespace {

int find_group() {
    for (int g = 0; g < QN_MAX_BIT; g++)
        if (Quelm_data[static_cast<size_t>(g)].title == QN_MEASURE_TITLE) return g;
    return -1;
}

void fill_defaults(int g) {
    QN_reset_group(g, QN_MEASURE_TITLE);
    for (const QN_measure_kind& k : QN_measure_kinds) QN_set_bit_int(g, std::string(k.prefix) + "active", 0, 0);
    QN_set_bit_double(g, "E_rdf_cut", 8, 0);
    QN_set_bit_int(g, "E_rdf_bins", 200, 0);
    QN_set_bit_double(g, "E_coord_cut", 3, 0);
    QN_set_bit_char(g, "E_coord_types", "");
    QN_set_bit_char(g, "E_q_degrees", "4,6");
    QN_set_bit_int(g, "E_q_n", 12, 0);
    QN_set_bit_double(g, "E_q_cut", 0, 0);
    QN_set_bit_int(g, "E_q_wl", 0, 0);
    QN_set_bit_int(g, "E_q_avg", 0, 0);
    QN_set_bit_double(g, "E_vor_face", 0, 0);
    QN_set_bit_double(g, "E_cl_cut", 3, 0);
    QN_set_bit_char(g, "E_cl_select", "");
    QN_set_bit_char(g, "E_ws_ref", "");
}

// "4,6" or "1 2": the whole numbers of a list; false for anything else.
bool int_list(const std::string& text, std::vector<int>* out) {
    out->clear();
    std::string s = text;
    for (char& c : s)
        if (c == ',') c = ' ';
    std::istringstream in(s);
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        const long v = std::strtol(word.c_str(), &end, 10);
        if (!end || *end || v < -1000000 || v > 1000000) return false;
        out->push_back(static_cast<int>(v));
    }
    return true;
}

// "cna!=1", "type = 2", "c_csp>0.5": column, comparison, value.
bool parse_selection(const std::string& text, std::string* column, std::string* op, double* value) {
    const size_t at = text.find_first_of("=!<>");
    if (at == std::string::npos || at == 0) return false;
    size_t after = at + 1;
    if (after < text.size() && text[after] == '=') after++;
    auto trim = [](std::string s) {
        const size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
        return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    *column = trim(text.substr(0, at));
    *op = text.substr(at, after - at);
    const std::string number = trim(text.substr(after));
    char* end = nullptr;
    *value = std::strtod(number.c_str(), &end);
    return !column->empty() && !number.empty() && end && !*end;
}

double mean_of(const std::vector<double>& v) {
    double sum = 0;
    long long n = 0;
    for (double x : v)
        if (std::isfinite(x)) sum += x, n++;
    return n ? sum / static_cast<double>(n) : NAN;
}

}  // namespace

int QN_measure_group() {
    const int g = find_group();
    if (g >= 0) return g;
    const int made = QN_add_zone();
    if (made < 0) return made;
    fill_defaults(made);
    return made;
}

int QN_measure_defaults() {
    const int g = QN_measure_group();
    if (g >= 0) fill_defaults(g);
    return g;
}

bool QN_measure_active(int k) {
    if (k < 0 || k >= QN_M_COUNT) return false;
    return QN_stored_int(QN_measure_group(), std::string(QN_measure_kinds[k].prefix) + "active", 0) != 0;
}

std::vector<std::pair<std::string, double>> QN_measure_class_counts(const QN_MORLA_summary_t& summary,
                                                                    const std::vector<std::string>& columns) {
    std::vector<std::pair<std::string, double>> values;
    for (const std::string& c : columns)
        for (const auto& cls : QN_MORLA_classes(c)) {
            long long n = 0;
            for (const QN_MORLA_row& r : summary.rows)
                if (r.column == c && r.label == cls.second) n = r.count;
            values.push_back({c + " " + cls.second, static_cast<double>(n)});
        }
    return values;
}

std::vector<QN_MORLA_row> QN_measure_statistics(const QB_tools* model, const std::string& column) {
    std::vector<QN_MORLA_row> rows;
    const int slot = QB_slot_get(model, column.c_str());
    if (slot < 0 || model->natoms < 1) return rows;
    double lo = INFINITY, hi = -INFINITY, sum = 0;
    long long n = 0;
    for (int i = 0; i < model->natoms; i++) {
        const double v = QB_slot_data(model, slot, i);
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sum += v;
        n++;
    }
    if (n == 0) return rows;
    const double percent = 100.0 * static_cast<double>(n) / model->natoms;
    for (auto [label, value] : {std::pair<const char*, double>{"min", lo}, {"mean", sum / static_cast<double>(n)},
                                {"max", hi}}) {
        QN_MORLA_row r;
        r.column = column;
        r.label = label;
        r.count = n;
        r.percent = percent;
        r.has_value = true;
        r.value = value;
        rows.push_back(r);
    }
    return rows;
}

int QN_measure_run(QB_tools* model, int k, QN_measure_output* out, const QB_tools* reference, int threads) {
    QN_measure_output o;
    const int g = QN_measure_group();
    auto number = [g](const char* label, double fallback) { return QN_stored_double(g, label, fallback); };
    auto text = [g](const char* label) {
        const std::string t = QN_stored_text(g, label, "");
        return t == "blank" ? std::string() : t;
    };
    // A stop request (looked at before the run, by the neighbour passes
    // and after the method) fails the run with its message, whatever the
    // method said; the columns are added only after the method is through,
    // so a stopped run leaves the model as it was.
    auto fail = [&](const std::string& why) {
        out->message = QB_progress_stop_requested() ? std::string(QB_STOPPED_MESSAGE) : why;
        return -1;
    };
    if (QB_progress_stop_requested()) return fail(QB_STOPPED_MESSAGE);
    std::vector<std::pair<std::string, std::vector<double>>> kept;
    auto keep = [&](const std::string& name, std::vector<double> values) {
        kept.emplace_back(name, std::move(values));
        o.columns.push_back(name);
    };
    switch (k) {
        case QN_M_RDF: {
            QN_rdf_options opt;
            opt.cutoff = number("E_rdf_cut", 8);
            opt.bins = QN_stored_int(g, "E_rdf_bins", 200);
            opt.threads = threads;
            if (QN_rdf(model, opt, &o.table, &o.message) != 1) return fail(o.message);
            const std::vector<double>& gr = *o.table.column("g");
            size_t peak = 0;
            for (size_t b = 1; b < gr.size(); b++)
                if (gr[b] > gr[peak]) peak = b;
            o.values.push_back({"rdf peak", o.table.columns[0][peak]});
            break;
        }
        case QN_M_COORD: {
            QN_coordination_options opt;
            opt.cutoff = number("E_coord_cut", 3);
            opt.threads = threads;
            if (!int_list(text("E_coord_types"), &opt.types))
                return fail("Coordination: the types \"" + text("E_coord_types") + "\" are not numbers");
            std::vector<double> c;
            if (QN_coordination(model, opt, &c, &o.message) != 1) return fail(o.message);
            o.values.push_back({"mean coord", mean_of(c)});
            keep("coord", std::move(c));
            break;
        }
        case QN_M_STEINHARDT: {
            QN_steinhardt_options opt;
            if (!int_list(text("E_q_degrees"), &opt.degrees))
                return fail("Steinhardt: the degrees \"" + text("E_q_degrees") + "\" are not whole numbers");
            opt.neighbours = QN_stored_int(g, "E_q_n", 12);
            opt.cutoff = number("E_q_cut", 0);
            opt.wl = QN_stored_int(g, "E_q_wl", 0) != 0;
            opt.averaged = QN_stored_int(g, "E_q_avg", 0) != 0;
            opt.threads = threads;
            QN_steinhardt_result r;
            if (QN_steinhardt(model, opt, &r, &o.message) != 1) return fail(o.message);
            for (size_t d = 0; d < opt.degrees.size(); d++) {
                const int l = opt.degrees[d];
                const double mean = d < r.q.size() ? mean_of(r.q[d]) : 0;
                if (d < r.q.size()) keep(QB_format("q%d", l), std::move(r.q[d]));
                if (opt.wl && d < r.w.size()) keep(QB_format("w%d", l), std::move(r.w[d]));
                if (opt.averaged && d < r.averaged_q.size()) keep(QB_format("aq%d", l), std::move(r.averaged_q[d]));
                if (d < r.q.size()) o.values.push_back({QB_format("mean q%d", l), mean});
            }
            break;
        }
        case QN_M_VORONOI: {
            QN_voronoi_options opt;
            opt.face_threshold = number("E_vor_face", 0);
            opt.threads = threads;
            QN_voronoi_result r;
            if (QN_voronoi(model, opt, &r, &o.message) != 1) return fail(o.message);
            o.values.push_back({"mean voronoi_volume", mean_of(r.volume)});
            keep("voronoi_volume", std::move(r.volume));
            keep("voronoi_faces", std::vector<double>(r.faces.begin(), r.faces.end()));
            break;
        }
        case QN_M_CLUSTERS: {
            QN_cluster_options opt;
            opt.cutoff = number("E_cl_cut", 3);
            opt.threads = threads;
            const std::string selection = text("E_cl_select");
            if (!selection.empty()) {
                std::string column, op;
                double value = 0;
                if (!parse_selection(selection, &column, &op, &value))
                    return fail("Clusters: the selection \"" + selection +
                                "\" is not COLUMN, a comparison (= != < <= > >=) and a number");
                if (!QN_measure_select(model, column, op, value, &opt.include, &o.message))
                    return fail("Clusters: " + o.message);
            }
            QN_cluster_result r;
            if (QN_clusters(model, opt, &r, &o.message) != 1) return fail(o.message);
            keep("cluster", std::move(r.cluster));
            o.table = r.table;
            const double largest = r.table.rows() ? r.table.columns[1][0] : 0;
            o.values.push_back({"clusters", static_cast<double>(r.table.rows())});
            o.values.push_back({"largest cluster", largest});
            for (auto [label, count] : {std::pair<const char*, double>{"clusters", static_cast<double>(r.table.rows())},
                                        {"largest", largest}}) {
                QN_MORLA_row row;
                row.column = "cluster";
                row.label = label;
                row.count = static_cast<long long>(count);
                row.percent = label == std::string("largest") && model->natoms ? 100.0 * count / model->natoms : -1;
                o.rows.push_back(row);
            }
            break;
        }
        case QN_M_DEFECTS: {
            QB_tools loaded;
            if (!reference) {
                const std::string path = text("E_ws_ref");
                if (path.empty()) return fail("Wigner-Seitz: choose the reference model first");
                std::string reason;
                if (QB_read_file(&loaded, path.c_str(), &reason) <= 0)
                    return fail("Wigner-Seitz: the reference " + path + " cannot be read" +
                                (reason.empty() ? std::string() : ": " + reason));
                reference = &loaded;
            }
            QN_defect_result r;
            if (QN_wigner_seitz(model, reference, &r, &o.message, threads) != 1) return fail(o.message);
            keep("ws_site", std::move(r.site));
            keep("ws_occupancy", std::move(r.occupancy));
            o.table.names = {"site", "occupancy"};
            o.table.columns.assign(2, std::vector<double>(r.site_occupancy.size()));
            for (size_t s = 0; s < r.site_occupancy.size(); s++) {
                o.table.columns[0][s] = static_cast<double>(s + 1);
                o.table.columns[1][s] = r.site_occupancy[s];
            }
            o.values.push_back({"vacancies", static_cast<double>(r.vacancies)});
            o.values.push_back({"interstitials", static_cast<double>(r.interstitials)});
            for (auto [label, count] : {std::pair<const char*, long long>{"vacancies", r.vacancies},
                                        {"interstitials", r.interstitials}}) {
                QN_MORLA_row row;
                row.column = "ws";
                row.label = label;
                row.count = count;
                row.percent = r.site_occupancy.empty() ? 0 : 100.0 * static_cast<double>(count) / r.site_occupancy.size();
                o.rows.push_back(row);
            }
            break;
        }
        default:
            return fail("Unknown measurement");
    }
    if (QB_progress_stop_requested()) return fail(QB_STOPPED_MESSAGE);
    for (const auto& [name, values] : kept) QN_measure_store(model, name, values);
    for (const std::string& c : o.columns) {
        if (k == QN_M_CLUSTERS || k == QN_M_DEFECTS) continue;  // numbers, counted above
        const std::vector<QN_MORLA_row> stats = QN_measure_statistics(model, c);
        o.rows.insert(o.rows.end(), stats.begin(), stats.end());
    }
    *out = std::move(o);
    return 1;
}
