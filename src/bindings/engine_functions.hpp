#pragma once
// The function table of brivane._engine, in the order of __all__, and the module's docstring
// (the call contract with the Python layer).

#include <span>

#include "bindings/python.hpp"

namespace brivane::py {

std::span<PyMethodDef> engine_function_table();
extern const char* const kEngineDoc;

}  // namespace brivane::py
