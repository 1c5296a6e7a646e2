// Perfect single crystals in an orthogonal box whose x, y, z axes lie along
// three chosen crystal directions.
//
// Each generator appends the atoms inside the window [0, lx) x [0, ly) x
// [0, lz) to a cleared record, sets lo = origin = 0, size and the diagonal of
// cell, and returns the orientation measure: 0 for mutually orthogonal
// integer directions, growing with the error. Above 0.001 it prints
// "WARNING: non-orthogonal or non-periodic system". A refused request (a
// lattice parameter not above 0, a zero-length or non-finite direction, or
// directions so large the build would not finish) returns QB_LATTICE_REFUSED
// and leaves the record unchanged.
#pragma once

#include "qb/qb_tools.h"

constexpr double QB_LATTICE_REFUSED = -1.0;

double QB_create_fcc(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl);
double QB_create_bcc(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl);
// Directions in three-index hexagonal notation [u v w] along a1, a2, c.
double QB_create_hcp(QB_tools* s, double a, double c, double xu, double xv, double xw, double yu, double yv,
                     double yw, double zu, double zv, double zw);
// basis: count rows (type, fx, fy, fz), fractional coordinates of the cubic
// cell.
double QB_create_any(QB_tools* s, double a, double xh, double xk, double xl, double yh, double yk, double yl,
                     double zh, double zk, double zl, int count, const double (*basis)[4]);
