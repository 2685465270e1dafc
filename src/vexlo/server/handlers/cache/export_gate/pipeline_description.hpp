// What an export describes and how its archive is named.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// The components that ran successfully and are cached, keyed by identifier,
// each described as "pipeline.json" records it.
py::dict describe_cached_components(const host::ModuleGlobals& g, const py::object& components);

// "<notebook>-diskcache.tar.gz": the notebook's last path component without
// its extension (a leading run of dots is not an extension).
std::string archive_file_name(const std::string& ipynb_name);

}  // namespace vexlo::export_gate
