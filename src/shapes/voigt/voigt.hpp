#pragma once
// Voigt peaks: the convolution of a normal density (standard deviation sigma) with a Cauchy density
// (half width gamma), evaluated through the Faddeeva function; its mass inside the analysis window
// by quadrature; the window-normalised density and its weighted log-likelihood; and the
// maximum-likelihood fit of one component, the M-step of the Voigt mixture.
//
// Parameters are always ordered (x0, sigma, gamma), and named by VoigtParameter. No absolute value is taken of the widths:
// negative values flow through the formulas as they are.

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "em_shape.hpp"
#include "numerics/free_parameters.hpp"

namespace brivane {

// w(z) = exp(-z^2) erfc(-i z), from libcerf's w_of_z. Safe to call from several threads at once
// (see the definition for libcerf 1.x's global record of each call).
std::complex<double> faddeeva_w(std::complex<double> z);

// V(u; sigma, gamma), the profile at offset u = x - x0 (unit area over the real line). The cases,
// tested in this order with NaN counting as non-zero: sigma != 0 and gamma != 0, the Voigt profile
// Re w(z) / sigma / sqrt(2 pi), z = (u + i gamma) / (sigma sqrt 2); sigma != 0, gamma = 0, the
// normal density; sigma = 0, gamma != 0, the Cauchy density; both 0, a point mass: +inf at u = 0,
// 0 elsewhere, NaN for a NaN u.
double voigt_profile(double u, double sigma, double gamma);

// M, the mass of V(. - x0) on [x_min, x_max]: F(x_max) - F(x_min), each F from the tail away from
// the centre by the 100-point Gauss-Legendre rule under s = L t / (1 - t), s the distance beyond
// the edge and L = |sigma| + |gamma| + |edge - x0| rounded down to a power of two (the grid unit
// where that is not a positive normal number): 200 profile evaluations, accurate to about 1e-15
// for any width and any position of the centre. Not clamped: a reversed window gives a negative
// mass.
double voigt_window_mass(double x0, double sigma, double gamma, double x_min, double x_max);

// row[j] = V(x_j - x0) / max(M, 1e-300) for every sample of the grid (inside the window or not),
// with M the window mass. Fills min(len x, len row) entries.
void voigt_density(std::span<const double> x, double x0, double sigma, double gamma, double x_min,
                   double x_max, std::span<double> row);

// A Voigt peak's parameters by name: their positions in VoigtParameters, a Shift and the mixture's
// arrays, their names in the single-peak fit, and the names of the mixture entry's per-peak arrays
// and fix flags, in that order.
struct VoigtParameter {
  enum : std::size_t { x0, sigma, gamma };
  static constexpr std::array<std::string_view, 3> kNames{"x0", "sigma", "gamma"};
  static constexpr std::array<std::string_view, 3> kMixtureArrays{"x0", "sigma_v", "gamma_v"};
  static constexpr std::array<std::string_view, 3> kMixtureFlags{"fix_x0", "fix_sigma", "fix_gamma"};
};

using VoigtParameters = std::array<double, 3>;  // indexed by VoigtParameter

// sum_i w_i ln(V(x_i - x0) / max(M, 1e-300) + 1e-200) over the first min(len x, len w) samples,
// summed in sample order.
double voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                            const VoigtParameters& p, double x_min, double x_max);

// The log-likelihood at `base` and, for each shift (the parameter it names moved to the shift's
// value), LL(shifted) - LL(base) in `differences`: the forward differences of the
// fit's gradient. They are summed sample by sample from differences of the profile formed without
// subtracting two profiles (Taylor series of w about each sample's z, or the difference of its
// asymptotic series far from the centre), so their rounding is relative to their own size and not
// to the log-likelihood's. Where that is not possible (a width at 0, a floor acting, a shift
// crossing a window edge) the sample's two log-densities are subtracted.
double voigt_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                        const VoigtParameters& base, std::span<const Shift> shifts,
                                        double x_min, double x_max, std::span<double> differences);

struct VoigtBounds {
  double x_min, x_max;  // the analysis window: normalisation and bounds of a free centre
  double sigma_min, sigma_max;
  double gamma_min, gamma_max;
};

// Refits one component to `weights` (intensity times responsibility, one per sample from the
// first) by bounded minimisation of the negative log-likelihood, starting from `current`, with
// the forward-difference gradient of step 1e-7. Fixed parameters keep their values. No weights,
// all three fixed, a weight sum below 1e-300 (a NaN sum does not stop the fit) or a minimiser
// error (bounds with min > max among them) return `current` unchanged. A free centre comes back as the minimiser leaves it (inside
// the window); a free width is clamped to its bounds, and bounds that are unordered or NaN then
// throw the Failure "min > max, or either was NaN. min = ..., max = ...". `objective_calls`, when
// given, is increased by the number of objective evaluations.
VoigtParameters fit_voigt_component(std::span<const double> x, std::span<const double> weights,
                                    const VoigtParameters& current, const std::array<bool, 3>& fixed,
                                    const VoigtBounds& bounds, std::uint64_t* objective_calls = nullptr);

// K Voigt peaks as one EM shape: values x0, sigma, gamma; fixed fix_x0, fix_sigma, fix_gamma. The
// window normalises every density and bounds a free centre; the width bounds are shared by all
// peaks and set by the caller.
struct VoigtPeaks : PeakParameters<3, 3> {
  using Names = VoigtParameter;
  static constexpr bool kParallel = true;
  // The window mass does not depend on the samples: a piece of the grid gets the same values as
  // the whole row would (each piece computes the mass again).
  static constexpr bool kElementwiseDensity = true;

  double sigma_min = 0.0, sigma_max = 0.0;
  double gamma_min = 0.0, gamma_max = 0.0;

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  // fit_voigt_component from peak k's current values: unchanged where that fit leaves them.
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The Voigt mixture entry, instantiated in voigt.cpp.
extern template EmResult run_em(VoigtPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

namespace voigt_detail {

// Calls a complex function of one complex argument declared with either complex type: C99's
// double _Complex (libcerf 1.x, and later versions built as C, as distributions ship them) or
// std::complex<double> (libcerf 2.x and 3.x built as C++, whose header then declares it so).
template <class Complex>
std::complex<double> call_complex(Complex (*function)(Complex), std::complex<double> z) {
  if constexpr (std::is_same_v<Complex, std::complex<double>>) {
    return function(z);
  } else {
    Complex argument{};
    __real__ argument = z.real();
    __imag__ argument = z.imag();
    const Complex result = function(argument);
    return {__real__ result, __imag__ result};
  }
}

}  // namespace voigt_detail

}  // namespace brivane
