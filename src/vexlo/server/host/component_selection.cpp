#include "vexlo/server/host/component_selection.hpp"

#include "vexlo/server/host/arguments.hpp"

namespace vexlo::host {

bool successful_and_cached(const ModuleGlobals& g, py::handle component) {
  const py::object execution_status = str_or_none(component.attr("execution_status"), "execution_status");
  const py::object diskcache_status = str_or_none(component.attr("diskcache_status"), "diskcache_status");
  return execution_status.equal(g["VexloComponentStatus"].attr("SUCCESSFUL")) &&
         diskcache_status.equal(g["VexloDiskcacheStatus"].attr("CACHED"));
}

}  // namespace vexlo::host
