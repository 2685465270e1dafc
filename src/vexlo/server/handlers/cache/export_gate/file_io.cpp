#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "vexlo/server/host/errors.hpp"

namespace py = pybind11;

namespace vexlo::export_gate {

using host::raise_os_error;

void write_text_file(const std::string& path, const std::string& text) {
  int error_number = 0;
  {
    py::gil_scoped_release unlocked;
    posix::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      error_number = errno;
    } else if ((error_number = posix::write_all(fd.get(), text.data(), text.size())) == 0) {
      if (::close(fd.release()) != 0)
        error_number = errno;
    }
  }
  if (error_number != 0)
    raise_os_error(error_number, path);
}

std::uintmax_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    raise_os_error(errno, path);
  return static_cast<std::uintmax_t>(st.st_size);
}

std::optional<std::uintmax_t> file_size_if_exists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0)
    return static_cast<std::uintmax_t>(st.st_size);
  if (errno == ENOENT)
    return std::nullopt;
  raise_os_error(errno, path);
}

FileReader::FileReader(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  if (!fd_.valid())
    raise_os_error(errno, path);
}

py::bytes FileReader::read_chunk(std::size_t size) {
  PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!raw)
    throw py::error_already_set();
  char* buffer = PyBytes_AS_STRING(raw);  // shared with no one until returned

  std::size_t filled = 0;
  int error_number = 0;
  {
    py::gil_scoped_release unlocked;
    while (filled < size) {
      const ssize_t n = ::read(fd_.get(), buffer + filled, size - filled);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        error_number = errno;
        break;
      }
      if (n == 0)
        break;
      filled += static_cast<std::size_t>(n);
    }
  }
  if (error_number != 0) {
    Py_DECREF(raw);
    raise_os_error(error_number, path_);
  }
  // On failure _PyBytes_Resize frees the object and sets `raw` to NULL.
  if (filled < size && _PyBytes_Resize(&raw, static_cast<Py_ssize_t>(filled)) != 0) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::bytes>(raw);
}

}  // namespace vexlo::export_gate
