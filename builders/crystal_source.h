// A crystal read from a structure file as the builders use it: its cell
// vectors and its atoms as sites relative to the first atom, from which any
// stretch of the infinite crystal can be generated along the cell vectors
// (never by the box's bounding box, so tilted and hexagonal cells work).
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "qb/qb_tools.h"

using QN_vec = std::array<double, 3>;

struct QN_crystal {
    double cell[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // rows a, b, c
    QN_vec origin{};  // the cell's corner (lo for an orthogonal box)
    QN_vec first{};   // position of the first atom
    bool triclinic = false;
    int ntypes = 0;
    std::vector<QN_vec> sites;  // positions minus `first`
    std::vector<int> types;
    std::vector<std::string> names;  // element of type t at t - 1, empty where the file names none
};

// The element names of types 1 ... ntypes of a model, empty where none is
// known.
std::vector<std::string> QN_type_names(const QB_tools& model);
// Gives types shift + 1, shift + 2, ... of model the names, leaving types
// whose name is empty as they are.
void QN_name_types(QB_tools* model, const std::vector<std::string>& names, int shift = 0);

// The "Elements:" field of the builder forms: one element symbol per type
// of the model built ("Cu,Ni"), stored under "M_elements"; empty keeps the
// names the source files give.
extern const char* const QN_ELEMENTS_KEY;
// Writes the field's default (empty) into the form's group.
void QN_elements_default(int group);
// Names the built model's types after the field of group when it is not
// empty: 1, or -1 with "Building model error: Elements: <why>" and the model
// unchanged.
int QN_elements_apply(int group, QB_tools* model, std::string& message);

// A builder's refusal: "Building model error: <why>" into *message (when
// given); false, or -1 from QN_refused.
bool QN_refuse(std::string* message, const std::string& why);
int QN_refused(std::string* message, const std::string& why);

// Reads a whole model from path for a builder to change: 1, or -1 with
// "Building model error: ..." when it cannot be read, its box has no volume
// or it holds no atoms.
int QN_read_builder_model(const std::string& path, QB_tools& model, std::string& message);

// Reads path as a crystal: 1, or -1 with the refusals of
// QN_read_builder_model.
int QN_read_crystal(const std::string& path, QN_crystal& crystal, std::string& message);

// Shortest distance between two atoms of the infinite crystal.
double QN_crystal_nearest(const QN_crystal& crystal);

// The stretch t0 <= t <= t1 of a line base + t dir that lies inside a box
// and half-spaces, narrowed one bound at a time.
struct QN_line_stretch {
    double t0 = -1e300, t1 = 1e300;
    bool empty = false;
    // Keeps the t with along * t <= room.
    void limit(double along, double room);
    // Keeps the t with lo <= base + t dir <= hi on every axis.
    void box(const QN_vec& base, const QN_vec& dir, const QN_vec& lo, const QN_vec& hi);
    bool open() const { return !empty && t0 <= t1; }
    // The whole steps from one before the stretch to one after it (rounding
    // may have cut an end point off), bounded to +-1e15.
    void steps(long& lo, long& hi) const;
};

// The region of the crystal to generate, around the first atom's site at the
// origin: the lattice points inside the box [lo, hi] that also satisfy the
// planes n . p <= d and the radial bound |p| <= radius over the axes marked
// in `radial` (a sphere or a cylinder), checked exactly by `keep`. For a
// convex region only the ends of each lattice line are tested with `keep`.
struct QN_fill_shape {
    QN_vec lo{}, hi{};
    struct Plane {
        QN_vec n;
        double d;
    };
    std::vector<Plane> planes;
    double radius = -1;
    bool radial[3] = {true, true, true};
    std::function<bool(const QN_vec&)> keep;
    bool convex = true;
};

// Appends the generated atoms (id 0, the site's type, the position) to out.
void QN_fill_crystal(const QN_crystal& crystal, const QN_fill_shape& shape, QB_atom_array& out);

// The described padded box: per axis, running bounds from 0 widened to each
// coordinate beyond them plus 0.2; sets lo, size, origin and a diagonal cell.
void QN_padded_box(QB_tools* s, const bool axes[3]);

// Numbers the atoms 1 ... N and sets the type count.
void QN_number_atoms(QB_tools* s, int ntypes);
