// What the analyses that compare a deformed configuration with its
// reference share: reading the two configurations, and writing a result
// table of named columns to a file and to memory.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dislocation/kavir_core.h"
#include "dislocation/kavir_neigh.h"

// Reads the deformed configuration (datafile_def, prop_def columns, or the
// model in memory) and the reference (datafile_ref, prop_ref, or the
// reference model in memory); with "warpin" on and a box in the deformed
// file, wraps both, each in its own box, along the command's periodic axes.
void KAVIR_read_two(CCMDBASE& cmd, atom& def, atom& ref);

// One column of a result: its name and how its values are written:
// 'd' whole number "%d", 'f' "%8.5f", 'e' the command's real format.
struct KAVIR_column {
    std::string name;
    char format;
};

// Writes rows of named columns: to the file `path` (unless empty) with the
// command's header (n rows, box lo/hi), and, when the run has a result
// table, to the table too (the first column, the id, becomes the table's id).
// row(k, values) fills the values of row k in column order.
void KAVIR_write_table(const CCMDBASE& cmd, const std::string& path, const std::vector<KAVIR_column>& columns,
                       size_t n, const double lo[3], const double hi[3],
                       const std::function<void(size_t, double*)>& row, bool to_table = true);

// Columns "id type x y z" with positions in format pf, then the extra
// columns c0 … of an atom record.
std::vector<KAVIR_column> KAVIR_lead_columns(char pf, int ninfo = 0);

// The seven analyses' runs.
void KAVIR_dva(CKAVIR* k, const std::string& inpar);
void KAVIR_ida(CKAVIR* k, const std::string& inpar);
void KAVIR_sva(CKAVIR* k, const std::string& inpar);
void KAVIR_dda(CKAVIR* k, const std::string& inpar);
void KAVIR_sta(CKAVIR* k, const std::string& inpar);
void KAVIR_nta(CKAVIR* k, const std::string& inpar);
