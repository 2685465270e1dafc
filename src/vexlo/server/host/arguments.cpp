#include "vexlo/server/host/arguments.hpp"

#include <utility>

#include "vexlo/server/host/errors.hpp"

namespace vexlo::host {

namespace {

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void require_exact(py::handle value, PyTypeObject* type, const std::string& argument) {
  if (Py_TYPE(value.ptr()) == type)
    return;
  std::string message = "argument '" + argument + "' must be " + type->tp_name + ", not " + type_name(value);
  if (PyObject_TypeCheck(value.ptr(), type)) {
    message += " (subclasses of built-in types are refused)";
  }
  raise_type_error(message);
}

}  // namespace

std::string type_name(py::handle value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

Signature::Parameter required(std::string name) {
  return {std::move(name), true, py::none()};
}

Signature::Parameter optional(std::string name, py::object fallback) {
  return {std::move(name), false, std::move(fallback)};
}

Signature::Signature(std::string function, std::vector<Parameter> parameters)
    : function_(std::move(function)), parameters_(std::move(parameters)) {
  for (const auto& p : parameters_)
    required_ += p.required ? 1 : 0;
}

std::vector<py::object> Signature::bind(const py::args& args, const py::kwargs& kwargs) const {
  const std::size_t total = parameters_.size();
  const std::size_t given = args.size();
  const bool exact = required_ == total;

  if (given > total || (exact && kwargs.empty() && given != total)) {
    raise_type_error(function_ + "() takes " + (exact ? "exactly " : "at most ") +
                     plural(total, "positional argument") + " (" + std::to_string(given) + " given)");
  }

  std::vector<py::object> values(total);
  for (std::size_t i = 0; i < given; ++i)
    values[i] = args[i];

  for (auto item : kwargs) {
    const std::string key = py::str(item.first);
    std::size_t index = total;
    for (std::size_t i = 0; i < total; ++i) {
      if (parameters_[i].name == key)
        index = i;
    }
    if (index == total) {
      raise_type_error(function_ + "() got an unexpected keyword argument '" + key + "'");
    }
    if (values[index]) {
      raise_type_error(function_ + "() got multiple values for argument '" + key + "'");
    }
    values[index] = py::reinterpret_borrow<py::object>(item.second);
  }

  for (std::size_t i = 0; i < total; ++i) {
    if (values[i])
      continue;
    if (parameters_[i].required) {
      raise_type_error(function_ + "() missing required argument '" + parameters_[i].name + "' (pos " +
                       std::to_string(i + 1) + ")");
    }
    values[i] = parameters_[i].fallback;
  }
  return values;
}

py::str exact_str(py::handle value, const std::string& argument) {
  require_exact(value, &PyUnicode_Type, argument);
  return py::reinterpret_borrow<py::str>(value);
}

py::dict exact_dict(py::handle value, const std::string& argument) {
  require_exact(value, &PyDict_Type, argument);
  return py::reinterpret_borrow<py::dict>(value);
}

py::list exact_list(py::handle value, const std::string& argument) {
  require_exact(value, &PyList_Type, argument);
  return py::reinterpret_borrow<py::list>(value);
}

py::object str_or_none(py::handle value, const std::string& argument) {
  if (value.is_none())
    return py::none();
  return exact_str(value, argument);
}

std::string text(py::handle value, const std::string& argument) {
  return exact_str(value, argument).cast<std::string>();
}

py::int_ integer_part(py::handle value, const std::string& argument) {
  PyObject* v = value.ptr();
  if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || !PyNumber_Check(v)) {
    raise_type_error("argument '" + argument + "' must be a number, not " + type_name(value));
  }
  // int() truncates toward zero for floats, Decimals and Fractions alike.
  PyObject* result = PyNumber_Long(v);
  if (!result) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_type_error("argument '" + argument + "' must be a number, not " + type_name(value));
    }
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::int_>(result);
}

bool truth(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0)
    throw py::error_already_set();
  return result == 1;
}

}  // namespace vexlo::host
