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

// Splits argv[first …]; options named in valued take the next word as their
// value. False with a message for a usage error.
bool QN_batch_parse(int argc, const char* const* argv, int first, const std::vector<std::string>& valued,
                    QN_batch_args& args, std::string& error);

// Runs one command line; returns the exit status (0 done, 1 failed, 2 usage
// error). Results go to out, failures to err.
int QN_batch_main(int argc, const char* const* argv, FILE* out, FILE* err);
