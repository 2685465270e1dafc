// Progress messages to the browser views of one kernel.
#pragma once

#include <pybind11/pybind11.h>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// transmit(kernel_id, data): sends the JSON text of `data` to every websocket
// connection of the kernel.
py::object transmit(const host::ModuleGlobals& g, const py::args& args, const py::kwargs& kwargs);

}  // namespace vexlo::export_gate
