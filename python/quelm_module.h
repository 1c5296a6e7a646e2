// What the parts of the compiled module quelm._core share: the model
// Python owns, the exceptions with the core's messages and the settings
// filled as the command line fills them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "qb/qb_tools.h"

namespace qpy {

namespace py = pybind11;

// A model owned by Python; arrays handed out keep it alive.
struct Model {
    QB_tools s;
};

// Raise OSError / ValueError with the core's message.
[[noreturn]] void os_error(const std::string& message);
[[noreturn]] void value_error(const std::string& message);

// The settings given in Python as -LABEL=VALUE entries of a store group
// (True/False as 1/0; a list gives one entry per value, or one
// comma-separated text when joined). label_of maps a keyword to its label.
std::vector<std::string> settings_entries(const py::dict& settings, const std::string& prefix, bool join_lists);

// Values of a model's column, copied into a new array.
py::array_t<double> column_copy(const QB_tools& s, const std::string& name);

// The builders, Atomkit and the dislocation engine's analyses.
void bind_making(py::module_& mod);
// Runs an engine analysis (dva ... nta) on m; false when method is none of them.
bool engine_analysis(Model& m, const std::string& method, py::object reference, const py::dict& settings,
                     const py::object& progress, py::dict& out);

}  // namespace qpy
