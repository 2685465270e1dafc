#include "broadcast.hpp"

#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

py::object transmit(const host::ModuleGlobals& g, const py::args& args, const py::kwargs& kwargs) {
  static const host::Signature signature("transmit",
                                         {host::required("kernel_id"), host::required("data")});
  const auto values = signature.bind(args, kwargs);
  const py::str kernel_id = host::exact_str(values[0], "kernel_id");
  const py::dict data = host::exact_dict(values[1], "data");

  const py::str payload(host::json_text(data));
  // A snapshot: a connection that closes while we write leaves the registry
  // under our feet otherwise.
  const py::list connections(g["VexloWebSocketHandler"].attr("registry"));
  for (py::handle handler : connections) {
    const py::object handler_kernel = handler.attr("kernel_id");
    if (handler_kernel.equal(kernel_id)) handler.attr("write_message")(payload);
  }
  return py::none();
}

}  // namespace vexlo::export_gate
