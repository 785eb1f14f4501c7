#include "shapes/voigt/model_term.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "vector_math.hpp"
#include "voigt.hpp"

namespace brivane::model {

namespace {

constexpr double kInverseSqrtPi = 0.56418958354775628695;
constexpr double kInversePi = 0.31830988618379067154;
constexpr double kSqrt2 = 1.41421356237309504880;

// Beyond this |z| the series below is used. Below it, forming w' = -2 z w + 2i/sqrt(pi) loses at
// most log10(|z|^2) = 2 digits; above it 20 terms of the series leave a remainder below 1e-22.
constexpr double kSeriesRadius = 10.0;
constexpr int kSeriesTerms = 20;

}  // namespace

FaddeevaDerivatives faddeeva_derivatives(std::complex<double> z, std::complex<double> w) {
  const std::complex<double> i_over_sqrt_pi(0.0, kInverseSqrtPi);
  if (std::abs(z) <= kSeriesRadius || z.imag() < 0.0) {
    const std::complex<double> derivative = -2.0 * z * w + 2.0 * i_over_sqrt_pi;
    return {derivative, z * derivative + w};
  }
  // w(z) ~ (i / sqrt(pi)) sum_k c_k z^-(2k+1), c_k = (2k-1)!! / 2^k, valid for Im z >= 0. Hence
  // w' ~ -(i / sqrt(pi)) z^-2 sum_k (2k+1) c_k v^k and z w' + w ~ -(i / sqrt(pi)) z^-1 sum_k 2k c_k v^k,
  // v = z^-2, summed by Horner's rule from the smallest term.
  const std::complex<double> inverse = 1.0 / z;
  const std::complex<double> v = inverse * inverse;
  double c[kSeriesTerms];
  c[0] = 1.0;
  for (int k = 1; k < kSeriesTerms; ++k) c[k] = c[k - 1] * (2.0 * k - 1.0) * 0.5;
  std::complex<double> derivative_sum(0.0, 0.0), scaled_sum(0.0, 0.0);
  for (int k = kSeriesTerms - 1; k >= 0; --k) {
    derivative_sum = derivative_sum * v + (2.0 * k + 1.0) * c[k];
    scaled_sum = scaled_sum * v + 2.0 * k * c[k];
  }
  return {-i_over_sqrt_pi * v * derivative_sum, -i_over_sqrt_pi * inverse * scaled_sum};
}

void voigt_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double center = parameters[0], sigma = parameters[1], gamma = parameters[2], area = parameters[3];
  const std::size_t n = channels.x.size();
  if (sigma == 0.0) {
    // The Lorentzian of half width gamma; V depends on sigma through sigma^2, so d/d sigma = 0.
    const double gamma_squared = gamma * gamma;
    for (std::size_t i = 0; i < n; ++i) {
      const double u = channels.x[i] - center;
      const double q = 1.0 / (u * u + gamma_squared);
      const double w = channels.width[i];
      const double unit = kInversePi * gamma * q * w;
      out.value[i] = area * unit;
      if (out.wants_derivatives) {
        out.derivative[0][i] = area * unit * 2.0 * u * q;
        out.derivative[1][i] = 0.0;
        out.derivative[2][i] = area * kInversePi * (u * u - gamma_squared) * q * q * w;
        out.derivative[3][i] = unit;
      }
    }
    return;
  }
  // s = sigma sqrt 2; f = Re w / (s sqrt(pi)); dz/du = 1/s, dz/d gamma = i/s, dz/d sigma = -z/sigma.
  const double inverse_s = 1.0 / (sigma * kSqrt2);
  const double norm = inverse_s * kInverseSqrtPi;
  const double inverse_sigma = 1.0 / sigma;
  // w for a block of channels at a time by the vector kernel.
  constexpr std::size_t kBlock = 128;
  double z_real[kBlock], z_imag[kBlock], w_real[kBlock], w_imag[kBlock];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t slot = i % kBlock;
    if (slot == 0) {
      const std::size_t len = std::min(kBlock, n - i);
      for (std::size_t k = 0; k < len; ++k) {
        z_real[k] = (channels.x[i + k] - center) * inverse_s;
        z_imag[k] = gamma * inverse_s;
      }
      simd_kernels().faddeeva(z_real, z_imag, len, w_real, w_imag);
    }
    const std::complex<double> z(z_real[slot], z_imag[slot]);
    const std::complex<double> w(w_real[slot], w_imag[slot]);
    const double width = channels.width[i];
    const double unit = norm * w.real() * width;
    out.value[i] = area * unit;
    if (out.wants_derivatives) {
      const FaddeevaDerivatives d = faddeeva_derivatives(z, w);
      const double scale = area * norm * width;
      out.derivative[0][i] = -scale * d.derivative.real() * inverse_s;
      out.derivative[1][i] = -scale * d.scaled.real() * inverse_sigma;
      out.derivative[2][i] = -scale * d.derivative.imag() * inverse_s;
      out.derivative[3][i] = unit;
    }
  }
}

}  // namespace brivane::model
