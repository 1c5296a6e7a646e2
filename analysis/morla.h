// Per-atom structure methods of the analysis library: common neighbour
// analysis (fixed window or adaptive cut-off), common neighbour parameter,
// centro-symmetry parameter, bond-angle analysis and excess potential energy.
//
// Every per-atom analysis takes the centre position and an array of n
// pointers to the absolute positions (x, y, z) of its neighbours, nearest
// first (periodic images as image positions; no minimum-image step here).
// At most MORLA_MAX_NEIGHBOURS neighbours are used: a larger n is clamped,
// and a null array or a negative n counts as an empty neighbourhood.
//
// Structure codes: 1 fcc, 2 bcc, 3 hcp, otherwise 0.75 - 0.125 n with n a
// neighbour count (see each method).
//
// The classes hold their configuration in public fields; the caller sets
// them directly or through init() from a word list. An adaptive CNA or CNP
// call writes its cut-off into the first array entry, so one object serves
// one caller at a time.
#pragma once

#include <vector>

namespace MORLA_METHOD {

constexpr int MORLA_MAX_NEIGHBOURS = 16;

// Neighbour positions relative to the centre, nearest first: n entries of
// the three arrays (at most MORLA_MAX_NEIGHBOURS used). The analyses give
// the same results as from the absolute positions whose differences these
// are.
struct Offsets {
    const double* x;
    const double* y;
    const double* z;
    int n;
};

// x + 0.5
double mark(double x);

// The code of an unrecognised neighbourhood of n neighbours.
double other_code(int n);

class CommonNeighborAnalysis {
public:
    struct vector {
        double x, y, z;
    };

    int isadaptive = 0;           // 1 adaptive cut-off, 0 fixed window per type
    int ntypes = 0;               // number of per-type windows
    std::vector<double> maxcut;   // upper bound per type; adaptive: last squared cut-off in entry 0
    std::vector<double> mincut;   // lower bound per type

    // "cna" followed by (min, max) pairs, one per type: fixed windows, 1.
    // "cna" with fewer than two numbers: adaptive, 1. No "cna": 0.
    int init(int argc, char** argv);
    void freesetting();
    double squaredlengths(double x, double y, double z);
    float analysis(double* centre, double** neighbours, int n, int type);
    float analysis(const Offsets& r, int type);
    float analysis_relative(vector* r, int n, int type);
    // Signature 100 c + 10 b + l of the pair (centre, r[j]) over r[0..n).
    int num(vector* r, int j, int n, double lo2, double hi2);
    // Squared adaptive cut-off for k = 12 or 14; 0 otherwise.
    double adaptive(vector* r, int k);
};

class CommonNeighborParameter {
public:
    struct vector {
        double x, y, z;
    };

    int ntypes = 0;
    std::vector<double> cut;  // cut-off per type; adaptive: last cut-off in entry 0
    bool isadaptive = false;

    // "cnp" followed by one cut-off per type: 1. "cnp" alone: adaptive, -1.
    // No "cnp": 0.
    int init(int argc, char** argv);
    void freesetting();
    double squaredlengths(double x, double y, double z);
    // Mean of q_j over the neighbours inside the cut-off; NaN when there is
    // none.
    double analysis(double* centre, double** neighbours, int n, int type);
    double analysis(const Offsets& r, int type);
    double analysis_relative(vector* r, int n, int type);
    // q_j = |sum over k != j within cut of (2 r_k - r_j)|^2.
    double num(vector* r, int j, int n, double cut2);
};

class CentroSymmetryParameter {
public:
    struct vector {
        double x, y, z;
    };

    int ntypes = 0;
    std::vector<int> cn;  // number of nearest neighbours N used, per type

    // "csp" followed by one integer N per type: 1. "csp" without numbers:
    // -1, the object is left empty. No "csp": 0.
    int init(int argc, char** argv);
    void freesetting();
    double squaredlengths(double x, double y, double z);
    // Sum of the N/2 smallest |r_j + r_k|^2 over pairs of the N nearest;
    // -1 when fewer than N neighbours are given or the type has no N.
    double analysis(double* centre, double** neighbours, int n, int type);
    double analysis(const Offsets& r, int type);
    double analysis_relative(vector* r, int n, int type);
};

class BondAngleAnalysis {
public:
    struct vector {
        double x, y, z;
    };

    double squaredlengths(double x, double y, double z);
    double analysis(double* centre, double** neighbours, int n);
    double analysis(const Offsets& r);
    double analysis_relative(vector* r, int n);
    double cosangle(vector* r, int j, int k);
    double point(double ax, double ay, double az, double bx, double by, double bz);
};

class ExcessPotentialEnergy {
public:
    std::vector<double> energy;     // per-atom energies
    std::vector<double> reference;  // per-type reference energies
    int nenergy = 0;
    int nreference = 0;

    // Copies the two arrays and sets their lengths (null or negative: empty).
    void setting(const double* e, int ne, const double* ref, int nref);
    void freesetting();
    // energy[atom] - reference[type]; 0 when either index is out of range.
    double analysis(int atom, int type);
};

}  // namespace MORLA_METHOD
