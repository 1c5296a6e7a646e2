// The dislocation-analysis engine's entry point: one run reads the command
// file, runs the analysis its first word names and writes the results.
#pragma once

#include <cstdio>
#include <string>

#include "dislocation/kavir_core.h"

struct KAVIR_run {
    std::string dir = ".";  // folder of "CMDSETTING" and of relative names
    std::string inpar;      // command file; empty: the settings' INPAR
    FILE* out = stdout;     // messages
    FILE* err = stderr;     // failures, also on out
    // Models in memory in place of the atom files (may be null), and a
    // table that receives the result (may be null).
    const QB_tools* deformed = nullptr;
    const QB_tools* reference = nullptr;
    KAVIR_table* table = nullptr;
    // Whether the models in memory bring their extra columns (the result
    // repeats them as c0, c1, …).
    bool model_columns = true;
    // Runs this analysis whatever the command file's first word (tests of
    // one analysis); null: the word chooses.
    void (*analysis)(CKAVIR*, const std::string&) = nullptr;
};

// Returns KAVIR_WRITTEN (0) when the result was written completely,
// KAVIR_BAD_DATA (1) when a file cannot be read or written or the data are
// unusable, KAVIR_BAD_INPAR (2) for a malformed command file or an unknown
// analysis word. Never waits for input and never ends the process.
int KAVIR_main(const KAVIR_run& run);
