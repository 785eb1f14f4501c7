#include "faddeeva.hpp"

#include <algorithm>

#include "vector_math.hpp"

namespace brivane {

void faddeeva_w_array(std::span<const double> z_re, std::span<const double> z_im, std::span<double> w_re,
                      std::span<double> w_im) {
  const std::size_t n = std::min({z_re.size(), z_im.size(), w_re.size(), w_im.size()});
  simd_kernels().faddeeva(z_re.data(), z_im.data(), n, w_re.data(), w_im.data());
}

std::complex<double> faddeeva_w_vector(std::complex<double> z) {
  const double re = z.real(), im = z.imag();
  double w_re = 0.0, w_im = 0.0;
  simd_kernels().faddeeva(&re, &im, 1, &w_re, &w_im);
  return {w_re, w_im};
}

}  // namespace brivane
