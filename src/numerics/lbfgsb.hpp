#pragma once
// Bounded limited-memory quasi-Newton minimisation (L-BFGS-B).
//
// The method of Byrd, Lu, Nocedal and Zhu (1995), version 3.0 (Morales and Nocedal 2011):
// generalised Cauchy point along the projected steepest-descent path (cauchy_point.hpp),
// minimisation over the variables it leaves free with the compact limited-memory matrix
// (subspace_min.hpp, lbfgs_memory.hpp), and a line search under the strong Wolfe conditions with
// the safeguarded step of More and Thuente (1994) (line_search.hpp). This driver departs from the
// published one where the fits rely on it:
//   - the start is moved into the box, and a start whose projected gradient already meets the
//     tolerance returns after exactly one evaluation;
//   - every line search starts from step 1, with trial points clamped into the box, and
//     evaluates at most 50 points; when none is accepted, the stored pairs are discarded and the
//     search is made again along the projected steepest descent, and only a search that fails
//     with no pairs stored ends the run, with the last accepted point; a
//     clamped trial where the objective still falls along the direction is accepted on
//     sufficient decrease alone, since the box and not the curvature ends the step there; a
//     bracketed search shrinks its interval until doubles cannot split it and then accepts its
//     best step if that one lowered the value enough, and strictly (the published driver accepts
//     it as soon as the interval is a tenth of its upper end);
//   - a correction pair is stored only when s.y > 1e-12; step lengths stay in [1e-20, 1e20];
//   - when no step is a descent direction, the two-loop direction and then the negative
//     projected gradient are tried before the run ends;
//   - there is no test on the relative reduction of the objective.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "interrupt.hpp"

namespace brivane {

struct MinimiserSettings {
  std::size_t memory = 10;              // correction pairs kept
  std::uint64_t max_iterations = 10000;
  double projected_gradient_tolerance = 1e-5;  // infinity norm
};

enum class StopReason { Converged, IterationLimit, LineSearchExhausted, NoDescentDirection };

struct MinimiserResult {
  std::vector<double> x;  // the last accepted point
  double value = 0.0;
  std::uint64_t iterations = 0;
  std::uint64_t evaluations = 0;  // objective calls
  StopReason reason = StopReason::Converged;
};

// The problem's objective: returns the value at x and writes the gradient (which must end with
// x.size() entries). It is called only with points inside the box.
class ObjectiveRef {
 public:
  // Copies of an ObjectiveRef copy the view; they never wrap it.
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, ObjectiveRef>)
  ObjectiveRef(F& objective)  // NOLINT: a non-owning view, like std::function_ref
      : object_(&objective), call_([](void* o, std::span<const double> x, std::vector<double>& g) {
          return (*static_cast<F*>(o))(x, g);
        }) {}
  // Every objective call is a pass over the data: the minimiser, its line searches and the
  // fits built on them stop here when asked to (interrupt.hpp).
  double operator()(std::span<const double> x, std::vector<double>& gradient) const {
    check_interrupt();
    return call_(object_, x, gradient);
  }

 private:
  void* object_;
  double (*call_)(void*, std::span<const double>, std::vector<double>&);
};

// Either the result or one of the error texts "length mismatch between x and bounds",
// "lower > upper for some index", "gradient length mismatch". Infinite bounds mean no bound on
// that side; a variable whose bounds coincide is held at them. Every ending other than an error
// (convergence, iteration limit, exhausted line search, no descent direction) is a result.
// A NaN start value compares false with both of its bounds, so it is not moved into the box: the
// objective is evaluated there and the run returns that NaN point, at once when the projected
// gradient has no number in it (NaN components are passed over), otherwise when the first line
// search, all of whose trial points are NaN, is exhausted.
using MinimiseOutcome = std::variant<MinimiserResult, std::string>;

MinimiseOutcome minimise_bounded(ObjectiveRef objective, std::vector<double> start,
                                 std::span<const double> lower, std::span<const double> upper,
                                 const MinimiserSettings& settings = {});

}  // namespace brivane
