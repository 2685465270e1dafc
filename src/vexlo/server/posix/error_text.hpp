// The text of an OS error number.
#pragma once

#include <string>

namespace vexlo::posix {

// strerror's text for `error_number`, safe to call from any thread.
std::string error_text(int error_number);

}  // namespace vexlo::posix
