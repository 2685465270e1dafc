// One export, from its first broadcast to its reply, driven by the server's
// event loop: every wait (the size estimate, the writer, each flushed chunk)
// hands the loop back, so other requests are served meanwhile.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// Starts the export of the successful and cached ones among `components`
// (a pipeline's, not empty) for `handler` and returns a future that
// completes once the reply is complete.
py::object begin_export(const host::ModuleGlobals& g, const py::object& handler, const py::str& kernel_id,
                        const py::object& components, const std::string& tar_filename);

// The client of `handler` has gone: a running writer is cancelled, so the
// export fails at once instead of packing for no one.
void client_left(const py::object& handler);

// Removes the scratch directories that exports of dead servers left in the
// temporary directory (see scratch_dir.hpp); never fails.
void sweep_abandoned_exports();

// Ends every running export as if its client had left and closes their
// connections; the returned future completes once all of them have ended.
py::object end_all_exports();

}  // namespace vexlo::export_gate
