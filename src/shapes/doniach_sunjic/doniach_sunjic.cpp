#include "shapes/doniach_sunjic/doniach_sunjic.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

#include "em_engine.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "numerics/free_parameters.hpp"
#include "parallel.hpp"
#include "peak_fit.hpp"
#include "shapes/doniach_sunjic/vector_pass.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

using Name = DoniachSunjicParameter;

constexpr std::size_t kMaxShifts = 3;
constexpr std::size_t kLogBlock = 256;

// The per-call constants of the shape.
struct ShapeTerms {
  double x0, gamma;
  double one_minus_alpha;  // 1 - alpha
  double phase;            // pi alpha / 2
  double half_exponent;    // (1 - alpha) / 2
};

ShapeTerms shape_terms(const DoniachSunjicParameters& p) {
  const double alpha = p[Name::alpha];
  return {p[Name::x0], p[Name::gamma], 1.0 - alpha, std::numbers::pi * alpha * 0.5, 0.5 * (1.0 - alpha)};
}

inline double shape_value(const ShapeTerms& t, double x) {
  const double d = x - t.x0;
  return std::cos(t.one_minus_alpha * std::atan(d / t.gamma) + t.phase) /
         std::pow(d * d + t.gamma * t.gamma, t.half_exponent);
}

void shape_row(std::span<const double> x, const ShapeTerms& t, std::span<double> v) {
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = shape_value(t, x[i]);
}

// sum (x_{i+1} - x_i)((v_i + v_{i+1}) / 2) in sample order, with signed spacings.
double trapezoid(std::span<const double> x, std::span<const double> v) {
  double total = -0.0;
  for (std::size_t i = 0; i + 1 < v.size(); ++i) total += (x[i + 1] - x[i]) * ((v[i] + v[i + 1]) * 0.5);
  return total;
}

inline double density_of(double v, double integral) { return std::fabs(integral) < 1e-300 ? 0.0 : v / integral; }

// Grids of two chunks or more spread the vector passes over the pool: a chunk's pass takes some
// 4 microseconds with its forward differences, well above the hand-over (single fits of 600 and
// 1,400 samples ran 1.5 times faster on two cores than on one).
constexpr std::size_t kParallelSamples = 2 * kSumChunk;

// The shape's values over the grid and one row per shift, kept for the length of a fit, and the
// chunked sums of the vector passes, made for the grid they serve.
struct Workspace {
  std::vector<double> shape;
  std::vector<double> change[kMaxShifts];
  std::vector<double> chunk_minimum;
  std::optional<ChunkedSums> pass_sums, log_sums;
  std::size_t sums_length = 0;

  void prepare(std::size_t n) {
    if (pass_sums && sums_length == n) return;
    pass_sums.emplace(n, kDoniachSunjicPassSums, 0, n >= kParallelSamples);
    log_sums.emplace(n, 1, 0, n >= kParallelSamples);
    sums_length = n;
    chunk_minimum.assign((n + kSumChunk - 1) / kSumChunk, 0.0);
  }
};

// The vector pass over the first n samples of the grid (doniach_sunjic_chunk of vector_math.hpp),
// for gamma > 0 and finite parameters: the shape values into `shape` (n entries), the ordered sums
// into `totals`, each chunk's least used value into work.chunk_minimum. False where it cannot
// form every value: then the scalar formula is used.
bool vector_pass(std::span<const double> x, std::size_t n, std::span<const double> weights,
                 const DoniachSunjicParameters& base, std::span<const Shift> shifts, double* shape,
                 Workspace& work, double* totals) {
  const double gamma = base[Name::gamma];
  if (n == 0 || !(gamma > 0.0) || !std::isfinite(gamma) || !std::isfinite(base[Name::x0]) ||
      !std::isfinite(base[Name::alpha])) {
    return false;
  }
  const ShapeTerms terms = shape_terms(base);
  DoniachSunjicPass pass;
  pass.x = x.data();
  pass.n = n;
  pass.weights = weights.data();
  pass.used = std::min(n, weights.size());
  pass.x0 = terms.x0;
  pass.gamma = gamma;
  pass.one_minus_alpha = terms.one_minus_alpha;
  pass.half_exponent = terms.half_exponent;
  pass.shifts = shifts.size();
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    pass.moved[j] = static_cast<std::uint8_t>(shifts[j].index);
    pass.step[j] = shifts[j].value - base[shifts[j].index];
    pass.shifted_gamma[j] = shifts[j].index == Name::gamma ? shifts[j].value : gamma;
  }
  pass.shape = shape;
  work.prepare(n);
  pass.chunk_minimum = work.chunk_minimum.data();
  const DoniachSunjicKernels& kernels = doniach_sunjic_kernels();
  work.pass_sums->run([&](std::size_t begin, std::size_t end, double* chunk_sums, double* /*scratch*/) {
    kernels.chunk(pass, begin, end, chunk_sums);
  }, {totals, kDoniachSunjicPassSums});
  return totals[2] == 0.0;
}

// ln v'_i - ln v_i for one sample and every shift, without evaluating v'. With psi = pi/2 - theta =
// atan2(gamma, d) (theta = atan(d / gamma)) the cosine's argument is phi = pi/2 - (1 - alpha) psi,
// so cos phi = sin((1 - alpha) psi), accurate even where phi nears pi/2 in the steep tail, and
//   cos(phi + dphi) / cos phi = 1 - 2 sin^2(dphi / 2) - tan(phi) sin(dphi).
// The changes of phi and of q = d^2 + gamma^2 are formed exactly:
//   centre moved by h:  dtheta = atan(-h gamma / (gamma^2 + d d')), q' - q = -h (2d - h);
//   gamma to gamma':    dtheta = atan(d (gamma - gamma') / (gamma gamma' + d^2)), q' - q = (gamma' - gamma)(gamma' + gamma);
//   alpha to alpha':    dphi = (alpha' - alpha) psi, and ln v gains (alpha' - alpha) ln(q) / 2.
// A NaN marks a sample where this does not hold (cos phi <= 0, or the centre moved across a
// distance comparable to gamma).
struct ShiftTerms {
  std::size_t moved;
  double step;   // x0' - x0, alpha' - alpha, or gamma' - gamma
  double shifted_gamma;
};

// The elementary functions of the changes at the small arguments a shift of 1e-7 gives them, by
// their series where the first omitted term is below 1e-17 of the result (|t| < 1e-4), by libm
// elsewhere: a sample then costs the shape's own three functions and four more, not four per shift.
inline double atan_of(double t) {
  if (std::fabs(t) >= 1e-4) return std::atan(t);
  const double t2 = t * t;
  return t - t * (t2 * (1.0 / 3.0 - t2 * 0.2));
}
inline double sin_of(double t) {
  if (std::fabs(t) >= 1e-4) return std::sin(t);
  const double t2 = t * t;
  return t - t * (t2 * (1.0 / 6.0 - t2 * (1.0 / 120.0)));
}
inline double log1p_of(double r) {
  if (std::fabs(r) >= 1e-4) return std::log1p(r);
  return r - (r * r) * (0.5 - r * (1.0 / 3.0 - r * 0.25));
}
inline double expm1_of(double r) {
  if (std::fabs(r) >= 1e-4) return std::expm1(r);
  return r + (r * r) * (0.5 + r * (1.0 / 6.0 + r * (1.0 / 24.0)));
}

void log_shape_changes(double x, const ShapeTerms& t, std::span<const ShiftTerms> shifts, double* changes) {
  const double d = x - t.x0;
  const double gamma = t.gamma;
  const double psi = std::atan2(gamma, d);
  const double angle = t.one_minus_alpha * psi;
  const double cos_phi = std::sin(angle);
  const double tan_phi = std::cos(angle) / cos_phi;
  const double q = d * d + gamma * gamma;
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    const ShiftTerms& s = shifts[j];
    double dphi, log_q_term;
    if (s.moved == Name::x0) {
      const double denominator = gamma * gamma + d * (d - s.step);
      dphi = denominator > 0.0 ? t.one_minus_alpha * atan_of(-s.step * gamma / denominator) : NAN;
      log_q_term = -t.half_exponent * log1p_of(-s.step * (2.0 * d - s.step) / q);
    } else if (s.moved == Name::gamma) {
      const double shifted = s.shifted_gamma;
      dphi = t.one_minus_alpha * atan_of(d * -s.step / (gamma * shifted + d * d));
      log_q_term = -t.half_exponent * log1p_of(s.step * (shifted + gamma) / q);
    } else {
      dphi = s.step * psi;
      log_q_term = 0.5 * s.step * std::log(q);
    }
    const double half = sin_of(0.5 * dphi);
    const double ratio = -2.0 * half * half - tan_phi * sin_of(dphi);
    changes[j] = cos_phi > 0.0 ? log1p_of(ratio) + log_q_term : NAN;
  }
}

// LL(shifted) - LL(base) for one shift whose shape row is in `shifted_shape`, by subtracting the
// two log-densities sample by sample.
double subtracted_difference(std::span<const double> weights, std::span<const double> shape, double integral,
                             std::span<const double> shifted_shape, double shifted_integral) {
  double total = -0.0;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    total += weights[i] * (std::log(density_of(shifted_shape[i], shifted_integral) + 1e-200) -
                           std::log(density_of(shape[i], integral) + 1e-200));
  }
  return total;
}

// The log-likelihood and the shifts' differences by the scalar formula, for what the vector pass
// leaves: a width not above 0, samples beyond its reach, densities near the floor 1e-200.
double scalar_log_likelihood_and_differences(std::span<const double> x, std::span<const double> weights,
                                             const DoniachSunjicParameters& base, std::span<const Shift> shifts,
                                             std::span<double> differences, Workspace& work) {
  const std::size_t n = x.size();
  const std::span<const double> w = weights.first(std::min(n, weights.size()));
  const ShapeTerms terms = shape_terms(base);
  work.shape.resize(n);
  shape_row(x, terms, work.shape);
  const std::span<const double> shape = work.shape;
  const double integral = trapezoid(x, shape);
  // The logarithms by the vectorised log of the core, a block at a time.
  double log_likelihood = -0.0;
  double logs[kLogBlock];
  for (std::size_t start = 0; start < w.size(); start += kLogBlock) {
    check_interrupt();
    const std::size_t len = std::min(kLogBlock, w.size() - start);
    for (std::size_t i = 0; i < len; ++i) logs[i] = density_of(shape[start + i], integral) + 1e-200;
    log_in_place({logs, len});
    for (std::size_t i = 0; i < len; ++i) log_likelihood += w[start + i] * logs[i];
  }
  if (shifts.empty()) return log_likelihood;

  ShiftTerms shift_terms[kMaxShifts];
  DoniachSunjicParameters shifted[kMaxShifts];
  bool formed[kMaxShifts];
  for (std::size_t j = 0; j < shifts.size(); ++j) {
    shifted[j] = base;
    shifted[j][shifts[j].index] = shifts[j].value;
    shift_terms[j] = {shifts[j].index, shifts[j].value - base[shifts[j].index], shifted[j][Name::gamma]};
    formed[j] = base[Name::gamma] > 0.0 && shifted[j][Name::gamma] > 0.0 && integral > 1e-290 &&
                std::isfinite(integral);
    work.change[j].resize(n);
  }
  double changes[kMaxShifts];
  const bool any_formed = std::any_of(formed, formed + shifts.size(), [](bool f) { return f; });
  for (std::size_t i = 0; any_formed && i < n; ++i) {
    log_shape_changes(x[i], terms, {shift_terms, shifts.size()}, changes);
    for (std::size_t j = 0; j < shifts.size(); ++j) {
      work.change[j][i] = changes[j];
      formed[j] = formed[j] && std::isfinite(changes[j]);
    }
  }

  for (std::size_t j = 0; j < shifts.size(); ++j) {
    std::vector<double>& change = work.change[j];
    if (formed[j]) {
      // D' - D as the trapezoid integral of v'_i - v_i = v_i expm1(ln v'_i - ln v_i).
      double integral_change = -0.0;
      double previous = n > 0 ? shape[0] * expm1_of(change[0]) : 0.0;
      for (std::size_t i = 0; i + 1 < n; ++i) {
        const double next = shape[i + 1] * expm1_of(change[i + 1]);
        integral_change += (x[i + 1] - x[i]) * ((previous + next) * 0.5);
        previous = next;
      }
      const double shifted_integral = integral + integral_change;
      const double log_integral_ratio = std::log1p(integral_change / integral);
      if (shifted_integral > 1e-290 && std::isfinite(log_integral_ratio)) {
        // ln p'_i - ln p_i = (ln v'_i - ln v_i) - ln(D' / D), wherever the added 1e-200 is
        // negligible for both densities; elsewhere the two logarithms are subtracted.
        const ShapeTerms moved = shape_terms(shifted[j]);
        double total = -0.0;
        for (std::size_t i = 0; i < w.size(); ++i) {
          const double density = shape[i] / integral;
          double term;
          // density e^delta >= 1e-180 without the exponential wherever delta >= -1 settles it.
          const double delta = change[i] - log_integral_ratio;
          if (shape[i] > 0.0 && density >= 1e-180 &&
              ((delta >= -1.0 && density >= 3e-180) || density * std::exp(delta) >= 1e-180)) {
            term = delta;
          } else {
            term = std::log(density_of(shape_value(moved, x[i]), shifted_integral) + 1e-200) -
                   std::log(density + 1e-200);
          }
          total += w[i] * term;
        }
        differences[j] = total;
        continue;
      }
    }
    shape_row(x, shape_terms(shifted[j]), change);
    differences[j] = subtracted_difference(w, shape, integral, change, trapezoid(x, change));
  }
  return log_likelihood;
}

// The log-likelihood and the shifts' differences. The vector pass forms the shape row, D, the
// shifts' terms and sum w_i ln v_i. Where every density is well above the floor (p_i >= 1e-170,
// every change below 1e-4, so that the added 1e-200 moves no logarithm of either point) and every
// change is formed,
//   LL = sum w_i ln v_i - S ln D,   LL(shift) - LL = sum w_i (ln v'_i - ln v_i) - S ln(D' / D),
// with S = sum w_i, all from the one pass. A plain log-likelihood whose densities come near the
// floor is sum w_i ln(v_i / D + 1e-200) as the formula has it, from a second pass; anything else
// with shifts goes to the scalar code.
double log_likelihood_and_differences(std::span<const double> x, std::span<const double> weights,
                                      const DoniachSunjicParameters& base, std::span<const Shift> shifts,
                                      std::span<double> differences, Workspace& work) {
  const std::size_t n = x.size();
  const std::size_t used = std::min(n, weights.size());
  work.shape.resize(n);
  double totals[kDoniachSunjicPassSums];
  if (used == 0 || !vector_pass(x, n, weights, base, shifts, work.shape.data(), work, totals) ||
      !(std::fabs(totals[0]) >= 1e-300)) {
    return scalar_log_likelihood_and_differences(x, weights, base, shifts, differences, work);
  }
  const double D = totals[0];
  double smallest = HUGE_VAL;
  for (double m : work.chunk_minimum) smallest = std::fmin(smallest, m);
  bool served = totals[3] == 0.0 && D > 1e-290 && std::isfinite(D) && smallest >= 1e-170 * D;
  double changes[kMaxShifts];
  for (std::size_t j = 0; served && j < shifts.size(); ++j) {
    const double integral_change = totals[4 + 2 * j];
    const double log_integral_ratio = std::log1p(integral_change / D);
    served = D + integral_change > 1e-290 && std::fabs(log_integral_ratio) < 0.5;
    changes[j] = totals[5 + 2 * j] - totals[1] * log_integral_ratio;
  }
  if (!served && !shifts.empty()) return scalar_log_likelihood_and_differences(x, weights, base, shifts, differences, work);
  for (std::size_t j = 0; j < shifts.size(); ++j) differences[j] = changes[j];
  if (served) return totals[10] - totals[1] * std::log(D);
  const double* shape = work.shape.data();
  const double* w = weights.data();
  const DoniachSunjicKernels& kernels = doniach_sunjic_kernels();
  double log_likelihood;
  work.log_sums->run([&](std::size_t begin, std::size_t end, double* chunk_sum, double* /*scratch*/) {
    kernels.weighted_log_density_chunk(shape, w, D, begin, std::min(end, used), chunk_sum);
  }, {&log_likelihood, 1});
  return log_likelihood;
}

}  // namespace

void doniach_sunjic_density(std::span<const double> x, double x0, double gamma, double alpha, std::span<double> row) {
  const std::size_t n = std::min(x.size(), row.size());
  const std::span<double> v = row.first(n);
  Workspace work;
  double totals[kDoniachSunjicPassSums];
  double integral;
  if (vector_pass(x, n, {}, {x0, gamma, alpha}, {}, v.data(), work, totals)) {
    integral = totals[0];
  } else {
    shape_row(x, shape_terms({x0, gamma, alpha}), v);
    integral = trapezoid(x, v);
  }
  for (double& value : v) value = density_of(value, integral);
}

double doniach_sunjic_log_likelihood(std::span<const double> x, std::span<const double> weights,
                                     double x0, double gamma, double alpha) {
  Workspace work;
  return log_likelihood_and_differences(x, weights, {x0, gamma, alpha}, {}, {}, work);
}

double doniach_sunjic_log_likelihood_differences(std::span<const double> x, std::span<const double> weights,
                                                 const DoniachSunjicParameters& base,
                                                 std::span<const Shift> shifts, std::span<double> differences) {
  if (shifts.size() > kMaxShifts || differences.size() < shifts.size()) fail_index(differences.size(), shifts.size());
  Workspace work;
  return log_likelihood_and_differences(x, weights, base, shifts, differences, work);
}

namespace {

// The Doniach-Sunjic single-peak fit problem: every free parameter starts from its incoming value.
class DoniachSunjicFit {
 public:
  using Values = DoniachSunjicParameters;
  static constexpr auto kNames = Name::kNames;

  DoniachSunjicFit(std::span<const double> x, std::span<const double> weights, const DoniachSunjicBounds& bounds)
      : x_(x), weights_(weights), bounds_(bounds) {}

  std::span<const double> weights() const { return weights_; }

  FreeRange free_range(std::size_t parameter, const Values& values, double /*total*/) const {
    switch (parameter) {
      case Name::x0: return {values[Name::x0], bounds_.x_min, bounds_.x_max, ReadBack::AsIs};
      case Name::gamma: return {values[Name::gamma], bounds_.gamma_min, bounds_.gamma_max, ReadBack::CheckedClamp};
      default: return {values[Name::alpha], bounds_.alpha_min, bounds_.alpha_max, ReadBack::CheckedClamp};
    }
  }

  double log_likelihood_differences(const Values& base, std::span<const Shift> shifts, std::span<double> differences) {
    return log_likelihood_and_differences(x_, weights_, base, shifts, differences, work_);
  }

 private:
  std::span<const double> x_, weights_;
  DoniachSunjicBounds bounds_;
  Workspace work_;
};

}  // namespace

bool fit_doniach_sunjic_peak(std::span<const double> x, std::span<const double> weights,
                             DoniachSunjicParameters& values, const std::array<bool, 3>& fixed,
                             const DoniachSunjicBounds& bounds, std::uint64_t* objective_calls) {
  DoniachSunjicFit fit(x, weights, bounds);
  const PeakFitOutcome outcome = fit_single_peak(fit, fixed, values);
  if (outcome.fitted() && objective_calls != nullptr) *objective_calls += outcome.evaluations;
  return outcome.fitted();
}

DoniachSunjicParameters doniach_sunjic_mle(std::span<const double> x, std::span<const double> intensity,
                                           double x0, double gamma, double alpha, double x_min, double x_max,
                                           double gamma_min, double gamma_max, double alpha_min,
                                           double alpha_max, bool fix_x0, bool fix_gamma, bool fix_alpha) {
  DoniachSunjicParameters values{x0, gamma, alpha};
  fit_doniach_sunjic_peak(x, intensity, values, {fix_x0, fix_gamma, fix_alpha},
                          {x_min, x_max, gamma_min, gamma_max, alpha_min, alpha_max});
  return values;
}

void DoniachSunjicPeaks::density(std::size_t k, std::span<const double> x, const Window& /*window*/,
                                 std::span<double> row) const {
  doniach_sunjic_density(x, values[Names::x0][k], values[Names::gamma][k], values[Names::alpha][k], row);
}

DoniachSunjicPeaks::Parameters DoniachSunjicPeaks::refit(std::size_t k, std::span<const double> x,
                                                         std::span<const double> weights, const Window& window,
                                                         std::span<double> /*scratch*/) const {
  Parameters p = current(k);
  fit_doniach_sunjic_peak(x, weights, p, {fixed[Names::x0][k], fixed[Names::gamma][k], fixed[Names::alpha][k]},
                          {window.min, window.max, gamma_min, gamma_max, alpha_min, alpha_max});
  return p;
}

template EmResult run_em(DoniachSunjicPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
