#include "vexlo/server/host/json_text.hpp"

namespace vexlo::host {

using namespace pybind11::literals;

std::string json_text(py::handle value) {
  return JsonEncoder().value_text(value);
}

JsonEncoder::JsonEncoder() {
  const py::module_ json = py::module_::import("json");
  encode_ = json.attr("JSONEncoder")("ensure_ascii"_a = true, "separators"_a = py::make_tuple(", ", ": "))
                .attr("encode");
  quote_ = json.attr("encoder").attr("encode_basestring_ascii");
}

std::string JsonEncoder::value_text(py::handle value) const {
  return encode_(value).cast<std::string>();
}

std::string JsonEncoder::member_name(py::handle name) const {
  if (PyUnicode_Check(name.ptr()))
    return quote_(name).cast<std::string>();
  // JSON's conversion of other keys, taken from a mapping of one member.
  py::dict single;
  single[name] = py::none();
  const std::string text = value_text(single);
  const std::string tail = ": null}";
  return text.substr(1, text.size() - 1 - tail.size());
}

}  // namespace vexlo::host
