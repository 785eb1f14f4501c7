#include "bindings/functions.hpp"

#include <array>
#include <utility>

#include "bindings/call_frame.hpp"
#include "em_engine.hpp"
#include "lorentzian.hpp"

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

// The part every EM entry shares once its arguments are converted: the fit runs without the
// interpreter lock, then the parameter arrays and the weights are written back.
template <class Shape>
PyObject* run_em_entry(Shape& shape, WrittenArray& pi, const EmProblem& problem,
                       EmResult (*fit)(Shape&, std::vector<double>&, const EmProblem&),
                       std::initializer_list<std::pair<WrittenArray*, std::vector<double> Shape::*>> parameters) {
  std::vector<double> weights = pi.values;
  EmResult result;
  {
    WithoutInterpreterLock unlocked;
    result = fit(shape, weights, problem);
  }
  for (const auto& [array, member] : parameters) {
    array->values = std::move(shape.*member);
    array->write_back();
  }
  pi.values = std::move(weights);
  pi.write_back();
  return em_result(result);
}

// Binds spline_basis_preds to the problem for the length of a call.
void set_basis(EmProblem& problem, const std::optional<BasisRows>& basis) {
  problem.spline_basis_preds = basis ? &*basis : nullptr;
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
  EmProblem problem{x, intensity, dirichlet_alpha};
  problem.max_iter = frame.count(8);
  problem.r_eps = frame.real(9);
  problem.x_min = frame.real(10);
  problem.x_max = frame.real(11);
  problem.bg_type = frame.code(12, 0);
  problem.s_tri = frame.real(13, 0.0);
  const std::optional<BasisRows> basis = frame.optional_rows(14);
  set_basis(problem, basis);
  return run_em_entry(peaks, pi, problem, run_gaussian_em,
                      {{&mu, &GaussianPeaks::mu}, {&sigma, &GaussianPeaks::sigma}});
}

const Signature kRunLorentzianEmLoop{
    "run_lorentzian_em_loop",
    {"x", "intensity", "x0", "gamma_lo", "pi", "dirichlet_alpha", "fix_x0", "fix_gamma", "x_min",
     "x_max", "max_iter", "r_eps", "bg_type", "s_tri", "spline_basis_preds"},
    12};

PyObject* run_lorentzian_em_loop(PyObject* args, PyObject* kwargs) {
  CallFrame frame(kRunLorentzianEmLoop, args, kwargs);
  const std::vector<double> x = frame.read_array(0);
  const std::vector<double> intensity = frame.read_array(1);
  WrittenArray x0 = frame.written_array(2);
  WrittenArray gamma = frame.written_array(3);
  WrittenArray pi = frame.written_array(4);
  const std::vector<double> dirichlet_alpha = frame.read_array(5);
  LorentzianPeaks peaks{x0.values, gamma.values, frame.flags(6), frame.flags(7)};
  EmProblem problem{x, intensity, dirichlet_alpha};
  problem.x_min = peaks.x_min = frame.real(8);
  problem.x_max = peaks.x_max = frame.real(9);
  problem.max_iter = frame.count(10);
  problem.r_eps = frame.real(11);
  problem.bg_type = frame.code(12, 0);
  problem.s_tri = frame.real(13, 0.0);
  const std::optional<BasisRows> basis = frame.optional_rows(14);
  set_basis(problem, basis);
  return run_em_entry(peaks, pi, problem, run_lorentzian_em,
                      {{&x0, &LorentzianPeaks::x0}, {&gamma, &LorentzianPeaks::gamma}});
}

const Signature kLorentzianMle{
    "lorentzian_mle", {"x", "intensity", "x0", "gamma", "x_min", "x_max", "fix_x0", "fix_gamma"}, 6};

PyObject* lorentzian_mle(PyObject* args, PyObject* kwargs) {
  CallFrame frame(kLorentzianMle, args, kwargs);
  const std::vector<double> x = frame.read_array(0);
  const std::vector<double> intensity = frame.read_array(1);
  double x0 = frame.real(2);
  double gamma = frame.real(3);
  const double x_min = frame.real(4);
  const double x_max = frame.real(5);
  const bool fix_x0 = frame.flag(6, false);
  const bool fix_gamma = frame.flag(7, false);
  lorentzian_fit(x, intensity, x0, gamma, fix_x0, fix_gamma, x_min, x_max);
  return result_tuple({PyFloat_FromDouble(x0), PyFloat_FromDouble(gamma)});
}

constexpr int kCallingConvention = METH_VARARGS | METH_KEYWORDS;

template <EntryBody Body>
constexpr PyMethodDef function(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry<Body>)),
          kCallingConvention, doc};
}

// In the order of __all__.
std::array<PyMethodDef, 4> table{{
    function<run_em_loop>(
        "run_em_loop",
        "run_em_loop(x, intensity, mu, sigma, pi, dirichlet_alpha, fix_mu, fix_sigma, max_iter, "
        "r_eps, x_min, x_max, bg_type=0, s_tri=0.0, spline_basis_preds=None)\n--\n\n"),
    function<run_lorentzian_em_loop>(
        "run_lorentzian_em_loop",
        "run_lorentzian_em_loop(x, intensity, x0, gamma_lo, pi, dirichlet_alpha, fix_x0, fix_gamma, "
        "x_min, x_max, max_iter, r_eps, bg_type=0, s_tri=0.0, spline_basis_preds=None)\n--\n\n"),
    function<lorentzian_mle>(
        "lorentzian_mle",
        "lorentzian_mle(x, intensity, x0, gamma, x_min, x_max, fix_x0=False, fix_gamma=False)"
        "\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
}};

}  // namespace

std::span<PyMethodDef> function_table() { return {table.data(), table.size() - 1}; }

}  // namespace brivane::py
