#include "bindings/functions.hpp"

#include <array>
#include <utility>

#include "bindings/call_frame.hpp"
#include "gaussian.hpp"
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

// What every EM entry converts the same way: the arrays of its first slots (x, intensity, the
// kParameters per-peak arrays, pi, dirichlet_alpha), the background arguments of its last three
// slots, and the run itself: without the interpreter lock, then the parameter arrays and the
// weights written back.
template <std::size_t kParameters>
class EmCall {
 public:
  explicit EmCall(CallFrame& frame) : frame_(frame) {
    x_ = frame.read_array(0);
    intensity_ = frame.read_array(1);
    for (std::size_t p = 0; p < kParameters; ++p) parameters_[p] = frame.written_array(2 + p);
    pi_ = frame.written_array(2 + kParameters);
    dirichlet_alpha_ = frame.read_array(3 + kParameters);
    problem.x = x_;
    problem.intensity = intensity_;
    problem.dirichlet_alpha = dirichlet_alpha_;
  }

  std::vector<double> parameter(std::size_t p) { return std::move(parameters_[p].values); }

  // bg_type, s_tri and spline_basis_preds from `slot` on.
  void read_background(std::size_t slot) {
    problem.bg_type = frame_.code(slot, 0);
    problem.s_tri = frame_.real(slot + 1, 0.0);
    basis_ = frame_.optional_rows(slot + 2);
    problem.spline_basis_preds = basis_ ? &*basis_ : nullptr;
  }

  template <class Shape>
  PyObject* run(Shape& shape) {
    std::vector<double> weights = pi_.values;
    EmResult result;
    {
      WithoutInterpreterLock unlocked;
      result = run_em(shape, weights, problem);
    }
    for (std::size_t p = 0; p < kParameters; ++p) {
      parameters_[p].values = std::move(shape.values[p]);
      parameters_[p].write_back();
    }
    pi_.values = std::move(weights);
    pi_.write_back();
    return em_result(result);
  }

  EmProblem problem;

 private:
  CallFrame& frame_;
  std::vector<double> x_;
  std::vector<double> intensity_;
  std::array<WrittenArray, kParameters> parameters_;
  WrittenArray pi_;
  std::vector<double> dirichlet_alpha_;
  std::optional<BasisRows> basis_;
};

const Signature kRunEmLoop{
    "run_em_loop",
    {"x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha", "fix_mu", "fix_sigma", "max_iter",
     "r_eps", "x_min", "x_max", "bg_type", "s_tri", "spline_basis_preds"},
    12};

PyObject* run_em_loop(PyObject* args, PyObject* kwargs) {
  CallFrame frame(kRunEmLoop, args, kwargs);
  EmCall<2> call(frame);
  GaussianPeaks peaks;
  peaks.values = {call.parameter(0), call.parameter(1)};
  peaks.fixed = {frame.flags(6), frame.flags(7)};
  call.problem.max_iter = frame.count(8);
  call.problem.r_eps = frame.real(9);
  call.problem.window.min = frame.real(10);
  call.problem.window.max = frame.real(11);
  call.read_background(12);
  return call.run(peaks);
}

const Signature kRunLorentzianEmLoop{
    "run_lorentzian_em_loop",
    {"x", "intensity", "x0", "gamma_lo", "pi", "dirichlet_alpha", "fix_x0", "fix_gamma", "x_min",
     "x_max", "max_iter", "r_eps", "bg_type", "s_tri", "spline_basis_preds"},
    12};

PyObject* run_lorentzian_em_loop(PyObject* args, PyObject* kwargs) {
  CallFrame frame(kRunLorentzianEmLoop, args, kwargs);
  EmCall<2> call(frame);
  LorentzianPeaks peaks;
  peaks.values = {call.parameter(0), call.parameter(1)};
  peaks.fixed = {frame.flags(6), frame.flags(7)};
  call.problem.window.min = frame.real(8);
  call.problem.window.max = frame.real(9);
  call.problem.max_iter = frame.count(10);
  call.problem.r_eps = frame.real(11);
  call.read_background(12);
  return call.run(peaks);
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
