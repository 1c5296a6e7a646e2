// Small matrix routines of the strain analyses (STA, NTA); their runs are
// KAVIR_sta and KAVIR_nta in kavir_compare.h.
#pragma once

// out = a b for 3x3 row-major matrices (out may not alias a or b).
void matmul(const double* a, const double* b, double* out);

// Polar decomposition of a 3x3 row-major matrix A into a rotation R and a
// symmetric U: A = U R (right_sided false) or A = R U (right_sided true).
// With det A < 0, R is the negated rotation. False when A is too small or
// too degenerate for a rotation (R is then the identity).
bool polar_decomposition_3x3(const double* A, bool right_sided, double* R, double* U);

// Unit quaternion (X, Y, Z, W) = (axis sin(t/2), cos(t/2)) of a rotation
// matrix, with W >= 0.
void KAVIR_quaternion(const double* R, double q[4]);

// Removes whole Burgers-vector components from the difference of a bond pair:
// along each axis with |b_k| > 0.1 the longer of p (reference) and q
// (deformed) is moved by whole |b_k| towards the other.
void KAVIR_reduce_components(const double b[3], double p[3], double q[3]);
