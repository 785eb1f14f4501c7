#pragma once
// What the EM engine asks of a peak shape, and the pieces every shape shares.
//
// A shape is K peaks of one line shape. It declares its per-peak parameter arrays and fix flags by
// deriving from PeakParameters<P, F>, which holds them, counts the peaks, checks the sizes and
// stores refitted values; the shape itself writes only its density row and its refit, plus any
// call-wide settings (bounds, switches) as members. Each shape's unit instantiates run_em for its
// shape; this header includes no shape, and the engine's template lives in em_engine.hpp.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "background.hpp"
#include "failure.hpp"
#include "vector_math.hpp"

namespace brivane {

// The analysis window [min, max] (x_min, x_max; t_min, t_max on a temperature grid): the
// background rows' support and, for the shapes that use it, the normalisation of their densities
// and the bounds of a free centre.
struct Window {
  double min = 0.0;
  double max = 0.0;
};

struct EmProblem {
  std::span<const double> x;
  std::span<const double> intensity;
  std::span<const double> dirichlet_alpha;
  std::uint64_t max_iter = 0;
  double r_eps = 0.0;
  Window window;
  std::uint8_t bg_type = 0;
  double s_tri = 0.0;
  const BasisRows* spline_basis_preds = nullptr;  // null: no basis rows
};

struct EmResult {
  std::uint64_t iterations = 0;
  std::vector<double> log_likelihood;   // iterations + 1 entries
  std::vector<double> relative_change;  // iterations + 1 entries, the first 0.0
  double s_tri = 0.0;
};

// K peaks' working parameter arrays (P of them, K entries each; K is the length of the first) and
// their fix flags (F sequences). The size checks raise the index Failure that the first read past
// the end of the shortest array would raise, before any task reads: parameter arrays are read by
// the densities and the refits, flags by the refits only.
template <std::size_t kParameters, std::size_t kFlags>
struct PeakParameters {
  static_assert(kParameters > 0, "a peak has at least one parameter");
  static constexpr std::size_t kParameterCount = kParameters;
  static constexpr std::size_t kFlagCount = kFlags;
  using Parameters = std::array<double, kParameters>;

  std::array<std::vector<double>, kParameters> values;
  std::array<std::vector<bool>, kFlags> fixed;

  std::size_t count() const { return values[0].size(); }

  void check_density_inputs() const {
    for (const std::vector<double>& array : values) require_length(array.size(), count());
  }

  void check_refit_inputs() const {
    check_density_inputs();
    std::size_t shortest = count();
    for (const std::vector<bool>& flags : fixed) shortest = std::min(shortest, flags.size());
    require_length(shortest, count());
  }

  // Peak k's current values, in parameter order.
  Parameters current(std::size_t k) const {
    Parameters p;
    for (std::size_t j = 0; j < kParameters; ++j) p[j] = values[j][k];
    return p;
  }

  void store(std::size_t k, const Parameters& p) {
    for (std::size_t j = 0; j < kParameters; ++j) values[j][k] = p[j];
  }
};

// The shape interface of the EM engine.
// - kParallel: whether the K densities and refits, and the chunks of the pass over the samples,
//   may run as tasks of the worker pool.
// - kElementwiseDensity: whether a density row may be computed piece by piece along the grid
//   (false for densities normalised over the whole grid).
// - density(k, x, window, row): fills row with peak k's density at the samples x.
// - refit(k, x, weights, window, scratch): peak k's new parameters from the sample weights
//   intensity * responsibility. It reads only shared inputs and peak k's entries, so the K refits
//   are independent; scratch is a row of n doubles that the refit may overwrite.
// count, the size checks, current and store come from PeakParameters.
template <class S>
concept EmShape =
    requires(const S& shape, S& working, std::size_t k, std::span<const double> x,
             std::span<const double> weights, const Window& window, std::span<double> row,
             const typename S::Parameters& fitted) {
      typename std::bool_constant<S::kParallel>;
      typename std::bool_constant<S::kElementwiseDensity>;
      { shape.count() } -> std::same_as<std::size_t>;
      shape.check_density_inputs();
      shape.check_refit_inputs();
      shape.density(k, x, window, row);
      { shape.refit(k, x, weights, window, row) } -> std::same_as<typename S::Parameters>;
      { shape.current(k) } -> std::same_as<typename S::Parameters>;
      working.store(k, fitted);
    };

// What the engine hands a fused pass (FusedEmShape) besides the shape's own per-peak constants.
struct FusedPassInputs {
  std::span<const double> x;
  std::span<const double> intensity;
  std::span<const double> pi;         // the P weights of the mixture
  std::span<const double> reference;  // K points about which the peaks' sums are taken
  BackgroundRow background;           // how the first background row is formed
  const double* const* stored_rows = nullptr;  // the background rows the pass reads
  double* background_weights = nullptr;        // optional: receives intensity * G of row K
  bool exact_tails = false;                    // evaluate every term the shape may leave out
};

// A refit from a fused pass's sums. Sums about a reference point far from the new centre lose
// digits to cancellation; then `retake` asks for the sums again about `reference` (the new
// centre), from the same E-step, before anything is stored.
template <class Parameters>
struct SumsRefit {
  Parameters values;
  bool retake = false;
  double reference = 0.0;
};

// A shape whose refit is closed-form in a few weighted sums per peak (the Gaussian: the first two
// moments) lets the engine form those sums in the same pass over the data as the densities, the
// mixture, the log-likelihood and the expected counts, block by block, so that an iteration reads
// the data once and stores no density or weight rows. Its pass works on the chunks of ChunkedSums
// and leaves per chunk: [0] the log-likelihood, [1 + k] the expected count of component k < P, then
// kPeakSums sums for each peak k < min(K, P).
// - kConstantsPerPeak: per-peak values pass_constants derives from the parameters for the pass;
// - pass_scratch(P): working memory of pass_chunk, in doubles;
// - pass_chunk(inputs, constants, begin, end, sums, scratch): the pass over samples [begin, end);
// - sums_resolved(weight_sum, sums): whether a peak's sums from a pass that may leave out
//   negligible terms are accurate; if not, the engine takes the pass again with exact_tails;
// - reference_point(k): the reference of peak k's sums, from its current values;
// - refit_from_sums(k, weight_sum, sums, reference, may_retake): the new values of peak k.
template <class S>
concept FusedEmShape =
    EmShape<S> &&
    requires(const S& shape, const FusedPassInputs& inputs, std::span<double> constants,
             std::span<const double> fixed_constants, std::size_t k, std::size_t begin, double* sums,
             double* scratch, std::span<const double> peak_sums, double value, bool flag) {
      { S::kPeakSums } -> std::convertible_to<std::size_t>;
      { S::kConstantsPerPeak } -> std::convertible_to<std::size_t>;
      { shape.pass_scratch(k) } -> std::same_as<std::size_t>;
      shape.pass_constants(constants);
      shape.pass_chunk(inputs, fixed_constants, begin, begin, sums, scratch);
      { shape.reference_point(k) } -> std::same_as<double>;
      { shape.sums_resolved(value, peak_sums) } -> std::same_as<bool>;
      {
        shape.refit_from_sums(k, value, peak_sums, value, flag)
      } -> std::same_as<SumsRefit<typename S::Parameters>>;
    };

// Runs EM from the shape's parameters and the weights `pi` (peaks, then background rows) until the
// relative change of the log-likelihood falls strictly below r_eps in magnitude or max_iter
// iterations have run. A NaN change never stops the loop. The shape's parameters and `pi` hold the
// final values on return; on a Failure they hold partial values and the caller must discard them.
// Defined in em_engine.hpp; each shape's unit instantiates it for its shape.
template <EmShape Shape>
EmResult run_em(Shape& shape, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
