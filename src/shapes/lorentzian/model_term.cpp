#include "shapes/lorentzian/model_term.hpp"

#include <cstddef>

#include "vector_math.hpp"

namespace brivane::model {

namespace {
constexpr double kInversePi = 0.31830988618379067154;

// The channels' loop, vectorised by the compiler: one copy for baseline x86-64 and one for AVX2
// (twice the divisions per instruction); every operation rounds as written, so both give the
// same bits.
template <bool kDerivatives>
[[gnu::always_inline]] inline void lorentzian_channels(const Channels& channels, std::span<const double> parameters,
                                                       const TermOutput& out) {
  const double center = parameters[0], half = 0.5 * parameters[1], area = parameters[2];
  const double half_squared = half * half;
  const std::size_t n = channels.x.size();
  const double* __restrict x = channels.x.data();
  const double* __restrict width = channels.width.data();
  double* __restrict value = out.value;
  double* __restrict d_center = out.derivative[0];
  double* __restrict d_fwhm = out.derivative[1];
  double* __restrict d_area = out.derivative[2];
  // The outputs are distinct columns (the restrict qualifiers above are lost where this is
  // inlined): without the pragma the compiler would need more run-time overlap tests than it makes.
#pragma GCC ivdep
  for (std::size_t i = 0; i < n; ++i) {
    const double u = x[i] - center;
    const double u_squared = u * u;
    const double q = 1.0 / (u_squared + half_squared);
    const double unit = kInversePi * half * q * width[i];
    const double counts = area * unit;
    value[i] = counts;
    if constexpr (kDerivatives) {
      // d f / d center = 2 u h / (pi q^2) = f 2u q; d f / d h = f (u^2 - h^2) q / h, and d h / d fwhm = 1/2.
      d_center[i] = counts * 2.0 * u * q;
      d_fwhm[i] = area * kInversePi * 0.5 * (u_squared - half_squared) * q * q * width[i];
      d_area[i] = unit;
    }
  }
}

template <bool kDerivatives>
void lorentzian_channels_baseline(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  lorentzian_channels<kDerivatives>(channels, parameters, out);
}

template <bool kDerivatives>
[[gnu::target("avx2")]] void lorentzian_channels_avx2(const Channels& channels, std::span<const double> parameters,
                                                       const TermOutput& out) {
  lorentzian_channels<kDerivatives>(channels, parameters, out);
}

}  // namespace

void lorentzian_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const bool avx2 = simd_loops_use_avx2();
  if (out.wants_derivatives) {
    return avx2 ? lorentzian_channels_avx2<true>(channels, parameters, out)
                : lorentzian_channels_baseline<true>(channels, parameters, out);
  }
  return avx2 ? lorentzian_channels_avx2<false>(channels, parameters, out)
              : lorentzian_channels_baseline<false>(channels, parameters, out);
}

}  // namespace brivane::model
