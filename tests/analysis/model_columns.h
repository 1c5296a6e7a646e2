// The names of a model's columns after the fixed slots, for tests that check
// an analysis left them as they were.
#pragma once

#include <string>
#include <vector>

#include "qb/qb_tools.h"

inline std::vector<std::string> column_names(const QB_tools& s) {
    std::vector<std::string> names;
    std::string name;
    for (int slot = 5; slot < QB_slot_sum(&s); slot++) {
        QB_slot_name(&s, slot, name);
        names.push_back(name);
    }
    return names;
}
