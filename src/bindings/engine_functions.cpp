#include "bindings/engine_functions.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/call_frame.hpp"
#include "bindings/engine_arguments.hpp"
#include "bindings/engine_batch.hpp"
#include "bindings/function_table.hpp"
#include "bindings/signature.hpp"
#include "model/evaluate.hpp"
#include "model/model_error.hpp"
#include "model/problem.hpp"
#include "model/solver.hpp"

namespace brivane::py {

const char* const kEngineDoc = R"(Compiled engine of brivane: joint Poisson maximum likelihood of a whole spectrum model.

Internal to the brivane package, which validates every input before calling it; its
checks here only keep a bad call from computing anything (ValueError naming the argument).

Channels: x strictly ascending (n >= 1), counts finite and >= 0, width > 0 (the channel
width from the full data grid: x[1]-x[0] at the start, x[n-1]-x[n-2] at the end, half the
neighbours' distance inside; 1 for a single channel). Expected counts mu_i = sum of the terms.

Terms (kind, its parameters in order; aux = two values per term, flattened):
  0 Gaussian (center, sigma, area)      1 Lorentzian (center, fwhm, area)
  2 PseudoVoigt (center, fwhm, eta, area), eta the Gaussian fraction
  3 Voigt (center, sigma, gamma, area), gamma the Lorentzian half width
  4 DoniachSunjic (center, gamma, alpha, area), area = counts over the channels given,
    aux[0] = +1 (tail toward larger x: the line mirrored, u = center - x) or -1 (toward smaller x)
  5 TSDC (ea, tp, area), aux[0] = heating rate (K/s), over temperature x (K)
  Peaks: area * f(x_i) * width_i, f a unit-area density.
  10 Constant (level)   11 Linear (level, slope), aux[0] = x_ref
  12 Polynomial (c0..cd), aux = (x_ref, x_scale): sum c_k ((x - x_ref)/x_scale)^k
  13 Exponential (amplitude, rate), aux[0] = x_ref: amplitude exp(-rate (x - x_ref))
  14 Shirley (k), aux[0] = +1 (rises toward larger x) or -1
  15 Tougaard (b, c), aux[0] = direction as Shirley
  16 UserRows (one amplitude per row), rows in the order of the UserRows terms
  Backgrounds are counts per channel.

Parameters: theta (P values), term after term; term t owns theta[first[t]:first[t]+count[t]].
role: 0 free within [lower, upper] (either may be +-inf), 1 fixed at value, 2 linear tie
theta = scale * theta[source] + offset, 3 Bragg tie theta = 2 asin(scale sin(theta[source]/2))
in degrees 2-theta, scale = lambda2/lambda1. Chains allowed, cycles refused. Integer codes
(kind, first, count, role, source) are passed as float64 arrays of whole numbers.

set_threads(n), get_threads(): the cap on the oneTBB pool of the process (0: one thread per
processor), which brivane_core shares.

fit(x, counts, width, kind, first, count, aux, role, value, lower, upper, source, scale,
    offset, max_iter, tolerance, rows=None)
  -> (theta[P], covariance[P, P], at_bound[P] (bool), log_likelihood, deviance, chi_square, n_iter,
      status)
  Maximises sum_i (y_i ln mu_i - mu_i - lgamma(y_i + 1)) from the free parameters' values
  (which must lie within their bounds) by damped Fisher scoring with Marquardt's scaling and
  an active set for the bounds, without the interpreter lock. n_iter counts evaluations of
  the model and its Jacobian after the start. Converged when the Newton decrement
  g^T F^-1 g (the deviance a full step would still remove, equally the step's squared length
  in standard errors) is <= tolerance * max(deviance, 1e-9 sum(counts)) / max(1, n - free)
  (its floor 1 for all-zero counts), which does not depend on the counts' unit; 1e-8 is a good
  tolerance. deviance = 2 sum (y ln(y/mu) - (y - mu)); chi_square = sum (y - mu)^2 / max(mu, 1e-300)
  (Pearson's) at theta; all three NaN when the start is not admissible (status 3). covariance: the inverse Fisher
  information over the free parameters not on a bound, mapped to ties by the delta method;
  zero rows for fixed and at-bound parameters; all NaN when singular.
  status: 0 converged, 1 iteration limit, 2 stalled (no step lowers the deviance, the
  decrement test not met), 3 the model at the start is not finite or not positive where
  counts are, 4 converged but the information is singular.
fit_many(x, counts, width, kind, first, count, aux, role, value, lower, upper, source, scale,
         offset, starts, max_iter, tolerance, neighbour_columns=0, threads=0,
         keep_expected=False, rows=None)
  -> (theta[S, P], covariance[S*P, P], at_bound[S*P] (bool), log_likelihood[S], deviance[S],
      chi_square[S], n_iter[S], status[S], expected[S, n] or None)
  S spectra at once: counts holds S x n values (spectrum after spectrum), starts S x P (each
  row read as fit() reads value; value still gives the fixed parameters). Each spectrum is fitted
  exactly as fit() fits it alone, one per task on the oneTBB pool, without the interpreter lock;
  threads > 0 runs them in an arena of that many threads. neighbour_columns = C > 0: the spectra
  are rows of C; the first row is fitted left to right, each from the result before it, every
  later row in parallel, each from the result above it (a neighbour that did not converge passes
  on nothing: its own start row is used). Statuses as fit()'s, and 6 counts negative or not
  finite, 7 start not finite or outside its bounds, 8 failed inside the fit; those spectra get
  NaN values and covariance. keep_expected: also the model's counts per channel at each result
  (the terms' counts summed in term order).
evaluate(x, width, kind, first, count, aux, theta, rows=None) -> float64[C, n]
  each term's expected counts per channel at the full vector theta.
jacobian(x, width, kind, first, count, aux, theta, rows=None) -> float64[n, P]
  d mu_i / d theta_j, tied parameters' columns as if they were free.
)";

namespace {

using model::ModelError;
using model::ParameterSpec;
using model::Problem;
using model::Role;
using model::TermKind;
using model::TermSpec;

using engine_arguments::parameters_of;
using engine_arguments::rows_of;
using engine_arguments::terms_of;

// ---------------------------------------------------------------------------------------------

constexpr Signature kFit = signature("fit", Lock::kReleased, {
    {"x", kArray}, {"counts", kArray}, {"width", kArray}, {"kind", kArray}, {"first", kArray},
    {"count", kArray}, {"aux", kArray}, {"role", kArray}, {"value", kArray}, {"lower", kArray},
    {"upper", kArray}, {"source", kArray}, {"scale", kArray}, {"offset", kArray}, {"max_iter", kCount},
    {"tolerance", kFloat}, {"rows", kOptionalRows, "None"}});

PyObject* fit(Arguments<kFit>& a) {
  const model::FitResult result = a.compute([&] {
    const std::vector<double>& value = a.get<"value">();
    std::vector<ParameterSpec> parameters =
        parameters_of(a.get<"role">(), value, a.get<"lower">(), a.get<"upper">(), a.get<"source">(),
                      a.get<"scale">(), a.get<"offset">());
    if (!(a.get<"tolerance">() >= 0.0)) throw ModelError("tolerance must be >= 0");
    const Problem problem(a.get<"x">(), a.get<"width">(),
                          terms_of(a.get<"kind">(), a.get<"first">(), a.get<"count">(), a.get<"aux">()),
                          std::move(parameters), rows_of(a.get<"rows">()));
    model::Workspace workspace(problem);
    model::FitOptions options;
    options.max_iterations = a.get<"max_iter">();
    options.tolerance = a.get<"tolerance">();
    return model::fit(problem, a.get<"counts">(), value, workspace, options);
  });
  const std::size_t p = result.theta.size();
  PyObject* iterations = PyLong_FromUnsignedLongLong(result.iterations);
  PyObject* status = PyLong_FromLong(static_cast<long>(result.status));
  return result_tuple({result_array(result.theta), result_matrix(result.covariance, p, p),
                       result_flags(result.at_bound), PyFloat_FromDouble(result.log_likelihood),
                       PyFloat_FromDouble(result.deviance), PyFloat_FromDouble(result.chi_square), iterations,
                       status});
}

// evaluate and jacobian share their arguments: a problem whose every parameter is free, at theta.
template <const Signature& S>
Problem problem_at(Arguments<S>& a) {
  const std::vector<double>& theta = a.template get<"theta">();
  std::vector<ParameterSpec> parameters(theta.size());
  for (std::size_t j = 0; j < theta.size(); ++j) {
    parameters[j].value = theta[j];
    if (!std::isfinite(theta[j])) throw ModelError("theta[" + std::to_string(j) + "] is not finite");
  }
  return Problem(a.template get<"x">(), a.template get<"width">(),
                 terms_of(a.template get<"kind">(), a.template get<"first">(), a.template get<"count">(),
                          a.template get<"aux">()),
                 std::move(parameters), rows_of(a.template get<"rows">()));
}

constexpr Signature kEvaluate = signature("evaluate", Lock::kReleased, {
    {"x", kArray}, {"width", kArray}, {"kind", kArray}, {"first", kArray}, {"count", kArray},
    {"aux", kArray}, {"theta", kArray}, {"rows", kOptionalRows, "None"}});

PyObject* evaluate(Arguments<kEvaluate>& a) {
  std::size_t terms = 0, n = 0;
  const std::vector<double> values = a.compute([&] {
    const Problem problem = problem_at(a);
    terms = problem.terms().size();
    n = problem.channel_count();
    model::ModelScratch scratch(problem);
    std::vector<double> mu(n), per_term(terms * n);
    model::evaluate_model(problem, a.get<"theta">(), mu, {}, scratch, per_term);
    return per_term;
  });
  return result_matrix(values, terms, n);
}

constexpr Signature kJacobian = signature("jacobian", Lock::kReleased, {
    {"x", kArray}, {"width", kArray}, {"kind", kArray}, {"first", kArray}, {"count", kArray},
    {"aux", kArray}, {"theta", kArray}, {"rows", kOptionalRows, "None"}});

PyObject* jacobian(Arguments<kJacobian>& a) {
  std::size_t n = 0, p = 0;
  const std::vector<double> rows_first = a.compute([&] {
    const Problem problem = problem_at(a);
    n = problem.channel_count();
    p = problem.parameter_count();
    model::ModelScratch scratch(problem);
    std::vector<double> mu(n), columns(n * p), transposed(n * p);
    model::evaluate_model(problem, a.get<"theta">(), mu, columns, scratch);
    for (std::size_t j = 0; j < p; ++j) {
      for (std::size_t i = 0; i < n; ++i) transposed[i * p + j] = columns[j * n + i];
    }
    return transposed;
  });
  return result_matrix(rows_first, n, p);
}

constexpr Function kEngineFunctions[] = {
    function<kFit, fit, Failures::kPythonErrors>(),
    function<kEvaluate, evaluate, Failures::kPythonErrors>(),
    function<kJacobian, jacobian, Failures::kPythonErrors>(),
    function<kFitMany, fit_many, Failures::kPythonErrors>(),
};

}  // namespace

std::span<PyMethodDef> engine_function_table() { return method_table<kEngineFunctions>(); }

}  // namespace brivane::py
