#pragma once
// The module's function table, in the order of __all__.

#include <span>

#include "bindings/python.hpp"

namespace brivane::py {

std::span<PyMethodDef> function_table();

}  // namespace brivane::py
