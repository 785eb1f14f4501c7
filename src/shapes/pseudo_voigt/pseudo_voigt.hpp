#pragma once
// Pseudo-Voigt peaks: a Gaussian and a Lorentzian of one centre x0 and one full width at half
// maximum gamma, mixed as eta G + (1 - eta) L / Z. The Gaussian is the ordinary normal density
// over the whole line; the Lorentzian is normalised to unit mass over the analysis window
// [x_min, x_max] by its mass Z there. Here live the density, its weighted log-likelihood and the
// two single-peak fits (a one-pass conditional maximisation and an alternating full
// optimisation), which are also the per-component refits of the pseudo-Voigt mixture EM, and the
// peaks as an EM shape.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "em_shape.hpp"
#include "numerics/free_parameters.hpp"

namespace brivane {

// The full width at half maximum of a normal density per unit of its standard deviation,
// 2 sqrt(2 ln 2).
inline constexpr double kFwhmPerSigma = 2.3548200450309493;

// A pseudo-Voigt peak's parameters by name: their positions in a Shift (x0 and gamma only: the
// bounded steps hold eta) and the mixture's arrays, their names, and the names of the mixture
// entry's per-peak arrays and fix flags, in that order.
struct PseudoVoigtParameter {
  enum : std::size_t { x0, gamma, eta };
  static constexpr std::array<std::string_view, 3> kNames{"x0", "gamma", "eta"};
  static constexpr std::array<std::string_view, 3> kMixtureArrays{"x0", "gamma_pv", "eta"};
  static constexpr std::array<std::string_view, 3> kMixtureFlags{"fix_x0", "fix_gamma", "fix_eta"};
};

struct PseudoVoigtPeak {
  double x0 = 0.0;
  double gamma = 0.0;
  double eta = 0.0;  // the Gaussian's share
  friend bool operator==(const PseudoVoigtPeak&, const PseudoVoigtPeak&) = default;
};

struct PseudoVoigtFlags {
  bool fix_x0 = false;
  bool fix_gamma = false;
  bool fix_eta = false;
};

// The Lorentzian's mass inside [x_min, x_max], (atan((x_max - x0)/h) - atan((x_min - x0)/h)) / pi
// with h = gamma / 2, floored at 1e-300 (a NaN mass becomes 1e-300 too).
double pseudo_voigt_window_mass(double x0, double gamma, double x_min, double x_max);

// p(x_j) = eta G(x_j) + L(x_j) ((1 - eta) / Z) for every sample of the grid, inside the window or
// not. No parameter is checked: gamma = 0 gives NaN everywhere, an empty or inverted window a
// Lorentzian part scaled by 1e300. A row shorter than the grid fails with the index Failure
// before anything is written.
void pseudo_voigt_density(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min, double x_max,
                          std::span<double> row);

// The density on a new array of the grid's length (empty for an empty grid).
std::vector<double> pseudo_voigt_predict(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                         double x_max);

// sum_i w_i ln(p(x_i) + 1e-20) over the first min(len x, len w) samples, in the fixed order of
// every sum over samples (chunks of kSumChunk with eight lane accumulators each, the chunks added
// in order; summation_order.hpp), on the calling thread.
double pseudo_voigt_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                   const PseudoVoigtPeak& peak, double x_min, double x_max);

// The log-likelihood at `peak` and, for each of at most two shifts (of x0 or gamma, named by
// PseudoVoigtParameter; eta stays), the log-likelihood with that one parameter moved minus the one at `peak`,
// written to `differences`. The differences are summed sample by sample from differences of the
// density's terms formed without cancellation, so they are accurate relative to their own size
// rather than to the log-likelihood's: the forward-difference gradient of the full optimisation.
// The log-likelihood itself is summed with compensation, free of the running sum's rounding, so
// it can differ from pseudo_voigt_log_likelihood in the last bits.
double pseudo_voigt_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                               const PseudoVoigtPeak& peak, std::span<const Shift> shifts,
                                               double x_min, double x_max, std::span<double> differences);

// ---- Conditional maximisation -------------------------------------------------------------------

// Each sample's split between the two parts at `peak`: r_G = eta G / q and r_L = L ((1 - eta)/Z) / q
// with q = eta G + L ((1 - eta)/Z) + 1e-300, over the whole grid.
struct ComponentShares {
  std::vector<double> gaussian;
  std::vector<double> lorentzian;
};
ComponentShares component_shares(std::span<const double> x, const PseudoVoigtPeak& peak, double x_min,
                                 double x_max);

// The weighted samples with their shares held, as the centre-and-width stage sees them: the
// expected complete-data log-likelihood
//   Q(c, g) = sum_i w_i [r_G,i ln(eta G_i) + r_L,i ln((1 - eta) L_i / Z)]
// at centre c and width g, over the first min(len x, len w) samples.
class ShareWeightedSamples {
 public:
  ShareWeightedSamples(std::span<const double> x, std::span<const double> weights, std::span<const double> r_gaussian,
                       std::span<const double> r_lorentzian, double x_min, double x_max);

  // S(c, g) = g^3 dQ/dg at centre c: positive where a wider peak fits better.
  double width_score(double c, double g) const;
  // T(c, g): the centre that zeroes dQ/dx0 with its Lorentzian terms and the window mass taken
  // at c; T(c, g) = c exactly where dQ/dx0 vanishes at c.
  double centre_update(double c, double g) const;
  // The zero of g -> S(c, g) on [0.1, x_max - x_min] by Brent's method at tolerance 1e-10 (twice
  // the spacing of doubles where that is coarser, beyond 2^18); none when S does not change sign
  // over that bracket or the search does not converge.
  std::optional<double> width_root(double c) const;

 private:
  std::span<const double> x_;
  std::vector<double> gaussian_weight_;    // w_i r_G,i
  std::vector<double> lorentzian_weight_;  // r_L,i w_i
  double gaussian_total_ = 0.0;            // A
  double lorentzian_total_ = 0.0;          // B
  double x_min_, x_max_;
};

// Whether a and b have strictly opposite signs, a signed zero counting by its sign (-0 and +0 are
// opposite) and a NaN never qualifying.
bool opposite_signs(double a, double b);

// The index a walk over `scores` ends on when a later score replaces the best unless the best is
// strictly greater: ties go to the later entry, and a NaN on either side lets the later one in.
// `scores` must not be empty.
std::size_t best_later_on_ties(std::span<const double> scores);

// The index of the highest score, the earliest among equal ones; NaN and -inf never win, so none
// when no score is above -inf.
std::optional<std::size_t> best_earlier_on_ties(std::span<const double> scores);

// One pass of expectation-conditional maximisation from `start`: shares at the start, then x0 and
// gamma at the joint stationary point of Q found by nested root searches (unless fix_x0 and
// fix_gamma are both set: either alone does not hold its parameter), then eta from 0.80, 0.81,
// ..., 0.99 by the highest log-likelihood (unless fix_eta). No weights, all flags set or weights
// summing below 1e-300 (a NaN sum goes on) return the start.
PseudoVoigtPeak pseudo_voigt_mle_conditional_max(std::span<const double> x, std::span<const double> weights,
                                                 const PseudoVoigtPeak& start, const PseudoVoigtFlags& flags,
                                                 double x_min, double x_max);

// ---- Full optimisation --------------------------------------------------------------------------

struct FullOptimisationLimits {
  double gamma_min = 0.0;
  double gamma_max = 0.0;
  std::uint64_t max_iter = 0;  // alternation steps at most
  double r_eps = 0.0;          // stop once the relative gain of the log-likelihood is below
};

// eta from 0.00, 0.01, ..., 0.99 at (x0, gamma): the highest log-likelihood, the smallest eta
// among equal ones; `fallback` when every score is -inf or NaN. The scores are formed in chunks of
// samples shared among the worker pool, and only as many as the winner needs: a candidate that
// provably cannot beat a scored one is left out (pseudo_voigt.cpp). The result is that of a scan
// of all 100 scores and does not depend on how many threads run them.
double full_mixing_search(std::span<const double> x, std::span<const double> weights, double x0, double gamma,
                          double fallback, double x_min, double x_max);

// Maximum likelihood by alternation: the free ones of x0 in [x_min, x_max] and gamma in
// [gamma_min, gamma_max] by the bounded minimiser (forward-difference gradient, step 1e-7) with
// eta held, then eta by full_mixing_search (falling back to the starting eta), until the relative
// gain of the log-likelihood is below r_eps (a loss stops it too, and so does a gain that is not a
// number) or max_iter steps have run. A start whose log-likelihood is NaN is returned as it is; a
// step that leads to a NaN log-likelihood ends the run with the values before it.
// No weights, all flags set or weights summing below 1e-300 (a NaN sum goes on) return the start.
// A failed minimisation keeps x0 and gamma for that step. gamma_min or gamma_max NaN with gamma
// free throws the Failure "min > max, or either was NaN. min = ..., max = ...".
// `passes`, when given, is increased by the number of log-likelihoods the bounded steps evaluated:
// 1 + the number of free parameters per objective call.
PseudoVoigtPeak pseudo_voigt_mle_full_optimization(std::span<const double> x, std::span<const double> weights,
                                                   const PseudoVoigtPeak& start, const PseudoVoigtFlags& flags,
                                                   double x_min, double x_max, const FullOptimisationLimits& limits,
                                                   std::uint64_t* passes = nullptr);

// ---- Mixture EM ---------------------------------------------------------------------------------

// K pseudo-Voigt peaks as one EM shape: values x0, gamma, eta; fixed fix_x0, fix_gamma, fix_eta.
// The window normalises every Lorentzian part. Each refit is one pass of
// pseudo_voigt_mle_conditional_max or, with use_full_opt, a whole
// pseudo_voigt_mle_full_optimization, whose mixing search then runs nested on the worker pool
// from inside the refit's own task. The caller sets the call-wide settings below.
struct PseudoVoigtPeaks : PeakParameters<3, 3> {
  using Names = PseudoVoigtParameter;
  static constexpr bool kParallel = true;
  // The window mass depends on the peak only: a piece of the grid gets the values the whole row
  // would.
  static constexpr bool kElementwiseDensity = true;

  bool use_full_opt = false;
  // For the full optimisation only: the width bounds, and the EM's own max_iter and r_eps, which
  // also bound each refit's alternation.
  FullOptimisationLimits limits;

  void density(std::size_t k, std::span<const double> x, const Window& window,
               std::span<double> row) const;
  // Peak k's new values from the weights intensity * responsibility: unchanged where the chosen
  // fit leaves them (no weight, every flag set, no root, a failed minimisation).
  Parameters refit(std::size_t k, std::span<const double> x, std::span<const double> weights,
                   const Window& window, std::span<double> scratch) const;
};

// The pseudo-Voigt mixture entry, instantiated in pseudo_voigt.cpp.
extern template EmResult run_em(PseudoVoigtPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
