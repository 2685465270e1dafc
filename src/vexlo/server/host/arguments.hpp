// Argument checking shared by every native callable.
//
// Declared built-in types are enforced exactly: a subclass, None or another
// type is refused with a TypeError naming the argument, the expected type and
// the received type. Integers are taken as the integer part of any number.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace vexlo::host {

namespace py = pybind11;

// A callable's parameters in declaration order. Those without a default are
// required and come first. For methods the receiver is the first parameter,
// so counts in messages include it, as Python's own do.
class Signature {
 public:
  struct Parameter {
    std::string name;
    bool required = true;
    py::object fallback;  // used when an optional parameter is not given
  };

  Signature(std::string function, std::vector<Parameter> parameters);

  // Values in declaration order; TypeError on a wrong count, an unexpected
  // keyword or a value given twice.
  std::vector<py::object> bind(const py::args& args, const py::kwargs& kwargs) const;

 private:
  std::string function_;
  std::vector<Parameter> parameters_;
  std::size_t required_ = 0;
};

Signature::Parameter required(std::string name);
Signature::Parameter optional(std::string name, py::object fallback = py::none());

// Exact built-in types.
py::str exact_str(py::handle value, const std::string& argument);
py::dict exact_dict(py::handle value, const std::string& argument);
py::list exact_list(py::handle value, const std::string& argument);
// Exactly str, or None.
py::object str_or_none(py::handle value, const std::string& argument);

// UTF-8 text of an exact str argument.
std::string text(py::handle value, const std::string& argument);

// The integer part of any number (7.9 -> 7, -7.9 -> -7); other kinds refused.
py::int_ integer_part(py::handle value, const std::string& argument);

// Python's truth of a value (None counts as false).
bool truth(py::handle value);

// The name of a value's type, as messages show it.
std::string type_name(py::handle value);

}  // namespace vexlo::host
