// The notebook side's functions over the Dravik platform: datasets and their
// versions, code snippets, and mounting the project's datasets with rclone.
// Each call reads the settings afresh and makes one request; nothing is kept.
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "vexlo/server/host/arguments.hpp"
#include "vexlo/server/host/entry_point.hpp"
#include "vexlo/server/host/errors.hpp"
#include "vexlo/server/host/imports.hpp"
#include "vexlo/server/host/native_class.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
using namespace pybind11::literals;

namespace {

using Globals = host::ModuleGlobals;

// What the mount needs from the standard library, bound once at load.
struct MountContext {
  Globals g;
  py::str mount_point;
  py::object os;
  py::object subprocess;
};

constexpr int kMountTimeoutSeconds = 30;

std::string kind_of(py::handle value) {
  return Py_TYPE(value.ptr())->tp_name;
}

[[noreturn]] void wrong_kind(const char* expected, py::handle body) {
  host::raise_type_error(std::string("Expected ") + expected + ", got " + kind_of(body));
}

// The decoded body, which must be an object or null.
py::object object_or_null(py::object body) {
  if (!body.is_none() && !PyDict_Check(body.ptr()))
    wrong_kind("dict", body);
  return body;
}

py::str base_url(const Globals& g) {
  return py::str(g["settings"].attr("DRAVIK_API_BASE_PROJECT_URL"));
}

py::str decimal(const py::int_& value) {
  return py::str(value);
}

py::str concat(std::initializer_list<py::str> pieces) {
  py::str joined("");
  for (const auto& piece : pieces) {
    PyObject* longer = PyUnicode_Concat(joined.ptr(), piece.ptr());
    if (!longer)
      throw py::error_already_set();
    joined = py::reinterpret_steal<py::str>(longer);
  }
  return joined;
}

// A record built from a JSON object, each member as the field of its name.
py::object build_record(py::handle record_type, py::handle members) {
  if (!PyDict_Check(members.ptr())) {
    host::raise_type_error("record members must be a JSON object, not " + kind_of(members));
  }
  py::tuple no_positional;
  PyObject* record = PyObject_Call(record_type.ptr(), no_positional.ptr(), members.ptr());
  if (!record)
    throw py::error_already_set();
  return py::reinterpret_steal<py::object>(record);
}

// A listing element: an object, or an array of name/value pairs describing one.
py::object element_members(py::handle element) {
  if (PyDict_Check(element.ptr()))
    return py::reinterpret_borrow<py::object>(element);
  if (!PyList_Check(element.ptr()) && !PyTuple_Check(element.ptr())) {
    host::raise_type_error("dataset list element must be an object, not " + kind_of(element));
  }
  py::dict members;
  if (PyDict_MergeFromSeq2(members.ptr(), element.ptr(), 1) < 0) {
    // A malformed pair is an unusable element like any other: TypeError.
    if (!PyErr_ExceptionMatches(PyExc_ValueError))
      throw py::error_already_set();
    PyErr_Clear();
    host::raise_type_error("dataset list element is not a list of name/value pairs");
  }
  return std::move(members);
}

py::object get_dataset_list(const Globals& g, const host::Args&) {
  const py::str url = concat({base_url(g), py::str("/data-snapshots")});
  py::object body = g["api_client"].attr("get")(url).attr("json")();
  if (!body.is_none() && !PyList_Check(body.ptr()))
    wrong_kind("list", body);

  py::object record_type = g["DatasetInfo"];
  py::list datasets;
  for (py::handle element : body)
    datasets.append(build_record(record_type, element_members(element)));
  return std::move(datasets);
}

py::object create_dataset(const Globals& g, const host::Args& a) {
  const py::str name = a[0];
  const py::str description = a[1];
  const bool exist_ok = host::truth(a[2]);

  const py::str url = concat({base_url(g), py::str("/data-snapshots")});
  py::dict payload;
  payload["name"] = name;
  payload["description"] = description;
  payload["exist_ok"] = py::bool_(exist_ok);
  py::object body = g["api_client"].attr("post")(url, "json"_a = payload).attr("json")();
  return build_record(g["DatasetInfo"], object_or_null(body));
}

py::object create_dataset_version_by_id(const Globals& g, const host::Args& a) {
  const py::int_ dataset_id = a[0];
  const py::str description = a[1];

  const py::str url =
      concat({base_url(g), py::str("/data-snapshots/"), decimal(dataset_id), py::str("/versions")});
  py::dict payload;
  payload["description"] = description;
  py::object body = g["api_client"].attr("post")(url, "json"_a = payload).attr("json")();
  return build_record(g["DatasetVersionInfo"], object_or_null(body));
}

py::object get_code_snippet_to_upload_dataset(const Globals& g, const host::Args& a) {
  const py::str name = a[0];
  const py::str data = a[1];
  const py::str file_type = a[2];

  const py::str url = concat({base_url(g), py::str("/data-snapshots/tabular/code-snippet")});
  py::dict params;
  params["name"] = name;
  params["data"] = data;
  params["file_type"] = file_type;
  return object_or_null(g["api_client"].attr("get")(url, "params"_a = params).attr("json")());
}

py::object get_code_snippet_to_import_dataset(const Globals& g, const host::Args& a) {
  const py::int_ dataset_id = a[0];
  const py::int_ dataset_version_id = a[1];

  const py::str url = concat({base_url(g), py::str("/data-snapshots/"), decimal(dataset_id),
                              py::str("/versions/"), decimal(dataset_version_id), py::str("/code-snippet")});
  return object_or_null(g["api_client"].attr("get")(url).attr("json")());
}

py::object mount_dataset(const MountContext& c) {
  py::object settings = c.g["settings"];
  py::object webdav_url = settings.attr("DRAVIK_WEBDAV_URL");
  py::object token = settings.attr("TOKEN");
  if (!host::truth(token))
    token = settings.attr("DRAVIK_SDK_TOKEN");
  if (!host::truth(token) || !host::truth(webdav_url))
    return py::none();

  c.os.attr("makedirs")(c.mount_point, "exist_ok"_a = true);

  py::list cmd;
  cmd.append("rclone");
  cmd.append("mount");
  cmd.append(":webdav:");
  cmd.append(c.mount_point);
  cmd.append(concat({py::str("--webdav-url="), py::str(webdav_url)}));
  cmd.append("--vfs-cache-mode=full");
  cmd.append("--daemon");

  // The header goes through the child's environment, not its arguments: the
  // process table shows every user the arguments of the long-lived daemon,
  // while /proc/<pid>/environ is readable by its owner only.
  py::dict env = c.os.attr("environ").attr("copy")();
  env["RCLONE_WEBDAV_HEADERS"] = concat({py::str("Authorization,Bearer "), py::str(token)});

  try {
    c.subprocess.attr("run")(cmd, "capture_output"_a = true, "check"_a = true,
                             "timeout"_a = kMountTimeoutSeconds, "env"_a = env);
  } catch (py::error_already_set& e) {
    // Not installed, or still running after the time-out (run() has killed
    // and reaped it): the mount is simply not there. Anything else surfaces.
    if (e.matches(PyExc_FileNotFoundError) || e.matches(c.subprocess.attr("TimeoutExpired"))) {
      return py::none();
    }
    throw;
  }
  return py::none();
}

// Lets typing.get_type_hints resolve the annotations against this module.
void define(py::module_& m, const host::MethodSpec& spec) {
  host::make_function(m, spec).attr("__globals__") = m.attr("__dict__");
}

}  // namespace

VEXLO_MODULE(methods, m) {
  host::bind_names(m, {
                          {"typing", "Any"},
                          {"typing", "Dict"},
                          {"typing", "List"},
                          {"typing", "Optional"},
                          {"vexlo.dravik.api_client", "api_client"},
                          {"vexlo.dravik.schemas", "DatasetInfo"},
                          {"vexlo.dravik.schemas", "DatasetVersionInfo"},
                          {"vexlo.dravik.settings", "settings"},
                      });

  // A home that is missing or relative (HOME="" reads as "." on some Python
  // versions) would put the mount under whatever the working directory is, so
  // it fails the load like a home that cannot be found at all.
  py::object os = py::module_::import("os");
  const py::str home(os.attr("path").attr("expanduser")("~"));
  if (!host::truth(os.attr("path").attr("isabs")(home))) {
    host::raise_runtime_error("Could not determine home directory.");
  }
  const py::str mount_point(os.attr("path").attr("join")(home, "workspace", "dataset"));
  m.attr("_MOUNT_POINT") = mount_point;

  const Globals g(m);
  using host::Check;
  using host::MethodSpec;
  define(m, MethodSpec{"get_dataset_list",
                       "Return datasets for the current project.",
                       {},
                       "List[DatasetInfo]",
                       host::with_globals(g, get_dataset_list)});
  define(m, MethodSpec{"create_dataset",
                       "Create a new dataset in the current project.",
                       {{"name", "str", Check::str},
                        {"description", "str", Check::str},
                        {"exist_ok", "bool", Check::boolean, py::bool_(false)}},
                       "DatasetInfo",
                       host::with_globals(g, create_dataset)});
  define(m, MethodSpec{"create_dataset_version_by_id",
                       "Create a new version for an existing dataset.",
                       {{"dataset_id", "int", Check::integer}, {"description", "str", Check::str}},
                       "DatasetVersionInfo",
                       host::with_globals(g, create_dataset_version_by_id)});
  define(m, MethodSpec{
                "get_code_snippet_to_upload_dataset",
                "Return a code snippet for uploading tabular data.",
                {{"name", "str", Check::str}, {"data", "str", Check::str}, {"file_type", "str", Check::str}},
                "Optional[Dict[str, Any]]",
                host::with_globals(g, get_code_snippet_to_upload_dataset)});
  define(m, MethodSpec{"get_code_snippet_to_import_dataset",
                       "Return a code snippet for importing a dataset version.",
                       {{"dataset_id", "int", Check::integer}, {"dataset_version_id", "int", Check::integer}},
                       "Optional[Dict[str, str]]",
                       host::with_globals(g, get_code_snippet_to_import_dataset)});

  MountContext mount{g, mount_point, os, py::module_::import("subprocess")};
  define(m, MethodSpec{"mount_dataset",
                       "Mount project datasets via rclone WebDAV.",
                       {},
                       "None",
                       [mount](const host::Args&) { return mount_dataset(mount); }});
}
