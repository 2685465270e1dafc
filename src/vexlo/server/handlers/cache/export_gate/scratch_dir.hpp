// The scratch directory of one export, which holds its description file and
// its archive.
#pragma once

#include <string>

namespace vexlo::export_gate {

// A fresh directory `parent`/`prefix`XXXXXX. remove() takes it away with all it
// holds; the destructor does the same for a path that never called it, so no
// directory outlives its export.
class ScratchDir {
 public:
  ScratchDir(const std::string& parent, const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string join(const std::string& name) const { return path_ + "/" + name; }

  // Never fails: whatever stops the removal (a file vanished already) must not
  // mask the error the export may be ending with. Releases the GIL.
  void remove() noexcept;

 private:
  std::string path_;
  bool removed_ = false;
};

}  // namespace vexlo::export_gate
