#include "vexlo/server/host/json_text.hpp"

namespace vexlo::host {

std::string json_text(py::handle value) {
  using namespace pybind11::literals;
  py::object dumps = py::module_::import("json").attr("dumps");
  py::object text = dumps(value, "ensure_ascii"_a = true, "separators"_a = py::make_tuple(", ", ": "));
  return text.cast<std::string>();
}

}  // namespace vexlo::host
