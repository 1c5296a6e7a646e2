// Slip vectors (SVA) and differential displacements (DDA): two analyses that
// compare every bond of an atom in the deformed configuration with the same
// bond in the reference.
//
// SVA, per atom i with neighbours j: the slip of each bond
//   s_ij = (x_j - x_i)_def - (x_j - x_i)_ref,
// their mean vector ("SVA.X/Y/Z", its length "SVA"), their mean length
// ("Average"), optionally the longest one ("MAXSVA"), and the slip vector of
// Zimmerman, Kelchner, Klein, Hamilton and Foiles (Phys. Rev. Lett. 87,
// 165507, 2001) ("Slip.X/Y/Z", "Slip"): the mean taken over the bonds that
// slipped only, so that an atom beside a stacking fault shows the partial's
// Burgers vector, not a quarter of it.
//
// DDA, per bond: the relative displacement of its two atoms split into a
// screw part (along the slip-plane normal, counted modulo the Burgers
// vector's normal component and drawn along the in-plane bond), an edge part
// (in the plane, reduced by the in-plane Burgers vector) and a mixed part
// (along a chosen direction, projected onto the plane), each drawn at the
// bond centre.
#pragma once

#include <string>
#include <vector>

#include "dislocation/kavir_compare.h"
#include "dislocation/kavir_neigh.h"

// Shifts v by whole multiples of b towards the shortest v + m b: while
// |v + b| < |v|, v += b; then while |v - b| < |v|, v -= b. A zero b leaves v.
void KAVIR_reduce_by(double v[3], const double b[3]);

// A bond counts as slipped for the published slip vector when its slip is
// longer than this fraction of the atom's mean reference bond length.
constexpr double KAVIR_SLIP_FRACTION = 0.1;

// ================================================================ SVA

class CSVACMD : public CCMDBASE {
public:
    explicit CSVACMD(CKAVIR* k) : CCMDBASE(k) {}
    bool avedis = true;    // write the mean slip vector
    bool max_sva = false;  // write the longest slip vector and its length

    void cmd_read(const std::string& path);
    // The whole analysis: both configurations, the slip vectors, the result
    // file and the projection.
    void calculate(const std::string& path);
};

// Slip vectors of the atoms inside the box, per real entry of the periodic
// extension (storage order). NaN for an atom without a reference partner or
// without a neighbour that has one.
class CSVA {
public:
    CSVA(CKAVIR* k, const CSVACMD* c, const CCMC* m) : kavir(k), cmd(c), ccmc(m) {}
    CKAVIR* kavir;
    const CSVACMD* cmd;
    const CCMC* ccmc;
    int n = 0;
    std::vector<double> mean;      // 3 per atom: mean of s_ij
    std::vector<double> average;   // mean of |s_ij|
    std::vector<double> length;    // |mean|
    std::vector<double> longest;   // 3 per atom: the longest s_ij (first on ties; 0 when none slipped)
    std::vector<double> longest_len;
    std::vector<double> slip;      // 3 per atom: mean of the slipped bonds' s_ij (0 when none slipped)
    std::vector<double> slip_len;
    long long lost = 0;  // bonds left out: the neighbour has no reference partner

    void calculate();
};

void KAVIR_sva(CKAVIR* k, const std::string& inpar);

// ================================================================ DDA

class CDDACMD : public CCMDBASE {
public:
    // DDA starts with free boundaries, no wrapping and the neighbours of the
    // reference.
    explicit CDDACMD(CKAVIR* k);
    bool export_atoms = true;
    double dda_normal[3] = {0, 0, 2};
    double dda_burgers[3] = {0, 0, 2};
    double dda_projection[3] = {0, 0, 1};
    bool edge = false, screw = true, mixed = false;
    int center = 1;  // configuration of bond centres and bond vectors: 0 deformed, 1 reference
    bool edge_bond = false;

    void cmd_read(const std::string& path);
    void calculate(const std::string& path);
};

// Components of every bond of the atoms inside the box: the atoms in input
// order, each with its neighbours in list order (a bond between two atoms
// inside the box appears once from each end).
class CDDA {
public:
    CDDA(CKAVIR* k, const CDDACMD* c, const CCMC* m) : kavir(k), cmd(c), ccmc(m) {}
    CKAVIR* kavir;
    const CDDACMD* cmd;
    const CCMC* ccmc;
    int n = 0;                  // atoms inside the box
    std::vector<size_t> first;  // per atom in input order, its first bond; n + 1 entries
    std::vector<double> centre, edge, screw, mixed;  // 3 per bond
    std::vector<double> atom_pos;  // 3 per atom in input order, in the centre configuration

    size_t bonds() const { return first.empty() ? 0 : first.back(); }
    void calculate();
};

void KAVIR_dda(CKAVIR* k, const std::string& inpar);
