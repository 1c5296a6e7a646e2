// The everyday measurements as the Analysis tab and quelm-batch analyse run
// them: their store group "Everyday measurements" (labels E_...), one table
// entry per method, and a run that adds the method's columns to a model,
// gives its table and the lines and rows of its summary.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/measure.h"
#include "analysis/morla_summary.h"
#include "qb/qb_tools.h"

enum QN_measure_method { QN_M_RDF, QN_M_COORD, QN_M_STEINHARDT, QN_M_VORONOI, QN_M_CLUSTERS, QN_M_DEFECTS, QN_M_COUNT };

struct QN_measure_kind {
    const char* name;    // on the command line: "rdf", "coordination", ...
    const char* label;   // in "Choose method:": "RDF", "Coordination", ...
    const char* prefix;  // of its store labels: "E_rdf_" ...
};
extern const QN_measure_kind QN_measure_kinds[QN_M_COUNT];
// The method of a command-line name, -1 for none.
int QN_measure_find(const std::string& name);

constexpr const char* QN_MEASURE_TITLE = "Everyday measurements";
// The group of the measurements, made with its defaults when the store has
// none (the first time, or after QN_store_init).
int QN_measure_group();
// Puts every label of the group back to its default; the group's index.
int QN_measure_defaults();
// Whether method k is switched on in the group (E_..._active).
bool QN_measure_active(int k);

struct QN_measure_output {
    std::vector<std::string> columns;  // the per-atom columns the run added
    QN_table table;                    // RDF, cluster table, defects per site (empty for the others)
    std::string message;               // one line or a few: what was measured
    // Single numbers of the run for a series over frames: "vacancies",
    // "interstitials", "clusters", "largest cluster", "mean coord" ...
    std::vector<std::pair<std::string, double>> values;
    std::vector<QN_MORLA_row> rows;  // summary rows: statistics and counts
};

// Runs method k on model with the group's settings; the Wigner-Seitz
// reference comes from `reference` when given, else from the file E_ws_ref.
// 1 done, -1 with the reason in out->message and the model unchanged.
int QN_measure_run(QB_tools* model, int k, QN_measure_output* out, const QB_tools* reference = nullptr,
                   int threads = 0);

// The atoms per structure class of the classifying columns among
// `columns` ("cna fcc", "cna bcc", ...), a class without atoms as 0: the
// single numbers of a structure analysis for a series.
std::vector<std::pair<std::string, double>> QN_measure_class_counts(const QN_MORLA_summary_t& summary,
                                                                    const std::vector<std::string>& columns);

// The summary rows of a column: min, mean and max over its finite values.
std::vector<QN_MORLA_row> QN_measure_statistics(const QB_tools* model, const std::string& column);
