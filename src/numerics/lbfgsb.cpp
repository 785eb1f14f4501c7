#include "numerics/lbfgsb.hpp"

#include <algorithm>
#include <cmath>

#include "numerics/bounds.hpp"
#include "numerics/cauchy_point.hpp"
#include "numerics/lbfgs_memory.hpp"
#include "numerics/line_search.hpp"
#include "numerics/subspace_min.hpp"

namespace brivane {

namespace {

using lbfgsb::Box;
using lbfgsb::dot;

std::vector<double> step_to(std::span<const double> target, std::span<const double> x) {
  std::vector<double> d(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) d[i] = target[i] - x[i];
  return d;
}

// The search direction, in order of preference: the step to the projected subspace minimiser,
// to the Cauchy point, the two-loop quasi-Newton direction, and the negative projected gradient.
// Fixed variables never move.
std::vector<double> search_direction(const Box& box, std::span<const double> x,
                                     std::span<const double> g, const lbfgsb::LimitedMemory& memory) {
  std::vector<double> d;
  lbfgsb::CauchyPoint cauchy;
  if (!lbfgsb::generalised_cauchy_point(box, x, g, memory, cauchy)) {
    d = memory.two_loop_direction(g);
  } else {
    std::vector<double> minimiser;
    const std::vector<double> cauchy_step = step_to(cauchy.x, x);
    if (!lbfgsb::subspace_minimiser(box, x, g, memory, cauchy, minimiser)) {
      d = cauchy_step;
    } else if (std::vector<double> subspace_step = step_to(minimiser, x); dot(subspace_step, g) < 0.0) {
      d = std::move(subspace_step);
    } else if (dot(cauchy_step, g) < 0.0) {
      d = cauchy_step;
    } else {
      d = memory.two_loop_direction(g);
    }
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (box.fixed[i]) d[i] = 0.0;
  }
  if (!(dot(d, g) < 0.0)) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      const bool held_low = box.has_lower(i) && x[i] <= box.lower[i] && g[i] >= 0.0;
      const bool held_high = box.has_upper(i) && x[i] >= box.upper[i] && g[i] <= 0.0;
      d[i] = held_low || held_high || box.fixed[i] ? 0.0 : -g[i];
    }
  }
  return d;
}

}  // namespace

MinimiseOutcome minimise_bounded(ObjectiveRef objective, std::vector<double> start,
                                 std::span<const double> lower, std::span<const double> upper,
                                 const MinimiserSettings& settings) {
  const std::size_t n = start.size();
  if (lower.size() != n || upper.size() != n) return std::string("length mismatch between x and bounds");
  for (std::size_t i = 0; i < n; ++i) {
    if (lower[i] > upper[i]) return std::string("lower > upper for some index");
    if (start[i] < lower[i]) start[i] = lower[i];
    if (start[i] > upper[i]) start[i] = upper[i];
  }
  const Box box = lbfgsb::classify_bounds(lower, upper);
  for (std::size_t i = 0; i < n; ++i) {
    if (box.fixed[i]) start[i] = lower[i];
  }

  MinimiserResult result;
  result.x = std::move(start);
  std::vector<double> g;
  result.value = objective(result.x, g);
  result.evaluations = 1;
  if (g.size() != n) return std::string("gradient length mismatch");
  if (lbfgsb::projected_gradient_norm(box, result.x, g) <= settings.projected_gradient_tolerance) {
    return result;
  }

  lbfgsb::LimitedMemory memory(settings.memory);
  std::vector<double> s(n), y(n);
  for (std::uint64_t iteration = 1; iteration <= settings.max_iterations; ++iteration) {
    const std::vector<double> d = search_direction(box, result.x, g, memory);
    if (n == 0 || !(dot(d, g) < 0.0)) {
      result.reason = StopReason::NoDescentDirection;
      return result;
    }
    lbfgsb::LineSearchResult step =
        lbfgsb::more_thuente_search(objective, box, result.x, result.value, g, d);
    result.evaluations += static_cast<std::uint64_t>(step.evaluations);
    if (step.status == lbfgsb::LineSearchStatus::GradientLengthMismatch) {
      return std::string("gradient length mismatch");
    }
    if (step.status == lbfgsb::LineSearchStatus::Exhausted) {
      // A pair stored far from here (a long first step across a flat region, say) can leave the
      // quasi-Newton direction nearly orthogonal to the gradient, so that no step along it
      // lowers the value by an amount doubles resolve. As the published driver does, forget the
      // pairs and search again along the projected steepest descent; only a search that fails
      // without any pairs ends the run.
      if (memory.size() > 0) {
        memory = lbfgsb::LimitedMemory(settings.memory);
        continue;
      }
      result.reason = StopReason::LineSearchExhausted;
      return result;
    }
    for (std::size_t i = 0; i < n; ++i) {
      s[i] = step.x[i] - result.x[i];
      y[i] = step.gradient[i] - g[i];
    }
    memory.add(s, y);
    result.x = std::move(step.x);
    result.value = step.value;
    g = std::move(step.gradient);
    result.iterations = iteration;
    if (lbfgsb::projected_gradient_norm(box, result.x, g) <= settings.projected_gradient_tolerance) {
      result.reason = StopReason::Converged;
      return result;
    }
  }
  result.reason = StopReason::IterationLimit;
  return result;
}

}  // namespace brivane
