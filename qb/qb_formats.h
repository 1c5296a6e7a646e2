// Structure files: LAMMPS data files, LAMMPS dumps and VASP POSCAR
// files (Direct or Cartesian), with recognition of a file of unknown kind,
// and the header writers of the analysis engine's output files.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "qb/qb_tools.h"

// Recognises and reads a file: 0 no format matched, 1 LAMMPS data read,
// 2 data file recognised but atom lines missing or broken, 3 custom dump
// read, 4 dump recognised but atom data short or unusable, 5 POSCAR read,
// 6 POSCAR recognised but atom data short, QB_READ_UNREADABLE the file
// cannot be opened or is not a regular file (a folder, a FIFO, a device: it
// is refused before it is opened, never waited on). A success is an odd
// code. LAMMPS files are read as LAMMPS writes them: dumps with x y z, xu yu
// zu (wrapped on reading), xs ys zs or xsu ysu zsu positions and element
// names; data files of the atomic, charge, full, molecular, bond and angle
// styles.
// 9 extended XYZ (or plain XYZ) read, 10 extended XYZ recognised but its
// atom lines short or broken. A file whose bytes are gzip data is read
// decompressed, whatever its name, with the same recognition.
constexpr int QB_READ_UNREADABLE = 8;
constexpr int QB_READ_EXTXYZ = 9;
constexpr int QB_READ_EXTXYZ_BROKEN = 10;
int QB_read_file(QB_tools* s, const char* path);
// The same, with the user's reason when a failure has more to say than its
// code ("cannot open hot.dump: No such file or directory", the columns a
// dump lacks, an atom style not read); empty otherwise.
int QB_read_file(QB_tools* s, const char* path, std::string* reason);
// The same recognition on text already in memory (path names it in remarks).
int QB_read_text(QB_tools* s, std::string_view text, const char* path, std::string* reason = nullptr);

// Readers: 1 success, -1 not the format's layout (or the file cannot be
// opened), -2 atom data short or broken; the dump reader also returns -3
// (read completely but with a bad number) and -4 (no set of position
// columns).
int QB_read_lmp(QB_tools* s, const char* path);
int QB_read_lmc(QB_tools* s, const char* path);
int QB_read_vasp(QB_tools* s, const char* path);

// Writers (a name ending in ".gz" is written gzipped): 1 written, -1 the file could not be written (an existing file of
// that name is left as it was), -2 the cell is degenerate (zero volume),
// QB_WRITE_UNNAMED (POSCAR only) a type has no element name the species line
// can hold: nothing is written, and an existing file is left as it was.
// The data file carries the element names of the types as the comments of
// a "Masses" section ("1\t63.546000\t# Cu") when every type is named after
// an element; the POSCAR species line and the extended XYZ species carry
// them always.
constexpr int QB_WRITE_UNNAMED = -3;
int QB_dump_lmp(QB_tools* s, const char* path);
int QB_dump_lmc(QB_tools* s, const char* path);
int QB_dump_vasp_Direct(QB_tools* s, const char* path);
int QB_dump_vasp_Cartesian(QB_tools* s, const char* path);
// The first type whose name a POSCAR species line cannot hold (none, empty,
// a number, or a text with blanks), 0 when every type 1 ... ntypes can be
// written.
int QB_vasp_unnamed_type(const QB_tools* s);
// The "Masses" section of a data file, "\nMasses\n\n" and one line per
// type, when every type is named after an element; empty otherwise.
std::string QB_lammps_masses(const QB_tools* s);
// Extended XYZ (see qb_extxyz.h).
int QB_dump_extxyz(QB_tools* s, const char* path);

// Number tokens. QB_checkdat converts the leading number of the token; when
// characters remain it prints ">>ERROR: error data type %s should be float or
// int type" and sets QB_checkdat_err. QB_checkchar is 1 when the token is not
// a plain number.
extern int QB_checkdat_err;
double QB_checkdat(const char* token);
int QB_checkchar(const char* token);

// Header writers of the analysis engine's output files.
FILE* aaopenfile(const char* path, const char* mode);
void out_lmp_head(FILE* f, const char* columns, int natoms, int timestep, const double* lo, const double* hi);
void out_imd_head(FILE* f, const char* columns, int n, const double* box);
void out_data_head(FILE* f, int natoms, int ntypes, const double* lo, const double* hi);
