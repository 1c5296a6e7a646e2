// EAM potentials in the LAMMPS setfl layouts ("eam/alloy", "eam/fs") turned
// into the engine's tabulated .quelm file, and a .quelm file rewritten for
// the atom types of one model. No FLTK in here: every function returns a
// status and a message, and the tool windows and quelm-batch show them.
//
// The .quelm file: " N 6", then blocks, each a header "i j kind" (2
// embedding F_i(rho), 1 density of the pair (i, j), 0 pair energy phi_ij
// with j <= i), the point count less one, the argument range and the points
// "x y" in rising x.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The two setfl layouts: eam/alloy has one density function per element,
// eam/fs one per pair of elements.
enum class QT_setfl_layout { alloy, fs };

// A setfl file as read: N elements, F_e on k*drho (k < nrho), densities and
// r*phi on k*dr (k < nr).
struct QT_setfl {
    QT_setfl_layout layout = QT_setfl_layout::alloy;
    int n = 0;
    std::vector<std::string> names;
    int nrho = 0, nr = 0;
    double drho = 0, dr = 0, cutoff = 0;
    std::vector<std::vector<double>> embedding;              // [e][k]
    std::vector<std::vector<std::vector<double>>> density;   // [e][j][k]; alloy: one j
    std::vector<std::vector<std::vector<double>>> r_phi;     // [i][j][k], j <= i
};

// Reads a setfl file in the given layout. Every number must be there and be
// a number (Fortran "D" exponents are read as exponents), and nothing may
// follow the last table. False with a message naming the file, the block and
// the value index when the file does not fit.
bool QT_read_setfl(const std::string& path, QT_setfl_layout layout, QT_setfl& pot, std::string& message);

// Recognises the layout from the number of values the file holds: exactly
// one layout must fit. False with the reason when none or both fit (a
// one-element file fits both).
bool QT_setfl_layout_of(const std::string& path, QT_setfl_layout& layout, std::string& message);
// Whether a text starts as a funcfl .eam file does: a comment line, "Z mass
// a lattice", then "Nrho drho Nr dr cut-off" (the tables are not read).
bool QT_looks_like_funcfl(const std::string& text);

// Writes pot as a .quelm file in the block order and number format of the
// converter for its layout. False (and no file) when it cannot be written.
bool QT_write_quelm(const QT_setfl& pot, const std::string& path, std::string& message);

// Reads a setfl file and writes it as a .quelm file. On success message is
// "Transfer complete"; otherwise it says what went wrong and no output file
// is left (an existing one stays as it was). Progress lines go to log.
bool QT_setfl_to_quelm(const std::string& in, const std::string& out, QT_setfl_layout layout,
                       std::string& message, FILE* log = nullptr);

// One block of a .quelm file.
struct QT_quelm_block {
    int i = 0, j = 0, kind = 0;
    long double lo = 0, hi = 0;
    std::vector<long double> x, y;
};

// A .quelm file with its blocks found by their headers.
struct QT_quelm {
    int n = 0;
    std::vector<QT_quelm_block> embedding;  // [e]
    std::vector<QT_quelm_block> density;    // [i*n + j]
    std::vector<QT_quelm_block> pair;       // [i*(i+1)/2 + j], j <= i

    const QT_quelm_block& rho(int i, int j) const { return density[i * n + j]; }
    const QT_quelm_block& phi(int i, int j) const { return i >= j ? pair[i * (i + 1) / 2 + j] : pair[j * (j + 1) / 2 + i]; }
};

// Reads a .quelm file in any block order. Every block must be there once,
// with header indices in range; all embedding blocks must share one grid and
// all density and pair blocks another. False with a message naming the block
// and value when the file does not fit.
bool QT_read_quelm(const std::string& path, QT_quelm& pot, std::string& message);

// Writes the .quelm file source rewritten for the model types 1 … map.size():
// type t takes source element map[t-1] (counted from 1). Returns 1 when
// written (message "Transfer complete"), -1 when a map entry is not an
// element of the source, 0 when the source does not fit or the target cannot
// be written. On failure no target is created and an existing one stays.
int QT_remap_quelm(const std::string& source, const std::string& target, const std::vector<int>& map,
                   std::string& message, FILE* log = nullptr);

// The converters in their command-line form: argv[1] the input, argv[2] the
// output. They report progress on standard output and return 1 when the
// output was written, 0 otherwise (message, when given, says why).
int alloy2quelm(int argc, char** argv, std::string* message = nullptr);
int fs2quelm(int argc, char** argv, std::string* message = nullptr);

// Rewrites source for n model types by map (counted from 1). Returns 1 when
// written, -1 when a map entry is not an element of the source (no target
// is created), 0 when the source does not fit or the target cannot be
// written. When written, the map's entries are made 0-based in place, as the
// simulation wizards expect.
int Pot_transfer(char* source, char* target, int n, int* map, std::string* message = nullptr);
