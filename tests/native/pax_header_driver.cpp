// Prints the header blocks HeaderEncoder makes for one member described on
// the command line, so tests can read them back with tarfile.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vexlo/server/misc/cache_packer/archive/pax_header.hpp"

int main(int argc, char** argv) {
  if (argc != 11) {
    std::fprintf(stderr, "usage: %s NAME TYPE MODE SIZE UID GID MTIME LINK UNAME GNAME\n", argv[0]);
    return 2;
  }
  vexlo::archive::MemberInfo m;
  m.name = argv[1];
  m.type = argv[2][0];
  m.mode = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 8));
  m.size = std::strtoull(argv[4], nullptr, 10);
  m.uid = std::strtoull(argv[5], nullptr, 10);
  m.gid = std::strtoull(argv[6], nullptr, 10);
  m.mtime = std::strtoll(argv[7], nullptr, 10);
  m.linkname = argv[8];
  m.uname = argv[9];
  m.gname = argv[10];
  std::string out;
  vexlo::archive::HeaderEncoder().encode(m, out);
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
}
