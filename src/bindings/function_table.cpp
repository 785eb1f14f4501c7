#include "bindings/function_table.hpp"

namespace brivane::py {

std::string docstring(const Signature& signature, const char* doc) {
  std::string text = std::string(signature.name) + "(";
  for (std::size_t i = 0; i < signature.size; ++i) {
    const Parameter& p = signature.parameters[i];
    if (i > 0) text += ", ";
    text += p.name;
    if (p.fallback) text += std::string("=") + p.fallback;
  }
  return text + ")\n--\n\n" + doc;
}

bool add_functions(PyObject* module, std::span<PyMethodDef> table) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (!module_name) return false;
  // A second table added to the same module (the engine's thread calls) extends its __all__.
  const bool listed = PyObject_HasAttrString(module, "__all__");
  PyObject* all = listed ? PyObject_GetAttrString(module, "__all__") : PyList_New(0);
  bool ok = all != nullptr;
  for (PyMethodDef& def : table) {
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
  if (ok && !listed) {
    ok = PyModule_AddObject(module, "__all__", all) == 0;
    if (ok) all = nullptr;
  }
  Py_XDECREF(all);
  return ok;
}

}  // namespace brivane::py
