#include "model/solver.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "model/active_set.hpp"
#include "model/bounded_step.hpp"
#include "model/cholesky.hpp"
#include "model/covariance.hpp"
#include "model/fisher_information.hpp"
#include "model/geodesic_acceleration.hpp"
#include "model/likelihood.hpp"
#include "model/model_error.hpp"
#include "model/ties.hpp"
#include "interrupt.hpp"

namespace brivane::model {

const char* fit_status_message(FitStatus status) {
  switch (status) {
    case FitStatus::kConverged: return "converged";
    case FitStatus::kIterationLimit: return "iteration limit reached before convergence";
    case FitStatus::kStalled: return "stalled: no step lowers the deviance, but the gradient test is not met";
    case FitStatus::kNonFiniteStart: return "the model at the start is not finite or not positive where counts are";
    case FitStatus::kSingularInformation: return "singular information: some parameters are not determined by the data";
    case FitStatus::kInterrupted: return "interrupted";
  }
  return "unknown status";
}

Workspace::Workspace(const Problem& problem) : scratch_(problem) {
  const std::size_t n = problem.channel_count(), p = problem.parameter_count(), f = problem.free_count();
  for (auto* v : {&phi_, &phi_trial_, &phi_probe_, &lower_, &upper_, &score_, &step_, &scale_, &column_}) v->resize(f);
  for (auto* v : {&theta_, &theta_trial_, &slope_, &slope_trial_}) v->resize(p);
  for (auto* v : {&mu_, &mu_trial_, &weighted_, &residual_}) v->resize(n);
  jacobian_.resize(n * p);
  jacobian_trial_.resize(n * p);
  if (!problem.all_free()) free_jacobian_.resize(n * f);
  information_.resize(f * f);
  system_.resize(f * f);
  held_.resize(f);
  active_.resize(f);
  support_.resize(2 * f);
  scaled_step_.resize(f);
  pinned_.resize(f);
  reduced_.resize(f);
}

namespace {

constexpr double kInitialDamping = 1e-3;
constexpr double kMaximumDamping = 1e16;
constexpr double kPivotFloor = 1e-13;
// The linear warm-up ends when a full step over the linear parameters would gain less than this
// much deviance (per unit of the deviance per degree of freedom), or after this many steps.
constexpr double kWarmUpDecrement = 1.0;
constexpr std::size_t kWarmUpSteps = 5;
// The floor of the convergence test's scale, as a fraction of the counts per degree of freedom.
// Poisson counts have a deviance per degree of freedom near 1, so it takes a billion counts per
// channel before this binds there; it binds for data with (almost) no noise, whose deviance at
// the optimum is rounding: the fit then stops once the remaining step's deviance is below
// 1e-17 of the counts per degree of freedom (at tolerance 1e-8), far above that rounding.
constexpr double kNoiseFloor = 1e-9;
// Steps may carry the geodesic acceleration from this many evaluations on, when the last step's
// gain ratio was below kLinearRatio or it needed more than one try: near-linear steps gain
// nothing from it but would pay its probe of the model.
constexpr std::size_t kGeodesicAfter = 4;
constexpr double kLinearRatio = 0.9;

void check_inputs(const Problem& problem, std::span<const double> counts, std::span<const double> start) {
  const std::size_t n = problem.channel_count();
  if (counts.size() != n) {
    throw ModelError("counts has " + std::to_string(counts.size()) + " values for " + std::to_string(n) + " channels");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(counts[i]) || counts[i] < 0.0) {
      throw ModelError("counts[" + std::to_string(i) + "] must be finite and >= 0");
    }
  }
  if (start.size() != problem.parameter_count()) {
    throw ModelError("value has " + std::to_string(start.size()) + " entries for " +
                     std::to_string(problem.parameter_count()) + " parameters");
  }
  for (std::size_t j : problem.free_index()) {
    const ParameterSpec& p = problem.parameters()[j];
    if (!std::isfinite(start[j]) || start[j] < p.lower || start[j] > p.upper) {
      throw ModelError("value[" + std::to_string(j) + "] is not finite or lies outside its bounds");
    }
  }
}

}  // namespace

// One fit's iteration over a workspace, in the phases fit() below runs in order: the start, the
// iterations (each a Newton decrement over the active parameters, then damped steps until one is
// accepted) and the read-back of the result.
class FitRun {
 public:
  FitRun(const Problem& problem, std::span<const double> counts, Workspace& w, const FitOptions& options)
      : problem_(problem), counts_(counts), w_(w), options_(options), n_(problem.channel_count()),
        f_(problem.free_count()) {}

  // Loads the free parameters' starts and bounds and evaluates the model there; false when the
  // start is not admissible (theta is then set, nothing else).
  bool start(std::span<const double> start);
  // Iterates until a stop; result.decrement follows the last Newton decrement.
  FitStatus iterate(FitResult& result);
  void finish(FitStatus status, FitResult& result);

 private:
  enum class Steps { kAccepted, kStalled, kIterationLimit };

  void linearise();
  double newton_decrement(std::size_t m);
  Steps damped_steps(std::size_t m);
  void geodesic_correction(std::size_t m);
  double predicted_gain(std::size_t m) const;
  void accept(double change, double predicted);
  // After a failed try: false once the damping has grown past any use.
  bool grow_damping() {
    damping_ *= growth_;
    growth_ *= 2.0;
    return !(damping_ > kMaximumDamping);
  }
  // From the linear parameters alone to everything, from the initial damping.
  void end_warm_up() {
    warming_ = false;
    damping_ = kInitialDamping;
    growth_ = 2.0;
  }
  // The Jacobian over phi: with every parameter free it is the full one, columns in the same order.
  std::span<const double> jacobian() const { return problem_.all_free() ? w_.jacobian_ : w_.free_jacobian_; }

  const Problem& problem_;
  std::span<const double> counts_;
  Workspace& w_;
  const FitOptions& options_;
  const std::size_t n_, f_;
  double deviance_ = 0.0, degrees_ = 1.0, floor_ = 1.0;
  double damping_ = kInitialDamping, growth_ = 2.0;
  std::size_t iterations_ = 0;
  // First the parameters the model is linear in, alone: from shapes read off a plot but areas a
  // factor off, the likelihood is concave in them and a few steps put them right, where the full
  // step would be damped hard for the shapes' sake and creep.
  bool warming_ = true;
  std::size_t warm_steps_ = 0;
  // Whether the last step went as the linear model predicted, at the first try: then the next
  // needs no geodesic correction.
  bool linear_last_ = false;
  std::size_t rejected_ = 0;
};

void FitRun::linearise() {
  if (!problem_.all_free()) free_jacobian(problem_, w_.jacobian_, w_.slope_, w_.free_jacobian_);
  score_and_information(jacobian(), f_, counts_, w_.mu_, w_.score_, w_.information_, w_.weighted_, w_.residual_,
                        w_.support_);
}

bool FitRun::start(std::span<const double> start) {
  Workspace& w = w_;
  const auto free_index = problem_.free_index();
  for (std::size_t k = 0; k < f_; ++k) {
    const ParameterSpec& p = problem_.parameters()[free_index[k]];
    w.phi_[k] = start[free_index[k]];
    w.lower_[k] = p.lower;
    w.upper_[k] = p.upper;
  }
  expand_free_vector(problem_, w.phi_, w.theta_, w.slope_);
  evaluate_model(problem_, w.theta_, w.mu_, w.jacobian_, w.scratch_);
  if (!admissible(counts_, w.mu_)) return false;
  linearise();
  deviance_ = poisson_deviance(counts_, w.mu_);
  degrees_ = std::max(1.0, static_cast<double>(n_) - static_cast<double>(f_));
  // The decrement is in units of deviance, as is the deviance per degree of freedom that the
  // test measures it against (the standard errors the fit reports are the information's scaled
  // by that scatter): both scale with the counts' unit, so counts times 1e-3 or 1e12 stop where
  // the counts themselves do. The floor is in that unit too, a share of the counts; without
  // counts (all zero) there is no unit to take, and the floor is 1.
  double total = 0.0;
  for (std::size_t i = 0; i < n_; ++i) total += counts_[i];
  floor_ = total > 0.0 ? kNoiseFloor * total / degrees_ : 1.0;
  return true;
}

FitStatus FitRun::iterate(FitResult& result) {
  for (;;) {
    // Ctrl-C: the process-wide request unwinds the whole call (nothing is written back, a batch's
    // other tasks stop at their next iteration); the caller's own flag ends just this fit, with
    // its status.
    check_interrupt();
    if (options_.stop && options_.stop->load(std::memory_order_relaxed)) return FitStatus::kInterrupted;
    const std::size_t m = choose_active(w_.phi_, w_.lower_, w_.upper_, w_.score_, w_.held_, w_.active_,
                                        warming_ ? problem_.linear_free() : std::span<const unsigned char>{});
    if (m == 0) {
      if (warming_) {
        warming_ = false;
        continue;
      }
      return FitStatus::kConverged;  // every parameter is held on a bound
    }
    const double decrement = newton_decrement(m);
    result.decrement = decrement;
    const double scale = std::max(floor_, deviance_ / degrees_);
    if (warming_ && (decrement <= kWarmUpDecrement * scale || warm_steps_ >= kWarmUpSteps)) {
      // The areas and amplitudes fit the shapes as they stand: now everything moves.
      end_warm_up();
      continue;
    }
    if (!warming_ && decrement <= options_.tolerance * scale) return FitStatus::kConverged;
    if (iterations_ >= options_.max_iterations) return FitStatus::kIterationLimit;

    const Steps steps = damped_steps(m);
    if (steps == Steps::kStalled && warming_) {
      // The linear parameters cannot improve alone: go on with everything.
      end_warm_up();
      continue;
    }
    if (steps == Steps::kStalled) return FitStatus::kStalled;
    if (steps == Steps::kIterationLimit) return FitStatus::kIterationLimit;
  }
}

// The Newton decrement g~^T F~^-1 g~ over the m active parameters (the scaling cancels); a
// singular information borrows a trace of damping so that the test still has a value. Sets the
// scales of the active parameters for the steps that follow.
double FitRun::newton_decrement(std::size_t m) {
  Workspace& w = w_;
  const std::size_t f = f_;
  // Scaled system over the active parameters. A parameter without any influence (zero diagonal)
  // keeps scale 1: its row is then lambda d = 0.
  for (std::size_t a = 0; a < m; ++a) {
    const double d = w.information_[w.active_[a] * f + w.active_[a]];
    w.scale_[a] = d > 0.0 && std::isfinite(d) ? 1.0 / std::sqrt(d) : 1.0;
  }
  auto fill_system = [&](double lambda) {
    for (std::size_t a = 0; a < m; ++a) {
      for (std::size_t b = 0; b < m; ++b) {
        w.system_[a * m + b] = w.information_[w.active_[a] * f + w.active_[b]] * w.scale_[a] * w.scale_[b];
      }
      w.system_[a * m + a] += lambda;
    }
  };
  fill_system(0.0);
  bool factored = cholesky_factor(w.system_.data(), m, kPivotFloor);
  if (!factored) {
    fill_system(1e-10);
    factored = cholesky_factor(w.system_.data(), m, 0.0);
  }
  if (!factored) return HUGE_VAL;
  for (std::size_t a = 0; a < m; ++a) w.step_[a] = w.score_[w.active_[a]] * w.scale_[a];
  cholesky_solve(w.system_.data(), m, w.step_.data());
  double decrement = 0.0;
  for (std::size_t a = 0; a < m; ++a) decrement += w.score_[w.active_[a]] * w.scale_[a] * w.step_[a];
  return decrement;
}

// Damped steps until one is accepted, the damping grows past any use, a step no longer moves the
// parameters, or the evaluations run out.
FitRun::Steps FitRun::damped_steps(std::size_t m) {
  Workspace& w = w_;
  while (iterations_ < options_.max_iterations) {
    std::copy(w.phi_.begin(), w.phi_.end(), w.phi_trial_.begin());
    const BoundedStepScratch step_scratch{w.system_, w.step_, w.scaled_step_, w.pinned_, w.reduced_};
    if (!bounded_damped_step(w.information_, f_, w.score_, std::span<const std::size_t>(w.active_.data(), m),
                             std::span<const double>(w.scale_.data(), m), w.phi_, w.lower_, w.upper_, damping_,
                             step_scratch, w.phi_trial_)) {
      if (!grow_damping()) return Steps::kStalled;
      continue;
    }
    bool pinned = false;
    for (std::size_t a = 0; a < m; ++a) pinned = pinned || w.pinned_[a];
    if (!pinned && !warming_ && iterations_ >= kGeodesicAfter && !linear_last_) geodesic_correction(m);
    bool moved = false;
    for (std::size_t a = 0; a < m; ++a) moved = moved || w.phi_trial_[w.active_[a]] != w.phi_[w.active_[a]];
    if (!moved) return Steps::kStalled;  // the step is below the parameters' resolution
    const double predicted = predicted_gain(m);
    expand_free_vector(problem_, w.phi_trial_, w.theta_trial_, w.slope_trial_);
    evaluate_model(problem_, w.theta_trial_, w.mu_trial_, w.jacobian_trial_, w.scratch_);
    ++iterations_;
    const double change = deviance_change(counts_, w.mu_, w.mu_trial_);
    if (change < 0.0) {
      accept(change, predicted);
      return Steps::kAccepted;
    }
    ++rejected_;
    if (!grow_damping()) return Steps::kStalled;
  }
  return Steps::kIterationLimit;
}

// A slow fit, likely along a curved valley: the step in phi_trial_ follows its curve (geodesic
// acceleration), when the correction is small beside the step and keeps it inside the bounds.
void FitRun::geodesic_correction(std::size_t m) {
  Workspace& w = w_;
  for (std::size_t a = 0; a < m; ++a) {
    const std::size_t k = w.active_[a];
    w.scaled_step_[a] = w.phi_trial_[k] - w.phi_[k];  // the velocity, parameter units
    w.phi_probe_[k] = w.phi_[k] + kGeodesicProbe * w.scaled_step_[a];
  }
  for (std::size_t k = 0; k < f_; ++k) {
    if (w.held_[k]) w.phi_probe_[k] = w.phi_[k];
  }
  expand_free_vector(problem_, w.phi_probe_, w.theta_trial_, w.slope_trial_);
  evaluate_model(problem_, w.theta_trial_, w.mu_trial_, {}, w.scratch_);
  if (!admissible(counts_, w.mu_trial_)) return;
  geodesic_right_side(jacobian(), n_, std::span<const std::size_t>(w.active_.data(), m),
                      std::span<const double>(w.scale_.data(), m), w.scaled_step_, w.mu_, w.mu_trial_, w.residual_,
                      w.step_);
  // The damped system's factor over the active parameters is still in system_ (no pins).
  cholesky_solve(w.system_.data(), m, w.step_.data());
  double velocity_norm = 0.0, acceleration_norm = 0.0;
  for (std::size_t a = 0; a < m; ++a) {
    const double v = w.scaled_step_[a] / w.scale_[a];
    velocity_norm += v * v;
    acceleration_norm += w.step_[a] * w.step_[a];
  }
  if (!(4.0 * acceleration_norm <= kGeodesicTrustRatio * kGeodesicTrustRatio * velocity_norm)) return;
  bool inside = true;
  for (std::size_t a = 0; a < m && inside; ++a) {
    const std::size_t k = w.active_[a];
    const double target = w.phi_trial_[k] + 0.5 * w.step_[a] * w.scale_[a];
    inside = target >= w.lower_[k] && target <= w.upper_[k];
  }
  for (std::size_t a = 0; a < m && inside; ++a) {
    const std::size_t k = w.active_[a];
    w.phi_trial_[k] += 0.5 * w.step_[a] * w.scale_[a];
  }
}

// Predicted gain of the log-likelihood along the projected step: g^T d - d^T F d / 2.
double FitRun::predicted_gain(std::size_t m) const {
  const Workspace& w = w_;
  double predicted = 0.0;
  for (std::size_t a = 0; a < m; ++a) {
    const std::size_t k = w.active_[a];
    const double dk = w.phi_trial_[k] - w.phi_[k];
    double fd = 0.0;
    for (std::size_t b = 0; b < m; ++b) {
      const std::size_t l = w.active_[b];
      fd += w.information_[k * f_ + l] * (w.phi_trial_[l] - w.phi_[l]);
    }
    predicted += dk * (w.score_[k] - 0.5 * fd);
  }
  return predicted;
}

// The trial becomes the current point; the damping shrinks by the gain ratio (Nielsen's rule).
void FitRun::accept(double change, double predicted) {
  Workspace& w = w_;
  const double ratio = predicted > 0.0 ? (-0.5 * change) / predicted : 0.0;
  linear_last_ = ratio > kLinearRatio && rejected_ == 0;
  rejected_ = 0;
  const double cube = 2.0 * ratio - 1.0;
  damping_ *= std::max(0.1, 1.0 - cube * cube * cube);
  damping_ = std::max(damping_, 1e-15);
  growth_ = 2.0;
  w.phi_.swap(w.phi_trial_);
  w.theta_.swap(w.theta_trial_);
  w.slope_.swap(w.slope_trial_);
  w.mu_.swap(w.mu_trial_);
  w.jacobian_.swap(w.jacobian_trial_);
  deviance_ += change;
  if (warming_) ++warm_steps_;
  linearise();
}

void FitRun::finish(FitStatus status, FitResult& result) {
  Workspace& w = w_;
  std::copy(w.theta_.begin(), w.theta_.end(), result.theta.begin());
  result.iterations = iterations_;
  // The start's deviance plus the accepted changes, each summed channel by channel to its own
  // relative precision: as exact as a fresh pass over the channels, without its logarithms.
  result.deviance = deviance_;
  result.log_likelihood = saturated_log_likelihood(counts_) - 0.5 * result.deviance;
  // The model's counts at theta are at hand: the fit's goodness and its errors' scale need no
  // second evaluation of the model by the caller.
  result.chi_square = pearson_chi_square(counts_, w.mu_);
  // Free parameters on a bound leave the covariance; the others' come from them alone.
  const auto free_index = problem_.free_index();
  for (std::size_t k = 0; k < f_; ++k) {
    const bool bound = on_bound(w.phi_[k], w.lower_[k], w.upper_[k]);
    w.held_[k] = bound ? 0 : 1;  // reused: 1 = included in the covariance
    result.at_bound[free_index[k]] = bound ? 1 : 0;
  }
  const bool regular = full_covariance(problem_, w.information_, w.held_, w.slope_, result.covariance,
                                       w.system_, w.column_);
  if (!regular && status == FitStatus::kConverged) status = FitStatus::kSingularInformation;
  result.status = status;
}

FitResult fit(const Problem& problem, std::span<const double> counts, std::span<const double> start,
              Workspace& w, const FitOptions& options) {
  check_inputs(problem, counts, start);
  const std::size_t p_count = problem.parameter_count();
  FitResult result;
  result.theta.resize(p_count);
  result.covariance.assign(p_count * p_count, std::numeric_limits<double>::quiet_NaN());
  result.at_bound.assign(p_count, 0);
  FitRun run(problem, counts, w, options);
  if (!run.start(start)) {
    std::copy(w.theta_.begin(), w.theta_.end(), result.theta.begin());
    result.log_likelihood = result.deviance = result.chi_square = std::numeric_limits<double>::quiet_NaN();
    result.status = FitStatus::kNonFiniteStart;
    return result;
  }
  const FitStatus status = run.iterate(result);
  run.finish(status, result);
  return result;
}

}  // namespace brivane::model
