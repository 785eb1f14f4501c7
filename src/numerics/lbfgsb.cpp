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

void step_to(std::span<const double> target, std::span<const double> x, std::vector<double>& step) {
  step.resize(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) step[i] = target[i] - x[i];
}

// Everything an iteration writes besides the point: sized by the first iterations of a run and
// reused by the rest, so that the minimiser itself allocates nothing per iteration.
struct Workspace {
  explicit Workspace(std::size_t memory_size) : memory(memory_size) {}
  lbfgsb::LimitedMemory memory;
  lbfgsb::CauchyPoint cauchy;
  lbfgsb::SubspaceStorage subspace;
  std::vector<double> minimiser, cauchy_step, subspace_step, direction, s, y;
  lbfgsb::LineSearchResult step;
  lbfgsb::LineSearchStorage search;
};

// The search direction (into w.direction), in order of preference: the step to the projected
// subspace minimiser, to the Cauchy point, the two-loop quasi-Newton direction, and the negative
// projected gradient. Fixed variables never move.
void search_direction(const Box& box, std::span<const double> x, std::span<const double> g, Workspace& w) {
  std::vector<double>& d = w.direction;
  if (!lbfgsb::generalised_cauchy_point(box, x, g, w.memory, w.cauchy)) {
    w.memory.two_loop_direction(g, d);
  } else {
    step_to(w.cauchy.x, x, w.cauchy_step);
    if (!lbfgsb::subspace_minimiser(box, x, g, w.memory, w.cauchy, w.minimiser, w.subspace)) {
      d.assign(w.cauchy_step.begin(), w.cauchy_step.end());
    } else if (step_to(w.minimiser, x, w.subspace_step); dot(w.subspace_step, g) < 0.0) {
      d.swap(w.subspace_step);
    } else if (dot(w.cauchy_step, g) < 0.0) {
      d.assign(w.cauchy_step.begin(), w.cauchy_step.end());
    } else {
      w.memory.two_loop_direction(g, d);
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

  Workspace work(settings.memory);
  lbfgsb::LimitedMemory& memory = work.memory;
  lbfgsb::LineSearchResult& step = work.step;
  std::vector<double>& s = work.s;
  std::vector<double>& y = work.y;
  s.resize(n);
  y.resize(n);
  for (std::uint64_t iteration = 1; iteration <= settings.max_iterations; ++iteration) {
    search_direction(box, result.x, g, work);
    const std::vector<double>& d = work.direction;
    if (n == 0 || !(dot(d, g) < 0.0)) {
      result.reason = StopReason::NoDescentDirection;
      return result;
    }
    lbfgsb::more_thuente_search(objective, box, result.x, result.value, g, d, step, work.search);
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
        memory.clear();
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
    result.x.swap(step.x);
    result.value = step.value;
    g.swap(step.gradient);
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
