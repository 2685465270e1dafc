// Raising Python errors from C++: one way for each kind the modules raise.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vexlo::host {

namespace py = pybind11;

// An Exception, as a Python `except Exception` sees it; a KeyboardInterrupt or
// SystemExit is not ordinary and is never absorbed.
bool is_ordinary(const py::error_already_set& e);
// The same test for an exception instance (a future's error, a kept one).
bool is_ordinary(const py::handle error);

// A RuntimeError instance, for an error that has no Python type of its own
// (a C++ exception caught where it cannot propagate).
py::object runtime_error(const std::string& message);
[[noreturn]] void raise_runtime_error(const std::string& message);

[[noreturn]] void raise_value_error(const std::string& message);

// ConnectionAbortedError: the client went away before its reply was complete.
[[noreturn]] void raise_connection_aborted(const std::string& message);

// ImportError, for a name a module cannot bind at load.
[[noreturn]] void raise_import_error(const std::string& message);

// Raised as a Python error (not a C++ exception type), so that code which
// keeps Python errors, like the writer's run(), keeps this one too.
[[noreturn]] void raise_type_error(const std::string& message);

// OSError(errno, reason, filename), for which Python picks the subclass
// (FileNotFoundError, PermissionError, ...); the filename is left out when
// `path` is empty. Without an errno (0), OSError(reason) alone, since a
// filename would make it print "[Errno None] None".
py::object os_error(int error_number, const std::string& reason, const std::string& path);

// The OSError of a failed system call: its errno's text as the reason.
[[noreturn]] void raise_os_error(int error_number, const std::string& path);

// Raises an exception instance as a Python error.
[[noreturn]] void raise_error(const py::object& error);

}  // namespace vexlo::host
