// The scratch directory of one export, which holds its description file and
// its archive, and the sweep that removes those of exports that died with
// their server (SIGKILL, the OOM killer, an evicted pod).
//
// A live export holds an flock on its directory for the directory's whole
// life. The kernel drops the lock when the process dies, so a directory whose
// lock can be taken has no owner left, in whatever process or PID namespace
// it was made. An flock belongs to an open file description, so a sweep in
// the exporting process itself conflicts with its own live exports too
// (a POSIX record lock would not).
//
// A lock is seen only by the kernel that holds it: on a file system shared
// between hosts (TMPDIR on an NFS home) another host's live export looks
// abandoned. So a directory's name carries its kernel's boot id,
// `prefix`<boot id>-XXXXXX, and a sweep only ever takes those of its own
// boot id. A directory whose lock could not be taken is named `prefix`XXXXXX
// and no sweep ever takes it.
//
// A directory is made under a staging name outside the swept pattern, locked,
// and only then renamed to its `prefix` name: no sweep ever sees one of ours
// unlocked.
#pragma once

#include <string>

#include "vexlo/server/posix/file_descriptor.hpp"

namespace vexlo::export_gate {

// A fresh, locked directory `parent`/`prefix`<boot id>-XXXXXX (unlocked and
// `prefix`XXXXXX where the file system refuses the lock). remove() takes it away
// with all it holds, then drops the lock; the destructor does the same for a
// path that never called it, so no directory outlives its export.
class ScratchDir {
 public:
  ScratchDir(const std::string& parent, const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string join(const std::string& name) const { return path_ + "/" + name; }

  // Never fails: whatever stops the removal (a file vanished already) must not
  // mask the error the export may be ending with. Releases the GIL.
  void remove() noexcept;

 private:
  std::string path_;
  posix::FileDescriptor lock_{-1};  // the directory, flocked while it exists
  bool removed_ = false;
};

// Removes from `parent` every directory named `prefix`<this boot id>-* that
// belongs to this process's user, is not a symbolic link and whose lock can
// be taken: its export has died. Staging directories left by a death between creation and
// rename go too, once older than a minute. Never follows a link and never
// fails: a directory it cannot open, lock or remove is left as it is.
// Releases the GIL.
void sweep_abandoned(const std::string& parent, const std::string& prefix) noexcept;

}  // namespace vexlo::export_gate
