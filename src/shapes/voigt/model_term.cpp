#include "shapes/voigt/model_term.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "faddeeva.hpp"
#include "shapes/voigt/voigt.hpp"
#include "vector_math.hpp"

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

// What the channels' loops of one Voigt term (sigma > 0) read and write.
struct VoigtPass {
  const double* x;
  const double* width;
  double center, gamma, area, inverse_s, norm, inverse_sigma;
  const TermOutput* out;
};

// The channels [begin, end) near the centre (|z| <= kSeriesRadius): the Faddeeva function by the
// vector kernel (faddeeva.hpp: libcerf's regions and methods, each lane its own, within a few ulp
// of libcerf's w_of_z), in blocks that stay in the first-level cache. A block of w costs about
// what a handful of the library's calls do.
void near_channels(const VoigtPass& p, std::size_t begin, std::size_t end) {
  constexpr std::size_t kBlock = 128;
  double z_re[kBlock], z_im[kBlock], w_re[kBlock], w_im[kBlock];
  const TermOutput& out = *p.out;
  for (std::size_t start = begin; start < end; start += kBlock) {
    const std::size_t count = std::min(kBlock, end - start);
    for (std::size_t k = 0; k < count; ++k) {
      z_re[k] = (p.x[start + k] - p.center) * p.inverse_s;
      z_im[k] = p.gamma * p.inverse_s;
    }
    faddeeva_w_array({z_re, count}, {z_im, count}, {w_re, count}, {w_im, count});
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = start + k;
      const std::complex<double> z(z_re[k], z_im[k]), w(w_re[k], w_im[k]);
      const double width = p.width[i];
      const double unit = p.norm * w.real() * width;
      out.value[i] = p.area * unit;
      if (out.wants_derivatives) {
        const FaddeevaDerivatives d = faddeeva_derivatives(z, w);
        const double scale = p.area * p.norm * width;
        out.derivative[0][i] = -scale * d.derivative.real() * p.inverse_s;
        out.derivative[1][i] = -scale * d.scaled.real() * p.inverse_sigma;
        out.derivative[2][i] = -scale * d.derivative.imag() * p.inverse_s;
        out.derivative[3][i] = unit;
      }
    }
  }
}

// A run of far channels [begin, end) whose series all take kTerms terms: faddeeva_far's
// operations in the same order, the terms unrolled, so that the loop over the channels
// vectorises (the series' length per channel is what kept it a loop of calls). The same bits as
// faddeeva_far channel by channel: every operation rounds as written.
template <int kTerms, bool kDerivatives>
[[gnu::always_inline]] inline void far_run(const VoigtPass& p, std::size_t begin, std::size_t end) {
  const double* __restrict x = p.x;
  const double* __restrict widths = p.width;
  double* __restrict value = p.out->value;
  double* __restrict d_center = p.out->derivative[0];
  double* __restrict d_sigma = p.out->derivative[1];
  double* __restrict d_gamma = p.out->derivative[2];
  double* __restrict d_area = p.out->derivative[3];
  // Locals, not loads through p inside the loop (the stores could alias them as far as the
  // compiler knows, which keeps the loop from vectorising).
  const double center = p.center, inverse_s = p.inverse_s, norm = p.norm, area = p.area;
  const double inverse_sigma = p.inverse_sigma;
  const double z_im = p.gamma * inverse_s;
  // The outputs are distinct columns (the restrict qualifiers above are lost where this is
  // inlined): without the pragma the compiler would need more run-time overlap tests than it makes.
#pragma GCC ivdep
  for (std::size_t i = begin; i < end; ++i) {
    const double u = x[i] - center;
    const double z_re = u * inverse_s;
    const double radius_squared = z_re * z_re + z_im * z_im;
    const double inverse_re = z_re / radius_squared, inverse_im = -z_im / radius_squared;
    const double v_re = inverse_re * inverse_re - inverse_im * inverse_im, v_im = 2.0 * inverse_re * inverse_im;
    double w_re = 0.0, w_im = 0.0, d_re = 0.0, d_im = 0.0, s_re = 0.0, s_im = 0.0;
#pragma GCC unroll 20
    for (int k = kTerms - 1; k >= 0; --k) {
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
    // w = (i / sqrt(pi)) (w_times_inverse): its real part is -Im(.) / sqrt(pi).
    const double w_times_inverse_im = w_re * inverse_im + w_im * inverse_re;
    const double w_real = -w_times_inverse_im * kInverseSqrtPi;
    const double width = widths[i];
    const double unit = norm * w_real * width;
    value[i] = area * unit;
    if constexpr (kDerivatives) {
      const double d_times_v_re = d_re * v_re - d_im * v_im, d_times_v_im = d_re * v_im + d_im * v_re;
      const double s_times_inverse_im = s_re * inverse_im + s_im * inverse_re;
      // w' = -(i / sqrt(pi)) (d v), z w' + w = -(i / sqrt(pi)) (s / z), negated as faddeeva_far does.
      const double derivative_re = -(-d_times_v_im * kInverseSqrtPi);
      const double derivative_im = -(d_times_v_re * kInverseSqrtPi);
      const double scaled_re = -(-s_times_inverse_im * kInverseSqrtPi);
      const double scale = area * norm * width;
      d_center[i] = -scale * derivative_re * inverse_s;
      d_sigma[i] = -scale * scaled_re * inverse_sigma;
      d_gamma[i] = -scale * derivative_im * inverse_s;
      d_area[i] = unit;
    }
  }
}

template <bool kDerivatives>
[[gnu::always_inline]] inline void far_channels(const VoigtPass& p, int terms, std::size_t begin, std::size_t end) {
  switch (terms) {
    case 4: return far_run<4, kDerivatives>(p, begin, end);
    case 5: return far_run<5, kDerivatives>(p, begin, end);
    case 6: return far_run<6, kDerivatives>(p, begin, end);
    case 7: return far_run<7, kDerivatives>(p, begin, end);
    case 8: return far_run<8, kDerivatives>(p, begin, end);
    case 9: return far_run<9, kDerivatives>(p, begin, end);
    case 10: return far_run<10, kDerivatives>(p, begin, end);
    case 11: return far_run<11, kDerivatives>(p, begin, end);
    case 12: return far_run<12, kDerivatives>(p, begin, end);
    case 13: return far_run<13, kDerivatives>(p, begin, end);
    case 14: return far_run<14, kDerivatives>(p, begin, end);
    default: return far_run<kSeriesTerms, kDerivatives>(p, begin, end);
  }
}

void far_channels_baseline(const VoigtPass& p, int terms, std::size_t begin, std::size_t end) {
  if (p.out->wants_derivatives) return far_channels<true>(p, terms, begin, end);
  far_channels<false>(p, terms, begin, end);
}

[[gnu::target("avx2")]] void far_channels_avx2(const VoigtPass& p, int terms, std::size_t begin, std::size_t end) {
  if (p.out->wants_derivatives) return far_channels<true>(p, terms, begin, end);
  far_channels<false>(p, terms, begin, end);
}

// The series' length at channel i, 0 where the channel is near (is_far's test on the loops' z).
int series_length(const VoigtPass& p, std::size_t i) {
  const std::complex<double> z((p.x[i] - p.center) * p.inverse_s, p.gamma * p.inverse_s);
  return is_far(z) ? series_terms(z.real() * z.real() + z.imag() * z.imag()) : 0;
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
  const VoigtPass pass{channels.x.data(), channels.width.data(), center, gamma, area, inverse_s,
                       inverse_s * kInverseSqrtPi, 1.0 / sigma, &out};
  // Far out (most channels of a wide window) the series gives w and both derivatives at once,
  // several times cheaper than the general Faddeeva function; on the ascending channels its
  // length changes only a few times, so the channels go in runs of one length each.
  const bool avx2 = simd_loops_use_avx2();
  std::size_t begin = 0;
  while (begin < n) {
    const int terms = series_length(pass, begin);
    std::size_t end = begin + 1;
    while (end < n && series_length(pass, end) == terms) ++end;
    if (terms == 0) {
      near_channels(pass, begin, end);
    } else if (avx2) {
      far_channels_avx2(pass, terms, begin, end);
    } else {
      far_channels_baseline(pass, terms, begin, end);
    }
    begin = end;
  }
}

}  // namespace brivane::model
