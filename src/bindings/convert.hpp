#pragma once
// Conversion of Python objects to the plain values of the core. Each converter either returns the
// value or sets a Python exception and throws PythonError; the call frame adds the argument name.

#include <cstdint>
#include <optional>
#include <vector>

#include "background.hpp"
#include "bindings/python.hpp"

namespace brivane::py {

// Thrown after a Python exception has been set; the frame returns NULL to the interpreter.
struct PythonError {};

// Throws PythonError if a Python exception is pending.
void throw_if_python_error();

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void raise_cannot_convert(PyObject* object, const char* target);

double to_double(PyObject* object);                       // float(object)
std::uint64_t to_count(PyObject* object);                 // operator.index, then unsigned 64-bit
std::uint8_t to_code(PyObject* object);                   // an integer in 0..255
bool to_bool(PyObject* object);                           // True, False or a NumPy bool scalar
std::vector<bool> to_bool_sequence(PyObject* object);     // a sequence (not str) of booleans
std::optional<BasisRows> to_optional_rows(PyObject* object);  // None or a sequence of float sequences

}  // namespace brivane::py
