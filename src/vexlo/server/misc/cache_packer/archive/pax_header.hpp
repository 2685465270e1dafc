#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexlo::archive {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kRecord = 10240;

// Everything a tar header says about one member.
struct MemberInfo {
  std::string_view name;   // directories end with '/'
  char type = '0';         // ustar typeflag
  std::uint32_t mode = 0;  // permission bits
  std::uint64_t uid = 0;
  std::uint64_t gid = 0;
  std::int64_t mtime = 0;     // whole seconds
  std::uint64_t size = 0;     // data bytes that follow the header
  std::string_view linkname;  // symlink target or hard-link name
  std::string_view uname;
  std::string_view gname;
  std::uint32_t devmajor = 0;
  std::uint32_t devminor = 0;
};

// Encodes a member's header: one ustar block, preceded by a pax extended
// header only when some value does not fit the ustar fields (long or
// non-ASCII names, link targets, user and group names; sizes, ids or times
// out of the octal fields' range). Names that are not valid UTF-8 are stored
// raw under hdrcharset=BINARY.
class HeaderEncoder {
 public:
  // Replaces `out` with the header blocks (a multiple of 512 bytes).
  void encode(const MemberInfo& member, std::string& out);

 private:
  void add_record(std::string_view key, std::string_view value);

  std::string records_;  // pax records of the member being encoded
};

}  // namespace vexlo::archive
