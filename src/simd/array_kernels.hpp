#pragma once
// The vector math over arrays (SimdKernels, vector_math.hpp): functions of the families here, with
// the accuracy their headers state. Compiled once per instruction set (CMakeLists.txt,
// brivane_vector_kernels), each unit filling its variant of the table.

#include <cstddef>

#include "simd/exponential_integrals.hpp"
#include "simd/faddeeva.hpp"
#include "simd/lanes.hpp"
#include "simd/log.hpp"
#include "vector_math.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {

void log_kernel(double* values, std::size_t n) { map_in_place(values, n, log_any); }

void divide_kernel(double* values, std::size_t n, double divisor) {
  const V q = set(divisor);
  map_in_place(values, n, [&](V v) { return v / q; });
}

void exponential_integrals_kernel(const double* x, std::size_t n, double* e1, double* e2) {
  if (e1 != nullptr) {
    integrals_of_array<true>(x, n, e1, e2);
  } else {
    integrals_of_array<false>(x, n, e1, e2);
  }
}

void faddeeva_kernel(const double* z_re, const double* z_im, std::size_t n, double* w_re, double* w_im) {
  faddeeva_array(z_re, z_im, n, w_re, w_im);
}

const SimdKernels kSimdKernels = {
    .log = log_kernel,
    .divide = divide_kernel,
    .exponential_integrals = exponential_integrals_kernel,
    .faddeeva = faddeeva_kernel,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
