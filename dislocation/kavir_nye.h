// The Nye-tensor analysis: each atom's bonds are matched to the ideal bonds
// of its lattice (fcc, bcc or hcp in a given orientation), the lattice
// correspondence tensor G maps the actual bonds onto the ideal ones by least
// squares, and the Nye tensor alpha is the curl of the field G. The dominant
// singular triple of alpha gives a line direction and a Burgers vector per
// atom.
//
// Sign rule: a singular pair (u, v) is defined up to a common sign; Line and
// Burgers are turned so that Line . (1, sqrt 2, pi) > 0, which makes
// neighbouring atoms of one dislocation agree.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "dislocation/kavir_core.h"
#include "dislocation/kavir_neigh.h"

// Singular decomposition of a 3x3 matrix by Jacobi rotations of A^T A:
// A = sum_k s_k u_k v_k^T with s decreasing; rows of U and V hold u_k and v_k
// (u_k zero when s_k is zero). Returns the number of rotations, or -1 when
// the rotations did not converge.
int svd_m_3(const double A[3][3], double U[3][3], double s[3], double V[3][3]);
// Least-squares solve of Q X = P for n x 3 matrices Q and P (rows q_j, p_j):
// X = (Q^T Q)^-1 Q^T P. False when Q^T Q is singular relative to its size
// (the rows are close to coplanar); X is then left alone.
bool pinv_m_3(const double* Q, const double* P, int n, double X[3][3]);
// The same for an n x k right-hand side R (rows; k <= 9): X is 3 x k.
bool KAVIR_lsq3(const double* Q, const double* R, int n, int k, double* X);

// Prints "%5d of %d points finished WHAT" at every step while blocks of
// atoms finish on several threads.
class KAVIR_step_report {
public:
    KAVIR_step_report(CKAVIR* k, int n, const char* what, int step);
    void done(int count);

private:
    CKAVIR* k_;
    int n_;
    const char* what_;
    int step_;
    int printed_ = 0;
    std::atomic<int> done_{0};
    std::mutex m_;
};

// Outcome of the Nye step of one atom.
enum { KAVIR_NYE_DONE, KAVIR_NYE_NO_G, KAVIR_NYE_FLAT, KAVIR_NYE_NO_SVD };

// The Nye step of atom i (an atom inside the box): alpha = the curl of the
// correspondence tensors G (9 per atom inside the box, NaN where undefined)
// of its neighbours, by least squares over the bonds from pos; then its
// singular triple. alpha, s, line and burgers (9, 3, 3, 3 values) must hold
// zeros on entry: they stay zero with at most 2 usable neighbours, and s,
// line and burgers stay zero when s1 exceeds cutoff or alpha is zero. NaN
// everywhere for KAVIR_NYE_NO_G (G_i undefined) and KAVIR_NYE_FLAT (the
// neighbours too close to a plane). B and dG are scratch space.
int KAVIR_nye_atom(const CANL& anl, const std::vector<int>& real_of, const double* pos, const double* G, int i,
                   double cutoff, std::vector<double>& B, std::vector<double>& dG, double* alpha, double* s,
                   double* line, double* burgers);

constexpr int LATTICE_FCC = 0, LATTICE_BCC = 1, LATTICE_HCP = 2, LATTICE_OTHERS = -1;

// Lattice of each type.
class CLattice {
public:
    struct Manual {
        int type;
        double m[3][3];
    };
    std::vector<Manual> orient_entries;
    std::vector<std::pair<int, int>> type_entries;     // type value, code
    std::vector<std::pair<int, double>> const_entries;  // type value, constant
    // Per type index.
    std::vector<std::array<double, 9>> orient;
    std::vector<int> code;
    std::vector<double> constant;
    std::vector<double> mean, dev;
    std::vector<std::vector<long long>> histogram;  // atoms by neighbour count

    void calculate(CKAVIR* k, const CANL& anl);
};

// The command file of the analysis.
class CNYECMD : public CCMDBASE {
public:
    explicit CNYECMD(CKAVIR* k) : CCMDBASE(k) {}
    int map_method = 0;  // 0 angle, 1 distance
    double map_threshold = 0.95;
    bool mapnum = false, nye_tensors = false, deformtensor = false, deformsvd = false;
    bool stat = false, neighlenth = false, unpure = false, program_infor = false, correlation_list = false;
    int coor = 0;
    double loc[3] = {0, 0.4, 0.5};
    bool relative = true;
    std::string filepath, sfilename, filename;
    CLattice lattice;

    void cmd_read(const std::string& path);
    // The whole analysis; returns after the result is written.
    void calculate(const std::string& path);
};

// Per-atom results over the atoms inside the box.
class CNYE {
public:
    CNYE(CKAVIR* k, CNYECMD* c, KAVIR_neighbours* n) : kavir(k), cmd(c), nb(n) {}
    CKAVIR* kavir;
    CNYECMD* cmd;
    KAVIR_neighbours* nb;
    int n = 0;
    std::vector<double> deform_tensor;  // 9 per atom; NaN where the bonds are too flat
    std::vector<int> mapnum;
    std::vector<int> refid;
    std::vector<double> nye_tensor;     // 9 per atom
    std::vector<double> s;              // 3 per atom
    std::vector<double> line, burgers;  // 3 per atom
    // Matched pairs (reference index, neighbour) per atom, kept for the
    // bond-matching lists.
    std::vector<std::vector<std::pair<int, int>>> pairs;
    int flat = 0;       // atoms whose bonds gave no correspondence
    int flat_grad = 0;  // atoms whose neighbours gave no gradient
    // Reference bonds per type index: lab directions and lab bonds.
    std::vector<std::vector<std::array<double, 3>>> pref_dir, pref, pref2_dir, pref2;

    void calculate();

private:
    void reference_tables();
    void cal_hcp_refid();
    int match(int i, bool variant2, std::vector<std::pair<int, int>>& out) const;
    void cal_coresp();
    void cal_nye_svd();
};

// Runs the analysis of an INPAR whose first word is nye.
void KAVIR_nye(CKAVIR* k, const std::string& inpar);
