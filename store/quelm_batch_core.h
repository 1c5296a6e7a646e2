// quelm-batch: the command-line twin of the GUI. Each command runs the same
// core operation as the matching form button.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A command line taken apart: words, "--name value" options and the store
// entries "-LABEL=VALUE" in the order given.
struct QN_batch_args {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> entries;

    // The value of option name, or nullptr when it was not given.
    const std::string* option(const std::string& name) const;
};

// Splits argv[first …]: the options named in valued ("--status", "-o", …)
// take the next word as their value, other words beginning with '-' must be
// store entries -LABEL=VALUE. False with a message for a usage error.
// Words named in flags ("--accept-mismatch") are options without a value.
bool QN_batch_parse(int argc, const char* const* argv, int first, const std::vector<std::string>& valued,
                    QN_batch_args& args, std::string& error, const std::vector<std::string>& flags = {});

// Puts the command line's values into a store group that a form has just
// filled with its title and defaults: first the entries of the status file
// given with --status (entries of labels the group lacks are ignored, as the
// form ignores them; loops keep their slots), then the -LABEL=VALUE entries,
// the n-th entry of a label going to the n-th bit of that label (per-type
// values). Returns 0, 1 when the status file cannot be read, 2 for an entry
// the group has no place for; error says why.
int QN_batch_fill_group(int group, const QN_batch_args& args, std::string& error);

// A command of a subsystem, registered by the program's entry point (the core
// itself holds only info and convert); it receives the whole command line
// and returns the exit status.
using QN_batch_command = int (*)(int argc, const char* const* argv, FILE* out, FILE* err);
// Makes `name` run `command`; `usage` is its line of the help text.
void QN_batch_add_command(const char* name, const char* usage, QN_batch_command command);

// What the commands share: a usage error said on err (status 2); whether s
// ends in tail (and is longer); a model read from path, or frame `frame`
// (0-based) of it, with the reader's report on out (and, for a file of many
// frames, which frame) and failures on err; how to give the element names a
// POSCAR needs.
int QN_batch_usage_error(FILE* err, const std::string& message);
bool QN_batch_ends_with(const std::string& s, const char* tail);
struct QB_tools;
bool QN_batch_read_model(const std::string& path, QB_tools* model, FILE* out, FILE* err);
bool QN_batch_read_frame(const std::string& path, int frame, QB_tools* model, FILE* out, FILE* err);
std::string QN_batch_elements_hint(const QB_tools& model);

// Runs one command line; returns the exit status (0 done, 1 failed, 2 usage
// error). Results go to out, failures to err.
int QN_batch_main(int argc, const char* const* argv, FILE* out, FILE* err);
