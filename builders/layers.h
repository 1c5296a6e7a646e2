// Bilayers and multilayers of two crystals, and the lattice-mismatch scan
// that looks for commensurate in-plane periods of two crystals. Computing
// side (no FLTK), shared by the forms, the crack wizard and quelm-batch.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

constexpr int QN_DOUBLE_GROUP = 0;
extern const char* const QN_DOUBLE_TITLE;  // "Build a double layer model with two given files"

// Resets group 0 with the form's title and defaults ("Model_" =
// "Double_Layer%d" with mode 0 bilayer, 1 multilayer).
int QN_model_double_defaults(int mode);

struct QN_double_params {
    int dir = 2;  // interface normal 0 x, 1 y, 2 z
    std::string filea = "blank", fileb = "blank";
    int ax = 0, ay = 0, bx = 0, by = 0;  // lateral repeat counts along u and v
    double at = 0, bt = 0;               // thicknesses along the normal
    double gap = 0;                      // vacuum (bilayer)
    int period = 1;                      // repeats (multilayer)
};
// Reads the form's values from group 0 (the described fallbacks when absent).
void QN_model_double_read(QN_double_params& p);

// The stacking axis s and the lateral axes u, v of an interface normal.
void QN_double_axes(int dir, int& s, int& u, int& v);
// |2 (na A - nb B) / (na A + nb B)|, 0 when both counts are 0.
double QN_double_mismatch(int na, double A, int nb, double B);
// Auto periodicity: the counts i < limit (bottom) and P or P + 1 (upper)
// with the smallest residual; the counts stay when limit <= 1.
void QN_double_auto(double A, double B, int limit, int& bottom, int& upper);

// Builds the bilayer into out: 1, or a negative code with the message and
// out untouched. `mismatch` (when given) receives the mismatch along u and v.
int QB_double_layer(int dir, const char* file_a, int na_u, int na_v, double thick_a, const char* file_b, int nb_u,
                    int nb_v, double thick_b, double gap, QB_tools* out, std::string* message = nullptr,
                    double* mismatch = nullptr);

// The form's build from group 0: bilayer (mode 0) or multilayer (mode 1,
// without the gap, repeated "M_double_period" times along the normal). When
// largest_mismatch >= 0 and the two mismatches add up to more, nothing is
// built and QN_DOUBLE_LARGE_MISMATCH is returned. The message of a build ends
// with the two "Interface Mismatch" lines.
constexpr int QN_DOUBLE_LARGE_MISMATCH = -2;
constexpr double QN_DOUBLE_ASK_MISMATCH = 0.005;  // above this sum the form asks first
int QN_model_double_build(int mode, QB_tools* out, std::string& message, double largest_mismatch = -1,
                          double* mismatch = nullptr);

// ---- the lattice-mismatch scan -------------------------------------------

struct crystal_face {
    double length;
    double angle;  // degrees in [0, 360), from +y toward +z
    int partner;   // the face at angle + 90, or -1
    double partner_deviation;
};

struct scaned_data {
    double theta1, theta2;
    double d1y, d2y, d1z, d2z;
    int n1y, n2y;
    double mismatchy;
    int n1z, n2z;
    double mismatchz;
    unsigned char selected;
};

extern double Quelm_Crack_limitd, Quelm_Crack_limitbox, Quelm_Crack_mismatch;
extern double Quelm_Crack_mina, Quelm_Crack_maxa, Quelm_Crack_minb, Quelm_Crack_maxb;
void QB_mismatch_set(double limitd, double limitbox, double mismatch);
void QB_angle_set(double mina, double maxa, double minb, double maxb);

// Direction of (dy, dz) in degrees, [0, 360).
double arc_tan(double dz, double dy);
// Adds a direction (or keeps the shorter length of one already there);
// returns the new count.
int install_face(double angle, double length, std::vector<crystal_face>& faces);

// Both crystals have the interface in their y-z plane. Atoms closer than
// 0.1 A to the first atom are passed over with a remark, added to *remarks
// (standard output without it). Returns the number of matches, written to
// results.
int QB_mismatch_scan(const QB_tools* crystal1, const QB_tools* crystal2, std::vector<scaned_data>& results,
                     std::string* remarks = nullptr);

// The crack wizard's group and the scan's keys in it.
constexpr int QN_CRACK_GROUP = 4;
// Writes the search's keys ("S_minanga" ... "S_maxmis") with their defaults
// into group 4 where they are missing.
void QN_scan_defaults();
// QB_mismatch_set and QB_angle_set from group 4.
void QN_scan_limits_from_store();
// The selected rows into "S_anga", "S_n1y", ... (all "reset" first).
void QN_tiltscan_save(const std::vector<scaned_data>& rows);
