#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/misc/cache_packer/archive/disk_reserve.hpp"

namespace py = pybind11;

namespace vexlo::export_gate {

using host::raise_os_error;

namespace {

// Buffered, so that a description of many small members takes a few writes
// per MiB rather than three per member.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd) : fd_(fd) { buffer_.reserve(kFlushAt); }
  // 0, or the errno of the first write that failed.
  int add(const std::string& text) {
    buffer_ += text;
    return buffer_.size() >= kFlushAt ? flush() : error_;
  }
  int flush() {
    if (error_ == 0)
      error_ = posix::write_all(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return error_;
  }

 private:
  static constexpr std::size_t kFlushAt = std::size_t{1} << 20;
  int fd_;
  std::string buffer_;
  int error_ = 0;
};

}  // namespace

std::uintmax_t write_json_object(const std::string& path,
                                 const std::vector<std::pair<std::string, std::string>>& members,
                                 const std::string& scratch_dir) {
  // "{" and "}", ", " between members, ": " within each.
  std::uintmax_t size = 2 + (members.empty() ? 0 : 2 * (members.size() - 1));
  for (const auto& [name, value] : members)
    size += name.size() + 2 + value.size();
  int error_number = 0;
  std::optional<std::string> refusal;
  {
    py::gil_scoped_release unlocked;
    posix::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      error_number = errno;
    } else if ((refusal = archive::DiskReserve(fd.get(), scratch_dir).refuse(size))) {
      error_number = ENOSPC;
    } else {
      BufferedWriter out(fd.get());
      error_number = out.add("{");
      for (std::size_t i = 0; i < members.size() && error_number == 0; ++i) {
        if (i > 0)
          out.add(", ");
        out.add(members[i].first);
        out.add(": ");
        error_number = out.add(members[i].second);
      }
      if (error_number == 0)
        error_number = out.add("}");
      if (error_number == 0)
        error_number = out.flush();
      if (error_number == 0 && ::close(fd.release()) != 0)
        error_number = errno;
    }
  }
  if (refusal)
    host::raise_error(host::os_error(ENOSPC, *refusal, ""));
  if (error_number != 0)
    raise_os_error(error_number, path);
  return size;
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
