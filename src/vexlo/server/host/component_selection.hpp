// Which of a pipeline's components count as exportable cache.
#pragma once

#include <pybind11/pybind11.h>

#include "vexlo/server/host/imports.hpp"

namespace vexlo::host {

// A component counts only if it ran successfully and its results are cached.
// Both statuses are read, in this order, before either is compared; each must
// be exactly text or None (an enumeration member is refused with TypeError).
// `g` binds VexloComponentStatus and VexloDiskcacheStatus.
bool successful_and_cached(const ModuleGlobals& g, py::handle component);

}  // namespace vexlo::host
