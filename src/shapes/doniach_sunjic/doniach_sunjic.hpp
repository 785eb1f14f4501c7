#pragma once
// Doniach-Sunjic peaks: the asymmetric line shape
//   v(x) = cos((1 - alpha) atan((x - x0) / gamma) + pi alpha / 2) / ((x - x0)^2 + gamma^2)^((1 - alpha) / 2)
// normalised by its trapezoid integral over the sample grid (no window, no Gamma-function factor:
// it cancels in the normalisation), its weighted log-likelihood, and the maximum-likelihood fit of
// one peak, used directly by doniach_sunjic_mle and as the M-step of the mixture.
//
// Parameters are always ordered (x0, gamma, alpha), and named by DoniachSunjicParameter. The grid
// is expected to ascend.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "em_shape.hpp"
#include "numerics/free_parameters.hpp"

namespace brivane {

// A Doniach-Sunjic peak's parameters by name: their positions in DoniachSunjicParameters, a Shift
// and the mixture's arrays, their names in the single-peak fit, and the names of the mixture
// entry's per-peak arrays and fix flags, in that order.
struct DoniachSunjicParameter {
  enum : std::size_t { x0, gamma, alpha };
  static constexpr std::array<std::string_view, 3> kNames{"x0", "gamma", "alpha"};
  static constexpr std::array<std::string_view, 3> kMixtureArrays{"x0", "gamma_ds", "alpha"};
  static constexpr std::array<std::string_view, 3> kMixtureFlags{"fix_x0", "fix_gamma", "fix_alpha"};
};

using DoniachSunjicParameters = std::array<double, 3>;  // indexed by DoniachSunjicParameter

// Fills row[i] = v_i / D for every sample, D = sum (x_{i+1} - x_i)(v_i + v_{i+1}) / 2; all zeros
// when |D| < 1e-300 (fewer than two samples among them). A descending grid gives a negative D and
// negative densities. Fills min(len x, len row) entries. Here and below, sums over samples run in
// the chunk order of parallel.hpp (in sample order where the vector pass cannot form every value),
// whatever the number of threads.
void doniach_sunjic_density(std::span<const double> x, double x0, double gamma, double alpha, std::span<double> row);

// sum_i w_i ln(p_i + 1e-200) over the first min(len x, len w) samples, p the density row over the
// whole grid.
double doniach_sunjic_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                     double x0, double gamma, double alpha);

// The log-likelihood at `base` and, for each shift (the parameter it names moved to the shift's
// value), LL(shifted) - LL(base) in `differences`: the forward differences of the fit.
// Each sample's change of ln v and the change of D are formed from exact differences of the
// formula's terms rather than by subtracting two evaluations, so they carry rounding relative to
// their own size. Where that is not possible (gamma <= 0, a non-positive shape value, a floor
// acting) the two log-densities are subtracted sample by sample.
double doniach_sunjic_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                                 const DoniachSunjicParameters& base,
                                                 std::span<const Shift> shifts, std::span<double> differences);

struct DoniachSunjicBounds {
  double x_min, x_max;  // bounds of a free centre only
  double gamma_min, gamma_max;
  double alpha_min, alpha_max;
};

// Fits the free ones of (x0, gamma, alpha) to `weights` (the intensities, or intensity times
// responsibility in the mixture) by bounded minimisation of the negative log-likelihood from the
// incoming values, with the forward-difference gradient of step 1e-7. Leaves `values` unchanged
// when all three are fixed, there are no weights, the weights sum below 1e-300 (a NaN sum does not
// stop the fit) or the minimiser returns an error (bounds with min > max among them). A free
// centre is taken as the minimiser leaves it; a free gamma or alpha is clamped to its bounds, and
// bounds that are unordered or NaN then throw the Failure "min > max, or either was NaN. min = ...,
// max = ..." with `values` untouched. Returns whether the values were refitted; `objective_calls`,
// when given, is increased by the number of objective evaluations.
bool fit_doniach_sunjic_peak(std::span<const double> x, std::span<const double> weights,
                             DoniachSunjicParameters& values, const std::array<bool, 3>& fixed,
                             const DoniachSunjicBounds& bounds, std::uint64_t* objective_calls = nullptr);

// The single-peak fit behind the Python function of the same name: fits to the raw intensities
// and returns (x0, gamma, alpha), the starting values where the fit leaves them.
DoniachSunjicParameters doniach_sunjic_mle(std::span<const double> x, std::span<const double> intensity,
                                           double x0, double gamma, double alpha, double x_min, double x_max,
                                           double gamma_min, double gamma_max, double alpha_min,
                                           double alpha_max, bool fix_x0 = false, bool fix_gamma = false,
                                           bool fix_alpha = false);

// K Doniach-Sunjic peaks as one EM shape: values x0, gamma, alpha; fixed fix_x0, fix_gamma,
// fix_alpha. The window bounds a free centre only (the densities are normalised over the grid);
// the width and asymmetry bounds are shared by all peaks and set by the caller.
struct DoniachSunjicPeaks : PeakParameters<3, 3> {
  using Names = DoniachSunjicParameter;
  static constexpr bool kParallel = true;
  static constexpr bool kElementwiseDensity = false;  // normalised over the whole grid

  double gamma_min = 0.0, gamma_max = 0.0;
  double alpha_min = 0.0, alpha_max = 0.0;

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  // fit_doniach_sunjic_peak from peak k's current values: unchanged where that fit leaves them.
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The Doniach-Sunjic mixture entry, instantiated in doniach_sunjic.cpp.
extern template EmResult run_em(DoniachSunjicPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
