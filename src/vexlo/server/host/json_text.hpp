// The system's JSON text form: ", " and ": " separators, no indentation,
// every non-ASCII character escaped as \uXXXX, so characters equal bytes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vexlo::host {

namespace py = pybind11;

std::string json_text(py::handle value);

// The same form, for a mapping written a member at a time: the text of
// {name: value} is "{" + member_name(name) + ": " + value_text(value) + "}".
// One encoder serves every call.
class JsonEncoder {
 public:
  JsonEncoder();

  std::string value_text(py::handle value) const;
  // A member name as JSON writes it: text quoted and escaped; a number, a
  // truth value or None in JSON's text form of it, quoted.
  std::string member_name(py::handle name) const;

 private:
  py::object encode_;
  py::object quote_;  // json's own escaping of text
};

}  // namespace vexlo::host
