#pragma once
// The maximum-likelihood fit of one peak, written once for every shape: the degenerate inputs
// that leave a peak as it is, the free parameters with their starts, bounds and read-back rules,
// the bounded minimisation of -LL, and the solution read back. A shape states what differs as a
// fit problem (PeakFitProblem); the minimiser and the skeleton around it are shared.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>

#include "numerics/free_parameters.hpp"
#include "numerics/lbfgsb.hpp"

namespace brivane {

// Where a free parameter starts, the box the minimiser keeps it in and how its solution is read
// back into that box.
struct FreeRange {
  double start;
  double lower;
  double upper;
  ReadBack read_back;
};

// When weights carry nothing, and the peak is left as it is. Most shapes stop on a sum below the
// 1e-300 floor (zero, negative or tiny); the Voigt and pseudo-Voigt fits stop only on a sum of
// exactly 0 and fit a negative or tiny sum as given, a rule their callers have always had. A NaN
// sum goes on under both rules: weights whose sums overflow are the minimiser's to meet.
enum class NothingToFit { kBelowFloor, kExactlyZero };

inline bool weights_carry_nothing(double weight_sum, NothingToFit rule = NothingToFit::kBelowFloor) {
  return rule == NothingToFit::kExactlyZero ? weight_sum == 0.0 : weight_sum < 1e-300;
}

// The weights' sum in sample order.
inline double sequential_weight_sum(std::span<const double> weights) {
  double total = 0.0;
  for (double w : weights) total += w;
  return total;
}

// A shape's single-peak fit problem, for N parameters:
// - Values, std::array<double, N>: the whole parameter set, in the order of kNames;
// - kNames: the parameters' names (each shape also gives their positions as an enum);
// - weights(): the sample weights;
// - free_range(parameter, values, weight_sum): the start, box and read-back rule of a free
//   parameter, given the incoming values and the weights' sum;
// - and either log_likelihood_differences(base, shifts, differences), which returns LL at `base`
//   and writes LL(base with shift j applied) - LL(base) to differences[j] (the forward-difference
//   gradient, see minimise_free_parameters), or value_and_gradient(base, gradient), which returns
//   the value to minimise with its own gradient over all N parameters.
// It may give weight_sum() when its sum of the weights is not the sequential one, and
// kNothingToFit when its weights carry nothing by the exactly-zero rule.
template <class F>
concept PeakFitProblem =
    requires(F& fit, const F& problem, std::size_t parameter, const typename F::Values& values) {
      requires std::same_as<typename F::Values, std::array<double, std::tuple_size_v<typename F::Values>>>;
      requires std::same_as<std::remove_cv_t<decltype(F::kNames)>,
                            std::array<std::string_view, std::tuple_size_v<typename F::Values>>>;
      { problem.weights() } -> std::same_as<std::span<const double>>;
      { problem.free_range(parameter, values, 1.0) } -> std::same_as<FreeRange>;
    } &&
    (requires(F& fit, const typename F::Values& base, std::span<const Shift> shifts, std::span<double> differences) {
      { fit.log_likelihood_differences(base, shifts, differences) } -> std::same_as<double>;
    } || requires(F& fit, const typename F::Values& base, typename F::Values& gradient) {
      { fit.value_and_gradient(base, gradient) } -> std::same_as<double>;
    });

enum class PeakFitStatus {
  Fitted,           // the values hold the solution
  NothingToFit,     // every parameter fixed, no weights, or weights that carry nothing
  MinimiserFailed,  // the minimiser returned an error text
};

struct PeakFitOutcome {
  PeakFitStatus status = PeakFitStatus::NothingToFit;
  std::uint64_t evaluations = 0;  // objective calls, when fitted

  bool fitted() const { return status == PeakFitStatus::Fitted; }
};

// Fits the free parameters (fixed[j] false) of `values` by bounded minimisation of -LL. Every
// parameter fixed, no weights, or weights that carry nothing leave `values` as they are and fit
// nothing; so does a minimiser error. Otherwise the free entries of `values` receive the solution
// by their read-back rules, the fixed ones keep their incoming values.
template <PeakFitProblem F>
PeakFitOutcome fit_single_peak(F& fit, const std::array<bool, std::tuple_size_v<typename F::Values>>& fixed,
                               typename F::Values& values) {
  constexpr std::size_t kCount = std::tuple_size_v<typename F::Values>;
  bool all_fixed = true;
  for (bool f : fixed) all_fixed = all_fixed && f;
  if (all_fixed || fit.weights().empty()) return {};
  double total;
  if constexpr (requires { { fit.weight_sum() } -> std::same_as<double>; }) {
    total = fit.weight_sum();
  } else {
    total = sequential_weight_sum(fit.weights());
  }
  NothingToFit rule = NothingToFit::kBelowFloor;
  if constexpr (requires { F::kNothingToFit; }) rule = F::kNothingToFit;
  if (weights_carry_nothing(total, rule)) return {};

  FreeParameters<kCount> free(values);
  for (std::size_t j = 0; j < kCount; ++j) {
    if (fixed[j]) continue;
    const FreeRange range = fit.free_range(j, values, total);
    free.add(j, range.start, range.lower, range.upper, range.read_back);
  }
  typename F::Values fitted = values;
  MinimiseOutcome outcome;
  if constexpr (requires(const typename F::Values& base, typename F::Values& gradient) {
                  fit.value_and_gradient(base, gradient);
                }) {
    auto objective = [&](const typename F::Values& base, typename F::Values& gradient) {
      return fit.value_and_gradient(base, gradient);
    };
    outcome = minimise_free_parameters_with_gradient(free, objective, fitted);
  } else {
    auto evaluate = [&](const typename F::Values& base, std::span<const Shift> shifts, std::span<double> differences) {
      return fit.log_likelihood_differences(base, shifts, differences);
    };
    outcome = minimise_free_parameters(free, evaluate, fitted);
  }
  const MinimiserResult* result = std::get_if<MinimiserResult>(&outcome);
  if (result == nullptr) return {PeakFitStatus::MinimiserFailed, 0};
  values = fitted;
  return {PeakFitStatus::Fitted, result->evaluations};
}

}  // namespace brivane
