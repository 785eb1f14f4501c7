#include "numerics/line_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace brivane::lbfgsb {

namespace {

// The minimiser of the cubic interpolating (a, fa, da) and (b, fb, db), as the offset ratio used
// by dcstep; `gamma_sign_ahead` flips gamma when b lies beyond a.
struct Cubic {
  double theta, gamma;
};
Cubic cubic(double a, double fa, double da, double b, double fb, double db, bool clip_root) {
  const double theta = 3.0 * (fa - fb) / (b - a) + da + db;
  const double s = std::max({std::fabs(theta), std::fabs(da), std::fabs(db)});
  double radicand = (theta / s) * (theta / s) - (da / s) * (db / s);
  if (clip_root) radicand = std::max(0.0, radicand);
  return {theta, s * std::sqrt(radicand)};
}

// Whether the box cut the step: some variable of x + t d lies outside the box and was clamped.
bool step_was_clamped(const Box& box, std::span<const double> x, double stp, std::span<const double> d) {
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double unclamped = x[i] + stp * d[i];
    if (box.clamp(i, unclamped) != unclamped) return true;
  }
  return false;
}

}  // namespace

double safeguarded_step(StepInterval& in, double stp, double fp, double dp, double step_min,
                        double step_max) {
  const double sgnd = dp * (in.dx / std::fabs(in.dx));
  double stpf;
  if (fp > in.fx) {
    // Case 1: a higher value. The minimum is bracketed; take the cubic step if it is closer to
    // stx than the quadratic one, else their average.
    Cubic c = cubic(in.stx, in.fx, in.dx, stp, fp, dp, false);
    if (stp < in.stx) c.gamma = -c.gamma;
    const double p = (c.gamma - in.dx) + c.theta;
    const double q = ((c.gamma - in.dx) + c.gamma) + dp;
    const double stpc = in.stx + (p / q) * (stp - in.stx);
    const double stpq =
        in.stx + ((in.dx / ((in.fx - fp) / (stp - in.stx) + in.dx)) / 2.0) * (stp - in.stx);
    stpf = std::fabs(stpc - in.stx) < std::fabs(stpq - in.stx) ? stpc : stpc + (stpq - stpc) / 2.0;
    in.bracketed = true;
  } else if (sgnd < 0.0) {
    // Case 2: lower value, slopes of opposite sign. Bracketed; the step farther from stp wins.
    Cubic c = cubic(in.stx, in.fx, in.dx, stp, fp, dp, false);
    if (stp > in.stx) c.gamma = -c.gamma;
    const double p = (c.gamma - dp) + c.theta;
    const double q = ((c.gamma - dp) + c.gamma) + in.dx;
    const double stpc = stp + (p / q) * (in.stx - stp);
    const double stpq = stp + (dp / (dp - in.dx)) * (in.stx - stp);
    stpf = std::fabs(stpc - stp) > std::fabs(stpq - stp) ? stpc : stpq;
    in.bracketed = true;
  } else if (std::fabs(dp) < std::fabs(in.dx)) {
    // Case 3: lower value, same-sign slope of smaller magnitude. The cubic is used only when it
    // tends to infinity in the step's direction or its minimum lies beyond stp.
    Cubic c = cubic(in.stx, in.fx, in.dx, stp, fp, dp, true);
    if (stp > in.stx) c.gamma = -c.gamma;
    const double p = (c.gamma - dp) + c.theta;
    const double q = (c.gamma + (in.dx - dp)) + c.gamma;
    const double r = p / q;
    double stpc;
    if (r < 0.0 && c.gamma != 0.0) {
      stpc = stp + r * (in.stx - stp);
    } else {
      stpc = stp > in.stx ? step_max : step_min;
    }
    const double stpq = stp + (dp / (dp - in.dx)) * (in.stx - stp);
    if (in.bracketed) {
      stpf = std::fabs(stpc - stp) < std::fabs(stpq - stp) ? stpc : stpq;
      stpf = stp > in.stx ? std::min(stp + 0.66 * (in.sty - stp), stpf)
                          : std::max(stp + 0.66 * (in.sty - stp), stpf);
    } else {
      stpf = std::fabs(stpc - stp) > std::fabs(stpq - stp) ? stpc : stpq;
      stpf = std::max(step_min, std::min(step_max, stpf));
    }
  } else {
    // Case 4: lower value, same-sign slope that does not decrease in magnitude.
    if (in.bracketed) {
      Cubic c = cubic(stp, fp, dp, in.sty, in.fy, in.dy, false);
      if (stp > in.sty) c.gamma = -c.gamma;
      const double p = (c.gamma - dp) + c.theta;
      const double q = ((c.gamma - dp) + c.gamma) + in.dy;
      stpf = stp + (p / q) * (in.sty - stp);
    } else {
      stpf = stp > in.stx ? step_max : step_min;
    }
  }

  if (fp > in.fx) {
    in.sty = stp, in.fy = fp, in.dy = dp;
  } else {
    if (sgnd < 0.0) in.sty = in.stx, in.fy = in.fx, in.dy = in.dx;
    in.stx = stp, in.fx = fp, in.dx = dp;
  }
  return stpf;
}

namespace {

// How far beyond the last step an unbracketed search may extrapolate: between 1.1 and 4 times
// the distance from the best step (dcsrch's xtrapl and xtrapu).
constexpr double kExtrapolateLower = 1.1;
constexpr double kExtrapolateUpper = 4.0;

// What dcsrch carries from one trial step to the next: the interval of uncertainty, the stage
// (1 while no step has both lowered the value enough and turned the slope non-negative), the
// interval's last two widths and the bounds of the next step.
struct SearchState {
  StepInterval interval;
  int stage = 1;
  double width, previous_width;
  double step_low, step_high;
};

// The step after `stp`, which gave `value` and `slope`: the safeguarded step of the interval (of
// the modified function in stage 1), bisection where the interval shrinks too slowly, and the
// bounds of the step after it. The interval's best end changes here and nowhere else.
double next_trial_step(SearchState& s, double stp, double value, double slope, double f, double decrease_test,
                       const LineSearchSettings& settings) {
  StepInterval& interval = s.interval;
  const double test_value = f + stp * decrease_test;
  if (s.stage == 1 && value <= test_value && slope >= 0.0) s.stage = 2;
  if (s.stage == 1 && value <= interval.fx && value > test_value) {
    StepInterval modified{interval.stx, interval.fx - interval.stx * decrease_test,
                          interval.dx - decrease_test, interval.sty,
                          interval.fy - interval.sty * decrease_test, interval.dy - decrease_test,
                          interval.bracketed};
    stp = safeguarded_step(modified, stp, value - stp * decrease_test, slope - decrease_test,
                           s.step_low, s.step_high);
    interval = {modified.stx, modified.fx + modified.stx * decrease_test,
                modified.dx + decrease_test, modified.sty,
                modified.fy + modified.sty * decrease_test, modified.dy + decrease_test,
                modified.bracketed};
  } else {
    stp = safeguarded_step(interval, stp, value, slope, s.step_low, s.step_high);
  }
  if (interval.bracketed) {
    if (std::fabs(interval.sty - interval.stx) >= 0.66 * s.previous_width) {
      stp = interval.stx + 0.5 * (interval.sty - interval.stx);
    }
    s.previous_width = s.width;
    s.width = std::fabs(interval.sty - interval.stx);
    s.step_low = std::min(interval.stx, interval.sty);
    s.step_high = std::max(interval.stx, interval.sty);
  } else {
    s.step_low = stp + kExtrapolateLower * (stp - interval.stx);
    s.step_high = stp + kExtrapolateUpper * (stp - interval.stx);
  }
  return std::clamp(stp, settings.min_step, settings.max_step);
}

// The best step is accepted if it lowered the value enough. If it is still the start, or its
// value only equals f (the sufficient decrease was below the rounding of f), the direction
// offers no decrease that doubles can resolve: accepting such a step would let the next
// iteration step back, and a minimum between two adjacent doubles would be swung across until
// the iteration limit.
void settle_on_best(double best_step, double best_value, LineSearchStorage& storage, double f,
                    double decrease_test, int evaluations, LineSearchResult& result) {
  result.evaluations = evaluations;
  if (best_step > 0.0 && best_value < f && best_value <= f + best_step * decrease_test) {
    result.status = LineSearchStatus::Accepted;
    result.x.swap(storage.best_x);
    result.value = best_value;
    result.gradient.swap(storage.best_gradient);
  } else {
    result.status = LineSearchStatus::Exhausted;
  }
}

}  // namespace

void more_thuente_search(ObjectiveRef objective, const Box& box, std::span<const double> x, double f,
                         std::span<const double> g, std::span<const double> d, LineSearchResult& result,
                         LineSearchStorage& storage, const LineSearchSettings& settings) {
  const std::size_t n = x.size();
  const double initial_slope = dot(g, d);
  const double decrease_test = settings.sufficient_decrease * initial_slope;

  result.status = LineSearchStatus::Exhausted;
  result.value = 0.0;
  result.evaluations = 0;
  std::vector<double>& trial = storage.trial;
  std::vector<double>& trial_gradient = storage.trial_gradient;
  trial.resize(n);
  trial_gradient.clear();
  double stp = 1.0;
  const double width = settings.max_step - settings.min_step;
  SearchState state{{0.0, f, initial_slope, 0.0, f, initial_slope, false}, 1, width, 2.0 * width, 0.0,
                    stp + kExtrapolateUpper * stp};
  // The best step so far (stx of the interval): the search falls back on it when the interval
  // has shrunk below the resolution of doubles.
  double best_step = 0.0;
  double best_value = f;
  storage.best_x.assign(x.begin(), x.end());
  storage.best_gradient.clear();
  storage.previous_trial.clear();

  for (int evaluation = 1; evaluation <= settings.max_evaluations; ++evaluation) {
    for (std::size_t i = 0; i < n; ++i) trial[i] = box.clamp(i, x[i] + stp * d[i]);
    // A point already evaluated would be evaluated again to the same value: the interpolation
    // can go no further.
    if (evaluation > 1 && (trial == storage.previous_trial || trial == storage.best_x)) {
      settle_on_best(best_step, best_value, storage, f, decrease_test, evaluation - 1, result);
      return;
    }
    const double value = objective(trial, trial_gradient);
    result.evaluations = evaluation;
    if (trial_gradient.size() != n) {
      result.status = LineSearchStatus::GradientLengthMismatch;
      return;
    }
    storage.previous_trial.assign(trial.begin(), trial.end());
    if (evaluation == settings.max_evaluations) break;  // evaluated, not tested
    const double slope = dot(trial_gradient, d);
    const bool decreased = value <= f + stp * decrease_test;
    // A clamped trial at which the objective still falls along d is where the box stops the
    // step (the published driver's "step = largest feasible step" ending).
    const bool stopped_by_box = slope <= decrease_test && step_was_clamped(box, x, stp, d);
    if (decreased && (std::fabs(slope) <= settings.curvature * std::fabs(initial_slope) || stopped_by_box)) {
      result.status = LineSearchStatus::Accepted;
      result.x.swap(trial);
      result.value = value;
      result.gradient.swap(trial_gradient);
      return;
    }
    if (!std::isfinite(value) || !std::isfinite(slope)) {
      // Outside the objective's domain: come back halfway towards the best step.
      stp = std::clamp(state.interval.stx + 0.5 * (stp - state.interval.stx), settings.min_step, settings.max_step);
      continue;
    }

    const double evaluated_step = stp;
    stp = next_trial_step(state, stp, value, slope, f, decrease_test, settings);
    if (state.interval.stx == evaluated_step) {
      best_step = evaluated_step;
      best_value = value;
      storage.best_x.assign(trial.begin(), trial.end());
      storage.best_gradient.assign(trial_gradient.begin(), trial_gradient.end());
    }
    // The interval keeps shrinking for as long as doubles can split it. A step that rounding has
    // pushed onto or outside its ends means it cannot be split any further.
    if (state.interval.bracketed && (stp <= state.step_low || stp >= state.step_high)) {
      settle_on_best(best_step, best_value, storage, f, decrease_test, evaluation, result);
      return;
    }
    if (std::isnan(stp)) stp = std::clamp(state.interval.stx, settings.min_step, settings.max_step);
  }
  result.status = LineSearchStatus::Exhausted;
}

}  // namespace brivane::lbfgsb
