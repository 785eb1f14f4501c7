#pragma once
// Line search under the strong Wolfe conditions with the safeguarded step of More and Thuente
// (1994), the MINPACK-2 routines dcsrch and dcstep, driven as the bounded minimiser needs:
// every search starts from step 1, trial points are clamped into the box, and the acceptance test
// is the strong Wolfe test itself.

#include <cstdint>
#include <span>
#include <vector>

#include "numerics/bounds.hpp"
#include "numerics/lbfgsb.hpp"

namespace brivane::lbfgsb {

struct LineSearchSettings {
  double sufficient_decrease = 1e-4;  // f(x + t d) <= f + c1 t g.d
  double curvature = 0.9;             // |g(x + t d).d| <= c2 |g.d|
  double min_step = 1e-20;
  double max_step = 1e20;
  int max_evaluations = 50;
};

enum class LineSearchStatus { Accepted, Exhausted, GradientLengthMismatch };

struct LineSearchResult {
  LineSearchStatus status = LineSearchStatus::Exhausted;
  std::vector<double> x;  // the accepted point and its value and gradient
  double value = 0.0;
  std::vector<double> gradient;
  int evaluations = 0;  // objective calls, at most max_evaluations
};

// Working storage of the line search, kept from one search to the next: the trial point and its
// gradient, the trial before it, and the best step's point and gradient. The accepted point
// leaves by exchanging vectors with the result, so a run allocates nothing once every vector
// has held a point.
struct LineSearchStorage {
  std::vector<double> trial, trial_gradient, previous_trial, best_x, best_gradient;
};

// Searches along d from x (value f, gradient g, g.d < 0). A point is accepted when its value is at
// most f + c1 t (g.d) and |g(trial).d| is at most c2 |g.d|; both tests use d, not the clamped step.
// A trial that the box clamped, and at which the objective still falls along d by at least
// c1 |g.d|, needs only the first test: the box, not the curvature, ends the step there, as the
// published method's largest feasible step does.
// A bracketed interval is shrunk by the safeguarded interpolation until doubles can no longer
// split it (the next step would fall on or outside its ends, or on a point already evaluated);
// the best step is then accepted if it meets the first test with a value below f, and the search
// is Exhausted if not.
// When max_evaluations - 1 trial points have failed, one more is evaluated but not tested and the
// search reports Exhausted. A trial whose value or slope is not a number halves the step.
// Every field of `result` is written; its vectors and `storage`'s are reused. The objective's
// first call of every search receives an empty gradient vector.
void more_thuente_search(ObjectiveRef objective, const Box& box, std::span<const double> x, double f,
                         std::span<const double> g, std::span<const double> d, LineSearchResult& result,
                         LineSearchStorage& storage, const LineSearchSettings& settings = {});

// One safeguarded step of More and Thuente (dcstep): updates the interval of uncertainty
// [stx, sty] and returns the next trial step within [step_min, step_max].
struct StepInterval {
  double stx, fx, dx;  // the best step so far, its value and slope
  double sty, fy, dy;  // the other end of the interval
  bool bracketed;
};
double safeguarded_step(StepInterval& interval, double stp, double fp, double dp, double step_min,
                        double step_max);

}  // namespace brivane::lbfgsb
