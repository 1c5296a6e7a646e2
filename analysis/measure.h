// The everyday measurements of a model: the radial distribution function,
// coordination numbers, clusters and Wigner-Seitz defects (the Steinhardt
// order parameters and the Voronoi cells have headers of their own). Each
// works over every atom record of a model with the periodic images across
// its periodic faces, on several threads with the same result on any
// number, and returns 1, or -1 with the reason in *message and nothing
// written.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "qb/qb_tools.h"

// A table result: named columns of equal length.
struct QN_table {
    std::vector<std::string> names;
    std::vector<std::vector<double>> columns;
    size_t rows() const { return columns.empty() ? 0 : columns[0].size(); }
    // The column of that name, or null.
    const std::vector<double>* column(const std::string& name) const;
};

// The table as text: the names on one line, then one line per row, tab
// separated, numbers "%.10g" in the C locale ("nan" for NaN).
std::string QN_table_tsv(const QN_table& table);

// Stores values (one per atom record) as the double column `name` of model,
// made when missing; 1, or -1 when the sizes differ.
int QN_measure_store(QB_tools* model, const std::string& name, const std::vector<double>& values);

// The shortest distance between opposite faces of the box along a periodic
// cell vector (infinity when no vector is periodic): no cut-off of a
// measurement may exceed it, as every neighbour is one image away.
double QN_measure_reach(const QB_tools* model);

// The checks of a neighbour measurement named `what`: atoms to measure and a
// cut-off above 0 and at most QN_measure_reach; false with the reason.
bool QN_measure_usable(const QB_tools* model, double cutoff, const char* what, std::string* message);

// ---- Radial distribution function ------------------------------------------

constexpr int QN_RDF_MAX_BINS = 100000;

struct QN_rdf_options {
    double cutoff = 8;  // Å, above 0 and at most QN_measure_reach
    int bins = 200;     // 1 ... QN_RDF_MAX_BINS
    int threads = 0;    // 0: one per processor core
};

// g(r) in `bins` bins of width cutoff / bins: columns "r" (bin centres),
// "g" and "n" over all atoms (n: the coordination integral, the mean number
// of neighbours closer than the bin's upper edge), then "g_A_B" and "n_A_B"
// for each pair of types A <= B when the model has more than one type (n:
// B atoms around an A atom). Normalised as LAMMPS's compute rdf: pair
// counts over the ideal gas of the box's density.
int QN_rdf(const QB_tools* model, const QN_rdf_options& options, QN_table* out, std::string* message);

// ---- Coordination --------------------------------------------------------

struct QN_coordination_options {
    double cutoff = 3;       // Å, above 0 and at most QN_measure_reach
    std::vector<int> types;  // only neighbours of these types count; empty: all
    int threads = 0;
};

// Per atom record the number of neighbours closer than the cut-off.
int QN_coordination(const QB_tools* model, const QN_coordination_options& options, std::vector<double>* out,
                    std::string* message);

// ---- Clusters -------------------------------------------------------------

struct QN_cluster_options {
    double cutoff = 3;          // atoms closer than this are joined
    std::vector<bool> include;  // the atoms taking part (one per record); empty: all
    int threads = 0;
};

struct QN_cluster_result {
    // Per atom record its cluster, 1 the largest (equal sizes: the cluster
    // of the lowest record first), 0 for an atom left out.
    std::vector<double> cluster;
    // One row per cluster in that order: "cluster", "size", the centre of
    // mass "x", "y", "z" (the atoms unwrapped along the bonds, so a cluster
    // across a periodic face has its centre where it is; equal masses) and
    // the radius of gyration "rg" about it.
    QN_table table;
};

int QN_clusters(const QB_tools* model, const QN_cluster_options& options, QN_cluster_result* out,
                std::string* message);

// The records whose value in column `column` compares with `value` as `op`
// says ("=", "!=", "<", "<=", ">", ">="), for QN_cluster_options::include;
// false with the reason for an unknown column or operator.
bool QN_measure_select(const QB_tools* model, const std::string& column, const std::string& op, double value,
                       std::vector<bool>* include, std::string* message);

// ---- Wigner-Seitz defects -------------------------------------------------

struct QN_defect_result {
    // Per atom record: the reference site it occupies (the site's record
    // index + 1) and that site's occupancy.
    std::vector<double> site, occupancy;
    // Per reference site its occupancy (0 a vacancy, 2 or more an
    // interstitial besides the atom on it).
    std::vector<int> site_occupancy;
    long long vacancies = 0;     // empty sites
    long long interstitials = 0;  // atoms beyond the first on a site
};

// Assigns each atom to the nearest site of reference (periodic across the
// reference's periodic faces), the model's box mapped onto the reference's
// by their lower corners and cell vectors, as the comparing analyses map
// them. The reference may hold another number of atoms than the model.
int QN_wigner_seitz(const QB_tools* model, const QB_tools* reference, QN_defect_result* out, std::string* message,
                    int threads = 0);

// "Wigner-Seitz: 1 vacancy, 2 interstitials (864 sites, 865 atoms)".
std::string QN_defect_summary(const QN_defect_result& result);
