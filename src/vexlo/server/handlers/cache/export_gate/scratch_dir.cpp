#include "scratch_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pybind11/pybind11.h>

#include <cerrno>
#include <filesystem>
#include <vector>

namespace py = pybind11;

namespace vexlo::export_gate {

void raise_os_error(int error_number, const std::string& path) {
  errno = error_number;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

ScratchDir::ScratchDir(const std::string& parent, const std::string& prefix) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) raise_os_error(errno, pattern);
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  // Whatever stops the removal (a file vanished already) must not mask the
  // error that may be unwinding through this scope.
  py::gil_scoped_release unlocked;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_text_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) raise_os_error(errno, path);
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error_number = errno;
      ::close(fd);
      raise_os_error(error_number, path);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) raise_os_error(errno, path);
}

std::uintmax_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) raise_os_error(errno, path);
  return static_cast<std::uintmax_t>(st.st_size);
}

std::optional<std::uintmax_t> file_size_if_exists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return static_cast<std::uintmax_t>(st.st_size);
  if (errno == ENOENT) return std::nullopt;
  raise_os_error(errno, path);
}

FileReader::FileReader(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) raise_os_error(errno, path);
}

FileReader::~FileReader() { ::close(fd_); }

py::bytes FileReader::read_chunk(std::size_t size) {
  PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!raw) throw py::error_already_set();
  char* buffer = PyBytes_AS_STRING(raw);  // shared with no one until returned

  std::size_t filled = 0;
  int error_number = 0;
  {
    py::gil_scoped_release unlocked;
    while (filled < size) {
      const ssize_t n = ::read(fd_, buffer + filled, size - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error_number = errno;
        break;
      }
      if (n == 0) break;
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
