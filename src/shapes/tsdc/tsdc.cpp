#include "shapes/tsdc/tsdc.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "em_engine.hpp"
#include "failure.hpp"
#include "numerics/exponential_integrals.hpp"
#include "numerics/free_parameters.hpp"
#include "parallel.hpp"
#include "peak_fit.hpp"
#include "shapes/tsdc/vector_pass.hpp"
#include "vector_math.hpp"

namespace brivane {

namespace {

constexpr double kRootTolerance = 1e-8;
constexpr double kPeakBracketLow = 1.0;
constexpr double kPeakBracketHigh = 2000.0;

// Samples per task of the density. The vectorised pass costs some 5 to 10 ns a sample, so a chunk
// is a few microseconds of work, a few times what opening a region on the pool costs. The pool
// serves grids from kParallelFrom samples on; shorter ones (a few hundred temperatures are usual)
// run on the calling thread, where a region would cost as much as it saves. Chunks here and in
// the sums (kSumChunk) start at multiples of kIntegralGroup, the groups of the vectorised
// exponential integrals, so a sample's values do not depend on the split.
constexpr std::size_t kChunk = 512;
constexpr std::size_t kParallelFrom = 2048;
static_assert(kChunk % kIntegralGroup == 0 && kSumChunk % kIntegralGroup == 0,
              "chunks must hold whole groups of the vectorised exponential integrals");

std::size_t chunk_count(std::size_t n) { return (n + kChunk - 1) / kChunk; }

bool use_pool(std::size_t n) { return n >= kParallelFrom; }

// Runs work(begin, end) over [0, n): in chunks of kChunk samples on the pool for long grids, as
// one piece on the calling thread otherwise.
template <class Work>
void for_each_chunk(std::size_t n, Work&& work) {
  if (!use_pool(n)) {
    if (n > 0) work(std::size_t{0}, n);
    return;
  }
  run_tasks(chunk_count(n), [&](std::size_t c) { work(c * kChunk, std::min(n, (c + 1) * kChunk)); });
}

// The sum of term(i) over [0, n) in the module's fixed order (parallel.hpp): chunks of kSumChunk,
// kSumLanes accumulators each added in a fixed tree, chunk totals in chunk order. For the fits'
// plain sums (N, W), on the calling thread: they cost a nanosecond a sample, less than a region on
// the pool.
template <class Term>
double fixed_order_sum(std::size_t n, Term&& term) {
  ChunkedSums sums(n, 1, 0, false);
  double total = 0.0;
  sums.run([&](std::size_t begin, std::size_t end, double* partial, double* /*scratch*/) {
    std::array<double, kSumLanes> lanes{};
    for (std::size_t i = begin; i < end; ++i) lanes[(i - begin) % kSumLanes] += term(i);
    partial[0] = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  }, std::span<double>(&total, 1));
  return total;
}

// The raw curve with h = beta tau0, -1/h and ea / -k formed once per grid, e2 = E2(ea (1/k) / T).
struct CurveTerms {
  double ea;
  double h;
  double minus_inverse_h;
  double energy;  // ea / -k
};

CurveTerms curve_terms(double ea, double tau0, double beta) {
  const double h = beta * tau0;
  return {ea, h, -1.0 / h, ea / -kBoltzmann};
}

inline double reduced_energy(double ea, double temperature) { return ea * kInverseBoltzmann / temperature; }

// The vectorised pass (vector_math.hpp) for one curve; the caller adds the row and the weights.
TsdcPass curve_pass(std::span<const double> t, double ea, double tau0, double beta) {
  const CurveTerms c = curve_terms(ea, tau0, beta);
  TsdcPass pass;
  pass.t = t.data();
  pass.ea = ea;
  pass.boltzmann = kBoltzmann;
  pass.reduced_factor = ea * kInverseBoltzmann;
  pass.minus_inverse_h = c.minus_inverse_h;
  pass.energy = c.energy;
  pass.h = c.h;
  return pass;
}

inline double raw_curve(const CurveTerms& c, double temperature, double e2) {
  return std::exp(e2 * (c.minus_inverse_h * temperature) + c.energy / temperature) / c.h;
}

// The trapezoid integral of y over the grid, in one pass from the first pair to the last, plus
// 1e-100.
double trapezoid_normaliser(std::span<const double> t, const double* y) {
  double integral = 0.0;
  for (std::size_t i = 0; i + 1 < t.size(); ++i) integral += (t[i + 1] - t[i]) * ((y[i] + y[i + 1]) * 0.5);
  return integral + 1e-100;
}

// The weighted sums of both fits. The exponential integrals take their arguments as the formulas
// write them: E2 at ea (1/k) / t (the raw curve's), E1 at ea / (k t).
struct SampleSums {
  double s1;  // sum E1(ea / (k t_i)) w_i / k
  double s2;  // sum E2(ea (1/k) / t_i) (w_i t_i)
};

// The sums S1 and S2 of the first min(len t, len w) samples, from the vectorised pass: each sample's
// E1 and E2 from one evaluation at x = ea (1/k) / t (so E2 is the raw curve's), E1 at ea / (k t)
// by a step of its derivative (vector_math.hpp). The sums are taken by `sums`, made for that many
// samples, in its fixed order, which leaves them the same on any number of threads.
SampleSums exponential_sums(ChunkedSums& sums, std::span<const double> t, std::span<const double> w, double ea) {
  TsdcPass pass = curve_pass(t, ea, 1.0, 1.0);
  pass.weights = w.data();
  pass.used = std::min(t.size(), w.size());
  const TsdcKernels& kernels = tsdc_kernels();
  std::array<double, 2> totals{};
  sums.run([&](std::size_t begin, std::size_t end, double* partial, double* scratch) {
    kernels.chunk(pass, begin, end, partial, scratch);
  }, totals);
  return {totals[0], totals[1]};
}

// The runner of exponential_sums and evaluate for a grid of n samples; the pool is used for long
// grids only (the result is the same either way).
ChunkedSums sums_runner(std::size_t n) { return ChunkedSums(n, 2, 0, use_pool(n)); }

double total_weight_of(std::span<const double> w) {
  return fixed_order_sum(w.size(), [&](std::size_t i) { return w[i]; });
}

TsdcFitError root_error(RootStatus status) {
  return status == RootStatus::NoBracketing ? TsdcFitError::RootNoBracketing : TsdcFitError::RootNoConvergency;
}

// The log-likelihood of one (ea, tau0) and, for the bounded fit's gradient, S1 and S2, from one
// pass over the grid. `row` holds n doubles: working memory of the caller, reused across
// evaluations. It receives the raw curve, then, sample by sample, the weighted log-density terms
// that are summed.
struct Evaluation {
  double log_likelihood;
  SampleSums sums;
};

Evaluation evaluate(std::span<const double> t, std::span<const double> w, double ea, double tau0, double beta,
                    bool with_sums, std::span<double> row, ChunkedSums& sums) {
  const std::size_t n = t.size();
  const std::size_t used = std::min(n, w.size());
  TsdcPass pass = curve_pass(t, ea, tau0, beta);
  pass.row = row.data();
  if (with_sums) {
    pass.weights = w.data();
    pass.used = used;
  }
  // On one thread the chunks run in order and take the trapezoid sum along.
  double integral = 0.0;
  if (!use_pool(n)) pass.integral = &integral;
  const SimdKernels& kernels = simd_kernels();
  const TsdcKernels& tsdc = tsdc_kernels();
  std::array<double, 2> totals{};
  sums.run([&](std::size_t begin, std::size_t end, double* partial, double* scratch) {
    tsdc.chunk(pass, begin, end, partial, scratch);
  }, totals);
  const double normaliser = use_pool(n) ? trapezoid_normaliser(t, row.data()) : integral + 1e-100;
  for (std::size_t i = 0; i < used; ++i) row[i] = row[i] / normaliser + 1e-200;
  kernels.log(row.data(), used);
  double log_likelihood = 0.0;
  for (std::size_t i = 0; i < used; ++i) log_likelihood += w[i] * row[i];
  return {log_likelihood, {totals[0], totals[1]}};
}

// The bounded fit's objective at (ea, tp), tau0 following the peak relation: the negative
// log-likelihood of the grid density, and minus the gradient of the log-likelihood of the raw
// curve, with v = S2 / (beta tau0) and D = -S1:
//   d/d ea = -((1/(k tp) + 1/ea) (N - v) - W - D / (beta tau0)),
//   d/d tp = -(ea (1/k) / (tp tp) + 2 / tp) (v - N).
// N and W do not depend on the parameters and are summed once; the working row (the caller's
// scratch row when it is long enough, else one of its own) is reused.
class BoundedObjective {
 public:
  BoundedObjective(std::span<const double> t, std::span<const double> w, double beta, std::span<double> scratch,
                   std::uint64_t* evaluations)
      : t_(t), w_(w), beta_(beta), evaluations_(evaluations), sums_(sums_runner(t.size())) {
    if (scratch.size() >= t.size()) {
      row_ = scratch.first(t.size());
    } else {
      owned_.resize(t.size());
      row_ = owned_;
    }
    n_total_ = total_weight_of(w);
    const std::size_t used = std::min(t.size(), w.size());
    w_total_ = fixed_order_sum(used, [&](std::size_t i) { return (w[i] / t[i]) * kInverseBoltzmann; });
  }

  double total_weight() const { return n_total_; }

  double operator()(const std::array<double, 2>& p, std::array<double, 2>& gradient) {
    const double ea = p[TsdcFitParameter::ea], tp = p[TsdcFitParameter::tp];
    const double tau0 = std::exp(-ea / (kBoltzmann * tp)) * (tp * (kBoltzmann * tp) / (ea * beta_));
    if (evaluations_) ++*evaluations_;
    const Evaluation e = evaluate(t_, w_, ea, tau0, beta_, true, row_, sums_);
    const double v = e.sums.s2 / (beta_ * tau0);
    const double d = -e.sums.s1;
    gradient[0] = -((1.0 / (kBoltzmann * tp) + 1.0 / ea) * (n_total_ - v) - w_total_ - d / (beta_ * tau0));
    gradient[1] = -(ea * kInverseBoltzmann / (tp * tp) + 2.0 / tp) * (v - n_total_);
    return -e.log_likelihood;
  }

 private:
  std::span<const double> t_, w_;
  double beta_;
  std::uint64_t* evaluations_;
  double n_total_ = 0.0, w_total_ = 0.0;
  std::vector<double> owned_;
  std::span<double> row_;
  ChunkedSums sums_;
};

}  // namespace

double tsdc_raw_curve(double temperature, double ea, double tau0, double beta) {
  return raw_curve(curve_terms(ea, tau0, beta), temperature,
                   exponential_integral_e2(reduced_energy(ea, temperature)));
}

double tsdc_density(std::span<const double> t, double ea, double tau0, double beta, std::span<double> row) {
  const std::size_t n = t.size();
  require_length(row.size(), n);
  TsdcPass pass = curve_pass(t, ea, tau0, beta);
  pass.row = row.data();
  const SimdKernels& kernels = simd_kernels();
  const TsdcKernels& tsdc = tsdc_kernels();
  double normaliser = 0.0;
  if (use_pool(n)) {
    for_each_chunk(n, [&](std::size_t begin, std::size_t end) {
      tsdc.chunk(pass, begin, end, nullptr, nullptr);
    });
    normaliser = trapezoid_normaliser(t, row.data());
  } else {
    // One piece on this thread, which takes the trapezoid sum along (the same pass in the same
    // order).
    double integral = 0.0;
    pass.integral = &integral;
    tsdc.chunk(pass, 0, n, nullptr, nullptr);
    normaliser = integral + 1e-100;
  }
  kernels.divide(row.data(), n, normaliser);
  return normaliser;
}

std::vector<double> tsdc_predict(std::span<const double> t, double ea, double tau0, double beta) {
  std::vector<double> density(t.size());
  tsdc_density(t, ea, tau0, beta, density);
  return density;
}

double tsdc_log_likelihood(std::span<const double> t, std::span<const double> weights, double ea, double tau0,
                           double beta) {
  std::vector<double> row(t.size());
  ChunkedSums sums = sums_runner(t.size());
  return evaluate(t, weights, ea, tau0, beta, false, row, sums).log_likelihood;
}

double tsdc_tau0_from_peak(double ea, double tp, double beta) {
  return std::exp(-ea / (kBoltzmann * tp)) * (tp * (kBoltzmann * tp) / (beta * ea));
}

double tsdc_peak_equation(double temperature, double ea, double tau0, double beta) {
  return std::log(temperature * (kBoltzmann * temperature) / (beta * ea)) - ea / (kBoltzmann * temperature) -
         std::log(tau0);
}

RootResult tsdc_peak_temperature(double ea, double tau0, double beta) {
  return find_root([&](double temperature) { return tsdc_peak_equation(temperature, ea, tau0, beta); },
                   kPeakBracketLow, kPeakBracketHigh, kRootTolerance);
}

std::string_view tsdc_fit_error_message(TsdcFitError error) {
  switch (error) {
    case TsdcFitError::None: return "";
    case TsdcFitError::RootNoBracketing: return "brentq failed: NoBracketing";
    case TsdcFitError::RootNoConvergency: return "brentq failed: NoConvergency";
    case TsdcFitError::MinimiserFailed: return "L-BFGS-B failed";
    case TsdcFitError::NotANumber: return "fitted values are not numbers";
  }
  return "";
}

TsdcFitResult tsdc_root_fit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak, bool fix_ea,
                            bool fix_tp, double ea_min, double ea_max, double beta) {
  if (fix_ea) return {peak};
  const std::size_t used = std::min(t.size(), weights.size());
  const double n_total = total_weight_of(weights);
  const double w_total = fixed_order_sum(used, [&](std::size_t i) { return weights[i] / (t[i] * kBoltzmann); });
  const double log_w = std::log10((w_total + 1e-10) * beta);
  const double log_n = std::log10((n_total + 1e-10) * beta);
  ChunkedSums sums = sums_runner(used);
  auto profile_score = [&](double ea) {
    const SampleSums s = exponential_sums(sums, t, weights, ea);
    return log_w + ((std::log10(s.s2) - log_n) - std::log10(s.s1));
  };
  const RootResult energy = find_root(profile_score, ea_min, ea_max, kRootTolerance);
  if (!energy.converged()) return {peak, root_error(energy.status)};
  peak.ea = energy.root;
  peak.tau0 = exponential_sums(sums, t, weights, peak.ea).s2 / (n_total * beta);
  if (fix_tp) {
    peak.tau0 = tsdc_tau0_from_peak(peak.ea, peak.tp, beta);
    // An ea at a bound of 1e-300, or a beta near 0, can leave the relation without a number.
    if (std::isnan(peak.tau0) || std::isnan(peak.tp)) return {peak, TsdcFitError::NotANumber};
    return {peak};
  }
  const RootResult temperature = tsdc_peak_temperature(peak.ea, peak.tau0, beta);
  if (!temperature.converged()) return {peak, root_error(temperature.status)};
  peak.tp = temperature.root;
  if (std::isnan(peak.tau0)) return {peak, TsdcFitError::NotANumber};
  return {peak};
}

TsdcObjective tsdc_bounded_objective(std::span<const double> t, std::span<const double> weights, double ea,
                                     double tp, double beta) {
  BoundedObjective objective(t, weights, beta, {}, nullptr);
  TsdcObjective result{};
  result.value = objective({ea, tp}, result.gradient);
  return result;
}

namespace {

// The bounded fit as a single-peak fit problem over (ea, tp): every free parameter starts from its
// incoming value and is clamped into its bounds; the objective brings its own gradient.
class TsdcBoundedFit {
 public:
  using Values = std::array<double, 2>;
  static constexpr auto kNames = TsdcFitParameter::kNames;

  TsdcBoundedFit(std::span<const double> t, std::span<const double> weights, double beta, const TsdcBounds& bounds,
                 std::span<double> scratch, std::uint64_t* evaluations)
      : weights_(weights), bounds_(bounds), objective_(t, weights, beta, scratch, evaluations) {}

  std::span<const double> weights() const { return weights_; }
  // The sum the objective's gradient uses, in the fixed order of its chunks.
  double weight_sum() const { return objective_.total_weight(); }

  FreeRange free_range(std::size_t parameter, const Values& values, double /*total*/) const {
    if (parameter == TsdcFitParameter::ea) {
      return {values[TsdcFitParameter::ea], bounds_.ea_min, bounds_.ea_max, ReadBack::CheckedClamp};
    }
    return {values[TsdcFitParameter::tp], bounds_.t_min, bounds_.t_max, ReadBack::CheckedClamp};
  }

  double value_and_gradient(const Values& base, Values& gradient) { return objective_(base, gradient); }

 private:
  std::span<const double> weights_;
  TsdcBounds bounds_;
  BoundedObjective objective_;
};

}  // namespace

TsdcFitResult tsdc_bounded_fit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak,
                               bool fix_ea, bool fix_tp, const TsdcBounds& bounds, double beta,
                               std::span<double> scratch, std::uint64_t* evaluations) {
  if ((fix_ea && fix_tp) || weights.empty()) return {peak};
  TsdcBoundedFit fit(t, weights, beta, bounds, scratch, evaluations);
  TsdcBoundedFit::Values values{peak.ea, peak.tp};
  const PeakFitOutcome outcome = fit_single_peak(fit, {fix_ea, fix_tp}, values);
  if (outcome.status == PeakFitStatus::NothingToFit) return {peak};
  if (outcome.status == PeakFitStatus::MinimiserFailed) return {peak, TsdcFitError::MinimiserFailed};
  peak.ea = values[TsdcFitParameter::ea];
  peak.tp = values[TsdcFitParameter::tp];
  peak.tau0 = tsdc_tau0_from_peak(peak.ea, peak.tp, beta);
  // Values that are not numbers (a NaN start, or the peak relation at ea = tp = 0) are no fit.
  if (std::isnan(peak.ea) || std::isnan(peak.tp) || std::isnan(peak.tau0)) return {peak, TsdcFitError::NotANumber};
  return {peak};
}

TsdcPeak tsdc_refit(std::span<const double> t, std::span<const double> weights, TsdcPeak peak, bool fix_ea,
                    bool fix_tp, const TsdcBounds& bounds, double beta, std::span<double> scratch) {
  if (weights_carry_nothing(sequential_weight_sum(weights))) return peak;
  const TsdcFitResult root = tsdc_root_fit(t, weights, peak, fix_ea, fix_tp, bounds.ea_min, bounds.ea_max, beta);
  if (root.ok()) return root.peak;
  const TsdcFitResult bounded = tsdc_bounded_fit(t, weights, root.peak, fix_ea, fix_tp, bounds, beta, scratch);
  return bounded.ok() ? bounded.peak : root.peak;
}

void TsdcPeaks::check_density_inputs() const {
  require_length(values[Names::tau0].size(), count());
}

void TsdcPeaks::density(std::size_t k, std::span<const double> t, const Window& /*window*/,
                        std::span<double> row) const {
  tsdc_density(t, values[Names::ea][k], values[Names::tau0][k], beta, row);
}

TsdcPeaks::Parameters TsdcPeaks::refit(std::size_t k, std::span<const double> t, std::span<const double> weights,
                                       const Window& window, std::span<double> scratch) const {
  const TsdcPeak fitted =
      tsdc_refit(t, weights, {values[Names::ea][k], values[Names::tau0][k], values[Names::tp][k]},
                 fixed[TsdcFitParameter::ea][k], fixed[TsdcFitParameter::tp][k], {ea_min, ea_max, window.min, window.max},
                 beta, scratch);
  return {fitted.ea, fitted.tau0, fitted.tp};
}

template EmResult run_em(TsdcPeaks& peaks, std::vector<double>& pi, const EmProblem& problem);

}  // namespace brivane
