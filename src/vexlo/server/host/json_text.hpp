// The system's JSON text form: ", " and ": " separators, no indentation,
// every non-ASCII character escaped as \uXXXX, so characters equal bytes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vexlo::host {

namespace py = pybind11;

std::string json_text(py::handle value);

}  // namespace vexlo::host
