// Module creation: one module object per process, bound to the interpreter that first imports it.

#include <cstdint>

#include "bindings/call_frame.hpp"
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

// Adds the functions in table order, each bound to the module, and lists them in __all__.
bool add_functions(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return false;
  PyObject* all = PyList_New(0);
  bool ok = all != nullptr;
  for (PyMethodDef& def : brivane::py::function_table()) {
    if (!ok) break;
    PyObject* function = PyCFunction_NewEx(&def, module, module_name);
    ok = function && PyModule_AddObject(module, def.ml_name, function) == 0;
    if (!ok) {
      Py_XDECREF(function);
      break;
    }
    PyObject* name = PyUnicode_FromString(def.ml_name);
    ok = name && PyList_Append(all, name) == 0;
    Py_XDECREF(name);
  }
  Py_DECREF(module_name);
  if (ok) {
    ok = PyModule_AddObject(module, "__all__", all) == 0;
    if (ok) all = nullptr;
  }
  Py_XDECREF(all);
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
