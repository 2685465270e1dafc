// Long work that holds the GIL on the loop's executor, cut into slices so the
// server's event loop gets the GIL between them. The interpreter asks a
// holder to let go only while Python code runs; C++ between Python calls
// never hears it, so it lets go itself, more often than Python would.
#pragma once

#include <chrono>

namespace vexlo::export_gate {

class GilSlices {
 public:
  // Slices of a fraction of Python's switch interval (sys.getswitchinterval()).
  GilSlices();

  // Call with the GIL held, between units of work: once the slice is over,
  // lets other threads take the GIL before going on.
  void pause_if_due();

 private:
  std::chrono::steady_clock::duration slice_;
  std::chrono::steady_clock::time_point slice_end_;
};

}  // namespace vexlo::export_gate
