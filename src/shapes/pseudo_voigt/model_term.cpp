#include "shapes/pseudo_voigt/model_term.hpp"

#include <cstddef>
#include <utility>

#include "shapes/gaussian/tail_cut.hpp"
#include "simd/exp_scalar.hpp"
#include "vector_math.hpp"

namespace brivane::model {

namespace {
constexpr double kInverseSqrt2Pi = 0.39894228040143267794;
constexpr double kInversePi = 0.31830988618379067154;
constexpr double kTailSquared = kGaussianTailSquared;

// The channels' loop over [begin, end), written to vectorise (the branch-free exp_kernel, within
// one unit in the last place, where the library's exp is a call per channel); every operation
// rounds as written, so the baseline and the AVX2 copy give the same bits. kGaussian false: the
// channels lie beyond the Gaussian part's cut, which is 0 there without an exponential (the same
// operations on that 0 follow).
template <bool kDerivatives, bool kGaussian>
[[gnu::always_inline]] inline void pseudo_voigt_channels(const Channels& channels, std::span<const double> parameters,
                                                         std::size_t begin, std::size_t end, const TermOutput& out) {
  const double center = parameters[0], fwhm = parameters[1], eta = parameters[2], area = parameters[3];
  const double inverse_sigma = kGaussianFwhmPerSigma / fwhm;
  const double gauss_scale = kInverseSqrt2Pi * inverse_sigma;
  const double half = 0.5 * fwhm;
  const double half_squared = half * half;
  const double inverse_fwhm = 1.0 / fwhm;
  const double* __restrict x = channels.x.data();
  const double* __restrict width = channels.width.data();
  double* __restrict value = out.value;
  double* __restrict d_center = out.derivative[0];
  double* __restrict d_fwhm = out.derivative[1];
  double* __restrict d_eta = out.derivative[2];
  double* __restrict d_area = out.derivative[3];
  // The outputs are distinct columns (the restrict qualifiers above are lost where this is
  // inlined): without the pragma the compiler would need more run-time overlap tests than it makes.
#pragma GCC ivdep
  for (std::size_t i = begin; i < end; ++i) {
    const double u = x[i] - center;
    const double t = u * inverse_sigma;
    double gauss = 0.0;
    if constexpr (kGaussian) {
      // The cut is tested again (a blend per vector), which keeps the kernel right on any order
      // of channels; the exponent is held at the cut, beyond which exp_kernel would return
      // subnormal numbers, whose arithmetic costs a microcode assist per lane, for a value that
      // is dropped anyway.
      const bool near = t * t < kTailSquared;
      const double gauss_near = exp_kernel(-0.5 * (near ? t * t : kTailSquared)) * gauss_scale;
      gauss = near ? gauss_near : 0.0;
    }
    const double u_squared = u * u;
    const double q = 1.0 / (u_squared + half_squared);
    const double lorentz = kInversePi * half * q;
    const double w = width[i];
    const double unit = (eta * gauss + (1.0 - eta) * lorentz) * w;
    value[i] = area * unit;
    if constexpr (kDerivatives) {
      // Both components scale as 1/fwhm at fixed u / fwhm: d/d fwhm = (shape term) / fwhm.
      const double gauss_center = gauss * t * inverse_sigma;
      const double gauss_fwhm = gauss * (t * t - 1.0) * inverse_fwhm;
      const double lorentz_center = lorentz * 2.0 * u * q;
      const double lorentz_fwhm = kInversePi * 0.5 * (u_squared - half_squared) * q * q;
      d_center[i] = area * w * (eta * gauss_center + (1.0 - eta) * lorentz_center);
      d_fwhm[i] = area * w * (eta * gauss_fwhm + (1.0 - eta) * lorentz_fwhm);
      d_eta[i] = area * w * (gauss - lorentz);
      d_area[i] = unit;
    }
  }
}

template <bool kDerivatives>
[[gnu::always_inline]] inline void pseudo_voigt_all(const Channels& channels, std::span<const double> parameters,
                                                    const TermOutput& out) {
  const auto [begin, end] =
      channels_within_gaussian_cut(channels.x, parameters[0], kGaussianFwhmPerSigma / parameters[1]);
  pseudo_voigt_channels<kDerivatives, false>(channels, parameters, 0, begin, out);
  pseudo_voigt_channels<kDerivatives, true>(channels, parameters, begin, end, out);
  pseudo_voigt_channels<kDerivatives, false>(channels, parameters, end, channels.x.size(), out);
}

template <bool kDerivatives>
void pseudo_voigt_channels_baseline(const Channels& channels, std::span<const double> parameters,
                                    const TermOutput& out) {
  pseudo_voigt_all<kDerivatives>(channels, parameters, out);
}

template <bool kDerivatives>
[[gnu::target("avx2")]] void pseudo_voigt_channels_avx2(const Channels& channels, std::span<const double> parameters,
                                                         const TermOutput& out) {
  pseudo_voigt_all<kDerivatives>(channels, parameters, out);
}

// AVX-512 (256-bit vectors) has the 64-bit integer shifts and conversions of exp_kernel, which
// AVX2 builds from several instructions: the same operations, so the same bits.
template <bool kDerivatives>
[[gnu::target("avx512f,avx512dq,avx512vl,avx512bw,avx2")]] void pseudo_voigt_channels_avx512(
    const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  pseudo_voigt_all<kDerivatives>(channels, parameters, out);
}

}  // namespace

void pseudo_voigt_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const SimdLevel level = simd_level();
  if (out.wants_derivatives) {
    if (level == SimdLevel::kAvx512) return pseudo_voigt_channels_avx512<true>(channels, parameters, out);
    if (level == SimdLevel::kAvx2) return pseudo_voigt_channels_avx2<true>(channels, parameters, out);
    return pseudo_voigt_channels_baseline<true>(channels, parameters, out);
  }
  if (level == SimdLevel::kAvx512) return pseudo_voigt_channels_avx512<false>(channels, parameters, out);
  if (level == SimdLevel::kAvx2) return pseudo_voigt_channels_avx2<false>(channels, parameters, out);
  return pseudo_voigt_channels_baseline<false>(channels, parameters, out);
}

}  // namespace brivane::model
