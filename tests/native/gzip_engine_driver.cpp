// Feeds a file through ParallelGzip at the engine's default level with a
// chosen thread count and block size, in uneven pieces through both write()
// and reserve()/commit(), so the tests can check the stream with independent
// gzip readers.
//
// Options: --level N compresses at a fixed level instead, --method NAME codes
// every block by the block method of that name (block_method.hpp); --methods
// and --rows print, one line each, the blocks per method and per row of the
// adaptive rule as "name count"; --joints prints, for each joint between
// blocks (an empty stored block), how many bits of its last byte the block
// before it used, found by walking the written file; --after-finish feeds one
// more byte after finish(), which must throw.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "vexlo/server/misc/cache_packer/archive/archive_error.hpp"
#include "vexlo/server/misc/cache_packer/archive/archive_writer.hpp"
#include "vexlo/server/misc/cache_packer/archive/parallel_gzip.hpp"

namespace {

unsigned bit(const std::vector<unsigned char>& data, std::size_t offset) {
  return (data[offset / 8] >> (offset % 8)) & 1u;
}

// Walks the deflate stream of a one-member gzip file written with no name.
int print_joints(const char* path) {
  std::vector<unsigned char> data;
  if (std::FILE* f = std::fopen(path, "rb")) {
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
      data.insert(data.end(), buffer, buffer + n);
    }
    std::fclose(f);
  }
  if (data.size() < 18) {
    std::fprintf(stderr, "%s: too short\n", path);
    return 2;
  }
  z_stream strm;
  std::memset(&strm, 0, sizeof strm);
  inflateInit2(&strm, -15);
  strm.next_in = data.data() + 10;
  strm.avail_in = static_cast<uInt>(data.size() - 10);
  std::vector<unsigned char> scratch(65536);
  int rc;
  do {
    strm.next_out = scratch.data();
    strm.avail_out = static_cast<uInt>(scratch.size());
    rc = inflate(&strm, Z_BLOCK);
    if (rc != Z_OK || (strm.data_type & (128 | 64)) != 128) {
      continue;
    }
    const unsigned unused = strm.data_type & 7;
    const std::size_t next = 8 * static_cast<std::size_t>(strm.next_in - data.data()) - unused;
    if (next + 3 > 8 * data.size() || bit(data, next + 1) != 0 || bit(data, next + 2) != 0) {
      continue;  // not a stored block
    }
    const std::size_t len_at = (next + 3 + 7) / 8;
    static const unsigned char kEmpty[4] = {0x00, 0x00, 0xff, 0xff};
    if (len_at + 4 <= data.size() && std::memcmp(&data[len_at], kEmpty, 4) == 0) {
      std::printf("%u ", unused == 0 ? 8 : 8 - unused);
    }
  } while (rc == Z_OK);
  inflateEnd(&strm);
  std::printf("\n");
  return rc == Z_STREAM_END ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool joints = false;
  bool after_finish = false;
  bool methods = false;
  bool rows = false;
  vexlo::archive::BlockCoding coding{vexlo::archive::kDefaultLevel, std::nullopt};
  std::vector<char*> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--joints") == 0) {
      joints = true;
    } else if (std::strcmp(argv[i], "--methods") == 0) {
      methods = true;
    } else if (std::strcmp(argv[i], "--rows") == 0) {
      rows = true;
    } else if (std::strcmp(argv[i], "--level") == 0 && i + 1 < argc) {
      coding.level = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--method") == 0 && i + 1 < argc) {
      coding.method = vexlo::archive::method_named(argv[++i]);
      if (!coding.method) {
        std::fprintf(stderr, "unknown block method %s; the methods are:", argv[i]);
        for (const char* name : vexlo::archive::kBlockMethodNames) {
          std::fprintf(stderr, " %s", name);
        }
        std::fprintf(stderr, "\n");
        return 2;
      }
      if (!VEXLO_DEFLATE_LIBDEFLATE && *coding.method != vexlo::archive::BlockMethod::high) {
        std::fprintf(stderr, "block method %s: zlib builds code every block at one level (high)\n", argv[i]);
        return 2;
      }
    } else if (std::strcmp(argv[i], "--after-finish") == 0) {
      after_finish = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 4) {
    std::fprintf(
        stderr,
        "usage: %s [--level N | --method NAME] [--methods] [--rows] [--joints] [--after-finish] INPUT OUTPUT "
        "THREADS BLOCK\n",
        argv[0]);
    return 2;
  }
  const int in = ::open(args[0], O_RDONLY);
  const int out = ::open(args[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    std::perror("open");
    return 2;
  }
  try {
    vexlo::archive::ParallelGzip gz(out, args[1], static_cast<unsigned>(std::atoi(args[2])), coding,
                                    static_cast<std::size_t>(std::atol(args[3])));
    std::vector<char> piece(7777);
    for (bool direct = true;; direct = !direct) {
      ssize_t n;
      if (direct) {
        std::size_t available;
        char* dst = gz.reserve(available);
        n = ::read(in, dst, available);
        if (n > 0)
          gz.commit(static_cast<std::size_t>(n));
      } else {
        n = ::read(in, piece.data(), piece.size());
        if (n > 0)
          gz.write(piece.data(), static_cast<std::size_t>(n));
      }
      if (n < 0) {
        std::perror("read");
        return 2;
      }
      if (n == 0)
        break;
    }
    gz.finish();
    for (int m = 0; methods && m < vexlo::archive::kBlockMethods; ++m) {
      std::printf("%s %llu\n", vexlo::archive::kBlockMethodNames[m],
                  static_cast<unsigned long long>(gz.blocks(static_cast<vexlo::archive::BlockMethod>(m))));
    }
    for (int r = 0; rows && vexlo::archive::BlockDeflate::row_name(r) != nullptr; ++r) {
      std::printf("%s %llu\n", vexlo::archive::BlockDeflate::row_name(r),
                  static_cast<unsigned long long>(gz.row_blocks(r)));
    }
    if (after_finish) {
      gz.write("x", 1);
    }
  } catch (const vexlo::archive::ArchiveError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  } catch (const std::logic_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
  if (::close(out) != 0) {
    return 1;
  }
  return joints ? print_joints(args[1]) : 0;
}
