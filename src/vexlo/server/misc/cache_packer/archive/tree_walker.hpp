#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vexlo::archive {

enum class Kind { Regular, HardLink, Directory, Symlink, Fifo, CharDevice, BlockDevice };

// One file system entry to store, as the walker found it.
struct Entry {
  Kind kind;
  std::string_view name;      // member name; directories end with '/'
  const std::string& source;  // its path on disk, for error messages
  int dir_fd;                 // directory to open `leaf` relative to
  const char* leaf;
  const struct stat& st;         // lstat result
  std::string_view link_target;  // symlink target, or the first name of a hard link
};

class EntrySink {
 public:
  virtual void on_entry(const Entry& entry) = 0;

 protected:
  ~EntrySink() = default;
};

// Walks source trees in archive order: an entry, then (for a directory) its
// children in byte order of their names, depth first. Symbolic links are
// reported, never followed; sockets and the archive file itself are skipped;
// a regular file met again under another name becomes a hard link to the
// first one. The hard-link table spans every tree walked by one walker.
class TreeWalker {
 public:
  // `skip_dev`/`skip_ino` identify the archive being written.
  TreeWalker(dev_t skip_dev, ino_t skip_ino) : skip_dev_(skip_dev), skip_ino_(skip_ino) {}

  // Stores the entry at `path` as `arcname` (leading '/' removed).
  void walk(const std::string& path, std::string_view arcname, EntrySink& sink);

 private:
  struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
  };
  struct FileIdHash {
    std::size_t operator()(const FileId& id) const {
      return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.ino) * 0x9e3779b97f4a7c15ULL ^
                                        static_cast<std::uint64_t>(id.dev));
    }
  };

  void visit(int dir_fd, const char* leaf, const struct stat& st, EntrySink& sink);
  void walk_directory(int dir_fd, const char* leaf, EntrySink& sink);
  std::string_view read_link(int dir_fd, const char* leaf);

  dev_t skip_dev_;
  ino_t skip_ino_;
  std::string name_;    // member name of the current entry
  std::string source_;  // path of the current entry
  std::string link_;    // symlink target buffer
  std::unordered_map<FileId, std::string, FileIdHash> first_names_;
};

}  // namespace vexlo::archive
