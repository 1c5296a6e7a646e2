// Voronoi cells of the atoms: per atom the volume of its cell and the number
// of its faces (optionally only faces above an area), with the periodic
// images across the model's periodic faces, as LAMMPS's compute voronoi/atom
// gives them. The volumes of a box sum to its volume.
//
// Across a face of the box that is not periodic the box face is a wall: the
// cells are cut off there (LAMMPS does the same with its non-periodic
// boundaries), and such a wall is a face of the cells it cuts. In a triclinic
// box the wall is the plane of the box face.
//
// Vertices within 1e-10 of the cell size of a cutting plane lie on it, so that
// a perfect lattice gets its true cells: 12 faces in fcc, 14 in bcc, 6 in
// simple cubic, with no slivers from rounding where four or more faces meet.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

struct QN_voronoi_options {
    // Only faces of an area above it are counted (A^2); 0 counts every face,
    // as LAMMPS's face_threshold keyword.
    double face_threshold = 0;
    int threads = 0;  // 0: one per processor core (at most 8)
};

struct QN_voronoi_result {
    std::vector<double> volume;  // per atom record (A^3); 0 for a deleted record
    std::vector<int> faces;
};

// 1 done; -1 refused with the reason in *message and the result empty: an
// empty model, a threshold below 0, a box without volume, two atoms at one
// place (also through a periodic face), an atom outside the box across a
// face that is not periodic. Deleted records and periodic ghosts (QB_pbc)
// take no part. Results are equal on any number of threads.
int QN_voronoi(const QB_tools* model, const QN_voronoi_options& options, QN_voronoi_result* out,
               std::string* message);
