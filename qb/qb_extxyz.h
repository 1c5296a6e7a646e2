// Extended XYZ, as ASE reads and writes it: the atom count, a comment line
// of key=value pairs (Lattice="ax ay az bx by bz cx cy cz",
// Properties=species:S:1:pos:R:3[:name:R|I|S|L:n ...], pbc="T T T", ...),
// then one line per atom; frames follow one another.
#pragma once

#include <string>
#include <string_view>

#include "qb/qb_read_text.h"
#include "qb/qb_tools.h"

// Reads the first frame: 1 read, -1 not extended XYZ (or the file cannot be
// opened), -2 recognised but the atom data is short or broken.
int QB_read_extxyz(QB_tools* s, const char* path);

// Writes the live atoms as one extended-XYZ frame: species (the element
// names of the types), positions and every data column (file and double
// columns as R, integer columns as I), the cell as Lattice with its origin
// as Origin, pbc from the model. 1 written, -1 the file could not be written.
int QB_dump_extxyz(QB_tools* s, const char* path);

namespace qb_read {

// True when text starts the way an XYZ frame does: a line holding only an
// atom count, then a comment line with Lattice= or Properties=, or, for
// plain XYZ, an atom line "Symbol x y z".
bool looks_like_xyz(std::string_view text);

// Reads the frame at the start of text: 1, -1 not the format, -2 broken
// (r.reason says why). used gets the length of the frame in bytes.
int read_extxyz_text(std::string_view text, ReadResult& r, size_t* used = nullptr);

}  // namespace qb_read
