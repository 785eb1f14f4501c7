#pragma once
// A module's function table built from its signatures: each Python function is one entry (its
// signature and the body that calls the core), from which the method definitions and their text
// signatures are made once per process, and the module's functions and __all__ are added.

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "bindings/call_frame.hpp"
#include "bindings/python.hpp"
#include "bindings/signature.hpp"

namespace brivane::py {

struct Function {
  const Signature& signature;
  PyObject* (*entry)(PyObject* module, PyObject* args, PyObject* kwargs);
};

template <const Signature& S, Body<S> kBody, Failures kFailures = Failures::kPanic>
constexpr Function function() {
  return {S, &entry<S, kBody, kFailures>};
}

// "name(a, b, c=0)\n--\n\n" followed by `doc`: the interpreter takes the text signature from the
// docstring's first line.
std::string docstring(const Signature& signature, const char* doc = "");

// The method definitions of a table (a constexpr array of Function), made on first use.
template <const auto& kFunctions>
std::span<PyMethodDef> method_table() {
  constexpr std::size_t kCount = std::size(kFunctions);
  static const std::array<std::string, kCount> docs = [] {
    std::array<std::string, kCount> texts;
    for (std::size_t i = 0; i < kCount; ++i) texts[i] = docstring(kFunctions[i].signature);
    return texts;
  }();
  static std::array<PyMethodDef, kCount> table = [] {
    std::array<PyMethodDef, kCount> defs{};
    for (std::size_t i = 0; i < kCount; ++i) {
      defs[i] = {kFunctions[i].signature.name,
                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kFunctions[i].entry)),
                 METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
    }
    return defs;
  }();
  return table;
}

// Adds the functions in table order, each bound to the module, and lists them in __all__ (made
// here, or extended where an earlier table made it).
bool add_functions(PyObject* module, std::span<PyMethodDef> table);

}  // namespace brivane::py
