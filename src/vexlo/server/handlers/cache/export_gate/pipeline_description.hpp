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

// The archive's name in its scratch directory: the offered name where a file
// name can hold it (NAME_MAX bytes), else its stem cut short at a character
// boundary. A notebook's name may be longer than a file name can be once the
// suffix is added; the browser is offered the whole name all the same.
std::string archive_disk_name(const std::string& offered);

}  // namespace vexlo::export_gate
