#include "vexlo/server/host/errors.hpp"

#include "vexlo/server/posix/error_text.hpp"

namespace vexlo::host {

bool is_ordinary(const py::error_already_set& e) {
  return e.matches(PyExc_Exception);
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw py::error_already_set();
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
