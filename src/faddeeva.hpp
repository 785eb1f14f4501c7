#pragma once
// The Faddeeva function w(z) = exp(-z^2) erfc(-i z), vectorised: the regions and methods of
// libcerf 1.x's w_of_z (continued fraction for large |z|, the modified Algorithm 916 series
// elsewhere) with each lane taking its region's method, compiled per instruction set and chosen
// at run time like the other kernels of vector_math.hpp. At least as accurate as libcerf's w_of_z
// but for a few ulp (against mpmath at most 16 ulp above libcerf's own error with FMA, 37 without,
// where libcerf's own reaches 718; src/simd/faddeeva.hpp states the contract in full,
// tests/cpp/faddeeva_test.cpp measures it). AVX2 and AVX-512 give the same bits; the baseline
// variant, without FMA, differs in the last bits.

#include <complex>
#include <span>

namespace brivane {

// w_re[i] + i w_im[i] = w(z_re[i] + i z_im[i]) for the first min of the four lengths.
void faddeeva_w_array(std::span<const double> z_re, std::span<const double> z_im, std::span<double> w_re,
                      std::span<double> w_im);

// One value, by the same kernel (the same bits as the array form).
std::complex<double> faddeeva_w_vector(std::complex<double> z);

}  // namespace brivane
