#include "tree_walker.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "archive_error.hpp"

namespace vexlo::archive {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Names of one directory in one buffer, sorted by bytes (which is code-point
// order for UTF-8 names); one allocation per directory, not per entry.
struct Listing {
  std::string names;
  std::vector<std::uint32_t> offsets;

  const char* at(std::size_t i) const { return names.data() + offsets[i]; }
  void sort() {
    const char* base = names.data();
    std::sort(offsets.begin(), offsets.end(), [base](std::uint32_t a, std::uint32_t b) {
      return std::strcmp(base + a, base + b) < 0;  // strcmp compares as unsigned char
    });
  }
};

}  // namespace

void TreeWalker::walk(const std::string& path, std::string_view arcname, EntrySink& sink) {
  source_ = path;
  const std::size_t start = arcname.find_first_not_of('/');
  name_.assign(start == std::string_view::npos ? std::string_view() : arcname.substr(start));
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    throw_os_error(errno, path);
  }
  if (name_.empty() && !S_ISDIR(st.st_mode)) {
    throw ArchiveError(0, path, "empty member name");
  }
  visit(AT_FDCWD, path.c_str(), st, sink);
}

void TreeWalker::visit(int dir_fd, const char* leaf, const struct stat& st, EntrySink& sink) {
  if (st.st_dev == skip_dev_ && st.st_ino == skip_ino_) {
    return;  // the archive being written
  }
  const mode_t type = st.st_mode & S_IFMT;
  switch (type) {
    case S_IFREG: {
      if (st.st_nlink > 1) {
        auto [it, inserted] = first_names_.try_emplace(FileId{st.st_dev, st.st_ino}, name_);
        if (!inserted && it->second != name_) {
          sink.on_entry(Entry{Kind::HardLink, name_, source_, dir_fd, leaf, st, it->second});
          return;
        }
      }
      sink.on_entry(Entry{Kind::Regular, name_, source_, dir_fd, leaf, st, {}});
      return;
    }
    case S_IFDIR: {
      bool slash_added = false;
      if (name_.empty()) {
        // A tree stored at the archive root: its children carry bare names.
        sink.on_entry(Entry{Kind::Directory, "./", source_, dir_fd, leaf, st, {}});
      } else {
        if (name_.back() != '/') {
          name_.push_back('/');
          slash_added = true;
        }
        sink.on_entry(Entry{Kind::Directory, name_, source_, dir_fd, leaf, st, {}});
      }
      walk_directory(dir_fd, leaf, sink);
      if (slash_added) {
        name_.pop_back();
      }
      return;
    }
    case S_IFLNK:
      sink.on_entry(Entry{Kind::Symlink, name_, source_, dir_fd, leaf, st, read_link(dir_fd, leaf)});
      return;
    case S_IFIFO:
      sink.on_entry(Entry{Kind::Fifo, name_, source_, dir_fd, leaf, st, {}});
      return;
    case S_IFCHR:
      sink.on_entry(Entry{Kind::CharDevice, name_, source_, dir_fd, leaf, st, {}});
      return;
    case S_IFBLK:
      sink.on_entry(Entry{Kind::BlockDevice, name_, source_, dir_fd, leaf, st, {}});
      return;
    default:
      return;  // sockets (and anything unknown) cannot be archived
  }
}

void TreeWalker::walk_directory(int dir_fd, const char* leaf, EntrySink& sink) {
  const int fd = ::openat(dir_fd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    throw_os_error(errno, source_);
  }
  DirHandle dir(::fdopendir(fd));
  if (!dir) {
    const int error = errno;
    ::close(fd);
    throw_os_error(error, source_);
  }

  Listing listing;
  for (;;) {
    errno = 0;
    const dirent* ent = ::readdir(dir.get());
    if (ent == nullptr) {
      if (errno != 0) {
        throw_os_error(errno, source_);
      }
      break;
    }
    const char* n = ent->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
      continue;
    }
    listing.offsets.push_back(static_cast<std::uint32_t>(listing.names.size()));
    listing.names.append(n, std::strlen(n) + 1);
  }
  listing.sort();

  const int children_fd = ::dirfd(dir.get());
  const std::size_t name_base = name_.size();
  const std::size_t source_base = source_.size();
  for (std::size_t i = 0; i < listing.offsets.size(); ++i) {
    const char* child = listing.at(i);
    name_.append(child);
    if (source_.empty() || source_.back() != '/') {
      source_.push_back('/');
    }
    source_.append(child);
    struct stat st;
    if (::fstatat(children_fd, child, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      throw_os_error(errno, source_);
    }
    visit(children_fd, child, st, sink);
    name_.resize(name_base);
    source_.resize(source_base);
  }
}

std::string_view TreeWalker::read_link(int dir_fd, const char* leaf) {
  if (link_.size() < 256) {
    link_.resize(256);
  }
  for (;;) {
    const ssize_t n = ::readlinkat(dir_fd, leaf, &link_[0], link_.size());
    if (n < 0) {
      throw_os_error(errno, source_);
    }
    if (static_cast<std::size_t>(n) < link_.size()) {
      return std::string_view(link_.data(), static_cast<std::size_t>(n));
    }
    link_.resize(link_.size() * 2);  // possibly truncated: retry larger
  }
}

}  // namespace vexlo::archive
