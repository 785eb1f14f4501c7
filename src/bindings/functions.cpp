#include "bindings/functions.hpp"

#include <array>
#include <utility>

#include "bindings/call_frame.hpp"
#include "em_engine.hpp"

namespace brivane::py {

namespace {

// The tuple every EM entry returns: (iterations, log-likelihood history, relative-change history,
// final s_tri).
PyObject* em_result(const EmResult& result) {
  PyObject* iterations = PyLong_FromUnsignedLongLong(result.iterations);
  if (!iterations) throw PythonError{};
  return result_tuple({iterations, new_float64_array(result.log_likelihood),
                       new_float64_array(result.relative_change),
                       PyFloat_FromDouble(result.s_tri)});
}

const Signature kRunEmLoop{
    "run_em_loop",
    {"x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha", "fix_mu", "fix_sigma", "max_iter",
     "r_eps", "x_min", "x_max", "bg_type", "s_tri", "spline_basis_preds"},
    12};

PyObject* run_em_loop(PyObject* args, PyObject* kwargs) {
  CallFrame frame(kRunEmLoop, args, kwargs);
  const std::vector<double> x = frame.read_array(0);
  const std::vector<double> intensity = frame.read_array(1);
  WrittenArray mu = frame.written_array(2);
  WrittenArray sigma = frame.written_array(3);
  WrittenArray pi = frame.written_array(4);
  const std::vector<double> dirichlet_alpha = frame.read_array(5);
  GaussianPeaks peaks{mu.values, sigma.values, frame.flags(6), frame.flags(7)};
  EmProblem problem;
  problem.x = x;
  problem.intensity = intensity;
  problem.dirichlet_alpha = dirichlet_alpha;
  problem.max_iter = frame.count(8);
  problem.r_eps = frame.real(9);
  problem.x_min = frame.real(10);
  problem.x_max = frame.real(11);
  problem.bg_type = frame.code(12, 0);
  problem.s_tri = frame.real(13, 0.0);
  const std::optional<BasisRows> basis = frame.optional_rows(14);
  problem.spline_basis_preds = basis ? &*basis : nullptr;

  std::vector<double> weights = pi.values;
  EmResult result;
  {
    WithoutInterpreterLock unlocked;
    result = run_gaussian_em(peaks, weights, problem);
  }
  mu.values = std::move(peaks.mu);
  sigma.values = std::move(peaks.sigma);
  pi.values = std::move(weights);
  mu.write_back();
  sigma.write_back();
  pi.write_back();
  return em_result(result);
}

constexpr int kCallingConvention = METH_VARARGS | METH_KEYWORDS;

template <EntryBody Body>
constexpr PyMethodDef function(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<Body>)),
          kCallingConvention, doc};
}

std::array<PyMethodDef, 2> table{{
    function<run_em_loop>(
        "run_em_loop",
        "run_em_loop(x, intensity, mu, sigma, pi, dirichlet_alpha, fix_mu, fix_sigma, max_iter, "
        "r_eps, x_min, x_max, bg_type=0, s_tri=0.0, spline_basis_preds=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
}};

}  // namespace

std::span<PyMethodDef> function_table() { return {table.data(), table.size() - 1}; }

}  // namespace brivane::py
