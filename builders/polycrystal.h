// The polycrystal generator, computing side: reads a keyword file (box,
// grains, templates) and fills each grain's periodic, weighted Voronoi cell
// with its rotated template lattice. Layouts "3D", "2D" (columnar grains in
// the y-z plane), "lami" (grains in slabs along z) and "spgb" (boundaries
// decorated with a second lattice). Shared by the polycrystal and
// nanocomposite forms and `quelm-batch build polycrystal`; nothing here needs
// a display, and no error ends the program: every "ERROR: ..." comes back as
// a code and a message.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_random.h"
#include "qb/qb_tools.h"

constexpr int QN_POLY_BUILT = 1;
constexpr int QN_POLY_REFUSED = -1;       // the keyword file or a template was refused; nothing built
constexpr int QN_POLY_WRITE_FAILED = -2;  // the log could not be written; nothing handed over

struct QN_poly_options {
    // Where the log goes ("#box_size", per grain "#Grain_num/pos/mat/sed",
    // "#END"); empty: no log.
    std::string log_path = "poly_log.fpl";
    // Threads filling grains side by side (0: one per core); the output does
    // not depend on it.
    int threads = 0;
};

// Runs the generator on the keyword file `input` and, on success, replaces
// `model` with the polycrystal: ids 1 ... N in grain order and fill order,
// positions wrapped into [0, L) of the box [0, X] x [0, Y] x [0, Z]. Returns
// QN_POLY_BUILT with "New model detected with %d atoms and %d types\nBox size
// %lf %lf %lf", or a refusal with the generator's "ERROR: ..." text; the
// model is untouched on failure. Progress lines go to standard output and
// through the progress hooks.
int ic_xyz_poly(const char* input, QB_tools* model, std::string& message,
                const QN_poly_options& options = QN_poly_options());

// The generator's own LAMMPS data file ("Position data", box from 0.00, and
// the "Masses" of the types when every type is named after an element); 1
// written, -1 the file could not be written (an earlier file stays). The
// model's types keep the element names of the templates that give them.
int QN_poly_write_data(const QB_tools* model, const char* path);

// Orientations, rows orthonormal (the grain's matrix is the transpose).
// eulerangle: angles in degrees, m = (Rx(a1) Ry(a2) Rz(a3))^T. randoml: three
// random perpendicular rows (determinant +1 or -1). randoml2: a random
// rotation about x. Each draw is u = r / 32767 of the generator given.
void eulerangle(double m[3][3], double a1, double a2, double a3);
void randoml(double m[3][3], QB_random& random);
void randoml2(double m[3][3], QB_random& random);

// Slab number of layer `layer` in "lami": layer div P + Q (layer mod P).
int timer2floor(int P, int Q, int layer);

// Random positions kept apart, shared by the generator's "ranave" and the
// editor's "Random average": a point may join when its periodic distance
// (nearest image in the box X x Y x Z, or in the y-z plane only when
// `planar`) to every point already there is at least the least distance.
class QN_spaced_points {
public:
    QN_spaced_points(const double box[3], bool planar);
    // Forgets the points added since the last restart (fixed ones stay) and
    // sets the least distance; `expected` points are about to come.
    void restart(double least_distance, int expected = 0);
    // A point that later ones keep away from, through every restart.
    void add_fixed(const double p[3]);
    // Adds p and returns true when it is far enough from every point.
    bool accept(const double p[3]);

private:
    int cell_of(const double p[3]) const;
    bool far_enough(const double p[3]) const;
    void insert(const double p[3]);
    double box_[3];
    bool planar_;
    double least_ = 0;
    int cells_[3] = {1, 1, 1};
    std::vector<double> points_;  // x, y, z of each point, the fixed ones first
    size_t fixed_ = 0;
    int expected_ = 0;
    std::vector<std::vector<int>> grid_;
};
