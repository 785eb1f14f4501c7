#include "shapes/voigt/model_term.hpp"

#include <array>
#include <cmath>
#include <cstddef>

#include "shapes/voigt/voigt.hpp"

namespace brivane::model {

namespace {

constexpr double kInverseSqrtPi = 0.56418958354775628695;
constexpr double kInversePi = 0.31830988618379067154;
constexpr double kSqrt2 = 1.41421356237309504880;

// Beyond this |z| the asymptotic series below is used. Below it, forming w' = -2 z w + 2i/sqrt(pi)
// loses at most log10(|z|^2) = 2 digits; above it the series converges fast enough to give w, w'
// and z w' + w to the last bit from a handful of terms.
constexpr double kSeriesRadius = 10.0;
constexpr int kSeriesTerms = 20;

// c_k = (2k-1)!! / 2^k, the coefficients of w(z) ~ (i / sqrt(pi)) sum_k c_k z^-(2k+1).
constexpr std::array<double, kSeriesTerms> kSeriesCoefficients = [] {
  std::array<double, kSeriesTerms> c{};
  c[0] = 1.0;
  for (int k = 1; k < kSeriesTerms; ++k) c[k] = c[k - 1] * (2.0 * k - 1.0) * 0.5;
  return c;
}();

// Terms needed from |z|^2 on: the first term left out, c_N (2N + 1) |z|^-2N, is below 2^-56 of the
// leading one (computed with the c_k above; N = 14 from |z| = 10.37, 4 from |z| = 213.2). Between
// |z| = 10 and 10.37 all twenty terms are summed.
struct SeriesLength {
  double radius_squared;
  int terms;
};
constexpr SeriesLength kSeriesLengths[] = {{45421.0, 4}, {7480.0, 5}, {2311.0, 6}, {1020.0, 7}, {561.0, 8},
                                           {357.0, 9},   {251.0, 10}, {190.0, 11}, {151.0, 12}, {126.0, 13},
                                           {107.5, 14}};

int series_terms(double radius_squared) {
  for (const SeriesLength& length : kSeriesLengths) {
    if (radius_squared >= length.radius_squared) return length.terms;
  }
  return kSeriesTerms;
}

// w, w' and z w' + w from the series for |z| > kSeriesRadius, Im z >= 0: with v = z^-2,
// w = (i / sqrt(pi)) z^-1 sum c_k v^k, w' = -(i / sqrt(pi)) v sum (2k+1) c_k v^k and
// z w' + w = -(i / sqrt(pi)) z^-1 sum 2k c_k v^k, each summed by Horner's rule from the smallest
// term, in real arithmetic (1/z as conj(z) / |z|^2: z is far from 0 and infinity here).
struct FaddeevaFar {
  std::complex<double> w;
  FaddeevaDerivatives derivatives;
};

FaddeevaFar faddeeva_far(std::complex<double> z) {
  const double radius_squared = z.real() * z.real() + z.imag() * z.imag();
  const double inverse_re = z.real() / radius_squared, inverse_im = -z.imag() / radius_squared;
  const double v_re = inverse_re * inverse_re - inverse_im * inverse_im, v_im = 2.0 * inverse_re * inverse_im;
  double w_re = 0.0, w_im = 0.0, d_re = 0.0, d_im = 0.0, s_re = 0.0, s_im = 0.0;
  for (int k = series_terms(radius_squared) - 1; k >= 0; --k) {
    const double c = kSeriesCoefficients[static_cast<std::size_t>(k)];
    double re = w_re * v_re - w_im * v_im;
    w_im = w_re * v_im + w_im * v_re;
    w_re = re + c;
    re = d_re * v_re - d_im * v_im;
    d_im = d_re * v_im + d_im * v_re;
    d_re = re + (2.0 * k + 1.0) * c;
    re = s_re * v_re - s_im * v_im;
    s_im = s_re * v_im + s_im * v_re;
    s_re = re + 2.0 * k * c;
  }
  // (i / sqrt(pi)) (a + ib) = (-b + ia) / sqrt(pi).
  auto times_i_over_sqrt_pi = [](double re, double im) {
    return std::complex<double>(-im * kInverseSqrtPi, re * kInverseSqrtPi);
  };
  const double w_times_inverse_re = w_re * inverse_re - w_im * inverse_im;
  const double w_times_inverse_im = w_re * inverse_im + w_im * inverse_re;
  const double d_times_v_re = d_re * v_re - d_im * v_im, d_times_v_im = d_re * v_im + d_im * v_re;
  const double s_times_inverse_re = s_re * inverse_re - s_im * inverse_im;
  const double s_times_inverse_im = s_re * inverse_im + s_im * inverse_re;
  return {times_i_over_sqrt_pi(w_times_inverse_re, w_times_inverse_im),
          {-times_i_over_sqrt_pi(d_times_v_re, d_times_v_im), -times_i_over_sqrt_pi(s_times_inverse_re, s_times_inverse_im)}};
}

bool is_far(std::complex<double> z) {
  return z.imag() >= 0.0 && z.real() * z.real() + z.imag() * z.imag() > kSeriesRadius * kSeriesRadius;
}

}  // namespace

FaddeevaDerivatives faddeeva_derivatives(std::complex<double> z, std::complex<double> w) {
  if (is_far(z)) return faddeeva_far(z).derivatives;
  const std::complex<double> i_over_sqrt_pi(0.0, kInverseSqrtPi);
  const std::complex<double> derivative = -2.0 * z * w + 2.0 * i_over_sqrt_pi;
  return {derivative, z * derivative + w};
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
  for (std::size_t i = 0; i < n; ++i) {
    const double u = channels.x[i] - center;
    const std::complex<double> z(u * inverse_s, gamma * inverse_s);
    // Far out (most channels of a wide window) the series gives w and both derivatives at once,
    // several times cheaper than the general Faddeeva function.
    const bool far = is_far(z);
    const FaddeevaFar series = far ? faddeeva_far(z) : FaddeevaFar{};
    const std::complex<double> w = far ? series.w : faddeeva_w(z);
    const double width = channels.width[i];
    const double unit = norm * w.real() * width;
    out.value[i] = area * unit;
    if (out.wants_derivatives) {
      const FaddeevaDerivatives d = far ? series.derivatives : faddeeva_derivatives(z, w);
      const double scale = area * norm * width;
      out.derivative[0][i] = -scale * d.derivative.real() * inverse_s;
      out.derivative[1][i] = -scale * d.scaled.real() * inverse_sigma;
      out.derivative[2][i] = -scale * d.derivative.imag() * inverse_s;
      out.derivative[3][i] = unit;
    }
  }
}

}  // namespace brivane::model
