// Time of one joint maximum-likelihood fit of a whole spectrum model, and of one evaluation of the
// model and its Jacobian, on this thread's CPU clock:
//   - the HPGe spectrum of examples/data, five Gaussians on a constant, from the starts of
//     examples/fit_hpge.py (sigma 0.8 keV, areas read off the plot);
//   - a Lorentzian doublet on a flat background over 1,000 channels (a Raman D and G band pair,
//     Poisson counts with a fixed seed), from starts 1340 and 1590 cm^-1.
// For each: iterations, status, time per fit (the workspace reused, as a batch of spectra would),
// time per evaluation of mu and J, and their ratio per evaluation the fit made.
//
//   model_fit_bench [path of gamma_HPGe_1070-1190keV_counts.csv [case name part]]
//   model_fit_bench --problems FILE...
// The second form times the problems bench/model_fit_cases.py writes: each fit on the bundled
// spectra exactly as brivane.fit hands it to the engine (its rough starts, bounds and ties).

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_clock.hpp"
#include "model/evaluate.hpp"
#include "model/solver.hpp"
#include "shapes/gaussian/model_term.hpp"
#include "shapes/lorentzian/model_term.hpp"

using namespace brivane::model;

namespace {

std::vector<double> channel_widths(const std::vector<double>& x) {
  const std::size_t n = x.size();
  std::vector<double> w(n, 1.0);
  if (n < 2) return w;
  w[0] = x[1] - x[0];
  w[n - 1] = x[n - 1] - x[n - 2];
  for (std::size_t i = 1; i + 1 < n; ++i) w[i] = 0.5 * (x[i + 1] - x[i - 1]);
  return w;
}

struct Model {
  std::vector<TermSpec> terms;
  std::vector<ParameterSpec> parameters;
  void add(TermKind kind, std::vector<double> values, const std::vector<std::pair<double, double>>& bounds) {
    terms.push_back({kind, parameters.size(), values.size(), {0.0, 0.0}});
    for (std::size_t k = 0; k < values.size(); ++k) {
      ParameterSpec p;
      p.value = values[k];
      p.lower = bounds[k].first;
      p.upper = bounds[k].second;
      parameters.push_back(p);
    }
  }
  std::vector<double> start() const {
    std::vector<double> v;
    for (const ParameterSpec& p : parameters) v.push_back(p.value);
    return v;
  }
};

std::string only;  // measure only the cases whose name contains this

void measure(const char* name, const Problem& problem, const std::vector<double>& counts,
             const std::vector<double>& start) {
  if (std::string(name).find(only) == std::string::npos) return;
  Workspace workspace(problem);
  FitOptions options;
  options.tolerance = 1e-8;
  const FitResult result = fit(problem, counts, start, workspace, options);
  const double fit_seconds = best_seconds(5, 200, [&] {
    sink = fit(problem, counts, start, workspace, options).deviance;
  }, thread_clock);
  ModelScratch scratch(problem);
  std::vector<double> mu(problem.channel_count()), jacobian(problem.channel_count() * problem.parameter_count());
  const double evaluation_seconds = best_seconds(5, 2000, [&] {
    evaluate_model(problem, result.theta, mu, jacobian, scratch);
    sink = mu[0];
  }, thread_clock);
  const double evaluations = static_cast<double>(result.iterations + 1);
  std::printf("%s: %zu channels, %zu free parameters\n", name, problem.channel_count(), problem.free_count());
  std::printf("  status %d (%s), %zu iterations, deviance %.6f, decrement %.3g\n", static_cast<int>(result.status),
              fit_status_message(result.status), result.iterations, result.deviance, result.decrement);
  std::printf("  one fit %.1f us; one evaluation of mu and J %.2f us; fit / (evaluation x %.0f evaluations) = %.2f\n",
              fit_seconds * 1e6, evaluation_seconds * 1e6, evaluations, fit_seconds / (evaluation_seconds * evaluations));
  std::printf("  values:");
  for (double v : result.theta) std::printf(" %.6g", v);
  std::printf("\n");
}

// One problem file of bench/model_fit_cases.py: "name v1 v2 ..." lines, rows as "row ..." lines.
int measure_problem_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::map<std::string, std::vector<double>> arrays;
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    std::vector<double> values;
    for (std::string token; fields >> token;) values.push_back(std::strtod(token.c_str(), nullptr));  // "inf" too
    if (name == "row") {
      rows.push_back(std::move(values));
    } else {
      arrays[name] = std::move(values);
    }
  }
  const std::vector<double>& kind = arrays["kind"];
  std::vector<TermSpec> terms;
  for (std::size_t t = 0; t < kind.size(); ++t) {
    terms.push_back({static_cast<TermKind>(kind[t]), static_cast<std::size_t>(arrays["first"][t]),
                     static_cast<std::size_t>(arrays["count"][t]), {arrays["aux"][2 * t], arrays["aux"][2 * t + 1]}});
  }
  std::vector<ParameterSpec> parameters(arrays["value"].size());
  for (std::size_t j = 0; j < parameters.size(); ++j) {
    ParameterSpec& p = parameters[j];
    p.role = static_cast<Role>(arrays["role"][j]);
    p.value = arrays["value"][j];
    p.lower = arrays["lower"][j];
    p.upper = arrays["upper"][j];
    p.source = static_cast<std::size_t>(arrays["source"][j]);
    p.scale = arrays["scale"][j];
    p.offset = arrays["offset"][j];
  }
  const Problem problem(arrays["x"], arrays["width"], terms, parameters, rows);
  const std::string name = path.substr(path.find_last_of('/') + 1);
  measure(name.c_str(), problem, arrays["counts"], arrays["value"]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--problems") {
    int status = 0;
    for (int k = 2; k < argc; ++k) status |= measure_problem_file(argv[k]);
    return status;
  }
  const std::string path = argc > 1 ? argv[1] : "examples/data/gamma_HPGe_1070-1190keV_counts.csv";
  if (argc > 2) only = argv[2];
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<double> energy, counts;
  std::string line;
  std::getline(file, line);  // header
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string a, b;
    std::getline(fields, a, ',');
    std::getline(fields, b, ',');
    energy.push_back(std::stod(a));
    counts.push_back(std::stod(b));
  }
  constexpr double kInf = HUGE_VAL;
  const std::vector<std::pair<double, double>> peak_bounds = {{-kInf, kInf}, {1e-3, kInf}, {0.0, kInf}};
  {
    Model m;
    const double centres[5] = {1086.3, 1090.2, 1112.6, 1121.0, 1173.7};
    const double areas[5] = {1700.0, 300.0, 2300.0, 1900.0, 9900.0};
    for (int k = 0; k < 5; ++k) m.add(GaussianTerm::kKind, {centres[k], 0.8, areas[k]}, peak_bounds);
    m.add(TermKind::kConstant, {12.0}, {{0.0, kInf}});
    const Problem problem(energy, channel_widths(energy), m.terms, m.parameters, {});
    measure("HPGe, 5 Gaussians + constant", problem, counts, m.start());
  }
  {
    std::vector<double> x(1000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 1000.0 + 0.8 * static_cast<double>(i);
    Model truth;
    truth.add(LorentzianTerm::kKind, {1345.8, 230.0, 3e5}, peak_bounds);
    truth.add(LorentzianTerm::kKind, {1579.8, 100.0, 2e5}, peak_bounds);
    truth.add(TermKind::kConstant, {50.0}, {{0.0, kInf}});
    const Problem problem(x, channel_widths(x), truth.terms, truth.parameters, {});
    ModelScratch scratch(problem);
    std::vector<double> mu(x.size());
    evaluate_model(problem, truth.start(), mu, {}, scratch);
    std::mt19937_64 engine(2026);
    std::vector<double> y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = static_cast<double>(std::poisson_distribution<long>(mu[i])(engine));
    const std::vector<double> start = {1340.0, 200.0, 2.5e5, 1590.0, 120.0, 1.6e5, 60.0};
    measure("Lorentzian doublet + constant", problem, y, start);
  }
  return 0;
}
