// What an export describes and how its archive and trees are named.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "gil_slices.hpp"
#include "vexlo/server/host/imports.hpp"

namespace vexlo::export_gate {

namespace py = pybind11;

// The components that ran successfully and are cached, keyed by identifier,
// each described as "pipeline.json" records it. Holds the GIL a slice at a
// time: a pipeline may have a hundred thousand components.
py::dict describe_cached_components(const host::ModuleGlobals& g, const py::object& components,
                                    GilSlices& slices);

// Each component's tree in the archive is "component-" + identifier, one
// path component. The message naming the first exported component with a
// cache directory whose identifier cannot be that: one holding "/", "\" (a
// separator for Windows tools) or NUL, which would climb out of the archive
// or merge trees; one that is not UTF-8 text (a lone surrogate); or two that
// give the same tree. Nothing when every identifier can.
std::optional<std::string> unfit_identifier(const py::dict& cached_pipeline, GilSlices& slices);

// "component-" + the identifier's text, once unfit_identifier() has passed it.
std::string tree_name(py::handle identifier);

// The members of "pipeline.json" ("name: value" in the system's JSON form),
// in order.
std::vector<std::string> description_members(const py::dict& cached_pipeline, GilSlices& slices);

// "<notebook>-diskcache.tar.gz": the notebook's last path component without
// its extension (a leading run of dots is not an extension).
std::string archive_file_name(const std::string& ipynb_name);

// The archive's name in its scratch directory: the offered name where a file
// name can hold it (NAME_MAX bytes), else its stem cut short at a character
// boundary. A notebook's name may be longer than a file name can be once the
// suffix is added; the browser is offered the whole name all the same.
std::string archive_disk_name(const std::string& offered);

}  // namespace vexlo::export_gate
