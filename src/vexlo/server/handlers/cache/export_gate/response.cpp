#include "response.hpp"

#include "scratch_dir.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

using namespace pybind11::literals;

namespace {

bool is_ordinary_error(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Once the status line and headers are on the wire, a reply can no longer
// change into a JSON message.
bool headers_sent(const py::object& self) {
  return host::truth(py::getattr(self, "_headers_written", py::bool_(false)));
}

// Ends a response whose download has begun: the client must see an
// incomplete download, never an archive with text appended to it.
void abort_download(const py::object& self) {
  py::object connection = py::getattr(self.attr("request"), "connection", py::none());
  if (!connection.is_none() && py::hasattr(connection, "close")) connection.attr("close")();
  try {
    // Completes the handler's own bookkeeping; the closed connection takes
    // nothing more and skips its length check.
    self.attr("finish")("set_content_type"_a = "application/octet-stream");
  } catch (py::error_already_set& e) {
    if (!is_ordinary_error(e)) throw;
  }
}

void set_header(const py::object& self, const char* name, const std::string& value) {
  self.attr("set_header")("name"_a = name, "value"_a = value);
}

}  // namespace

std::string percent_encode(const std::string& name) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (const unsigned char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '.' || c == '-' || c == '~' || c == '/';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

py::object finish_with_message(const host::ModuleGlobals&, const py::args& args,
                               const py::kwargs& kwargs) {
  static const host::Signature signature(
      "_finish_with_message",
      {host::required("self"), host::required("status_code"), host::required("message")});
  const auto values = signature.bind(args, kwargs);
  const py::object& self = values[0];
  const py::str message = host::exact_str(values[2], "message");

  if (headers_sent(self)) {
    abort_download(self);
    return py::none();
  }

  py::dict result;
  result["message"] = message;
  // The body is sent as exactly this text, so the announced length is right
  // whatever the message holds ("</" included).
  const std::string body = host::json_text(result);
  set_header(self, "Content-Type", "application/json");
  set_header(self, "Content-Length", std::to_string(body.size()));
  self.attr("set_status")("status_code"_a = py::int_(values[1]));
  self.attr("finish")(py::bytes(body));
  return py::none();
}

py::object finish_with_artifact(const host::ModuleGlobals& g, const py::args& args,
                                const py::kwargs& kwargs) {
  static const host::Signature signature(
      "_finish_with_artifact",
      {host::required("self"), host::required("artifact_name"), host::required("artifact_path")});
  const auto values = signature.bind(args, kwargs);
  const py::object& self = values[0];
  const std::string artifact_name = host::text(values[1], "artifact_name");
  const std::string artifact_path = host::text(values[2], "artifact_path");

  set_header(self, "Content-Type", "application/octet-stream");
  set_header(self, "Content-Disposition", "attachment; filename=" + percent_encode(artifact_name));
  set_header(self, "Content-Length", std::to_string(file_size(artifact_path)));
  self.attr("set_status")("status_code"_a = py::int_(g["HTTPStatus"].attr("OK")));

  const py::int_ configured(g["CACHE_DESK_INFO"]["cache_buffer_size"]);
  const long long buffer_size = configured.cast<long long>();
  if (buffer_size <= 0) throw py::value_error("cache_buffer_size must be a positive number of bytes");

  FileReader reader(artifact_path);
  for (;;) {
    py::bytes chunk = reader.read_chunk(static_cast<std::size_t>(buffer_size));
    if (PyBytes_GET_SIZE(chunk.ptr()) == 0) break;
    try {
      self.attr("write")(chunk);
      self.attr("flush")();
    } catch (py::error_already_set& e) {
      if (!is_ordinary_error(e)) throw;
      self.attr("_finish_with_message")(
          "status_code"_a = g["HTTPStatus"].attr("INTERNAL_SERVER_ERROR"),
          "message"_a = "Cannot transfer file data to the client");
      return py::none();
    }
  }
  // APIHandler.finish would otherwise label an empty download as JSON.
  self.attr("finish")("set_content_type"_a = "application/octet-stream");
  return py::none();
}

}  // namespace vexlo::export_gate
