#include "shapes/gaussian/model_term.hpp"

#include <cstddef>
#include <utility>

#include "shapes/gaussian/tail_cut.hpp"
#include "simd/exp_scalar.hpp"
#include "vector_math.hpp"

namespace brivane::model {

namespace {
constexpr double kInverseSqrt2Pi = 0.39894228040143267794;
constexpr double kTailSquared = kGaussianTailSquared;

// The channels' loop over [begin, end), written to vectorise: exp_kernel is the branch-free exp
// (within one unit in the last place), where the library's exp is a call per channel. Every
// operation rounds as written (no contraction), so the baseline and the AVX2 copy below give the
// same bits. The channels outside [begin, end) lie beyond the cut and get exact zeros.
template <bool kDerivatives>
[[gnu::always_inline]] inline void gaussian_channels(const Channels& channels, double center, double sigma,
                                                     double area, std::size_t begin, std::size_t end,
                                                     const TermOutput& out) {
  const double inverse_sigma = 1.0 / sigma;
  const double scale = kInverseSqrt2Pi * inverse_sigma;
  const std::size_t n = channels.x.size();
  const double* __restrict x = channels.x.data();
  const double* __restrict width = channels.width.data();
  double* __restrict value = out.value;
  double* __restrict d_center = out.derivative[0];
  double* __restrict d_sigma = out.derivative[1];
  double* __restrict d_area = out.derivative[2];
  auto zero = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      value[i] = 0.0;
      if constexpr (kDerivatives) d_center[i] = d_sigma[i] = d_area[i] = 0.0;
    }
  };
  zero(0, begin);
  // The outputs are distinct columns (the restrict qualifiers above are lost where this is
  // inlined): without the pragma the compiler would need more run-time overlap tests than it makes.
#pragma GCC ivdep
  for (std::size_t i = begin; i < end; ++i) {
    const double t = (x[i] - center) * inverse_sigma;
    const double t_squared = t * t;
    // The cut is tested again (a blend per vector): the range's ends are found by the same test,
    // and the select keeps the kernel right on any order of channels. The exponent is held at the
    // cut: beyond it exp_kernel would return subnormal numbers, whose arithmetic costs a
    // microcode assist per lane, for values that are dropped anyway.
    const bool near = t_squared < kTailSquared;
    const double density = exp_kernel(-0.5 * (near ? t_squared : kTailSquared)) * scale * width[i];
    const double unit = near ? density : 0.0;
    const double counts = area * unit;
    value[i] = counts;
    if constexpr (kDerivatives) {
      d_center[i] = counts * t * inverse_sigma;
      d_sigma[i] = counts * (t_squared - 1.0) * inverse_sigma;
      d_area[i] = unit;
    }
  }
  zero(end, n);
}

template <bool kDerivatives>
void gaussian_channels_baseline(const Channels& channels, double center, double sigma, double area,
                                std::size_t begin, std::size_t end, const TermOutput& out) {
  gaussian_channels<kDerivatives>(channels, center, sigma, area, begin, end, out);
}

template <bool kDerivatives>
[[gnu::target("avx2")]] void gaussian_channels_avx2(const Channels& channels, double center, double sigma,
                                                     double area, std::size_t begin, std::size_t end,
                                                     const TermOutput& out) {
  gaussian_channels<kDerivatives>(channels, center, sigma, area, begin, end, out);
}

// AVX-512 (with 256-bit vectors) has the 64-bit integer shifts and conversions exp_kernel forms
// its power of two with, which AVX2 must build from several instructions: the exponentials in
// about half the time, with the same operations and so the same bits.
template <bool kDerivatives>
[[gnu::target("avx512f,avx512dq,avx512vl,avx512bw,avx2")]] void gaussian_channels_avx512(
    const Channels& channels, double center, double sigma, double area, std::size_t begin, std::size_t end,
    const TermOutput& out) {
  gaussian_channels<kDerivatives>(channels, center, sigma, area, begin, end, out);
}

}  // namespace

void gaussian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double center = parameters[0], sigma = parameters[1], area = parameters[2];
  const auto [begin, end] = channels_within_gaussian_cut(channels.x, center, 1.0 / sigma);
  const SimdLevel level = simd_level();
  if (out.wants_derivatives) {
    if (level == SimdLevel::kAvx512) return gaussian_channels_avx512<true>(channels, center, sigma, area, begin, end, out);
    if (level == SimdLevel::kAvx2) return gaussian_channels_avx2<true>(channels, center, sigma, area, begin, end, out);
    return gaussian_channels_baseline<true>(channels, center, sigma, area, begin, end, out);
  }
  if (level == SimdLevel::kAvx512) return gaussian_channels_avx512<false>(channels, center, sigma, area, begin, end, out);
  if (level == SimdLevel::kAvx2) return gaussian_channels_avx2<false>(channels, center, sigma, area, begin, end, out);
  return gaussian_channels_baseline<false>(channels, center, sigma, area, begin, end, out);
}

}  // namespace brivane::model
