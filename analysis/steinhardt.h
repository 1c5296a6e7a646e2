// Steinhardt bond-orientational order parameters per atom: q_l and w_l of
// chosen degrees l over the N nearest neighbours or every neighbour within
// a cut-off (periodic images across the model's periodic faces included),
// and the neighbour-averaged q_l. They tell a liquid (low q6) from fcc, hcp
// and bcc crystals.
//
// As LAMMPS's compute orientorder/atom: q_lm(i) = 1/N_i sum_j Y_lm(r_ij)
// over the neighbours j of atom i, q_l = sqrt(4 pi / (2l + 1) sum_m
// |q_lm|^2), and w_l = sum_{m1+m2+m3=0} (l l l; m1 m2 m3) q_lm1 q_lm2 q_lm3 /
// (sum_m |q_lm|^2)^(3/2) with Wigner 3j symbols (LAMMPS's "wl/hat"; 0 for
// odd l, where the sum vanishes, and where q_l is below 1e-6). The averaged
// q_l (Lechner and Dellago 2008) takes the q_lm averaged over the atom and
// its neighbours (the same neighbours).
//
// Neighbours are the N nearest by distance, within the cut-off when one is
// given. Among neighbours at equal distances (perfect lattices) the ones the
// cell search meets first are taken, LAMMPS takes others: over a full shell
// (N the shell's size) the values are the same.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

constexpr int QN_STEINHARDT_MAX_DEGREE = 12;
constexpr int QN_STEINHARDT_MAX_NEIGHBOURS = 10000;

struct QN_steinhardt_options {
    std::vector<int> degrees{4, 6};  // the l values, each 1 ... 12, no repeats
    // The N nearest neighbours, 1 ... QN_STEINHARDT_MAX_NEIGHBOURS; with a
    // cut-off, 0 takes every neighbour within it instead.
    int neighbours = 12;
    // 0: the N nearest as far as they lie (at most as far as the periodic
    // box is thick); > 0: only neighbours nearer than this (Å), at most the
    // box's thickness across a periodic direction.
    double cutoff = 0;
    bool wl = false;                 // also w_l, normalised as LAMMPS's "wl/hat"
    bool averaged = false;           // also the neighbour-averaged q_l
    int threads = 0;                 // 0: one per processor core
};

struct QN_steinhardt_result {
    // Per degree k (options.degrees[k]) one value per atom record; w and
    // averaged_q are empty unless asked for.
    std::vector<std::vector<double>> q, w, averaged_q;
};

// 1 done; -1 refused with the reason in *message and *out unchanged (no
// degree, a degree outside 1 ... 12 or repeated, N below 1 without a
// cut-off or negative, a cut-off that is negative, not finite or longer than
// the periodic box is thick, an atom with fewer than N neighbours (within
// the cut-off; with N = 0 an atom without any), named by its id, two atoms
// at one place, an empty model). Results are equal on any number of
// threads.
int QN_steinhardt(const QB_tools* model, const QN_steinhardt_options& options, QN_steinhardt_result* out,
                  std::string* message);
