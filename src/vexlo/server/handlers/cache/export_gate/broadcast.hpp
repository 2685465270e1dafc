// Progress messages to the browser views of one kernel.
#pragma once

#include <pybind11/pybind11.h>

#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// transmit(kernel_id, data): sends the JSON text of `data` to every websocket
// connection of the kernel.
py::object transmit(const host::ModuleGlobals& g, const host::Args& a);

}  // namespace vexlo::export_gate
