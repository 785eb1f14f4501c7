#pragma once
// Vector math that only the tests call, over arrays: the families of src/simd compiled once per
// instruction set into the test binary (vector_math_kernels.hpp, CMakeLists.txt) and chosen by the
// same active level as the core's kernels, so a SimdOverride forces them too.

#include <cstddef>

#include "vector_math.hpp"

namespace brivane {

struct VectorMathTestKernels {
  // values[i] = exp(values[i]) for any double.
  void (*exp)(double* values, std::size_t n);
  // values[i] = 2^(-values[i]^2): 0 instead of results below about 2^-1021.
  void (*exp2_of_minus_square)(double* values, std::size_t n);
  // values[i] = atan(values[i]) for any double.
  void (*atan)(double* values, std::size_t n);
  // angle[i] = atan2(y[i], x[i]) for finite y[i] > 0.
  void (*atan2_of_positive)(const double* y, const double* x, std::size_t n, double* angle);
  // sine[i] = sin(x[i]), cosine[i] = cos(x[i]); the vector reduction serves |x| <= 1.6e6, the
  // scalar library the rest.
  void (*sin_cos)(const double* x, std::size_t n, double* sine, double* cosine);
  // values[i] = values[i]^exponent, as exp(exponent ln values[i]) for positive normal finite values,
  // by the scalar library for the others.
  void (*pow)(double* values, std::size_t n, double exponent);
};

BRIVANE_VECTOR_KERNEL_TABLE(VectorMathTestKernels, kVectorMathTestKernels, vector_math_test_kernels)

}  // namespace brivane
