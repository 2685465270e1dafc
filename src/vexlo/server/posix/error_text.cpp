#include "vexlo/server/posix/error_text.hpp"

#include <cstring>

namespace vexlo::posix {

std::string error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling `buffer`.
  return strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace vexlo::posix
