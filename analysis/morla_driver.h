// The run of the structure-analysis methods over a whole model: their
// parameter group "Analy model with MORLA" and the per-atom loop that writes
// each active method's results as double columns of the model.
#pragma once

#include <string>

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
// results on any number.
//
// CSP's neighbour number N of a type ("A_csp_cn") of 0 is taken from the
// structure: the adaptive CNA of every atom decides, 12 when more of the
// type's fcc, hcp and bcc atoms are close-packed than bcc, 8 otherwise; a
// type without any such atom follows the whole model. *message (when given)
// receives one line per type so decided, e.g. "CSP of type 1 over 12
// neighbours: 1083 of its 1170 atoms are fcc".
//
// Returns the number of methods run (0 when none is active or the model has
// no atoms), or -1 with the reason in *message when nothing can be computed
// as asked: a CSP neighbour number below 0, of 1 (no pair) or above
// MORLA_MAX_NEIGHBOURS, or N = 0 on a model without any fcc, hcp or bcc atom;
// or when a stop was requested (QB_progress_request_stop) before the last
// atoms were reached, with QB_STOPPED_MESSAGE. No column is added or changed then.
int QN_MORLA_compute(QB_tools* model, int threads = 0, std::string* message = nullptr);
