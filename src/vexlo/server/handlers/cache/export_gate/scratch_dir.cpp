#include "scratch_dir.hpp"

#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "vexlo/server/host/errors.hpp"

namespace py = pybind11;

namespace vexlo::export_gate {

ScratchDir::ScratchDir(const std::string& parent, const std::string& prefix) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data()))
    host::raise_os_error(errno, pattern);
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  remove();
}

void ScratchDir::remove() noexcept {
  if (removed_)
    return;
  removed_ = true;
  // A large archive takes a while to unlink; other threads may run meanwhile.
  const bool gil = PyGILState_Check() != 0;
  PyThreadState* saved = gil ? PyEval_SaveThread() : nullptr;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  if (saved)
    PyEval_RestoreThread(saved);
}

}  // namespace vexlo::export_gate
