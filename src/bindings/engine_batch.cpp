#include "bindings/engine_batch.hpp"

#include <cstdint>
#include <vector>

#include "bindings/engine_arguments.hpp"
#include "model/batch.hpp"

namespace brivane::py {

namespace {

// Everything one batch returns, in the model's order of spectra.
struct BatchValues {
  std::size_t spectra = 0, parameters = 0, channels = 0;
  std::vector<double> theta, covariance, log_likelihood, deviance, chi_square, iterations, status, expected;
  std::vector<unsigned char> at_bound;
};

}  // namespace

PyObject* fit_many(Arguments<kFitMany>& a) {
  using namespace engine_arguments;
  BatchValues v = a.compute([&] {
    if (!(a.get<"tolerance">() >= 0.0)) throw model::ModelError("tolerance must be >= 0");
    const model::Problem problem(
        a.get<"x">(), a.get<"width">(), terms_of(a.get<"kind">(), a.get<"first">(), a.get<"count">(), a.get<"aux">()),
        parameters_of(a.get<"role">(), a.get<"value">(), a.get<"lower">(), a.get<"upper">(), a.get<"source">(),
                      a.get<"scale">(), a.get<"offset">()),
        rows_of(a.get<"rows">()));
    BatchValues out;
    out.channels = problem.channel_count();
    out.parameters = problem.parameter_count();
    const std::vector<double>& counts = a.get<"counts">();
    if (counts.size() % out.channels != 0) {
      throw model::ModelError("counts has " + std::to_string(counts.size()) + " values, not whole spectra of " +
                              std::to_string(out.channels) + " channels");
    }
    out.spectra = counts.size() / out.channels;
    const std::size_t s = out.spectra, p = out.parameters;
    out.theta.resize(s * p);
    out.covariance.resize(s * p * p);
    out.at_bound.resize(s * p);
    out.log_likelihood.resize(s);
    out.deviance.resize(s);
    out.chi_square.resize(s);
    out.iterations.resize(s);
    if (a.get<"keep_expected">()) out.expected.resize(s * out.channels);
    std::vector<std::int32_t> status(s);
    model::BatchOptions options;
    options.fit.max_iterations = a.get<"max_iter">();
    options.fit.tolerance = a.get<"tolerance">();
    options.threads = a.get<"threads">();
    options.neighbour_columns = a.get<"neighbour_columns">();
    model::fit_many(problem, counts, a.get<"starts">(), options,
                    {out.theta, out.covariance, out.at_bound, out.log_likelihood, out.deviance, out.chi_square,
                     out.iterations, status, out.expected});
    out.status.assign(status.begin(), status.end());
    return out;
  });
  PyObject* expected = nullptr;
  if (v.expected.empty()) {
    Py_INCREF(Py_None);
    expected = Py_None;
  } else {
    expected = result_matrix(v.expected, v.spectra, v.channels);
  }
  return result_tuple({result_matrix(v.theta, v.spectra, v.parameters),
                       result_matrix(v.covariance, v.spectra * v.parameters, v.parameters),
                       result_flags(v.at_bound), result_array(v.log_likelihood), result_array(v.deviance),
                       result_array(v.chi_square), result_array(v.iterations), result_array(v.status), expected});
}

}  // namespace brivane::py
