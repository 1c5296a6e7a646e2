// The defect and alloy builders, computing side: a straight screw or edge
// dislocation (isotropic Volterra displacement field), a crack (the near-tip
// displacement field of linear elastic fracture mechanics, modes I, II in
// plane strain or plane stress, and III) and a solid solution
// (substitutional or interstitial). Each reads a model from a structure file
// and changes it. Shared by the forms and `quelm-batch build`; no FLTK.
//
// Units: lengths in Å, the shear modulus G in GPa, the stress intensity
// factor K in MPa·√m (the displacement amplitude K/(2G)·√(r/2π) is then
// 50·K/G·√(r/2π) Å with r in Å).
//
// Functions return 1 with "New model detected ..." and a report line, or a
// negative code with "Building model error: ..." and leave the target
// untouched.
#pragma once

#include <cstdint>
#include <string>

#include "qb/qb_tools.h"

constexpr int QN_DEFECT_GROUP = 0;
extern const char* const QN_DISLOCATION_TITLE;  // "Build a dislocation model with two given files"
extern const char* const QN_CRACK_TITLE;        // "Build a crack model with two given files"
extern const char* const QN_SOLUTE_TITLE;       // "Build a solute model with two given files"

// Atoms closer than this to the dislocation line or the crack tip have no
// defined displacement and stay in place.
constexpr double QN_DEFECT_CORE = 1e-6;

// The forms' store groups: reset group 0 with the title and write the
// defaults. 1, or a store refusal.
int QN_model_dislocation_defaults();
int QN_model_crack_defaults();
int QN_model_solute_defaults();

// Build from the form's values in group 0, as "Preview" and "Export" do: the
// model keeps the element names of its file (a new solute type has none), or
// takes those of "M_elements" ("Elements:") when it is given.
int QN_model_dislocation_build(QB_tools* out, std::string& message);
int QN_model_crack_build(QB_tools* out, std::string& message);
int QN_model_solute_build(QB_tools* out, std::string& message);

// mode 0 screw ((bx, by, bz) is the slip-plane normal s), 1 edge ((bx, by, bz)
// is the Burgers direction s). unit 0: the centre in Å; 1: in fractions of
// the box (along the cell vectors of a tilted box). The frame is
// right-handed: with n = ξ × s for the edge and n = s × ξ for the screw, a
// right-handed Burgers circuit about the line direction ξ closes to +b along
// s (edge) or along ξ (screw). `on_line` gets the number of atoms left in
// place on the line.
int QB_dislocation(int mode, const char* file, double cx, double cy, double cz, int unit, double dx, double dy,
                   double dz, double bx, double by, double bz, double b, double nu, QB_tools* out,
                   std::string* message = nullptr, int* on_line = nullptr);

// The displacement of the point (x, y) of the frame (s, n) of an edge
// dislocation with Burgers length b: (u along s, u along n).
void QN_edge_displacement(double x, double y, double b, double nu, double u[2]);

// Crack modes: 0 Mode I Plain Strain, 1 Mode I Plain Stress, 2 Mode II Plain
// Strain, 3 Mode II Plain Stress, 4 Mode III. direction 0 ... 5: X+, X-, Y+,
// Y-, Z+, Z-; normal 0 ... 2: X, Y, Z. `at_tip` gets the number of atoms left
// in place at the tip.
int QB_crack(int mode, int direction, int normal, const char* file, double length, double G, double nu, double K,
             QB_tools* out, std::string* message = nullptr, int* at_tip = nullptr);

// The near-tip displacement at distance r and angle θ (−π, π] from the tip:
// (u along the propagation direction, u along the normal, u along the third
// axis), in Å.
void QN_crack_displacement(int mode, double r, double theta, double G, double nu, double K, double u[3]);

// mode 0 substitutional: ⌊N·c⌋ hosts (atoms not of `type`) become `type`,
// drawn evenly over every host with `seed`; 1 interstitial: ⌊N·c⌋ atoms of
// `type` at the centres of tetrahedral sites (four host atoms within
// `cutoff` of each other) near random points. `placed` gets the number
// converted or inserted.
int QB_solute(int mode, const char* file, double concentration, double cutoff, int type, int seed, QB_tools* out,
              std::string* message = nullptr, int* placed = nullptr);
// The same from a model in memory.
int QB_solute_model(const QB_tools* model, int mode, double concentration, double cutoff, int type, int seed,
                    QB_tools* out, std::string* message = nullptr, int* placed = nullptr);

// ⌊n·c⌋ for the decimal c is written as (0.57 → 57 of 100), in exact
// arithmetic.
int64_t QN_fraction_count(int64_t n, double c);

// Tries to insert one interstitial atom of `type` near (x, y, z): the centre
// of the first four hosts (atoms of another type) among the neighbours of
// the point within `cutoff` whose six distances are all below `cutoff`,
// wrapped into the cell, unless an atom is closer to it than its four
// corners. Periodic images are the caller's: ghost atoms from QB_pbc count
// as hosts. The system gets its cell network for `cutoff` when it has none.
// Returns the index of the new atom, or -1.
int QB_add_solute(QB_tools* system, int type, double x, double y, double z, double cutoff);
