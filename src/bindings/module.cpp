// Module creation: one module object per process, bound to the interpreter that first imports it.

#include <cstdint>

#include "bindings/call_frame.hpp"
#include "bindings/function_table.hpp"
#include "bindings/functions.hpp"
#include "bindings/python.hpp"

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "brivane_core",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
std::int64_t importing_interpreter = -1;

// Adds the functions in table order and __all__, then PanicException.
bool add_functions(PyObject* module) {
  bool ok = brivane::py::add_functions(module, brivane::py::function_table());
  if (ok) {
    // Exposed so that callers can catch it by name; it is not part of __all__.
    PyObject* panic = brivane::py::panic_exception_type();
    ok = panic != nullptr;
    if (ok) {
      Py_INCREF(panic);
      ok = PyModule_AddObject(module, "PanicException", panic) == 0;
      if (!ok) Py_DECREF(panic);
    }
  }
  return ok;
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_brivane_core(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (importing_interpreter == -1) {
    importing_interpreter = id;
  } else if (importing_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "brivane_core does not support sub-interpreters: it can be imported by one "
                    "interpreter per process");
    return nullptr;
  }
  if (the_module) {
    Py_INCREF(the_module);
    return the_module;
  }
  PyObject* module = PyModule_Create(&module_definition);
  if (!module) return nullptr;
  if (!add_functions(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  the_module = module;
  Py_INCREF(the_module);
  return module;
}
