// Python classes whose methods are C++.
//
// A class built here may derive from any Python class (a request handler, a
// thread). Its methods are callables of our own that bind like functions and
// carry __name__, __qualname__, __doc__, __module__ and __annotations__, so
// functools.wraps-based decorators (tornado.web.authenticated) wrap them as
// they would a Python function.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::host {

namespace py = pybind11;

using NativeBody = std::function<py::object(const py::args&, const py::kwargs&)>;

struct MethodSpec {
  enum class Kind { instance, static_ };

  std::string name;
  std::string doc;
  NativeBody body;
  Kind kind = Kind::instance;
  py::dict annotations = py::dict();
  // Applied innermost first, as a stack of @decorators reads bottom-up.
  std::vector<py::object> decorators = {};
};

struct ClassSpec {
  std::string name;
  std::string doc;
  py::tuple bases;
  std::vector<MethodSpec> methods;
  // Further class attributes, in order.
  std::vector<std::pair<std::string, py::object>> attributes = {};
};

// A body that reads its module's globals at call time, as a Python function would.
using GlobalsBody = py::object (*)(const ModuleGlobals&, const py::args&, const py::kwargs&);
NativeBody with_globals(const ModuleGlobals& globals, GlobalsBody body);

// {"parameter": "type text", ..., "return": "type text"} as __annotations__.
py::dict annotations(std::initializer_list<std::pair<const char*, const char*>> items);

// Creates the class in `module` (binding it there under its name) and returns it.
py::object make_class(py::module_& module, const ClassSpec& spec);

// A free function of `module` with the same metadata as a method.
py::object make_function(py::module_& module, const std::string& name, const std::string& doc,
                         NativeBody body, py::dict annotations = py::dict());

}  // namespace vexlo::host
