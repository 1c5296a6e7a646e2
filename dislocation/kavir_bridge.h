// The dislocation analyses on the current model: their parameter group, the
// command file each analysis gets from it, and the run that hands the model
// to the engine in memory and merges its result columns back by atom id.
// The Analysis tab's pages and quelm-batch analyse both call these.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

// Store group of the dislocation analyses.
constexpr int QN_KAVIR_GROUP = 2;

// The analyses in the tab's order.
constexpr int QN_KAVIR_COUNT = 7;
enum { QN_KAVIR_DVA, QN_KAVIR_STA, QN_KAVIR_DDA, QN_KAVIR_SVA, QN_KAVIR_IDA, QN_KAVIR_NYE, QN_KAVIR_NTA };
extern const char* const QN_KAVIR_names[QN_KAVIR_COUNT];  // "dva", "sta", …

// Registers group 2 with its labels and defaults, per-type labels once for
// each of ntypes types. Returns 1, or a negative store code.
int QN_KAVIR_init(int ntypes);

// The command file of an analysis from the group's values, for a model with
// the given periodic flags and type count. `result` is the name the result
// goes to ("donotout" keeps it in memory).
std::string QN_KAVIR_command(int method, const int periodic[3], int ntypes, const std::string& result);

// Runs one analysis on the model: the engine gets the model in memory and
// a command file in a private folder. DVA, STA, SVA, NYE and NTA add their
// result columns to the model (matched by atom id; an atom without a result
// gets NaN; NTA's columns are prefixed "nta_" so NYE's stay; a re-run
// replaces its own columns). DDA and IDA write the file named in the group.
// Returns 1 done, 0 failed; message tells what happened (and what could not
// be merged). columns, when given, receives the names of the result columns.
int QN_KAVIR_compute(QB_tools* model, int method, std::string& message, std::vector<std::string>* columns = nullptr);
