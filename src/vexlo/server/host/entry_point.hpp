// The entry point of every extension module of the system.
//
// Unlike PYBIND11_MODULE, a failure while the module initialises reaches the
// importer unchanged: an ImportError that names the missing module or name
// stays that ImportError instead of a generic "initialization failed".
//
// It calls pybind11::detail::get_internals(), which is what PYBIND11_MODULE
// itself runs first: pybind11 has no public call that readies its internals
// for a module that does not use its macro. pyproject.toml pins pybind11 to
// the major version this was tested with (3.x) for that reason.
#pragma once

#include <pybind11/pybind11.h>

#if PY_VERSION_HEX >= 0x030C0000
#define VEXLO_MODULE_INTERPRETER_SLOT \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VEXLO_MODULE_INTERPRETER_SLOT
#endif

#define VEXLO_MODULE(name, variable)                                                               \
  static void vexlo_init_##name(::pybind11::module_&);                                             \
  static int vexlo_exec_##name(PyObject* pm) {                                                     \
    try {                                                                                          \
      ::pybind11::detail::get_internals();                                                         \
      auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(pm);                            \
      vexlo_init_##name(m);                                                                        \
      return 0;                                                                                    \
    } catch (::pybind11::error_already_set & e) {                                                  \
      e.restore();                                                                                 \
    } catch (const ::pybind11::builtin_exception& e) {                                             \
      e.set_error();                                                                               \
    } catch (const std::exception& e) {                                                            \
      PyErr_SetString(PyExc_ImportError, e.what());                                                \
    }                                                                                              \
    return -1;                                                                                     \
  }                                                                                                \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                           \
    PYBIND11_CHECK_PYTHON_VERSION                                                                  \
    static PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&vexlo_exec_##name)}, \
                                       VEXLO_MODULE_INTERPRETER_SLOT{0, nullptr}};                 \
    static PyModuleDef def = {                                                                     \
        PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};      \
    return PyModuleDef_Init(&def);                                                                 \
  }                                                                                                \
  static void vexlo_init_##name(::pybind11::module_& variable)
