#include "gil_slices.hpp"

#include <pybind11/pybind11.h>

#include <thread>

namespace py = pybind11;

namespace vexlo::export_gate {

GilSlices::GilSlices()
    : slice_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
          py::module_::import("sys").attr("getswitchinterval")().cast<double>()))),
      slice_end_(std::chrono::steady_clock::now() + slice_) {}

void GilSlices::pause_if_due() {
  if (std::chrono::steady_clock::now() < slice_end_)
    return;
  {
    // A thread that has waited a whole interval for the GIL has asked for it,
    // and releasing then hands it over; the yield lets one that has only
    // just begun to wait in too.
    py::gil_scoped_release released;
    std::this_thread::yield();
  }
  slice_end_ = std::chrono::steady_clock::now() + slice_;
}

}  // namespace vexlo::export_gate
