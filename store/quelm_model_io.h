// What the program tells the user after reading a structure file: the same
// texts in the window's message area and on the command line.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

// Turns a QB_read_file result into the user's text: 1 and the success
// message ("LMP file detected with …"), -1 and the failure text ("Reading
// file failed\n…", with the reader's reason when it gave one), or 0 and an
// empty text for any other result.
int QN_read_report(int code, const QB_tools* model, std::string& text, const std::string& reason = std::string());

// "New model detected with %d atoms and %d types\nBox size %lf %lf %lf":
// what the builders say of the model they made.
std::string QN_new_model_text(const QB_tools* model);

// Reads path into model and gives QN_read_report's result and text.
int QN_read_model(QB_tools* model, const char* path, std::string& text);

// Writer by export kind: 0 dump (".lmc"), 1 data file (".lmp"), 2 POSCAR
// Cartesian, 3 POSCAR Direct (".POSCAR"), 4 extended XYZ (".xyz"); a path
// ending in ".gz" is written gzipped. Returns the writer's code.
int QN_write_model(QB_tools* model, const char* path, int kind);
// The kind of QN_write_model for a format name (lmc, lmp, poscar,
// poscar-direct, extxyz) or, without one, for the file's ending after any
// ".gz" (.lmc, .dump, .lmp, .data, POSCAR, .vasp, .xyz, .extxyz); -1 when it
// tells none.
int QN_export_kind(const std::string& path, const std::string* format = nullptr);
// Why QN_write_model failed with `written`, in the user's words: "The box has
// no volume", "Cannot write PATH", or for a POSCAR the type without an
// element name, followed by `hint` (how to give the names) on a line of its
// own when one is given.
std::string QN_write_failure(const QB_tools* model, int written, const std::string& path,
                             const std::string& hint = std::string());

// ---- Numbered file series (the sequence bar's order) -----------------------
// Case-insensitive order in which runs of digits compare by value (2 before
// 10).
bool QN_numeric_less(const std::string& a, const std::string& b);
// The series pattern of a path: every run of digits as one '*'.
std::string QN_series_pattern(const std::string& path);
// The numbered series path belongs to: the regular files of its folder with
// the same pattern, in numeric order (path itself included). Empty when path
// is not a regular file.
std::vector<std::string> QN_series_of(const std::string& path);
