#pragma once
// The free parameters of a single-peak fit: the vector the bounded minimiser works on, the
// objective it sees (value and forward-difference gradient from one batched evaluation), and how
// the solution is read back into the peak's parameters.
//
// A fit's parameters keep their shape's order (each shape names the positions; peak_fit.hpp
// drives the fit). A fixed parameter is not a variable of the minimisation at all; the objective
// sees its incoming value. The free ones form the minimiser's vector in that order, and the
// solution is read back into the positions they came from.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "numerics/lbfgsb.hpp"

namespace brivane {

// The forward-difference step of every single-peak fit, added to one free parameter at a time.
inline constexpr double kDifferenceStep = 1e-7;

// How a free parameter's solution is brought back into its bounds.
enum class ReadBack {
  AsIs,             // taken as it comes: the minimiser's box already holds it
  ClampNanToLower,  // clamped into [lower, upper]; a NaN becomes the lower bound
  CheckedClamp,     // max(lower, .) then min(upper, .), NaN stays NaN; unordered or NaN bounds fail
};

// One forward-difference evaluation point: parameter `index` moved to `value` (the free entry
// plus 1e-7, rounded), every other parameter as at the base point.
struct Shift {
  std::size_t index;
  double value;
};

template <std::size_t N>
class FreeParameters {
 public:
  using Values = std::array<double, N>;

  explicit FreeParameters(const Values& values) : values_(values) {}

  // Makes parameter `index` the next variable of the minimisation.
  void add(std::size_t index, double start, double lower, double upper, ReadBack read_back) {
    index_[count_] = index;
    start_[count_] = start;
    lower_[count_] = lower;
    upper_[count_] = upper;
    read_back_[count_] = read_back;
    ++count_;
  }

  std::size_t count() const { return count_; }
  std::size_t parameter(std::size_t free_entry) const { return index_[free_entry]; }
  std::vector<double> start() const { return {start_.begin(), start_.begin() + count_}; }
  std::span<const double> lower() const { return {lower_.data(), count_}; }
  std::span<const double> upper() const { return {upper_.data(), count_}; }

  // The whole parameter set at the minimiser's point p.
  Values expand(std::span<const double> p) const {
    Values full = values_;
    for (std::size_t j = 0; j < count_; ++j) full[index_[j]] = p[j];
    return full;
  }

  // Writes the free entries of `solution` into `values` by their read-back rules. A checked
  // clamp with unordered or NaN bounds throws the Failure "min > max, or either was NaN. ...".
  void read_back(std::span<const double> solution, Values& values) const;

 private:
  Values values_;
  std::array<std::size_t, N> index_{};
  std::array<double, N> start_{}, lower_{}, upper_{};
  std::array<ReadBack, N> read_back_{};
  std::size_t count_ = 0;
};

// max(lower, value) then min(upper, value); a NaN value stays NaN. Throws the Failure
// "min > max, or either was NaN. min = <lower>, max = <upper>" when lower > upper or either is NaN.
double checked_clamp(double value, double lower, double upper);

// A bound as that failure prints it: the shortest decimal that reads back exactly, ".0" after an
// integral value, exponent form ("1e-5", "1.5e16") below 1e-4 (zero excepted) and from 1e16 on,
// "NaN", "inf" and "-inf".
std::string format_bound(double value);

template <std::size_t N>
void FreeParameters<N>::read_back(std::span<const double> solution, Values& values) const {
  for (std::size_t j = 0; j < count_; ++j) {
    const double v = solution[j];
    double& out = values[index_[j]];
    switch (read_back_[j]) {
      case ReadBack::AsIs: out = v; break;
      case ReadBack::ClampNanToLower:
        out = std::isnan(v) ? lower_[j] : std::fmin(std::fmax(v, lower_[j]), upper_[j]);
        break;
      case ReadBack::CheckedClamp: out = checked_clamp(v, lower_[j], upper_[j]); break;
    }
  }
}

// Minimises -LL over the free parameters, LL coming from `evaluate`, called once per objective
// call as evaluate(base, shifts, differences): it returns LL at the whole parameter set `base` and
// writes LL(base with shift j applied) - LL(base) into differences[j] for every shift. The value
// is -LL(base) and gradient component j is -differences[j] / 1e-7. A shape that can form the
// differences sample by sample, instead of subtracting two rounded sums of similar size, gives
// the minimiser a gradient free of the rounding noise that otherwise stops it short of the
// projected-gradient tolerance.
// On success the free entries of `values` hold the solution (read back by the rules given) and
// the minimiser's result is returned; an error text of the minimiser leaves `values` untouched.
template <std::size_t N, class Evaluate>
MinimiseOutcome minimise_free_parameters(const FreeParameters<N>& free, Evaluate&& evaluate,
                                         std::array<double, N>& values) {
  const std::size_t count = free.count();
  auto objective = [&](std::span<const double> p, std::vector<double>& gradient) {
    const std::array<double, N> base = free.expand(p);
    std::array<Shift, N> shifts;
    for (std::size_t j = 0; j < count; ++j) shifts[j] = {free.parameter(j), p[j] + kDifferenceStep};
    std::array<double, N> differences{};
    const double log_likelihood =
        evaluate(base, std::span<const Shift>(shifts.data(), count), std::span<double>(differences.data(), count));
    gradient.resize(count);
    for (std::size_t j = 0; j < count; ++j) gradient[j] = -differences[j] / kDifferenceStep;
    return -log_likelihood;
  };
  MinimiseOutcome outcome = minimise_bounded(objective, free.start(), free.lower(), free.upper());
  if (const MinimiserResult* result = std::get_if<MinimiserResult>(&outcome)) free.read_back(result->x, values);
  return outcome;
}

// The same for an objective with its own gradient: objective(base, gradient) returns the value
// to minimise at the whole parameter set `base` and writes its derivative with respect to every
// parameter into gradient[0..N) (the entries of fixed parameters are ignored). The minimiser
// receives the free entries in their order.
template <std::size_t N, class Objective>
MinimiseOutcome minimise_free_parameters_with_gradient(const FreeParameters<N>& free, Objective&& objective,
                                                       std::array<double, N>& values) {
  const std::size_t count = free.count();
  auto wrapped = [&](std::span<const double> p, std::vector<double>& gradient) {
    std::array<double, N> full{};
    const double value = objective(free.expand(p), full);
    gradient.resize(count);
    for (std::size_t j = 0; j < count; ++j) gradient[j] = full[free.parameter(j)];
    return value;
  };
  MinimiseOutcome outcome = minimise_bounded(wrapped, free.start(), free.lower(), free.upper());
  if (const MinimiserResult* result = std::get_if<MinimiserResult>(&outcome)) free.read_back(result->x, values);
  return outcome;
}

}  // namespace brivane
