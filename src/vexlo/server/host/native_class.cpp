#include "vexlo/server/host/native_class.hpp"

#include "vexlo/server/host/arguments.hpp"

namespace vexlo::host {

namespace {

using NativeBody = std::function<py::object(const py::args&, const py::kwargs&)>;

struct NativeCallable {
  NativeBody body;
};

// Each extension module registers its own copy of the callable type
// (module_local), so the modules stay independent of one another. The host
// layer is linked into each module, so this static is per module too; it keeps
// the type alive, since no module attribute holds it.
py::handle callable_type(py::module_& module) {
  static const char* kName = "_native_callable";
  static py::object* registered = nullptr;
  if (registered)
    return *registered;

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
        if (instance.is_none())
          return self;
        return py::module_::import("types").attr("MethodType")(self, instance);
      },
      py::arg("instance"), py::arg("owner") = py::none());
  py::delattr(module, kName);
  registered = new py::object(cls);
  return *registered;
}

// The callable with the metadata a Python function carries, all taken from
// its declaration: help(), inspect.signature() and tab completion read them.
py::object make_callable(py::module_& module, const MethodSpec& spec, const std::string& qualname,
                         bool receiver, NativeBody body) {
  py::object type = py::reinterpret_borrow<py::object>(callable_type(module));
  py::object callable = type();
  callable.cast<NativeCallable&>().body = std::move(body);
  callable.attr("__name__") = spec.name;
  callable.attr("__qualname__") = qualname;
  callable.attr("__doc__") = spec.doc.empty() ? py::object(py::none()) : py::object(py::str(spec.doc));
  callable.attr("__module__") = module.attr("__name__");

  py::dict annotations;
  const py::object inspect = py::module_::import("inspect");
  const py::object parameter = inspect.attr("Parameter");
  const py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
  py::list parameters;
  if (receiver)
    parameters.append(parameter("self", kind));
  for (const auto& p : spec.params) {
    py::dict details;
    if (!p.type.empty()) {
      annotations[p.name.c_str()] = p.type;
      details["annotation"] = p.type;
    }
    if (p.fallback)
      details["default"] = *p.fallback;
    parameters.append(parameter(p.name, kind, **details));
  }
  py::dict returns;
  if (!spec.returns.empty()) {
    annotations["return"] = spec.returns;
    returns["return_annotation"] = spec.returns;
  }
  callable.attr("__annotations__") = annotations;
  callable.attr("__signature__") = inspect.attr("Signature")(parameters, **returns);
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

// Binds the arguments as the declaration lists them, checks each in order, then
// runs the body.
NativeBody checked_body(const MethodSpec& spec, bool receiver) {
  std::vector<Signature::Parameter> parameters;
  if (receiver)
    parameters.push_back(required("self"));
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

}  // namespace

Body with_globals(const ModuleGlobals& globals, GlobalsBody body) {
  return [globals, body](const Args& a) { return body(globals, a); };
}

py::object make_class(py::module_& module, const ClassSpec& spec) {
  py::dict ns;
  ns["__module__"] = module.attr("__name__");
  ns["__qualname__"] = spec.name;
  ns["__doc__"] = spec.doc.empty() ? py::object(py::none()) : py::object(py::str(spec.doc));

  for (const auto& m : spec.methods) {
    const bool instance = m.kind == MethodSpec::Kind::instance;
    py::object method =
        make_callable(module, m, spec.name + "." + m.name, instance, checked_body(m, instance));
    for (const auto& decorate : m.decorators)
      method = decorate(method);
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
  py::object fn = make_callable(module, spec, spec.name, false, checked_body(spec, false));
  module.attr(spec.name.c_str()) = fn;
  return fn;
}

}  // namespace vexlo::host
