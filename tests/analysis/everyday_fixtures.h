// The configurations LAMMPS made for the tests of the measurements
// (fixtures/everyday/make_configs.sh), read as the program reads them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "qb/qb_formats.h"
#include "qb/qb_tools.h"

inline const std::string kEverydayDir = std::string(QUELM_TEST_DATA) + "/analysis/fixtures/everyday/";
inline const char* const kEverydayConfigs[] = {"cu_thermal", "cuni_alloy", "cu_liquid"};

// fixtures/everyday/NAME.data.
inline QB_tools read_everyday(const std::string& name) {
    QB_tools m;
    std::string reason;
    EXPECT_GT(QB_read_file(&m, (kEverydayDir + name + ".data").c_str(), &reason), 0) << name << ": " << reason;
    return m;
}
