#include "vexlo/server/host/errors.hpp"

#include "vexlo/server/posix/error_text.hpp"

namespace vexlo::host {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

}  // namespace

bool is_ordinary(const py::error_already_set& e) {
  return e.matches(PyExc_Exception);
}

bool is_ordinary(const py::handle error) {
  const int ordinary = PyObject_IsInstance(error.ptr(), PyExc_Exception);
  if (ordinary < 0)
    throw py::error_already_set();
  return ordinary == 1;
}

py::object runtime_error(const std::string& message) {
  return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
}

void raise_runtime_error(const std::string& message) {
  raise(PyExc_RuntimeError, message);
}

void raise_value_error(const std::string& message) {
  raise(PyExc_ValueError, message);
}

void raise_connection_aborted(const std::string& message) {
  raise(PyExc_ConnectionAbortedError, message);
}

void raise_import_error(const std::string& message) {
  raise(PyExc_ImportError, message);
}

void raise_type_error(const std::string& message) {
  raise(PyExc_TypeError, message);
}

py::object os_error(int error_number, const std::string& reason, const std::string& path) {
  const py::object type = py::reinterpret_borrow<py::object>(PyExc_OSError);
  if (error_number == 0)
    return type(reason);
  if (path.empty())
    return type(error_number, reason);
  return type(error_number, reason, py::module_::import("os").attr("fsdecode")(py::bytes(path)));
}

void raise_os_error(int error_number, const std::string& path) {
  raise_error(os_error(error_number, posix::error_text(error_number), path));
}

void raise_error(const py::object& error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace vexlo::host
