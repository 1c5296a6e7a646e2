// Orientation and distance methods of the analysis library:
//
//  - LocalCrystallographicOrientation (LCO): the mcsp structure test (fcc,
//    bcc, hcp) and, for a recognised atom, an inverse-pole-figure colour of
//    its local crystal axes relative to a reference direction;
//  - OrientationImagingMap (OIM): the same test, and a colour from the angles
//    between the reference direction and the bonds, compared with three ideal
//    angle patterns per structure;
//  - NeighborDistanceAnalysis (NDA): matches the inter-neighbour distances of
//    an atom against a library of reference patterns.
//
// Input convention as for the other methods (morla.h): the centre position
// and n pointers to absolute neighbour positions, nearest first, at most
// MORLA_MAX_NEIGHBOURS used; a null array or negative n is an empty
// neighbourhood. Structure codes: 1 fcc, 2 bcc, 3 hcp, otherwise
// other_code(m) with m the number of neighbours inside the cut-off; an
// unrecognised atom keeps the grey colour 0.7, 0.7, 0.7.
//
// Robustness: a structure-test record that found no partner fails the test;
// a colour whose normalising divisor is not positive (or not finite) leaves
// the atom grey; NDA refuses an empty neighbourhood, pattern points at the
// origin and truncated pattern files.
#pragma once

#include <vector>

#include "analysis/morla.h"

namespace MORLA_METHOD {

class LocalCrystallographicOrientation {
public:
    struct vector {
        double x, y, z;
    };

    double mindis = 0;                // largest accepted mcsp sum (squared length)
    double dir[3] = {0, 0, 1};        // reference direction, unit vector
    int ntypes = 0;                   // entries of cut
    std::vector<double> cut;          // cut-off per type; adaptive: last cut-off in entry 0
    bool isadaptive = false;          // adaptive cut-off
    double s = 0;                     // structure code of the last call
    double r = 0.7, g = 0.7, b = 0.7; // colour of the last call
    int inplane[6] = {0, 0, 0, 0, 0, 0};   // hcp: positions of the in-plane neighbours
    int outplane[6] = {0, 0, 0, 0, 0, 0};  // hcp: positions of the out-of-plane neighbours

    // "lco" M dx dy dz c_1 ... c_K (at least five numbers): manual, 1.
    // "lco" with fewer numbers: adaptive, -1. No "lco": 0.
    int init(int argc, char** argv);
    void analysis(double* centre, double** neighbours, int n, int type);
    void freesetting();
    // The mcsp structure test on r[0..n) with cut-off distance cut.
    void str(vector* r, int n, double cut);
    // Add the colour seen from anchor k to r, g, b (NaN when the local axes
    // cannot be found).
    void fcc(vector* r, int k);
    void bcc(vector* r, int k);
    void hcp(vector* r, int k);
    double cosangle(vector* r, int j, int k);
    vector crossproduct(vector a, vector b);
    // v turned by 45 degrees about the unit axis n.
    vector rotate(vector v, vector n);
    double point(double ax, double ay, double az, double bx, double by, double bz);
    double squaredlengths(double x, double y, double z);
    double sign(double x);
    double max(double a, double b);
    double min(double a, double b);
};

class OrientationImagingMap {
public:
    double mindis = 0;
    double dir[3] = {0, 0, 1};
    int ntypes = 0;
    std::vector<double> cut;
    bool isadaptive = false;
    double s = 0;
    double r = 0.7, g = 0.7, b = 0.7;

    // "oim" M dx dy dz c_1 ... c_K: manual, 1; fewer numbers: adaptive, -1;
    // no "oim": 0.
    int init(int argc, char** argv);
    void analysis(double* centre, double** neighbours, int n, int type);
    void freesetting();
    // The mcsp structure test on the working list r[0..n) (pointers to x, y,
    // z); for hcp it reorders and corrects the first twelve entries.
    void str(double** r, int n, double cut);
    // Colour (unit weight vector) for the sorted angle list; grey when the
    // weights cannot be normalised.
    void fcc(double* rgb, double* angles);
    void bcc(double* rgb, double* angles);
    void hcp(double* rgb, double* angles);
    double point(double ax, double ay, double az, double bx, double by, double bz);
    double squaredlengths(double x, double y, double z);
    double sign(double x);
    void sbubble(double* a, int n);
};

class NeighborDistanceAnalysis {
public:
    int nmatch = 0;                                   // points matched by the last call
    int npattern = 0;                                 // number of patterns
    std::vector<std::vector<double>> pattern_dist;    // per pattern: N rows of N - 1 sorted distances, row-major
    std::vector<std::vector<double>> pattern_radial;  // per pattern: N sorted distances from the origin
    std::vector<double> pattern_tol;                  // per pattern: relative tolerance
    std::vector<int> pattern_size;                    // per pattern: N

    // New library from the words: each "nda" is followed by pattern files.
    // 1 patterns loaded, 2 keyword without patterns (built-in library),
    // 0 no keyword, -1 a pattern file was rejected.
    int init(int argc, char** argv);
    // 1 appended, 0 file not opened, -1 rejected (library unchanged): a word
    // that is not wholly a number, fewer than N points, N < 1, a point at
    // the origin or a non-finite number.
    int readpattern(char* file);
    // Appends the built-in fcc and bcc patterns.
    void defaultsetting();
    // Number of the best pattern counted from 1, or -1 (also for an empty
    // neighbourhood); sets nmatch.
    int analysis(double* centre, double** neighbours, int n);
    void freesetting();
    void sbubble(double* a, int n);

private:
    void append(const std::vector<double>& points, double tol);
};

}  // namespace MORLA_METHOD
