// CacheExportGate: packs a kernel's pipeline cache into one .tar.gz, reports
// the packing's progress to the kernel's websockets and sends the archive as
// a download.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "broadcast.hpp"
#include "pipeline_description.hpp"
#include "response.hpp"
#include "scratch_dir.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/json_text.hpp"
#include "vexlo/server/host/module.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
namespace gate = vexlo::export_gate;
using namespace pybind11::literals;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

// An absent query argument: tornado reports it as MissingArgumentError, a
// plain mapping-style host as KeyError; either names the argument.
std::optional<std::string> missing_argument(const host::ModuleGlobals& g, py::error_already_set& e) {
  if (e.matches(g["web"].attr("MissingArgumentError"))) {
    return py::str(e.value().attr("arg_name")).cast<std::string>();
  }
  if (e.matches(PyExc_KeyError)) {
    return py::str(e.value().attr("args")[py::int_(0)]).cast<std::string>();
  }
  return std::nullopt;
}

// One export request from its first broadcast to its reply.
class Export {
 public:
  Export(const host::ModuleGlobals& g, py::object self, py::str kernel_id)
      : g_(g), self_(std::move(self)), kernel_id_(std::move(kernel_id)) {
    msg_["status"] = "invalid";
    msg_["progress"] = 0;
    progress_["procedure"] = "export:cache";
    progress_["msg"] = msg_;
  }

  void run(const py::dict& cached_pipeline, const std::string& tar_filename) {
    std::optional<py::str> failure;
    try {
      broadcast();
      gate::ScratchDir temp_dir(py::module_::import("tempfile").attr("gettempdir")().cast<std::string>(),
                                "vexlo-cache-");
      pack_and_send(temp_dir, cached_pipeline, tar_filename);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      failure = py::str(e.value());
    } catch (const std::exception& e) {
      failure = py::str(e.what());
    }
    if (failure) fail(*failure);
  }

 private:
  void broadcast() {
    g_["CacheExportGate"].attr("transmit")("kernel_id"_a = kernel_id_, "data"_a = progress_);
  }

  void pack_and_send(const gate::ScratchDir& temp_dir, const py::dict& cached_pipeline,
                     const std::string& tar_filename) {
    const py::str pipeline_json = g_["PIPELINE_JSON"];
    const std::string tarfile_path = temp_dir.join(tar_filename);
    py::dict pipeline_info;
    const std::string pipeline_path = temp_dir.join(pipeline_json);
    pipeline_info["filepath"] = pipeline_path;
    pipeline_info["arcname"] = pipeline_json;

    // The JSON text is ASCII, so its length is the file's size in bytes.
    const std::string description = host::json_text(cached_pipeline);
    gate::write_text_file(pipeline_path, description);
    py::int_ estimate_size(description.size());

    py::list cache_info;
    for (auto item : cached_pipeline) {
      const py::object dirpath = host::str_or_none(
          item.second.cast<py::dict>().attr("get")("component_cache_dir"), "component_cache_dir");
      if (dirpath.is_none()) continue;
      py::dict tree;
      tree["dirpath"] = dirpath;
      tree["arcname"] = "component-" + py::str(item.first).cast<std::string>();
      cache_info.append(tree);
      estimate_size = py::int_(estimate_size + py::int_(g_["get_dir_size"]("path"_a = dirpath)));
    }

    tar_thread_ = g_["CacheCompressThread"]("tarfile_path"_a = tarfile_path,
                                            "pipeline_info"_a = pipeline_info, "cache_info"_a = cache_info);
    tar_thread_.attr("start")();
    msg_["status"] = "running";
    broadcast();

    watch_archive_grow(tarfile_path, estimate_size.cast<double>());
    tar_thread_.attr("join")();
    raise_absorbed_error();

    msg_["status"] = "successful";
    msg_["progress"] = 100;
    broadcast();
    self_.attr("_finish_with_artifact")("artifact_name"_a = tar_filename, "artifact_path"_a = tarfile_path);
  }

  // Reports the archive's growth as a share of the expected content size
  // until the writer says it has finished.
  void watch_archive_grow(const std::string& tarfile_path, double estimate_size) {
    std::uintmax_t tarfile_size = 0;
    while (!host::truth(tar_thread_.attr("is_stopped")())) {
      const auto current_size = gate::file_size_if_exists(tarfile_path);
      if (!current_size) {
        // Not created yet: look again at once, only letting the writer run.
        py::gil_scoped_release unlocked;
        std::this_thread::yield();
        continue;
      }
      if (*current_size > tarfile_size) {
        tarfile_size = *current_size;
        const double progress = static_cast<double>(tarfile_size) / estimate_size;
        msg_["progress"] = static_cast<long long>(progress * 100.0);
        broadcast();
      }
      py::gil_scoped_release unlocked;
      std::this_thread::sleep_for(kPollInterval);
    }
  }

  // The writer ends the same way after success and after an error; an
  // archive it could not finish must never be sent as a good one.
  void raise_absorbed_error() {
    py::object error = tar_thread_.attr("error")();
    if (error.is_none()) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }

  void fail(const py::str& message) {
    if (tar_thread_) {
      tar_thread_.attr("stop")();
      // A thread that failed to start cannot be joined; there is nothing to wait for.
      if (!tar_thread_.attr("ident").is_none()) tar_thread_.attr("join")();
    }
    msg_["status"] = "failed";
    msg_["progress"] = 0;
    broadcast();
    self_.attr("_finish_with_message")(
        "status_code"_a = g_["HTTPStatus"].attr("INTERNAL_SERVER_ERROR"), "message"_a = message);
  }

  const host::ModuleGlobals& g_;
  py::object self_;
  py::str kernel_id_;
  py::dict progress_;
  py::dict msg_;
  py::object tar_thread_;
};

py::object get(const host::ModuleGlobals& g, const py::args& args, const py::kwargs& kwargs) {
  static const host::Signature signature("get", {host::required("self")});
  const py::object self = signature.bind(args, kwargs)[0];
  const py::object http_status = g["HTTPStatus"];
  auto refuse = [&](const char* status, const std::string& message) {
    self.attr("_finish_with_message")("status_code"_a = http_status.attr(status), "message"_a = message);
    return py::none();
  };

  py::object kernel_id, ipynb_name;
  try {
    kernel_id = host::str_or_none(self.attr("get_query_argument")("kernel_id"), "kernel_id");
    ipynb_name = host::str_or_none(self.attr("get_query_argument")("ipynb_name"), "ipynb_name");
  } catch (py::error_already_set& e) {
    const auto missing = missing_argument(g, e);
    if (!missing) throw;
    return refuse("BAD_REQUEST", *missing + " is required in the parameters of the query.");
  }

  const py::object cabinet = g["dag_cabinet"];
  if (!cabinet.contains(kernel_id)) {
    return refuse("INTERNAL_SERVER_ERROR",
                  "kernel_id: '" + py::str(kernel_id).cast<std::string>() + "' not valid.");
  }
  const py::object dag_info = cabinet[kernel_id];
  if (!host::truth(dag_info.attr("graph").attr("components"))) {
    return refuse("INTERNAL_SERVER_ERROR", "There are no components in this pipeline.");
  }
  const py::dict cached_pipeline =
      gate::describe_cached_components(g, dag_info.attr("graph").attr("components"));
  if (cached_pipeline.empty()) {
    return refuse("INTERNAL_SERVER_ERROR",
                  "There is no cache to export in this pipeline. Please run at least one component.");
  }
  const std::string tar_filename =
      gate::archive_file_name(ipynb_name.is_none() ? std::string() : ipynb_name.cast<std::string>());

  Export(g, self, kernel_id.is_none() ? py::str("None") : py::str(kernel_id)).run(cached_pipeline, tar_filename);
  return py::none();
}

}  // namespace

VEXLO_MODULE(export_gate, m) {
  host::bind_names(m, {
                          {"http", "HTTPStatus"},
                          {"typing", "Any"},
                          {"typing", "Dict"},
                          {"tornado", "web"},
                          {"jupyter_server.base.handlers", "APIHandler"},
                          {"vexlo_core.misc", "VexloComponentStatus"},
                          {"vexlo_core.misc", "VexloDiskcacheStatus"},
                          {"...misc", "CacheCompressThread"},
                          {"...misc", "get_dir_size"},
                          {"..dag_handler", "dag_cabinet"},
                          {"..ws_handler", "VexloWebSocketHandler"},
                      });
  m.attr("PIPELINE_JSON") = "pipeline.json";
  py::dict cache_desk_info;
  cache_desk_info["cache_buffer_size"] = 4194304;
  m.attr("CACHE_DESK_INFO") = cache_desk_info;

  host::ModuleGlobals g(m);
  using Kind = host::MethodSpec::Kind;
  host::make_class(
      m, host::ClassSpec{
             "CacheExportGate",
             "Cache export gate.",
             py::make_tuple(m.attr("APIHandler")),
             {
                 host::MethodSpec{"_finish_with_message", "", host::with_globals(g, gate::finish_with_message), Kind::instance,
                                  host::annotations({{"status_code", "HTTPStatus"}, {"message", "str"}, {"return", "None"}})},
                 host::MethodSpec{"_finish_with_artifact", "", host::with_globals(g, gate::finish_with_artifact), Kind::instance,
                                  host::annotations({{"artifact_name", "str"}, {"artifact_path", "str"}, {"return", "None"}})},
                 host::MethodSpec{"get", "", host::with_globals(g, get), Kind::instance, host::annotations({{"return", "None"}}),
                                  {m.attr("web").attr("authenticated")}},
                 host::MethodSpec{"transmit", "transmit DAG info to websocket connection which has kernel id",
                                  host::with_globals(g, gate::transmit), Kind::static_,
                                  host::annotations({{"kernel_id", "str"}, {"data", "Dict[str, Any]"}, {"return", "None"}})},
             },
         });
}
