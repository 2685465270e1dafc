#include "archive_writer.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "parallel_gzip.hpp"
#include "pax_header.hpp"
#include "tree_walker.hpp"
#include "vexlo/server/posix/file_descriptor.hpp"

namespace vexlo::archive {

namespace {

// User and group names by id; a tree usually has one owner, so the lookups
// (which may go to NSS) happen once.
class OwnerNames {
 public:
  const std::string& user(uid_t uid) {
    return remembered(users_, uid, [](uid_t id, std::vector<char>& buffer, std::string& name) {
      struct passwd pw;
      struct passwd* found = nullptr;
      const int rc = getpwuid_r(id, &pw, buffer.data(), buffer.size(), &found);
      if (rc == 0 && found != nullptr) {
        name = found->pw_name;
      }
      return rc;
    });
  }

  const std::string& group(gid_t gid) {
    return remembered(groups_, gid, [](gid_t id, std::vector<char>& buffer, std::string& name) {
      struct group gr;
      struct group* found = nullptr;
      const int rc = getgrgid_r(id, &gr, buffer.data(), buffer.size(), &found);
      if (rc == 0 && found != nullptr) {
        name = found->gr_name;
      }
      return rc;
    });
  }

 private:
  // `query` runs a *_r lookup, which answers ERANGE while its buffer is too small.
  template <typename Id, typename Query>
  static const std::string& remembered(std::vector<std::pair<Id, std::string>>& known, Id id, Query query) {
    for (const auto& [seen, name] : known) {
      if (seen == id) {
        return name;
      }
    }
    std::string name;
    std::vector<char> buffer(4096);
    while (query(id, buffer, name) == ERANGE) {
      buffer.resize(buffer.size() * 2);
    }
    known.emplace_back(id, std::move(name));
    return known.back().second;
  }

  // A reference returned above is valid only until the next lookup of the
  // same kind; callers copy it at once.
  std::vector<std::pair<uid_t, std::string>> users_;
  std::vector<std::pair<gid_t, std::string>> groups_;
};

// Turns walked entries into tar members in the gzip stream.
class MemberWriter final : public EntrySink {
 public:
  MemberWriter(ParallelGzip& out, const Options& options)
      : out_(out), cancel_(options.cancel), content_read_(options.content_read) {}

  void on_entry(const Entry& e) override {
    check_cancelled();
    MemberInfo m;
    m.name = e.name;
    m.mode = static_cast<std::uint32_t>(e.st.st_mode & 07777);
    m.uid = e.st.st_uid;
    m.gid = e.st.st_gid;
    m.mtime = static_cast<std::int64_t>(e.st.st_mtim.tv_sec);
    // Copies: user() and group() may append to their lists.
    uname_ = names_.user(e.st.st_uid);
    gname_ = names_.group(e.st.st_gid);
    m.uname = uname_;
    m.gname = gname_;
    switch (e.kind) {
      case Kind::Regular:
        write_file(e, m);
        return;
      case Kind::HardLink:
        m.type = '1';
        m.linkname = e.link_target;
        break;
      case Kind::Directory:
        m.type = '5';
        break;
      case Kind::Symlink:
        m.type = '2';
        m.linkname = e.link_target;
        break;
      case Kind::Fifo:
        m.type = '6';
        break;
      case Kind::CharDevice:
      case Kind::BlockDevice:
        m.type = e.kind == Kind::CharDevice ? '3' : '4';
        m.devmajor = major(e.st.st_rdev);
        m.devminor = minor(e.st.st_rdev);
        break;
    }
    encoder_.encode(m, header_);
    out_.write(header_.data(), header_.size());
  }

 private:
  // Between members and between blocks of file data, so a cancellation
  // waits for at most one block's compression.
  void check_cancelled() const {
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
      throw ArchiveError(ECANCELED, std::string(), "archive writing was cancelled");
    }
  }

  void write_file(const Entry& e, MemberInfo& m) {
    // Non-blocking and no-follow: if the entry was swapped for a FIFO or a
    // link since it was listed, opening must neither hang nor follow it.
    posix::FileDescriptor fd(
        ::openat(e.dir_fd, e.leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
      throw_os_error(errno, e.source);
    }
    struct stat now;
    if (::fstat(fd.get(), &now) != 0) {
      throw_os_error(errno, e.source);
    }
    if (!S_ISREG(now.st_mode) || now.st_ino != e.st.st_ino || now.st_dev != e.st.st_dev) {
      throw ArchiveError(0, e.source, "file was replaced while it was archived");
    }
    // The header promises the size seen when the entry was listed; a file
    // that grows since is cut there, one that shrinks is an error.
    const auto size = static_cast<std::uint64_t>(e.st.st_size);
    m.type = '0';
    m.size = size;
    encoder_.encode(m, header_);
    out_.write(header_.data(), header_.size());

    std::uint64_t remaining = size;
    while (remaining > 0) {
      check_cancelled();
      std::size_t available;
      char* dst = out_.reserve(available);
      const std::size_t want = remaining < available ? static_cast<std::size_t>(remaining) : available;
      const ssize_t n = ::read(fd.get(), dst, want);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        throw_os_error(errno, e.source);
      }
      if (n == 0) {
        throw ArchiveError(0, e.source, "file shrank while it was read");
      }
      out_.commit(static_cast<std::size_t>(n));
      remaining -= static_cast<std::uint64_t>(n);
      if (content_read_ != nullptr) {
        content_read_->fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      }
    }
    const std::size_t tail = static_cast<std::size_t>(size % kBlock);
    if (tail != 0) {
      out_.write_zeros(kBlock - tail);
    }
  }

  ParallelGzip& out_;
  const std::atomic<bool>* cancel_;
  std::atomic<std::uint64_t>* content_read_;
  HeaderEncoder encoder_;
  OwnerNames names_;
  std::string header_;
  std::string uname_;
  std::string gname_;
};

void add_source(TreeWalker& walker, const Source& source, MemberWriter& writer) {
  if (!source.path) {
    throw ArchiveError(0, std::string(),
                       "no source path given for member '" + source.arcname.value_or("") + "'");
  }
  const std::string& arcname = source.arcname ? *source.arcname : *source.path;
  walker.walk(*source.path, arcname, writer);
}

void finish_quietly(ParallelGzip& out) noexcept {
  try {
    out.finish();
  } catch (...) {
  }
}

}  // namespace

void write_archive(const std::string& archive_path, const std::vector<Source>& sources,
                   const Options& options) {
  posix::FileDescriptor fd(::open(archive_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    throw_os_error(errno, archive_path);
  }
  struct stat self;
  if (::fstat(fd.get(), &self) != 0) {
    throw_os_error(errno, archive_path);
  }

  ParallelGzip out(fd.get(), archive_path, options.threads, BlockCoding{options.level, std::nullopt},
                   options.block_size);
  TreeWalker walker(self.st_dev, self.st_ino);
  MemberWriter writer(out, options);
  try {
    for (const Source& source : sources) {
      add_source(walker, source, writer);
    }
    if (options.end_of_archive) {
      out.write_zeros(2 * kBlock);
      const std::uint64_t used = out.bytes_in() % kRecord;
      if (used != 0) {
        out.write_zeros(static_cast<std::size_t>(kRecord - used));
      }
    }
  } catch (const ArchiveError& e) {
    // A cancelled archive is abandoned: finishing it would compress every
    // queued block first. Otherwise leave a well-formed gzip stream
    // holding what was written; the first error is the one worth reporting.
    if (e.error_number() != ECANCELED) {
      finish_quietly(out);
    }
    throw;
  } catch (...) {
    finish_quietly(out);
    throw;
  }
  out.finish();
  if (::close(fd.release()) != 0) {
    throw_os_error(errno, archive_path);
  }
}

}  // namespace vexlo::archive
