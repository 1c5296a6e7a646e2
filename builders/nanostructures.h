// The nanostructure builders, computing side: nanoparticle (sphere or one of
// five regular polyhedra, in any orientation), nanowire (circular, square,
// hexagonal or octagonal section along x, y or z), nanosheet (a slab parallel
// to the plane of two cell vectors, with vacuum) and core-shell particle.
// Each cuts its object out of the crystal of a structure file, generated
// along the file's cell vectors only as far as the object needs. Shared by
// the forms and `quelm-batch build`; no FLTK. Functions return 1 with "New
// model detected ..." or a negative code with "Building model error: ..." and
// leave the target untouched.
#pragma once

#include <string>

#include "qb/qb_tools.h"

constexpr int QN_NANO_GROUP = 0;
extern const char* const QN_CLUSTER_TITLE;    // "Build a cluster model with two given files"
extern const char* const QN_WIRE_TITLE;       // "Build a wire model with two given files"
extern const char* const QN_SHEET_TITLE;      // "Build a sheet model with two given files"
extern const char* const QN_CORESHELL_TITLE;  // "Build a coreshell model with two given files"

// Shapes of "Structure:": 0 Sphere, 1 Tetrahedron, 2 Hexahedron, 3 Octahedron,
// 4 Dodecahedron, 5 Icosahedron.
constexpr int QN_SHAPES = 6;
// Wire sections: 0 Cylinder, 1 Pyramid (square), 2 Hexagonal Prism, 3 Octagonal Prism.
constexpr int QN_SECTIONS = 4;

// The forms' store groups: reset group 0 with the title and write the
// defaults. 1, or a store refusal.
int QN_model_cluster_defaults();
int QN_model_wire_defaults();
int QN_model_sheet_defaults();
int QN_model_coreshell_defaults();

// Build from the form's values in group 0, as "Preview" and "Export" do: the
// types keep the element names of the crystal files (the core's after the
// shell's), or take those of "M_elements" ("Elements:") when it is given.
int QN_model_cluster_build(QB_tools* out, std::string& message);
int QN_model_wire_build(QB_tools* out, std::string& message);
int QN_model_sheet_build(QB_tools* out, std::string& message);
int QN_model_coreshell_build(QB_tools* out, std::string& message);

// The geometry. Orientation rows (xx, xy, xz), (yx, ...), (zx, ...) are the
// box-frame directions of the polyhedron's own axes (normalised; they must be
// non-zero and perpendicular for a polyhedron). R is the sphere's radius or
// the polyhedron's inradius.
int QB_cluster(int shape, const char* file, double R, double xx, double xy, double xz, double yx, double yy, double yz,
               double zx, double zy, double zz, QB_tools* out, std::string* message = nullptr);
int QB_wire(int section, int axis, const char* file, double R, double H, QB_tools* out,
            std::string* message = nullptr);
// unit 0: the centre (cx, cy, cz) in Å; 1: in fractions of the box.
int QB_sheet(int plane, const char* file, double cx, double cy, double cz, int unit, int nx, int ny, double thick,
             double vacuum, QB_tools* out, std::string* message = nullptr);
// core_mode 0 Empty, 1 Solid. Shell atoms closer than min_distance to a core
// atom are removed (0: 0.75 times the smaller nearest-neighbour distance of
// the two crystals); `removed` gets their number.
int QB_coreshell(int shape, int core_mode, const char* shell_file, const char* core_file, double R_shell,
                 double R_core, double xx, double xy, double xz, double yx, double yy, double yz, double zx,
                 double zy, double zz, QB_tools* out, std::string* message = nullptr, double min_distance = 0,
                 int* removed = nullptr);
