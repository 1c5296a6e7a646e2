// Summary of a structure analysis: the count of atoms per structure class of
// the classifying columns ("cna", "baa") and the statistics of the
// continuous columns ("csp", "cnp", and the recognised flag of the
// orientation methods "lco_s" / "oim_s"), as lines for the message area and
// as tab-separated rows.
//
// Classifying columns: "cna", "baa", and "lco_s", "oim_s", which hold the
// same structure codes (1 fcc, 2 bcc, 3 hcp, else 0.75 - 0.125 n); one row
// per class present, fcc, bcc, hcp, then "other" for every code 0.75 -
// 0.125 n together (n is the number of neighbours the method was given, for
// adaptive CNA the list length, not the atom's coordination).
// Continuous columns: "csp" and "cnp", rows min, mean, max over the atoms
// with a value (finite; for CSP also not negative, as -1 marks an atom
// without its N neighbours), a row "no value" when some atom has none, and
// for CSP a row "above 1": atoms with CSP > 1 (squared length units, as the
// method's result). CNP gets no threshold row: its value is a squared length
// that scales with the lattice parameter and is not zero in a perfect hcp
// crystal, so no one cut-off separates defects for every material.
//
// TSV form, one header line then one row per class or statistic:
//   file  column  class  count  percent  value
// file     the input name the block belongs to (empty when none is given);
// column   the result column ("cna", "baa", "csp", "cnp", "lco_s", "oim_s");
// class    the class name for a classifying column ("fcc", "bcc", "hcp",
//          "other"), the statistic name for a continuous one
//          ("min", "mean", "max", "above 1", ...), or "recognised" /
//          "unrecognised" for the *_s flags;
// count    atoms in the class / above the threshold / with a finite value
//          (for min, mean, max);
// percent  count over all atoms of the model in per cent, one decimal;
// value    the statistic's value for min, mean, max and the threshold for
//          "above" rows; empty for class rows.
// Rows of several files concatenate under one header (QN_MORLA_tsv_header
// once, then QN_MORLA_tsv_rows per file).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "qb/qb_tools.h"

// The classes a classifying column ("cna", "baa", also "lco_s", "oim_s")
// can take, in display order: {1,"fcc"}, {2,"bcc"}, {3,"hcp"}, then
// {-1,"other"} standing for every code 0.75 - 0.125 n (n data-dependent).
// Empty for any other (continuous) column.
std::vector<std::pair<double, std::string>> QN_MORLA_classes(const std::string& column);

// The display name of one structure code: "fcc", "bcc", "hcp", "other" for
// any 0.75 - 0.125 n, or "code x" otherwise.
std::string QN_MORLA_class_name(double code);

// One row of a summary.
struct QN_MORLA_row {
    std::string column;   // result column
    std::string label;    // class or statistic name
    long long count = 0;  // atoms counted
    double percent = 0;   // count / atoms * 100; below 0 for a count of other things (clusters)
    bool has_value = false;
    double value = 0;     // statistic value or threshold
};

struct QN_MORLA_summary_t {
    long long atoms = 0;
    std::vector<QN_MORLA_row> rows;  // in column order, then class order
};

// The result columns in summary order: "cna", "baa", "cnp", "csp",
// "lco_s", "oim_s".
const std::vector<std::string>& QN_MORLA_result_columns();

// The result columns of the methods switched on in the analysis group
// (QN_ANALY_GROUP), in summary order.
std::vector<std::string> QN_MORLA_active_columns();

// Summarises the result columns present in model (after QN_MORLA_compute):
// all of them, or only those named in columns when it is given.
QN_MORLA_summary_t QN_MORLA_summary(const QB_tools* model, const std::vector<std::string>* columns = nullptr);

// Lines for the message area (without trailing newlines): a heading
// "Structure summary of N atoms:", then one line per column, e.g.
//   cna: fcc 95 (88.8%), other 12 (11.2%)
//   csp: min 0, mean 0.456, max 7.8, 12 (11.2%) above 1
// No line at all when the summary has no row.
std::vector<std::string> QN_MORLA_summary_lines(const QN_MORLA_summary_t& s);

// The TSV header line "file\tcolumn\tclass\tcount\tpercent\tvalue\n".
std::string QN_MORLA_tsv_header();

// The rows of one summary, each ending in '\n', file as the first field.
std::string QN_MORLA_tsv_rows(const QN_MORLA_summary_t& s, const std::string& file);
