// Records describing a change of a pipeline's DAG to the front end. They are
// pydantic models created at load through pydantic's own metaclass, so they
// behave exactly like models written as Python class statements.
#include <pybind11/pybind11.h>

#include <vector>

#include "vexlo/server/host/entry_point.hpp"
#include "vexlo/server/host/imports.hpp"

namespace py = pybind11;
namespace host = vexlo::host;
using namespace pybind11::literals;

namespace {

struct FieldDef {
  const char* name;
  py::object type;
  py::object default_;  // a null handle marks a required field
};

py::object type_object(PyTypeObject& type) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&type));
}

// Runs the metaclass as a class statement would: __prepare__, the namespace
// with __module__/__qualname__/__doc__/__annotations__ and defaults, then the call.
py::object define_model(py::module_& m, const char* name, const char* doc,
                        const std::vector<FieldDef>& fields) {
  py::object base = m.attr("BaseModel");
  py::object metaclass = py::type::of(base);
  py::tuple bases = py::make_tuple(base);
  py::object ns = metaclass.attr("__prepare__")(name, bases);

  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  py::dict annotations;
  for (const auto& f : fields)
    annotations[f.name] = f.type;
  ns["__annotations__"] = annotations;
  for (const auto& f : fields) {
    if (f.default_)
      ns[f.name] = f.default_;
  }

  py::object cls = metaclass(name, bases, ns);
  m.attr(name) = cls;
  return cls;
}

// Each record gets its own deep copy of a default record built once at load,
// so mutating one record's nested default never reaches another record.
py::object copy_factory(const char* name, py::object record, py::object deepcopy) {
  return py::cpp_function([record, deepcopy]() { return deepcopy(record); }, py::name(name));
}

}  // namespace

VEXLO_MODULE(dag_patch, m) {
  host::bind_names(m, {
                          {"typing", "Dict"},
                          {"typing", "List"},
                          {"typing", "Optional"},
                          {"vexlo_core.misc", "VexloComponentStatus"},
                          {"vexlo_core.misc", "VexloDiskcacheStatus"},
                          {"vexlo_core.misc.models", "VexloCapturedModel"},
                          {"vexlo_core.misc.models", "VexloComponentMetadataModel"},
                          {"vexlo_core.misc.models", "VexloComponentOutputsSummaryModel"},
                          {"pydantic", "BaseModel"},
                          // Needed beyond BaseModel to give fields default factories.
                          {"pydantic", "Field"},
                      });
  py::object deepcopy = host::import_name("copy", "deepcopy");

  py::object Dict = m.attr("Dict");
  py::object List = m.attr("List");
  py::object Optional = m.attr("Optional");
  py::object Field = m.attr("Field");
  py::object str = type_object(PyUnicode_Type);
  auto fresh_list = [&]() { return Field("default_factory"_a = type_object(PyList_Type)); };
  auto fresh_dict = [&]() { return Field("default_factory"_a = type_object(PyDict_Type)); };

  py::object metadata_model = m.attr("VexloComponentMetadataModel");
  py::object summary_model = m.attr("VexloComponentOutputsSummaryModel");
  // The default core records are built here, once, so a core record that
  // cannot be built without arguments fails the load.
  py::object metadata_factory = copy_factory("_default_metadata", metadata_model(), deepcopy);
  py::object summary_factory = copy_factory("_default_summary", summary_model(), deepcopy);

  // Statuses are stored as plain text; the default is the member's text value
  // so a default record holds the same kind of value as a validated one.
  py::object component = define_model(
      m, "VexloDagPatchComponentModel", "Component information in VexloDag patch.",
      {
          {"identifier", str, py::object()},
          {"name", str, py::object()},
          {"metadata", metadata_model, Field("default_factory"_a = metadata_factory)},
          {"execution_status", str, m.attr("VexloComponentStatus").attr("INVALID").attr("value")},
          {"diskcache_status", str, m.attr("VexloDiskcacheStatus").attr("UNCACHED").attr("value")},
          {"diskcache_dir", Optional[str], py::none()},
          {"summary", summary_model, Field("default_factory"_a = summary_factory)},
          {"captured", List[m.attr("VexloCapturedModel")], fresh_list()},
          {"parent_ids", List[str], fresh_list()},
      });

  py::object component_map = Dict[py::make_tuple(str, component)];
  py::object update =
      define_model(m, "VexloComponentUpdateModel", "Components update information in VexloDag.",
                   {
                       {"added", component_map, fresh_dict()},
                       {"revised", component_map, fresh_dict()},
                       {"deleted", List[str], fresh_list()},
                   });

  define_model(m, "VexloDagPatchModel", "Information of VexloDag patch based on component information change",
               {
                   {"identifier", str, py::object()},
                   {"updated_components", update, Field("default_factory"_a = update)},
               });
}
