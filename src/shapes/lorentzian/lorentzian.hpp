#pragma once
// Lorentzian peaks: the density normalised over the sample grid, its weighted log-likelihood, and
// the maximum-likelihood fit of one peak's centre and width.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "em_shape.hpp"
#include "numerics/free_parameters.hpp"

namespace brivane {

// A Lorentzian peak's parameters by name: their positions in a parameter set, a Shift and the
// mixture's arrays, their names in the single-peak fit, and the names of the mixture entry's
// per-peak arrays and fix flags, in that order.
struct LorentzianParameter {
  enum : std::size_t { x0, gamma };
  static constexpr std::array<std::string_view, 2> kNames{"x0", "gamma"};
  static constexpr std::array<std::string_view, 2> kMixtureArrays{"x0", "gamma_lo"};
  static constexpr std::array<std::string_view, 2> kMixtureFlags{"fix_x0", "fix_gamma"};
};

inline constexpr double kLorentzianWidthMin = 0.1;
inline constexpr double kLorentzianWidthMax = 2000.0;

// Fills `row` with the Lorentzian of centre x0 and full width at half maximum gamma over the whole
// grid, scaled first by its analytic mass inside [x_min, x_max] (floored at 1e-300) and then
// divided by its trapezoid integral T' over the grid, which is returned. The grid should ascend;
// T' is floored at 1e-300, and is 1e-300 for fewer than two samples.
double lorentzian_density(std::span<const double> x, double x0, double gamma, double x_min,
                          double x_max, std::span<double> row);

// sum_i w_i ln(d_i + 1e-200) over the first min(n, len w) samples, in sample order, with d the
// density of lorentzian_density (computed again rather than stored).
double lorentzian_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                 double x0, double gamma, double x_min, double x_max);

// The log-likelihood at (x0, gamma) and, for each of at most two shifts (indexed by
// LorentzianParameter), LL with that one parameter moved minus LL at (x0, gamma), written to `differences`. The
// differences are summed sample by sample from exact differences of the density's terms, so they
// carry rounding relative to their own size rather than to the log-likelihood's; where a floor of
// the density acts they are formed by subtraction. The forward-difference gradient of the fit.
double lorentzian_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                             double x0, double gamma, std::span<const Shift> shifts,
                                             double x_min, double x_max, std::span<double> differences);

// Fits the free ones of x0 and gamma to the weighted samples by bounded minimisation of the
// negative log-likelihood (forward-difference gradient, step 1e-7). A free centre starts from the
// weighted mean and stays in [x_min, x_max]; a free width starts from sqrt(2 ln 2 M2 / S), M2 the
// raw second moment, at least 0.1, and ends in [0.1, 2000]. Both fixed, no weights, a weight sum
// below 1e-300, a minimiser error or a solution that is not a number (weights whose sums overflow)
// leave the values unchanged. Each successful minimisation writes
// "LBFGSB finished" to standard output. Returns whether the values were refitted.
// `passes`, when given, is increased by the number of log-likelihoods evaluated: 1 + the number of
// free parameters per objective call.
bool lorentzian_fit(std::span<const double> x, std::span<const double> weights, double& x0,
                    double& gamma, bool fix_x0, bool fix_gamma, double x_min, double x_max,
                    std::uint64_t* passes = nullptr);

// K Lorentzian peaks as one EM shape: values x0, gamma; fixed fix_x0, fix_gamma. The window scales
// the densities and bounds a free centre.
struct LorentzianPeaks : PeakParameters<2, 2> {
  using Names = LorentzianParameter;
  static constexpr bool kParallel = true;
  static constexpr bool kElementwiseDensity = false;  // normalised over the whole grid

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The Lorentzian mixture entry, instantiated in lorentzian.cpp.
extern template EmResult run_em(LorentzianPeaks& peaks, std::vector<double>& pi,
                                const EmProblem& problem);

}  // namespace brivane
