#include "bindings/functions.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/call_frame.hpp"
#include "bindings/function_table.hpp"
#include "bindings/signature.hpp"
#include "shapes/doniach_sunjic/doniach_sunjic.hpp"
#include "shapes/gaussian/gaussian.hpp"
#include "shapes/lorentzian/lorentzian.hpp"
#include "shapes/pseudo_voigt/pseudo_voigt.hpp"
#include "shapes/tsdc/tsdc.hpp"
#include "shapes/voigt/voigt.hpp"

namespace brivane::py {

namespace {

// ---------------------------------------------------------------------------------------------
// What every mixture entry shares.

// The tuple every EM entry returns: (iterations, log-likelihood history, relative-change history,
// final s_tri).
PyObject* em_result(const EmResult& result) {
  PyObject* iterations = PyLong_FromUnsignedLongLong(result.iterations);
  if (!iterations) throw PythonError{};
  return result_tuple({iterations, new_float64_array(result.log_likelihood),
                       new_float64_array(result.relative_change),
                       PyFloat_FromDouble(result.s_tri)});
}

// In a mixture signature the written arrays other than pi are the per-peak parameter arrays and
// the boolean sequences the per-peak fix flags, each in the shape's order.
constexpr bool is_peak_array(const Parameter& p) {
  return p.kind == kWrittenArray && std::string_view(p.name) != "pi";
}
constexpr bool is_fix_flags(const Parameter& p) { return p.kind == kBoolSequence; }

template <const Signature& S, bool (*kKeep)(const Parameter&)>
constexpr std::size_t count_where() {
  std::size_t count = 0;
  for (std::size_t i = 0; i < S.size; ++i) count += kKeep(S.parameters[i]) ? 1 : 0;
  return count;
}

template <const Signature& S, bool (*kKeep)(const Parameter&)>
constexpr auto slots_where() {
  std::array<std::size_t, count_where<S, kKeep>()> slots{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < S.size; ++i) {
    if (kKeep(S.parameters[i])) slots[n++] = i;
  }
  return slots;
}

// Whether the signature's slots `slots` carry, in order, the names `names`: a mixture's written
// arrays must be its shape's parameters, and its flag sequences their fix flags, so that a
// reordered or renamed signature does not compile instead of swapping parameters silently.
template <const Signature& S, std::size_t kSlots, std::size_t kNames>
constexpr bool named_in_order(const std::array<std::size_t, kSlots>& slots,
                              const std::array<std::string_view, kNames>& names) {
  if (kSlots != kNames) return false;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (std::string_view(S.parameters[slots[i]].name) != names[i]) return false;
  }
  return true;
}

// Runs a mixture fit: the grid (the first parameter, x or t), the intensities, the per-peak arrays
// and flags, the window (x_min, x_max or t_min, t_max), the iteration settings and the background
// go to the shape and the engine; the parameter arrays and pi are written back only when the loop
// has finished. Call-wide settings of the shape are the caller's to set.
template <const Signature& S, class Shape>
PyObject* run_mixture(Arguments<S>& a, Shape& shape) {
  static_assert(S.parameters[0].kind == kArray, "a mixture signature starts with its grid");
  static constexpr auto kArraySlots = slots_where<S, is_peak_array>();
  static constexpr auto kFlagSlots = slots_where<S, is_fix_flags>();
  static_assert(kArraySlots.size() == Shape::kParameterCount, "one array per parameter of a peak");
  static_assert(kFlagSlots.size() == Shape::kFlagCount, "one sequence per fix flag of a peak");
  static_assert(named_in_order<S>(kArraySlots, Shape::Names::kMixtureArrays),
                "the written arrays are the shape's parameters, by name and in order");
  static_assert(named_in_order<S>(kFlagSlots, Shape::Names::kMixtureFlags),
                "the flag sequences are the shape's fix flags, by name and in order");

  auto arrays = [&]<std::size_t... P>(std::index_sequence<P...>) {
    return std::array<WrittenArray*, sizeof...(P)>{&a.template at<kArraySlots[P]>()...};
  }(std::make_index_sequence<kArraySlots.size()>{});
  for (std::size_t p = 0; p < arrays.size(); ++p) shape.values[p] = std::move(arrays[p]->values);
  [&]<std::size_t... F>(std::index_sequence<F...>) {
    ((shape.fixed[F] = std::move(a.template at<kFlagSlots[F]>())), ...);
  }(std::make_index_sequence<kFlagSlots.size()>{});

  EmProblem problem;
  problem.x = a.template at<0>();
  problem.intensity = a.template get<"intensity">();
  problem.dirichlet_alpha = a.template get<"dirichlet_alpha">();
  problem.max_iter = a.template get<"max_iter">();
  problem.r_eps = a.template get<"r_eps">();
  if constexpr (S.has("t_min")) {
    problem.window = {a.template get<"t_min">(), a.template get<"t_max">()};
  } else {
    problem.window = {a.template get<"x_min">(), a.template get<"x_max">()};
  }
  problem.bg_type = a.template get<"bg_type">();
  problem.s_tri = a.template get<"s_tri">();
  const std::optional<BasisRows>& basis = a.template get<"spline_basis_preds">();
  problem.spline_basis_preds = basis ? &*basis : nullptr;

  WrittenArray& pi = a.template get<"pi">();
  const EmResult result = a.compute([&] { return run_em(shape, pi.values, problem); });
  for (std::size_t p = 0; p < arrays.size(); ++p) {
    arrays[p]->values = std::move(shape.values[p]);
    arrays[p]->write_back();
  }
  pi.write_back();
  return em_result(result);
}

// ---------------------------------------------------------------------------------------------
// The functions: each is its signature and the few lines that call the core.

// Pseudo-Voigt: the mixture, the curve and the two single-peak fits.

constexpr Signature kRunPvEmLoop = signature("run_pv_em_loop", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kWrittenArray}, {"gamma_pv", kWrittenArray},
    {"eta", kWrittenArray}, {"pi", kWrittenArray}, {"dirichlet_alpha", kArray},
    {"fix_x0", kBoolSequence}, {"fix_gamma", kBoolSequence}, {"fix_eta", kBoolSequence},
    {"use_full_opt", kBool}, {"x_min", kFloat}, {"x_max", kFloat}, {"gamma_min", kFloat},
    {"gamma_max", kFloat}, {"max_iter", kCount}, {"r_eps", kFloat}, {"bg_type", kCode, "0"},
    {"s_tri", kFloat, "0.0"}, {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_pv_em_loop(Arguments<kRunPvEmLoop>& a) {
  PseudoVoigtPeaks peaks;
  peaks.use_full_opt = a.get<"use_full_opt">();
  // The full optimisation's alternation is bounded by the EM's own max_iter and r_eps.
  peaks.limits = {a.get<"gamma_min">(), a.get<"gamma_max">(), a.get<"max_iter">(), a.get<"r_eps">()};
  return run_mixture(a, peaks);
}

constexpr Signature kPseudoVoigtPredict = signature("pseudo_voigt_predict", Lock::kReleased, {
    {"x", kArray}, {"x0", kFloat}, {"gamma", kFloat}, {"eta", kFloat}, {"x_min", kFloat},
    {"x_max", kFloat}});

PyObject* pseudo_voigt_predict(Arguments<kPseudoVoigtPredict>& a) {
  const std::vector<double> values = a.compute([&] {
    return brivane::pseudo_voigt_predict(a.get<"x">(), {a.get<"x0">(), a.get<"gamma">(), a.get<"eta">()},
                                         a.get<"x_min">(), a.get<"x_max">());
  });
  return result_array(values);
}

// What both single-peak fits read and return: (x0, gamma, eta) and their three flags.
template <const Signature& S>
PseudoVoigtPeak pseudo_voigt_start(Arguments<S>& a) {
  return {a.template get<"x0">(), a.template get<"gamma">(), a.template get<"eta">()};
}

template <const Signature& S>
PseudoVoigtFlags pseudo_voigt_flags(Arguments<S>& a) {
  return {a.template get<"fix_x0">(), a.template get<"fix_gamma">(), a.template get<"fix_eta">()};
}

PyObject* pseudo_voigt_tuple(const PseudoVoigtPeak& peak) {
  return result_tuple({PyFloat_FromDouble(peak.x0), PyFloat_FromDouble(peak.gamma), PyFloat_FromDouble(peak.eta)});
}

constexpr Signature kPseudoVoigtMleConditionalMax = signature("pseudo_voigt_mle_conditional_max", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kFloat}, {"gamma", kFloat}, {"eta", kFloat},
    {"x_min", kFloat}, {"x_max", kFloat}, {"fix_x0", kBool, "False"}, {"fix_gamma", kBool, "False"},
    {"fix_eta", kBool, "False"}});

PyObject* pseudo_voigt_mle_conditional_max(Arguments<kPseudoVoigtMleConditionalMax>& a) {
  const PseudoVoigtPeak fitted = a.compute([&] {
    return brivane::pseudo_voigt_mle_conditional_max(a.get<"x">(), a.get<"intensity">(), pseudo_voigt_start(a),
                                                     pseudo_voigt_flags(a), a.get<"x_min">(), a.get<"x_max">());
  });
  return pseudo_voigt_tuple(fitted);
}

constexpr Signature kPseudoVoigtMleFullOptimization = signature("pseudo_voigt_mle_full_optimization", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kFloat}, {"gamma", kFloat}, {"eta", kFloat},
    {"x_min", kFloat}, {"x_max", kFloat}, {"gamma_min", kFloat}, {"gamma_max", kFloat},
    {"max_iter", kCount}, {"r_eps", kFloat}, {"fix_x0", kBool, "False"}, {"fix_gamma", kBool, "False"},
    {"fix_eta", kBool, "False"}});

PyObject* pseudo_voigt_mle_full_optimization(Arguments<kPseudoVoigtMleFullOptimization>& a) {
  const PseudoVoigtPeak fitted = a.compute([&] {
    return brivane::pseudo_voigt_mle_full_optimization(
        a.get<"x">(), a.get<"intensity">(), pseudo_voigt_start(a), pseudo_voigt_flags(a), a.get<"x_min">(),
        a.get<"x_max">(), {a.get<"gamma_min">(), a.get<"gamma_max">(), a.get<"max_iter">(), a.get<"r_eps">()});
  });
  return pseudo_voigt_tuple(fitted);
}

// The other shapes.

constexpr Signature kRunEmLoop = signature("run_em_loop", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"mu", kWrittenArray}, {"sigma", kWrittenArray},
    {"pi", kWrittenArray}, {"dirichlet_alpha", kArray}, {"fix_mu", kBoolSequence},
    {"fix_sigma", kBoolSequence}, {"max_iter", kCount}, {"r_eps", kFloat}, {"x_min", kFloat},
    {"x_max", kFloat}, {"bg_type", kCode, "0"}, {"s_tri", kFloat, "0.0"},
    {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_em_loop(Arguments<kRunEmLoop>& a) {
  GaussianPeaks peaks;
  return run_mixture(a, peaks);
}

constexpr Signature kRunVoigtEmLoop = signature("run_voigt_em_loop", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kWrittenArray}, {"sigma_v", kWrittenArray},
    {"gamma_v", kWrittenArray}, {"pi", kWrittenArray}, {"dirichlet_alpha", kArray},
    {"fix_x0", kBoolSequence}, {"fix_sigma", kBoolSequence}, {"fix_gamma", kBoolSequence},
    {"x_min", kFloat}, {"x_max", kFloat}, {"sigma_min", kFloat}, {"sigma_max", kFloat},
    {"gamma_min", kFloat}, {"gamma_max", kFloat}, {"max_iter", kCount}, {"r_eps", kFloat},
    {"bg_type", kCode, "0"}, {"s_tri", kFloat, "0.0"}, {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_voigt_em_loop(Arguments<kRunVoigtEmLoop>& a) {
  VoigtPeaks peaks;
  peaks.sigma_min = a.get<"sigma_min">();
  peaks.sigma_max = a.get<"sigma_max">();
  peaks.gamma_min = a.get<"gamma_min">();
  peaks.gamma_max = a.get<"gamma_max">();
  return run_mixture(a, peaks);
}

constexpr Signature kRunLorentzianEmLoop = signature("run_lorentzian_em_loop", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kWrittenArray}, {"gamma_lo", kWrittenArray},
    {"pi", kWrittenArray}, {"dirichlet_alpha", kArray}, {"fix_x0", kBoolSequence},
    {"fix_gamma", kBoolSequence}, {"x_min", kFloat}, {"x_max", kFloat}, {"max_iter", kCount},
    {"r_eps", kFloat}, {"bg_type", kCode, "0"}, {"s_tri", kFloat, "0.0"},
    {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_lorentzian_em_loop(Arguments<kRunLorentzianEmLoop>& a) {
  LorentzianPeaks peaks;
  return run_mixture(a, peaks);
}

constexpr Signature kRunDsEmLoop = signature("run_ds_em_loop", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kWrittenArray}, {"gamma_ds", kWrittenArray},
    {"alpha", kWrittenArray}, {"pi", kWrittenArray}, {"dirichlet_alpha", kArray},
    {"fix_x0", kBoolSequence}, {"fix_gamma", kBoolSequence}, {"fix_alpha", kBoolSequence},
    {"x_min", kFloat}, {"x_max", kFloat}, {"gamma_min", kFloat}, {"gamma_max", kFloat},
    {"alpha_min", kFloat}, {"alpha_max", kFloat}, {"max_iter", kCount}, {"r_eps", kFloat},
    {"bg_type", kCode, "0"}, {"s_tri", kFloat, "0.0"}, {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_ds_em_loop(Arguments<kRunDsEmLoop>& a) {
  DoniachSunjicPeaks peaks;
  peaks.gamma_min = a.get<"gamma_min">();
  peaks.gamma_max = a.get<"gamma_max">();
  peaks.alpha_min = a.get<"alpha_min">();
  peaks.alpha_max = a.get<"alpha_max">();
  return run_mixture(a, peaks);
}

constexpr Signature kRunTsdcEmLoop = signature("run_tsdc_em_loop", Lock::kReleased, {
    {"t", kArray}, {"intensity", kArray}, {"ea", kWrittenArray}, {"tau0", kWrittenArray},
    {"tp", kWrittenArray}, {"pi", kWrittenArray}, {"dirichlet_alpha", kArray}, {"fix_ea", kBoolSequence},
    {"fix_tp", kBoolSequence}, {"beta", kFloat}, {"ea_min", kFloat}, {"ea_max", kFloat}, {"t_min", kFloat},
    {"t_max", kFloat}, {"max_iter", kCount}, {"r_eps", kFloat}, {"bg_type", kCode, "0"},
    {"s_tri", kFloat, "0.0"}, {"spline_basis_preds", kOptionalRows, "None"}});

PyObject* run_tsdc_em_loop(Arguments<kRunTsdcEmLoop>& a) {
  TsdcPeaks peaks;
  peaks.beta = a.get<"beta">();
  peaks.ea_min = a.get<"ea_min">();
  peaks.ea_max = a.get<"ea_max">();
  return run_mixture(a, peaks);
}

constexpr Signature kLorentzianMle = signature("lorentzian_mle", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kFloat}, {"gamma", kFloat}, {"x_min", kFloat},
    {"x_max", kFloat}, {"fix_x0", kBool, "False"}, {"fix_gamma", kBool, "False"}});

PyObject* lorentzian_mle(Arguments<kLorentzianMle>& a) {
  double x0 = a.get<"x0">();
  double gamma = a.get<"gamma">();
  a.compute([&] {
    lorentzian_fit(a.get<"x">(), a.get<"intensity">(), x0, gamma, a.get<"fix_x0">(),
                   a.get<"fix_gamma">(), a.get<"x_min">(), a.get<"x_max">());
  });
  return result_tuple({PyFloat_FromDouble(x0), PyFloat_FromDouble(gamma)});
}

constexpr Signature kDoniachSunjicMle = signature("doniach_sunjic_mle", Lock::kReleased, {
    {"x", kArray}, {"intensity", kArray}, {"x0", kFloat}, {"gamma", kFloat}, {"alpha", kFloat},
    {"x_min", kFloat}, {"x_max", kFloat}, {"gamma_min", kFloat}, {"gamma_max", kFloat},
    {"alpha_min", kFloat}, {"alpha_max", kFloat}, {"fix_x0", kBool, "False"},
    {"fix_gamma", kBool, "False"}, {"fix_alpha", kBool, "False"}});

PyObject* doniach_sunjic_mle(Arguments<kDoniachSunjicMle>& a) {
  const DoniachSunjicParameters fitted = a.compute([&] {
    return brivane::doniach_sunjic_mle(a.get<"x">(), a.get<"intensity">(), a.get<"x0">(), a.get<"gamma">(),
                                       a.get<"alpha">(), a.get<"x_min">(), a.get<"x_max">(),
                                       a.get<"gamma_min">(), a.get<"gamma_max">(), a.get<"alpha_min">(),
                                       a.get<"alpha_max">(), a.get<"fix_x0">(), a.get<"fix_gamma">(),
                                       a.get<"fix_alpha">());
  });
  return result_tuple({PyFloat_FromDouble(fitted[0]), PyFloat_FromDouble(fitted[1]),
                       PyFloat_FromDouble(fitted[2])});
}

constexpr Signature kTsdcPredict = signature("tsdc_predict", Lock::kReleased, {
    {"t", kArray}, {"ea", kFloat}, {"tau0", kFloat}, {"beta", kFloat}});

PyObject* tsdc_predict(Arguments<kTsdcPredict>& a) {
  const std::vector<double> density = a.compute(
      [&] { return brivane::tsdc_predict(a.get<"t">(), a.get<"ea">(), a.get<"tau0">(), a.get<"beta">()); });
  return result_array(density);
}

// (ea, tau0, tp), or the fit's error as RuntimeError with its text.
PyObject* tsdc_fit_result(const TsdcFitResult& fit) {
  if (!fit.ok()) {
    PyErr_SetString(PyExc_RuntimeError, std::string(tsdc_fit_error_message(fit.error)).c_str());
    throw PythonError{};
  }
  return result_tuple({PyFloat_FromDouble(fit.peak.ea), PyFloat_FromDouble(fit.peak.tau0),
                       PyFloat_FromDouble(fit.peak.tp)});
}

constexpr Signature kTsdcMleFindRoot = signature("tsdc_mle_find_root", Lock::kReleased, {
    {"t", kArray}, {"intensity", kArray}, {"ea", kFloat}, {"tau0", kFloat}, {"tp", kFloat},
    {"ea_min", kFloat}, {"ea_max", kFloat}, {"beta", kFloat}, {"fix_ea", kBool, "False"},
    {"fix_tp", kBool, "False"}});

PyObject* tsdc_mle_find_root(Arguments<kTsdcMleFindRoot>& a) {
  const TsdcFitResult fit = a.compute([&] {
    return tsdc_root_fit(a.get<"t">(), a.get<"intensity">(), {a.get<"ea">(), a.get<"tau0">(), a.get<"tp">()},
                         a.get<"fix_ea">(), a.get<"fix_tp">(), a.get<"ea_min">(), a.get<"ea_max">(),
                         a.get<"beta">());
  });
  return tsdc_fit_result(fit);
}

constexpr Signature kTsdcMleLbfgsb = signature("tsdc_mle_lbfgsb", Lock::kReleased, {
    {"t", kArray}, {"intensity", kArray}, {"ea", kFloat}, {"tau0", kFloat}, {"tp", kFloat},
    {"ea_min", kFloat}, {"ea_max", kFloat}, {"t_min", kFloat}, {"t_max", kFloat}, {"beta", kFloat},
    {"fix_ea", kBool, "False"}, {"fix_tp", kBool, "False"}});

PyObject* tsdc_mle_lbfgsb(Arguments<kTsdcMleLbfgsb>& a) {
  const TsdcFitResult fit = a.compute([&] {
    return tsdc_bounded_fit(a.get<"t">(), a.get<"intensity">(), {a.get<"ea">(), a.get<"tau0">(), a.get<"tp">()},
                            a.get<"fix_ea">(), a.get<"fix_tp">(),
                            {a.get<"ea_min">(), a.get<"ea_max">(), a.get<"t_min">(), a.get<"t_max">()},
                            a.get<"beta">());
  });
  return tsdc_fit_result(fit);
}

// ---------------------------------------------------------------------------------------------
// The table, in the order of __all__.

constexpr Function kFunctions[] = {
    function<kRunEmLoop, run_em_loop>(),
    function<kRunPvEmLoop, run_pv_em_loop>(),
    function<kRunVoigtEmLoop, run_voigt_em_loop>(),
    function<kRunLorentzianEmLoop, run_lorentzian_em_loop>(),
    function<kRunDsEmLoop, run_ds_em_loop>(),
    function<kRunTsdcEmLoop, run_tsdc_em_loop>(),
    function<kPseudoVoigtPredict, pseudo_voigt_predict>(),
    function<kPseudoVoigtMleConditionalMax, pseudo_voigt_mle_conditional_max>(),
    function<kPseudoVoigtMleFullOptimization, pseudo_voigt_mle_full_optimization>(),
    function<kLorentzianMle, lorentzian_mle>(),
    function<kDoniachSunjicMle, doniach_sunjic_mle>(),
    function<kTsdcPredict, tsdc_predict>(),
    function<kTsdcMleFindRoot, tsdc_mle_find_root>(),
    function<kTsdcMleLbfgsb, tsdc_mle_lbfgsb>(),
};

}  // namespace

std::span<PyMethodDef> function_table() { return method_table<kFunctions>(); }

}  // namespace brivane::py
