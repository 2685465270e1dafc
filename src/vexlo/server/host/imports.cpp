#include "vexlo/server/host/imports.hpp"

#include "vexlo/server/host/errors.hpp"

namespace vexlo::host {

std::string package_of(const py::module_& module) {
  std::string name = py::str(module.attr("__name__"));
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

py::object import_name(const std::string& module, const std::string& name, const std::string& package) {
  py::object importlib = py::module_::import("importlib");
  py::object mod = package.empty() ? importlib.attr("import_module")(module)
                                   : importlib.attr("import_module")(module, package);
  if (py::hasattr(mod, name.c_str()))
    return mod.attr(name.c_str());

  // Like `from pkg import sub`, a submodule not yet imported is imported now.
  const std::string full = py::str(mod.attr("__name__"));
  try {
    return importlib.attr("import_module")(full + "." + name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError))
      throw;
  }
  raise_import_error("cannot import name '" + name + "' from '" + full + "'");
}

}  // namespace vexlo::host

namespace vexlo::host {

void bind_names(py::module_& module, std::initializer_list<NameBinding> names) {
  const std::string package = package_of(module);
  for (const auto& b : names)
    module.attr(b.name) = import_name(b.module, b.name, package);
}

}  // namespace vexlo::host
