#include "vexlo/server/host/native_class.hpp"

#include "vexlo/server/host/arguments.hpp"

namespace vexlo::host {

namespace {

using NativeBody = std::function<py::object(const py::args&, const py::kwargs&)>;

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

py::object check(Check kind, py::handle value, const std::string& argument) {
  switch (kind) {
    case Check::str:
      return exact_str(value, argument);
    case Check::dict:
      return exact_dict(value, argument);
    case Check::list:
      return exact_list(value, argument);
    case Check::integer:
      return integer_part(value, argument);
    case Check::boolean:
      return py::bool_(truth(value));
    case Check::any:
      break;
  }
  return py::reinterpret_borrow<py::object>(value);
}

// Binds the arguments as the spec declares them, checks each in order, then
// runs the body.
NativeBody checked_body(const MethodSpec& spec, bool receiver) {
  std::vector<Signature::Parameter> parameters;
  if (receiver) parameters.push_back(required("self"));
  for (const auto& p : spec.params) {
    parameters.push_back(p.fallback ? optional(p.name, *p.fallback) : required(p.name));
  }
  const std::size_t offset = receiver ? 1 : 0;
  return [signature = Signature(spec.name, std::move(parameters)), params = spec.params, offset,
          body = spec.body](const py::args& args, const py::kwargs& kwargs) {
    Args values = signature.bind(args, kwargs);
    for (std::size_t i = 0; i < params.size(); ++i) {
      values[offset + i] = check(params[i].check, values[offset + i], params[i].name);
    }
    return body(values);
  };
}

py::dict annotations_of(const MethodSpec& spec) {
  py::dict result;
  for (const auto& p : spec.params) {
    if (!p.type.empty()) result[p.name.c_str()] = p.type;
  }
  if (!spec.returns.empty()) result["return"] = spec.returns;
  return result;
}

}  // namespace

Body with_globals(const ModuleGlobals& globals, GlobalsBody body) {
  return [globals, body](const Args& a) { return body(globals, a); };
}

py::object make_class(py::module_& module, const ClassSpec& spec) {
  py::dict ns;
  ns["__module__"] = module.attr("__name__");
  ns["__qualname__"] = spec.name;
  ns["__doc__"] = spec.doc.empty() ? py::object(py::none()) : py::object(py::str(spec.doc));
  for (const auto& [name, value] : spec.attributes) ns[name.c_str()] = value;

  for (const auto& m : spec.methods) {
    const bool instance = m.kind == MethodSpec::Kind::instance;
    py::object method = make_callable(module, m.name, spec.name + "." + m.name, m.doc,
                                      checked_body(m, instance), annotations_of(m));
    for (const auto& decorate : m.decorators) method = decorate(method);
    if (!instance) {
      method = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(method);
    }
    ns[m.name.c_str()] = method;
  }

  py::object metatype = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object cls = metatype(spec.name, spec.bases, ns);
  module.attr(spec.name.c_str()) = cls;
  return cls;
}

py::object make_function(py::module_& module, const MethodSpec& spec) {
  py::object fn =
      make_callable(module, spec.name, spec.name, spec.doc, checked_body(spec, false), annotations_of(spec));
  module.attr(spec.name.c_str()) = fn;
  return fn;
}

}  // namespace vexlo::host
