#include "vexlo/server/host/native_class.hpp"

namespace vexlo::host {

namespace {

struct NativeCallable {
  NativeBody body;
};

// Each extension module registers its own copy of the callable type
// (module_local), so the modules stay independent of one another.
py::handle callable_type(py::module_& module) {
  static const char* kName = "_native_callable";
  auto* existing = py::detail::get_type_info(typeid(NativeCallable));
  if (existing) return reinterpret_cast<PyObject*>(existing->type);

  py::class_<NativeCallable> cls(module, kName, py::module_local(), py::dynamic_attr());
  cls.def(py::init<>());
  cls.def("__call__",
          [](NativeCallable& self, py::args args, py::kwargs kwargs) { return self.body(args, kwargs); });
  cls.def("__repr__", [](py::object self) {
    return "<native function " + py::str(self.attr("__qualname__")).cast<std::string>() + ">";
  });
  // Binding like a function: looked up on an instance, the receiver comes first.
  cls.def(
      "__get__",
      [](py::object self, py::object instance, py::object) -> py::object {
        if (instance.is_none()) return self;
        return py::module_::import("types").attr("MethodType")(self, instance);
      },
      py::arg("instance"), py::arg("owner") = py::none());
  py::delattr(module, kName);
  return cls;
}

py::object make_callable(py::module_& module, const std::string& name, const std::string& qualname,
                         const std::string& doc, NativeBody body, const py::dict& annotations) {
  py::object type = py::reinterpret_borrow<py::object>(callable_type(module));
  py::object callable = type();
  callable.cast<NativeCallable&>().body = std::move(body);
  callable.attr("__name__") = name;
  callable.attr("__qualname__") = qualname;
  callable.attr("__doc__") = doc.empty() ? py::object(py::none()) : py::object(py::str(doc));
  callable.attr("__module__") = module.attr("__name__");
  callable.attr("__annotations__") = annotations;
  return callable;
}

}  // namespace

NativeBody with_globals(const ModuleGlobals& globals, GlobalsBody body) {
  return [globals, body](const py::args& a, const py::kwargs& k) { return body(globals, a, k); };
}

py::dict annotations(std::initializer_list<std::pair<const char*, const char*>> items) {
  py::dict result;
  for (const auto& [name, type] : items) result[name] = type;
  return result;
}

py::object make_class(py::module_& module, const ClassSpec& spec) {
  py::dict ns;
  ns["__module__"] = module.attr("__name__");
  ns["__qualname__"] = spec.name;
  ns["__doc__"] = spec.doc.empty() ? py::object(py::none()) : py::object(py::str(spec.doc));
  for (const auto& [name, value] : spec.attributes) ns[name.c_str()] = value;

  for (const auto& m : spec.methods) {
    py::object method =
        make_callable(module, m.name, spec.name + "." + m.name, m.doc, m.body, m.annotations);
    for (const auto& decorate : m.decorators) method = decorate(method);
    if (m.kind == MethodSpec::Kind::static_) {
      method = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(method);
    }
    ns[m.name.c_str()] = method;
  }

  py::object metatype = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = metatype(spec.name, spec.bases, ns);
  module.attr(spec.name.c_str()) = cls;
  return cls;
}

py::object make_function(py::module_& module, const std::string& name, const std::string& doc,
                         NativeBody body, py::dict annotations) {
  py::object fn = make_callable(module, name, name, doc, std::move(body), annotations);
  module.attr(name.c_str()) = fn;
  return fn;
}

}  // namespace vexlo::host
