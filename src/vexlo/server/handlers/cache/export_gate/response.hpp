// How an export request ends: a JSON message with a status, or the archive
// streamed as a download.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// "attachment; filename=" wants the name as UTF-8 bytes with everything but
// letters, digits and "_.-~/" percent-encoded.
std::string percent_encode(const std::string& name);

// _finish_with_message(self, status_code, message)
py::object finish_with_message(const host::ModuleGlobals& g, const host::Args& a);

// _finish_with_artifact(self, artifact_name, artifact_path): sets the headers
// and returns a future that completes once the download has ended (sent, or
// replaced by the transfer-failure reply); a failure to read the file is that
// future's error.
py::object finish_with_artifact(const host::ModuleGlobals& g, const host::Args& a);

}  // namespace vexlo::export_gate
