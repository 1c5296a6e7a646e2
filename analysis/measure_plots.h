// The pictures of the measurements: the plot of a method's table (the RDF's
// curves, the distribution of cluster sizes, the occupancy of the
// Wigner-Seitz sites), the histogram of a per-atom column, and a series of
// single numbers over the files of a series.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/measure.h"
#include "qb/qb_tools.h"
#include "view/plot.h"

// The plot of method k's table (QN_measure_method); no series when the
// method makes no table.
QN_plot QN_measure_table_plot(int k, const QN_table& table);

// The histogram of column `column` of model in `bins` bins over [lo, hi]
// (lo == hi: the column's range), its bars in the view's colour map when
// colours are given; false with the reason for an unknown column.
bool QN_measure_histogram(const QB_tools* model, const std::string& column, int bins, double lo, double hi,
                          const std::vector<unsigned>& colours, QN_plot* plot, std::string* message);

// The single numbers of several inputs, one row per input in order (NaN
// where an input lacks one), as curves over the input's index (or the
// given x values, e.g. timesteps): one series per name in `shown` (all
// when empty).
struct QN_measure_series {
    std::vector<std::string> names;
    std::vector<double> x;                  // one per input
    std::vector<std::vector<double>> rows;  // rows[input][name]
    std::string x_label = "Frame";
    // Adds an input's numbers (new names extend the earlier rows with NaN).
    void add(double x_value, const std::vector<std::pair<std::string, double>>& values);
};
QN_plot QN_measure_series_plot(const QN_measure_series& series, const std::vector<std::string>& shown);
