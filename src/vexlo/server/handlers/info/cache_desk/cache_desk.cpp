// CacheInfoHandler: how much disk the pipeline caches take, for one kernel's
// pipeline or for all of them. The base class owns the request; this module
// only supplies the _get_info hook.
#include <pybind11/pybind11.h>

#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/component_selection.hpp"
#include "vexlo/server/host/entry_point.hpp"
#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
using namespace pybind11::literals;

namespace {

using Globals = host::ModuleGlobals;

py::tuple outcome(py::object status, py::dict result) {
  return py::make_tuple(status, result);
}

py::str size_text(const py::int_& bytes) {
  return py::str(py::str(bytes).cast<std::string>() + "B");
}

py::tuple total_size(const Globals& g) {
  py::object http_status = g["HTTPStatus"];
  py::dict result;
  py::object dirpath = g["APP_TEMP_DIRECTORY"].attr("joinpath")("pipelines");
  py::int_ estimate;
  try {
    py::object measured = g["get_dir_size"](("path"_a = py::str(dirpath)));
    estimate = py::int_(measured);
  } catch (py::error_already_set& e) {
    if (!host::is_ordinary(e))
      throw;
    result["message"] = "Fail to estimate cache size";
    return outcome(http_status.attr("INTERNAL_SERVER_ERROR"), result);
  }
  result["cache_size"] = size_text(estimate);
  return outcome(http_status.attr("OK"), result);
}

py::tuple kernel_size(const Globals& g, const py::str& kernel_id) {
  py::object http_status = g["HTTPStatus"];
  py::dict result;
  py::object cabinet = g["dag_cabinet"];
  if (!cabinet.contains(kernel_id)) {
    result["message"] = "kernel_id " + kernel_id.cast<std::string>() + " is not valid.";
    return outcome(http_status.attr("BAD_REQUEST"), result);
  }

  py::object dag_info = cabinet[kernel_id];
  py::object dag_cache_dir = host::str_or_none(dag_info.attr("diskcache_dir"), "diskcache_dir");
  py::int_ estimate(0);

  for (py::handle component : dag_info.attr("graph").attr("components")) {
    if (!host::successful_and_cached(g, component))
      continue;

    py::object cache_dir = host::str_or_none(component.attr("diskcache_dir"), "diskcache_dir");
    if (cache_dir.is_none())
      continue;
    py::object measured = g["get_dir_size"]("path"_a = cache_dir);
    estimate = py::int_(estimate + measured);
  }

  result["cache_dir"] = dag_cache_dir;
  result["cache_size"] = size_text(estimate);
  return outcome(http_status.attr("OK"), result);
}

py::object get_info(const Globals& g, const host::Args& a) {
  const py::object& self = a[0];

  py::object kernel_id;
  try {
    kernel_id = host::str_or_none(self.attr("get_query_argument")("kernel_id", "default"_a = py::none()),
                                  "kernel_id");
  } catch (py::error_already_set& e) {
    if (!host::is_ordinary(e))
      throw;
    py::dict result;
    result["message"] = py::str(e.value());
    return outcome(g["HTTPStatus"].attr("BAD_REQUEST"), result);
  }

  if (kernel_id.is_none() || py::len(kernel_id) == 0)
    return total_size(g);
  return kernel_size(g, kernel_id);
}

}  // namespace

VEXLO_MODULE(cache_desk, m) {
  host::bind_names(m, {
                          {"http", "HTTPStatus"},
                          {"pathlib", "Path"},
                          {"typing", "Any"},
                          {"typing", "Dict"},
                          {"typing", "Optional"},
                          {"typing", "Tuple"},
                          {"vexlo_core.common.utils", "APP_TEMP_DIRECTORY"},
                          {"vexlo_core.misc", "VexloComponentStatus"},
                          {"vexlo_core.misc", "VexloDiskcacheStatus"},
                          {"vexlo_core.misc.models", "VexloPipelineModel"},
                          {"...misc", "get_dir_size"},
                          {"..dag_handler", "dag_cabinet"},
                          {".base_handler", "BaseInfoHandler"},
                      });

  Globals globals(m);
  host::make_class(m, host::ClassSpec{
                          "CacheInfoHandler",
                          "",
                          py::make_tuple(m.attr("BaseInfoHandler")),
                          {host::MethodSpec{"_get_info",
                                            "",
                                            {},
                                            "Tuple[HTTPStatus, Dict[str, Any]]",
                                            host::with_globals(globals, get_info)}},
                      });
}
