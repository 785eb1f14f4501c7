#include "bindings/engine_threads.hpp"
#include "bindings/function_table.hpp"

#include <cstddef>
#include <exception>
#include <new>

#include <tbb/global_control.h>

namespace brivane::py {

namespace {

// oneTBB keeps one pool per process, and every module linked to the process's libtbb (this
// engine and brivane_core) runs on it: the narrowest live global_control on
// max_allowed_parallelism caps all of them. The module owns at most one such object, replaced on
// each call and guarded by the interpreter lock. It is not destroyed at exit: the runtime may be
// shutting down by then, and the process's end releases it anyway.
tbb::global_control* limit = nullptr;

constexpr auto kParallelism = tbb::global_control::max_allowed_parallelism;

PyObject* set_threads(PyObject*, PyObject* argument) {
  if (PyBool_Check(argument) || !PyLong_Check(argument)) {
    PyErr_SetString(PyExc_TypeError, "set_threads: n must be an integer (0: one thread per processor)");
    return nullptr;
  }
  const long long n = PyLong_AsLongLong(argument);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "set_threads: n must be >= 0 (0: one thread per processor)");
    return nullptr;
  }
  try {
    delete limit;
    limit = nullptr;
    if (n > 0) limit = new tbb::global_control(kParallelism, static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* get_threads(PyObject*, PyObject*) {
  return PyLong_FromSize_t(tbb::global_control::active_value(kParallelism));
}

PyMethodDef thread_methods[] = {
    {"set_threads", set_threads, METH_O,
     "set_threads(n, /)\n--\n\n"
     "Caps the oneTBB pool at n threads for the whole process (0: one per processor, the\n"
     "default). brivane_core runs on the same pool, so the cap holds for both modules."},
    {"get_threads", get_threads, METH_NOARGS,
     "get_threads()\n--\n\n"
     "The number of threads the oneTBB pool may use now (the narrowest cap in force in the\n"
     "process, or one per processor)."},
};

}  // namespace

bool add_thread_functions(PyObject* module) { return add_functions(module, thread_methods); }

}  // namespace brivane::py
