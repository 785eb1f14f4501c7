// The test-only entries of vector_math_support.hpp for one instruction set (compiled once per set
// by brivane_vector_kernels, CMakeLists.txt).

#include <cmath>
#include <cstddef>

#include "simd/atan.hpp"
#include "simd/exp.hpp"
#include "simd/lanes.hpp"
#include "simd/pow.hpp"
#include "simd/sin_cos.hpp"
#include "vector_math_support.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

void exp_array(double* values, std::size_t n) { map_in_place(values, n, exp_full); }
void exp2_of_minus_square_array(double* values, std::size_t n) {
  map_in_place(values, n, [](V y) { return exp2_of_minus_square(y, set(2.0)); });
}

void atan_array(double* values, std::size_t n) { map_in_place(values, n, atan_any); }

// Lanes outside the reduction's range (and NaN) from the scalar library.
void sin_cos_array(const double* x, std::size_t n, double* sine, double* cosine) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(x + i, count, 0.0);
    V s, c;
    sin_cos_reduced(at, s, c);
    alignas(64) double lanes_s[kLanes], lanes_c[kLanes];
    store(lanes_s, s);
    store(lanes_c, c);
    if (!all(abs_of(at) <= set(kSinCosLimit))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(std::fabs(x[i + j]) <= kSinCosLimit)) {
          lanes_s[j] = std::sin(x[i + j]);
          lanes_c[j] = std::cos(x[i + j]);
        }
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      sine[i + j] = lanes_s[j];
      cosine[i + j] = lanes_c[j];
    }
  }
}

// Lanes whose base is not positive, normal and finite from the scalar library.
void pow_array(double* values, std::size_t n, double exponent) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V at = load_lanes(values + i, count, 1.0);
    alignas(64) double lanes[kLanes], bases[kLanes];
    store(bases, at);
    store(lanes, pow_positive(at, set(exponent)));
    if (!all(positive_normal(at))) {
      for (std::size_t j = 0; j < count; ++j) {
        if (!(bases[j] >= 2.2250738585072014e-308 && bases[j] < __builtin_inf())) lanes[j] = std::pow(bases[j], exponent);
      }
    }
    for (std::size_t j = 0; j < count; ++j) values[i + j] = lanes[j];
  }
}

void atan2_of_positive_array(const double* y, const double* x, std::size_t n, double* angle) {
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    store_lanes(angle + i, count, atan2_of_positive(load_lanes(y + i, count, 1.0), load_lanes(x + i, count, 1.0)));
  }
}

}  // namespace

const VectorMathTestKernels kVectorMathTestKernels = {
    .exp = exp_array,
    .exp2_of_minus_square = exp2_of_minus_square_array,
    .atan = atan_array,
    .atan2_of_positive = atan2_of_positive_array,
    .sin_cos = sin_cos_array,
    .pow = pow_array,
};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
