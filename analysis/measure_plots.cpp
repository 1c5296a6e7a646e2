#include "analysis/measure_plots.h"

#include <algorithm>
#include <cmath>

#include "analysis/measure_driver.h"
#include "qb/qb_text.h"

QN_plot QN_measure_table_plot(int k, const QN_table& table) {
    QN_plot plot;
    if (table.rows() == 0) return plot;
    if (k == QN_M_RDF) {
        plot.title = "Radial distribution function";
        plot.x_label = "r (Å)";
        plot.y_label = "g(r)";
        const std::vector<double>* r = table.column("r");
        for (size_t c = 0; c < table.names.size() && r; c++) {
            const std::string& name = table.names[c];
            if (name != "g" && name.rfind("g_", 0) != 0) continue;
            QN_plot_series s;
            s.kind = QN_plot_series::Line;
            s.name = name == "g" ? "all atoms" : "types " + name.substr(2, name.find('_', 2) - 2) + "-" +
                                                      name.substr(name.find('_', 2) + 1);
            s.x = *r;
            s.y = table.columns[c];
            plot.series.push_back(std::move(s));
        }
        if (plot.series.size() == 1) plot.series[0].name.clear();
        return plot;
    }
    if (k == QN_M_CLUSTERS || k == QN_M_DEFECTS) {
        const std::vector<double>* v = table.column(k == QN_M_CLUSTERS ? "size" : "occupancy");
        if (!v || v->empty()) return plot;
        const double top = *std::max_element(v->begin(), v->end());
        const int bins = static_cast<int>(std::clamp(top + (k == QN_M_DEFECTS ? 1.0 : 0.0), 1.0, 1000.0));
        const double lo = k == QN_M_CLUSTERS ? 0.5 : -0.5;
        plot = QN_plot_histogram(*v, bins, lo, lo + bins * std::max(1.0, std::ceil((top - lo) / bins)),
                                 k == QN_M_CLUSTERS ? "Cluster size (atoms)" : "Atoms on a site");
        plot.title = k == QN_M_CLUSTERS ? "Cluster sizes" : "Occupancy of the reference sites";
        plot.y_label = k == QN_M_CLUSTERS ? "Clusters" : "Sites";
    }
    return plot;
}

bool QN_measure_histogram(const QB_tools* model, const std::string& column, int bins, double lo, double hi,
                          const std::vector<unsigned>& colours, QN_plot* plot, std::string* message) {
    const int slot = model ? QB_slot_get(model, column.c_str()) : -1;
    if (slot < 0) {
        if (message) *message = "The model has no column \"" + column + "\"";
        return false;
    }
    std::vector<double> values(static_cast<size_t>(model->natoms));
    for (int i = 0; i < model->natoms; i++) values[static_cast<size_t>(i)] = QB_slot_data(model, slot, i);
    *plot = QN_plot_histogram(values, bins, lo, hi, column, colours);
    if (!QN_plot_has_data(*plot)) {
        if (message) *message = "No value of \"" + column + "\" lies in the range";
        return false;
    }
    return true;
}

void QN_measure_series::add(double x_value, const std::vector<std::pair<std::string, double>>& values) {
    std::vector<double> row(names.size(), NAN);
    for (const auto& [name, v] : values) {
        size_t at = std::find(names.begin(), names.end(), name) - names.begin();
        if (at == names.size()) {
            names.push_back(name);
            row.push_back(NAN);
            for (std::vector<double>& earlier : rows) earlier.push_back(NAN);
        }
        row[at] = v;
    }
    x.push_back(x_value);
    rows.push_back(row);
}

QN_plot QN_measure_series_plot(const QN_measure_series& series, const std::vector<std::string>& shown) {
    QN_plot plot;
    plot.title = "Over the series";
    plot.x_label = series.x_label;
    for (size_t c = 0; c < series.names.size(); c++) {
        if (!shown.empty() && std::find(shown.begin(), shown.end(), series.names[c]) == shown.end()) continue;
        QN_plot_series s;
        s.kind = QN_plot_series::Line;
        s.name = series.names[c];
        s.x = series.x;
        for (const std::vector<double>& row : series.rows) s.y.push_back(c < row.size() ? row[c] : NAN);
        plot.series.push_back(std::move(s));
    }
    if (plot.series.size() == 1) {
        plot.y_label = plot.series[0].name;
        plot.series[0].name.clear();
    }
    return plot;
}
