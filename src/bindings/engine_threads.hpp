#pragma once
// brivane._engine's control of the oneTBB pool: set_threads(n) and get_threads(), added to the
// module beside its function table.

#include "bindings/python.hpp"

namespace brivane::py {

// Adds set_threads and get_threads to the module and to its __all__.
bool add_thread_functions(PyObject* module);

}  // namespace brivane::py
