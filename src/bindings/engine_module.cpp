// Creation of brivane._engine: one module object per process, bound to the interpreter that first
// imports it (the same rule as brivane_core's).

#include <cstdint>

#include "bindings/engine_functions.hpp"
#include "bindings/engine_threads.hpp"
#include "bindings/function_table.hpp"
#include "bindings/python.hpp"

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "brivane._engine", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;
std::int64_t importing_interpreter = -1;

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__engine(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (importing_interpreter == -1) {
    importing_interpreter = id;
  } else if (importing_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "brivane._engine does not support sub-interpreters: it can be imported by one "
                    "interpreter per process");
    return nullptr;
  }
  if (the_module) {
    Py_INCREF(the_module);
    return the_module;
  }
  module_definition.m_doc = brivane::py::kEngineDoc;
  PyObject* module = PyModule_Create(&module_definition);
  if (!module) return nullptr;
  if (!brivane::py::add_functions(module, brivane::py::engine_function_table()) ||
      !brivane::py::add_thread_functions(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  the_module = module;
  Py_INCREF(the_module);
  return module;
}
