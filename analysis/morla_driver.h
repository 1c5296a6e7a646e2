// The run of the structure-analysis methods over a whole model: their
// parameter group "Analy model with MORLA" and the per-atom loop that writes
// each active method's results as double columns of the model.
#pragma once

#include "qb/qb_tools.h"

// Store group of the structure analysis.
constexpr int QN_ANALY_GROUP = 1;

// Resets the group with its title, "Analy_" = "MORLA_model" and every label
// at its default, per-type labels once for each of the ntypes types.
// Returns 1, or a negative store code.
int QN_analy_defaults(int ntypes);

// The analysis radius R = sqrt(2 (lx^2 + ly^2 + lz^2)) / N^(1/3) of model,
// and the nearer radius its cells are made for (a sphere holding a quarter
// more atoms than a neighbour list at the model's mean density, at most R).
// False for a model without atoms.
bool QN_MORLA_radii(const QB_tools* model, double* R, double* near);

// Runs the methods switched on in the group over every atom of model (its
// MORLA_MAX_NEIGHBOURS nearest neighbours within R, periodic images across
// the model's periodic faces included) and stores their results in the
// columns "cna", "baa", "cnp", "csp", "lco_s" ... "lco_b", "oim_s" ...
// "oim_b" (existing columns of those names are reused). Runs of atoms are
// analysed on threads (at most 8; 0: one per processor core), with the same
// results on any number. Returns the number of methods run (0 when none is
// active or the model has no atoms).
int QN_MORLA_compute(QB_tools* model, int threads = 0);
