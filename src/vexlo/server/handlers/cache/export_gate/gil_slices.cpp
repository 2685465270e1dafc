#include "gil_slices.hpp"

#include <pybind11/pybind11.h>

#include <thread>

namespace py = pybind11;

namespace vexlo::export_gate {

namespace {

// Chosen with `python bench/bench_export.py --only pipelines`: with slices of
// the whole switch interval and a bare yield between them, the loop answered
// in up to 50-60 ms during the export of 100,000 components; with a fifth of
// it and a sleep, in under 35 ms. The loop waits for the GIL up to a switch
// interval before it asks for it, so it must find it free more often than
// that; and a thread woken for the GIL is slower to take it than a yield is
// to come back, so the pause sleeps (the timer's slack makes it some 50 µs).
constexpr int kSlicesPerSwitchInterval = 5;
constexpr std::chrono::microseconds kHandOver{1};

}  // namespace

GilSlices::GilSlices()
    : slice_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
          py::module_::import("sys").attr("getswitchinterval")().cast<double>() / kSlicesPerSwitchInterval))),
      slice_end_(std::chrono::steady_clock::now() + slice_) {}

void GilSlices::pause_if_due() {
  if (std::chrono::steady_clock::now() < slice_end_)
    return;
  {
    py::gil_scoped_release released;
    std::this_thread::sleep_for(kHandOver);
  }
  slice_end_ = std::chrono::steady_clock::now() + slice_;
}

}  // namespace vexlo::export_gate
