// Binding the names a module takes from outside packages at load time.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vexlo::host {

namespace py = pybind11;

// The package a module lives in ("a.b.c" -> "a.b"), the anchor of relative imports.
std::string package_of(const py::module_& module);

// `from <module> import <name>`, where `module` may be relative ("..misc") to
// `package`. A missing module or name raises ImportError naming it, so a
// module that cannot bind what it needs fails to load as a whole.
py::object import_name(const std::string& module, const std::string& name,
                       const std::string& package = std::string());

}  // namespace vexlo::host
