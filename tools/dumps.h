// The remote engine's binary per-atom dumps turned into LAMMPS custom dumps
// (.lmc) that the program opens like any other dump: the structure file
// (DatST, 64-byte records) and the atomic-stress file (DatAES, 96-byte
// records), each with its text header beside it (the binary's name followed
// by ".parm").
//
// The binary is streamed: 1024 records are read at a time into one buffer
// and the text goes out through another, so memory does not grow with the
// number of atoms. The dump is written to a temporary file and renamed over
// the target only when everything was written: a failed run leaves no
// output and never destroys an existing file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

enum class DUMP_kind {
    st,   // DatST: id, type, x, y, z, pe, packed colour, cna, cnp
    aes,  // DatAES: id, type, x, y, z, pe, pxx, pyy, pzz, pyz, pxz, pxy, mises
};

constexpr int DUMP_ST_RECORD = 64;     // bytes of one DatST record
constexpr int DUMP_AES_RECORD = 96;    // bytes of one DatAES record
constexpr int DUMP_CHUNK_RECORDS = 1024;  // records read at a time

// Bytes of one record of the kind.
int DUMP_record_size(DUMP_kind kind);

// The words of a .parm header that are used: 2 the number of atoms, 4/5,
// 7/8, 10/11 the box bounds along x, y and z, 15 the time step. Each value
// is the leading numeric part of its word (0 for a word without one).
struct DUMP_header {
    long long natoms = 0;
    double lo[3] = {0, 0, 0};
    double hi[3] = {0, 0, 0};
    long long timestep = 0;
};

// Takes a header apart from its text; false with the reason when it has
// fewer than 15 words (words past the 15th are ignored).
bool DUMP_parse_header(const std::string& text, DUMP_header& header, std::string& reason);

// What a conversion did.
struct DUMP_report {
    int status = 1;                     // 0 written, 1 failed (no output, target untouched)
    std::string message;                // the failure, or "N atoms written to OUT"
    std::vector<std::string> warnings;  // remarks on a run that still wrote the dump
    long long atoms = 0;                // records converted (the count the dump declares)
    long long header_atoms = 0;         // the count the .parm header gives
    long long ignored_bytes = 0;        // a trailing partial record left out
};

// Converts binary (header binary + ".parm") into the LAMMPS custom dump
// target. progress, when not null, receives the DatST converter's
// "header %s is read" and "data file %s is read" lines.
//
// Refused, with status 1 and no output: a header that cannot be read
// ("ErrorOpeningInputFile\n" for DatST, "ErrorOpeningFile" for DatAES,
// followed by the reason) or that has fewer than 15 words; a binary that
// cannot be opened ("ErrorOpeningFile\n" and the reason), is not a regular
// file, is empty or holds no whole record; a read error ("error reading
// file, is SaveParticle correct?"); a target that cannot be written or that
// names the binary or its header.
//
// Warned about, the dump still written: a trailing partial record (left
// out; the warning gives its byte count) and a header whose atom count is
// not the number of records (the dump declares the records converted).
DUMP_report DUMP_convert(DUMP_kind kind, const std::string& binary, const std::string& target,
                         FILE* progress = nullptr);

// The converters in the manner of a command-line program: argv[1] the
// binary dump, argv[2] the dump to write (argc is only checked to be at
// least 3). DatST2lmp reports its progress on standard output. Return 0 when
// written, 1 when not; message, when not null, receives the report's
// message with its warnings before it, one a line.
int DatST2lmp(int argc, char** argv, std::string* message = nullptr);
int DatAES2lmp(int argc, char** argv, std::string* message = nullptr);

// `quelm-batch convert-dump IN --kind st|aes -o OUT.lmc` (argv[0] the
// program, argv[1] the command's name). The dump's header is IN.parm.
// Returns 0 written ("N atoms written to OUT" on out, warnings on err), 1 a
// file could not be converted (the reason on err, no output), 2 a usage
// error.
int DUMP_convert_dump_command(int argc, const char* const* argv, FILE* out, FILE* err);

// The command's line of the quelm-batch help text.
extern const char* const DUMP_convert_dump_usage;

// Writes v as printf's "%9.4lf" does, in the C locale, at out (room for 340
// characters); returns the end of what was written.
char* DUMP_put_fixed4(char* out, double v);
