#include "response.hpp"

#include <memory>

#include "file_io.hpp"
#include "loop_task.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/host/json_text.hpp"

namespace vexlo::export_gate {

using namespace pybind11::literals;

namespace {

// Once the status line and headers are on the wire, a reply can no longer
// change into a JSON message.
bool headers_sent(const py::object& self) {
  return host::truth(py::getattr(self, "_headers_written", py::bool_(false)));
}

// Ends a response whose download has begun: the client must see an
// incomplete download, never an archive with text appended to it.
void abort_download(const py::object& self) {
  py::object connection = py::getattr(self.attr("request"), "connection", py::none());
  if (!connection.is_none() && py::hasattr(connection, "close"))
    connection.attr("close")();
  try {
    // Completes the handler's own bookkeeping; the closed connection takes
    // nothing more and skips its length check.
    self.attr("finish")("set_content_type"_a = "application/octet-stream");
  } catch (py::error_already_set& e) {
    if (!host::is_ordinary(e))
      throw;
  }
}

void set_header(const py::object& self, const char* name, const std::string& value) {
  self.attr("set_header")("name"_a = name, "value"_a = value);
}

// Tornado closes the stream as soon as it sees the client gone; a flush that
// was pending then completes without an error, so this is looked at before
// each chunk is read.
bool client_gone(const py::object& self) {
  const py::object connection = py::getattr(self.attr("request"), "connection", py::none());
  const py::object stream = py::getattr(connection, "stream", py::none());
  return !stream.is_none() && host::truth(stream.attr("closed")());
}

// The chunk loop of a download: read a chunk off the loop, write it, wait for
// its flush, and only then read the next, so one download holds one chunk
// whatever the client's speed. A failure to read the file, or of a host
// operation, is the download's error.
class ArtifactSender : public LoopTask<ArtifactSender> {
 public:
  ArtifactSender(const host::ModuleGlobals& g, py::object self, std::shared_ptr<FileReader> reader,
                 std::size_t buffer_size)
      : g_(g), self_(std::move(self)), reader_(std::move(reader)), buffer_size_(buffer_size) {}

  py::object start() {
    step([&] { next_chunk(); });
    return done();
  }

 private:
  void next_chunk() {
    if (client_gone(self_))
      return transfer_failed();
    continue_off_loop(&ArtifactSender::read_chunk, &ArtifactSender::got_chunk);
  }

  py::object read_chunk() { return reader_->read_chunk(buffer_size_); }

  void got_chunk(py::object future) {
    const py::bytes chunk = future.attr("result")();
    if (PyBytes_GET_SIZE(chunk.ptr()) == 0) {
      // APIHandler.finish would otherwise label an empty download as JSON.
      self_.attr("finish")("set_content_type"_a = "application/octet-stream");
      return finish();
    }
    py::object flushed;
    try {
      self_.attr("write")(chunk);
      flushed = self_.attr("flush")();
    } catch (py::error_already_set& e) {
      if (!host::is_ordinary(e))
        throw;
      return transfer_failed();
    }
    continue_when_done(flushed, &ArtifactSender::flushed);
  }

  void flushed(py::object future) {
    if (!future.is_none()) {
      if (host::truth(future.attr("cancelled")()))
        return transfer_failed();
      const py::object error = future.attr("exception")();
      if (!error.is_none()) {
        if (!host::is_ordinary(error))
          return fail(error);
        return transfer_failed();
      }
    }
    next_chunk();
  }

  // The reply has been replaced by the error message, or the connection
  // ended; either way the download is over and the caller goes on.
  void transfer_failed() {
    self_.attr("_finish_with_message")("status_code"_a = g_["HTTPStatus"].attr("INTERNAL_SERVER_ERROR"),
                                       "message"_a = "Cannot transfer file data to the client");
    finish();
  }

  // The download has no failure path of its own: its caller's takes the error.
  void take_failure_path(const py::object& error) override { fail(error); }

  // Off the loop: the archive may be unlinked already, and its last close
  // then frees all its space, which takes a while for a big one.
  void ended() override {
    std::shared_ptr<FileReader> reader = std::move(reader_);
    if (reader)
      loop().clean_up_off_loop([reader]() mutable { reader.reset(); }, [] {});
  }

  const host::ModuleGlobals g_;
  py::object self_;
  std::shared_ptr<FileReader> reader_;
  std::size_t buffer_size_;
};

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

py::object finish_with_message(const host::ModuleGlobals&, const host::Args& a) {
  const py::object& self = a[0];
  const py::object& status_code = a[1];
  const py::str message = a[2];

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
  self.attr("set_status")("status_code"_a = py::int_(status_code));
  self.attr("finish")(py::bytes(body));
  return py::none();
}

py::object finish_with_artifact(const host::ModuleGlobals& g, const host::Args& a) {
  const py::object& self = a[0];
  const std::string artifact_name = a[1].cast<std::string>();
  const std::string artifact_path = a[2].cast<std::string>();

  set_header(self, "Content-Type", "application/octet-stream");
  set_header(self, "Content-Disposition", "attachment; filename=" + percent_encode(artifact_name));
  set_header(self, "Content-Length", std::to_string(file_size(artifact_path)));
  self.attr("set_status")("status_code"_a = py::int_(g["HTTPStatus"].attr("OK")));

  const py::int_ configured(g["CACHE_DESK_INFO"]["cache_buffer_size"]);
  const long long buffer_size = configured.cast<long long>();
  if (buffer_size <= 0)
    host::raise_value_error("cache_buffer_size must be a positive number of bytes");

  auto reader = std::make_shared<FileReader>(artifact_path);
  return std::make_shared<ArtifactSender>(g, self, std::move(reader), static_cast<std::size_t>(buffer_size))
      ->start();
}

}  // namespace vexlo::export_gate
