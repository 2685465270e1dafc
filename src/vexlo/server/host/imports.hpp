// Binding the names a module takes from outside packages at load time.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
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

namespace vexlo::host {

struct NameBinding {
  const char* module;
  const char* name;
};

// Binds each name in `module` under its own name, in order, as a Python
// module's `from ... import ...` lines would; relative modules are resolved
// against the module's package.
void bind_names(py::module_& module, std::initializer_list<NameBinding> names);

// A module's globals, read at call time, so that a name rebound in the module
// (as a test or a plug-in may do) is the one used.
class ModuleGlobals {
 public:
  explicit ModuleGlobals(py::module_& module) : ns_(module.attr("__dict__")) {}
  py::object operator[](const char* name) const { return ns_[name]; }

 private:
  py::dict ns_;
};

}  // namespace vexlo::host
