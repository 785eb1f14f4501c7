#pragma once
// NumPy arrays seen from the call frame. Only arrays.cpp includes NumPy's headers; its API table is
// taken from NumPy's capsule on the first array operation of the process.

#include <cstddef>
#include <span>

#include "bindings/python.hpp"

namespace brivane::py {

// Where the elements of a one-dimensional float64 array live.
struct ArrayLayout {
  char* data = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t stride = 0;  // bytes, may be negative or zero
  bool writeable = false;
};

// Loads NumPy's C API table once per process. Throws Failure("Failed to access NumPy array API
// capsule") when NumPy cannot be imported or offers no table this module can use.
void ensure_numpy_api();

// A NumPy array of exactly one dimension whose elements are equivalent to native float64.
// Needs ensure_numpy_api().
bool is_float64_vector(PyObject* object);
ArrayLayout float64_vector_layout(PyObject* array);

// Element-wise copies through the array's own strides (the interpreter lock must be held).
void read_elements(const ArrayLayout& layout, std::span<double> out);
void write_elements(const ArrayLayout& layout, std::span<const double> values);

// A new one-dimensional float64 array owning a copy of `values`; nullptr with an exception set on
// failure.
PyObject* new_float64_array(std::span<const double> values);
// The same with two dimensions, from `rows` x `columns` row-major values.
PyObject* new_float64_matrix(std::span<const double> values, std::size_t rows, std::size_t columns);
// A new one-dimensional NumPy bool array, True where `flags` is not 0.
PyObject* new_bool_array(std::span<const unsigned char> flags);

}  // namespace brivane::py
