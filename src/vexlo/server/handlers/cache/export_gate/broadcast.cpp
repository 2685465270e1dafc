#include "broadcast.hpp"

#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

py::object transmit(const host::ModuleGlobals& g, const host::Args& a) {
  const py::str kernel_id = a[0];
  const py::dict data = a[1];

  const py::str payload(host::json_text(data));
  // A snapshot: a connection that closes while we write leaves the registry
  // under our feet otherwise.
  const py::list connections(g["VexloWebSocketHandler"].attr("registry"));
  for (py::handle handler : connections) {
    const py::object handler_kernel = handler.attr("kernel_id");
    if (handler_kernel.equal(kernel_id))
      handler.attr("write_message")(payload);
  }
  return py::none();
}

}  // namespace vexlo::export_gate
