#include "scratch_dir.hpp"

#include <pybind11/pybind11.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <vector>

#include "vexlo/server/host/errors.hpp"

namespace vexlo::export_gate {

namespace {

// A staging directory older than this has lost its creator, which renames it
// within microseconds of making it.
constexpr std::time_t kStagingGraceSeconds = 60;
constexpr int kNameAttempts = 100;

// This boot of this host's kernel: the one that holds the locks a sweep
// reads. Empty where it cannot be read, and then nothing is ever marked ours.
const std::string& host_mark() {
  static const std::string mark = [] {
    std::string id;
    std::ifstream("/proc/sys/kernel/random/boot_id") >> id;
    const bool plain = !id.empty() && id.find_first_not_of("0123456789abcdef-") == std::string::npos;
    return plain ? id : std::string();
  }();
  return mark;
}

// The part of a name that follows `prefix` in the directories of this
// host's exports.
std::string marked(const std::string& prefix) {
  return prefix + host_mark() + "-";
}

// Lets other Python threads run during file system work, when the calling
// thread holds the GIL (it may not, e.g. in a destructor at exit).
class GilReleased {
 public:
  GilReleased() : saved_(PyGILState_Check() != 0 ? PyEval_SaveThread() : nullptr) {}
  ~GilReleased() {
    if (saved_ != nullptr)
      PyEval_RestoreThread(saved_);
  }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

int open_directory(int dir_fd, const char* name) {
  return ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in the open directory `fd` (without "." and ".."), listed before
// anything is removed, since removing while listing may skip entries. Empty
// when it cannot be read.
std::vector<std::string> names_in(int fd) noexcept {
  std::vector<std::string> names;
  const int listing = ::dup(fd);
  DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
  if (dir == nullptr) {
    if (listing >= 0)
      ::close(listing);
    return names;
  }
  try {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        names.push_back(name);
    }
  } catch (...) {
    names.clear();  // out of memory: nothing is removed this time
  }
  ::closedir(dir);
  return names;
}

// Removes everything inside the open directory `fd`, links as links. What
// cannot be removed stays; the caller's rmdir then fails and leaves it.
void empty_directory(int fd) {
  for (const auto& name : names_in(fd)) {
    if (::unlinkat(fd, name.c_str(), 0) == 0 || (errno != EISDIR && errno != EPERM))
      continue;
    // A directory (unlink answers EISDIR, or EPERM on some file systems).
    posix::FileDescriptor child(open_directory(fd, name.c_str()));
    if (child.valid()) {
      empty_directory(child.get());
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    }
  }
}

// Whether `name` in `parent_fd` is still the directory open as `fd`: a
// removal must not reach a new directory that took a vanished one's name.
bool still_named(int parent_fd, const char* name, const struct stat& held) {
  struct stat now;
  return ::fstatat(parent_fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
         now.st_ino == held.st_ino;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Removes `name` from `parent_fd` if it is an abandoned directory of ours;
// a staging one only once it is older than the grace period.
void sweep_one(int parent_fd, const char* name, bool staging) {
  posix::FileDescriptor dir(open_directory(parent_fd, name));  // fails on a link
  struct stat st;
  if (!dir.valid() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid())
    return;
  if (staging && std::time(nullptr) - st.st_ctime < kStagingGraceSeconds)
    return;
  if (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0 || !still_named(parent_fd, name, st))
    return;  // its export is alive (or it went meanwhile)
  empty_directory(dir.get());
  ::unlinkat(parent_fd, name, AT_REMOVEDIR);
}

// Renames `from` to `to` unless `to` exists; 0, or the errno (EEXIST when
// taken).
int rename_unless_taken(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS)
    return errno;
  // No RENAME_NOREPLACE here (NFS, old kernels): the random name makes a clash
  // unlikely, and a plain rename still refuses a non-empty directory.
  struct stat taken;
  if (::lstat(to.c_str(), &taken) == 0)
    return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& parent, const std::string& prefix) {
  const std::string ours = host_mark().empty() ? prefix : marked(prefix);
  for (int attempt = 0;; ++attempt) {
    std::string staging = parent + "/." + ours + "XXXXXX";
    if (!::mkdtemp(staging.data()))
      host::raise_os_error(errno, staging);
    lock_.reset(open_directory(AT_FDCWD, staging.c_str()));
    if (!lock_.valid()) {
      const int error = errno;
      ::rmdir(staging.c_str());
      host::raise_os_error(error, staging);
    }
    // A file system without flock (or one that refuses it) still exports;
    // its directory then lacks this host's mark, so no sweep ever takes it.
    const bool locked = ::flock(lock_.get(), LOCK_EX | LOCK_NB) == 0;
    const std::string path = parent + "/" + (locked ? ours : prefix) + staging.substr(staging.size() - 6);
    const int error = rename_unless_taken(staging, path);
    if (error == 0) {
      path_ = path;
      return;
    }
    lock_.reset();
    ::rmdir(staging.c_str());
    if (error != EEXIST || attempt + 1 == kNameAttempts)
      host::raise_os_error(error, path);
  }
}

ScratchDir::~ScratchDir() {
  remove();
}

void ScratchDir::remove() noexcept {
  if (removed_)
    return;
  removed_ = true;
  // A large archive takes a while to unlink; other threads may run meanwhile.
  GilReleased released;
  empty_directory(lock_.get());
  ::rmdir(path_.c_str());
  lock_.reset();  // only now may a sweep take it
}

void sweep_abandoned(const std::string& parent, const std::string& prefix) noexcept {
  if (host_mark().empty())
    return;  // nothing here can be known to be this host's
  GilReleased released;
  posix::FileDescriptor top(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top.valid())
    return;
  const std::string ours = marked(prefix);
  const std::string staging = "." + ours;
  for (const auto& name : names_in(top.get())) {
    if (starts_with(name, ours))
      sweep_one(top.get(), name.c_str(), false);
    else if (starts_with(name, staging))
      sweep_one(top.get(), name.c_str(), true);
  }
}

}  // namespace vexlo::export_gate
