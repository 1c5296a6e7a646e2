// quelm-batch build KIND and scan: every builder's form and the
// lattice-mismatch scan, from the form's defaults and -LABEL=VALUE entries.
#pragma once

#include <string>
#include <vector>

#include "store/quelm_batch_core.h"

struct QB_tools;

// A builder reachable through "build KIND": it fills its store group the way
// opening its form does, optionally reacts to the values given as its form's
// choices do (e.g. a structure choice bringing its own lattice parameters),
// and builds from that group into a model, giving its code (1 built) and the
// user's message.
struct QN_builder {
    const char* kind;
    int group;
    int (*defaults)();
    void (*choices)();  // may be null
    // Builds into model; `target` is the output file (a builder may write
    // side files beside it).
    int (*build)(QB_tools* model, const std::string& target, const QN_batch_args& args, std::string& message);
};

// The builders in the order "build --list" names them; the one of a kind or null.
const std::vector<QN_builder>& QN_builders();
const QN_builder* QN_builder_find(const std::string& kind);

// Fills the builder's group from its defaults, the status file and entries of
// args (--elements naming the types), as "build" does. 0 done, 1 the status
// file cannot be read, 2 an entry the group has no place for (error says why).
int QN_builder_fill(const QN_builder& builder, const QN_batch_args& args, std::string& error);

// Adds "build" and "scan" to quelm-batch's commands.
void QN_batch_register_builders();
