// CacheExportGate: packs a kernel's pipeline cache into one .tar.gz, reports
// the packing's progress to the kernel's websockets and sends the archive as
// a download.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "broadcast.hpp"
#include "export_flow.hpp"
#include "pipeline_description.hpp"
#include "response.hpp"
#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/entry_point.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
namespace gate = vexlo::export_gate;
using namespace pybind11::literals;

namespace {

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

py::object get(const host::ModuleGlobals& g, const host::Args& a) {
  const py::object& self = a[0];
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
    if (!missing)
      throw;
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
  const std::string tar_filename =
      gate::archive_file_name(ipynb_name.is_none() ? std::string() : ipynb_name.cast<std::string>());

  // The components are described off the loop; a pipeline with nothing to
  // export is refused there.
  return gate::begin_export(g, self, kernel_id.is_none() ? py::str("None") : py::str(kernel_id),
                            dag_info.attr("graph").attr("components"), tar_filename);
}

// Tornado's hook for a client that has gone while the request runs.
py::object on_connection_close(const host::ModuleGlobals& g, const host::Args& a) {
  const py::object& self = a[0];
  gate::client_left(self);
  py::module_::import("builtins").attr("super")(g["CacheExportGate"], self).attr("on_connection_close")();
  return py::none();
}

py::object end_all_exports(const host::ModuleGlobals&, const host::Args&) {
  return gate::end_all_exports();
}

py::object sweep_abandoned_exports(const host::ModuleGlobals&, const host::Args&) {
  gate::sweep_abandoned_exports();
  return py::none();
}

constexpr const char* kSweepDoc =
    "Remove the scratch directories of exports that died with their server.\n\n"
    "A server killed while it packs (SIGKILL, the OOM killer, an evicted pod)\n"
    "leaves its partial archive in the temporary directory. Every live export\n"
    "holds a lock on its directory that the kernel drops when its process\n"
    "dies; this removes the \"vexlo-cache-<boot id>-*\" directories of this\n"
    "user and of this boot of this host whose lock can be taken, never\n"
    "following a link, and leaves alone any it cannot lock or remove, and\n"
    "every other host's (a lock is seen only by the kernel that holds it).\n"
    "Never raises. The extension calls it when it loads; every export calls\n"
    "it before it packs.";

constexpr const char* kEndAllDoc =
    "End every export in progress, as if its client had left.\n\n"
    "Writers are cancelled and downloads cut off; each export then fails as it\n"
    "would for a client that left and removes its scratch directory. Returns a\n"
    "future that completes once no export runs. The server calls this when it\n"
    "shuts down.";

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
  using host::Check;
  using host::MethodSpec;
  host::make_class(
      m,
      host::ClassSpec{
          "CacheExportGate",
          "Cache export gate.",
          py::make_tuple(m.attr("APIHandler")),
          {
              MethodSpec{"_finish_with_message",
                         "",
                         {{"status_code", "HTTPStatus"}, {"message", "str", Check::str}},
                         "None",
                         host::with_globals(g, gate::finish_with_message)},
              MethodSpec{"_finish_with_artifact",
                         "",
                         {{"artifact_name", "str", Check::str}, {"artifact_path", "str", Check::str}},
                         "Awaitable[None]",
                         host::with_globals(g, gate::finish_with_artifact)},
              MethodSpec{"get",
                         "",
                         {},
                         "Awaitable[None]",
                         host::with_globals(g, get),
                         MethodSpec::Kind::instance,
                         {m.attr("web").attr("authenticated")}},
              MethodSpec{"transmit",
                         "transmit DAG info to websocket connection which has kernel id",
                         {{"kernel_id", "str", Check::str}, {"data", "Dict[str, Any]", Check::dict}},
                         "None",
                         host::with_globals(g, gate::transmit),
                         MethodSpec::Kind::static_},
              MethodSpec{"on_connection_close", "", {}, "None", host::with_globals(g, on_connection_close)},
              MethodSpec{"sweep_abandoned_exports",
                         kSweepDoc,
                         {},
                         "None",
                         host::with_globals(g, sweep_abandoned_exports),
                         MethodSpec::Kind::static_},
              MethodSpec{"end_all_exports",
                         kEndAllDoc,
                         {},
                         "Awaitable[None]",
                         host::with_globals(g, end_all_exports),
                         MethodSpec::Kind::static_},
          },
      });
}
