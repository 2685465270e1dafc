// Python classes and functions whose bodies are C++.
//
// A class built here may derive from any Python class (a request handler, a
// thread). Its methods are callables of our own that bind like functions and
// carry __name__, __qualname__, __doc__, __module__ and __annotations__, so
// functools.wraps-based decorators (tornado.web.authenticated) wrap them as
// they would a Python function.
//
// Each method is declared once, by a MethodSpec: its parameters (name,
// declared type, how the value is checked, default) and its doc. It
// yields both the binding that checks the arguments before the body runs and
// the metadata Python sees, so renaming a parameter is a one-place change.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::host {

namespace py = pybind11;

// How an argument is checked before the body sees it (see arguments.hpp).
enum class Check {
  any,      // passed on as given
  str,      // exactly str
  dict,     // exactly dict
  list,     // exactly list
  integer,  // the integer part of any number
  boolean,  // its truth, as a bool
};

struct Param {
  std::string name;
  std::string type;  // the annotation text, e.g. "Dict[str, str]"
  Check check = Check::any;
  // A parameter with a default may be left out; the default is checked too.
  std::optional<py::object> fallback = std::nullopt;
};

// The checked arguments in declaration order, an instance method's receiver first.
using Args = std::vector<py::object>;
using Body = std::function<py::object(const Args&)>;

struct MethodSpec {
  enum class Kind { instance, static_ };

  std::string name;
  std::string doc;
  std::vector<Param> params;  // the receiver is not listed
  std::string returns;        // the return annotation
  Body body;
  Kind kind = Kind::instance;
  // Applied innermost first, as a stack of @decorators reads bottom-up.
  std::vector<py::object> decorators = {};
};

struct ClassSpec {
  std::string name;
  std::string doc;
  py::tuple bases;
  std::vector<MethodSpec> methods;
};

// A body that reads its module's globals at call time, as a Python function would.
using GlobalsBody = py::object (*)(const ModuleGlobals&, const Args&);
Body with_globals(const ModuleGlobals& globals, GlobalsBody body);

// Creates the class in `module` (binding it there under its name) and returns it.
py::object make_class(py::module_& module, const ClassSpec& spec);

// A free function of `module`, declared like a static method.
py::object make_function(py::module_& module, const MethodSpec& spec);

}  // namespace vexlo::host
