#include "shapes/tsdc/model_term.hpp"

#include <cmath>
#include <cstddef>

#include "numerics/exponential_integrals.hpp"

namespace brivane::model {

void tsdc_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out) {
  const double ea = parameters[0], tp = parameters[1], area = parameters[2];
  constexpr double k = kBoltzmannEvPerKelvin;
  const double log_c = std::log(ea / (k * tp * tp)) + ea / (k * tp);
  const double log_c_ea = 1.0 / ea + 1.0 / (k * tp);             // d ln c / d ea
  const double log_c_tp = -2.0 / tp - ea / (k * tp * tp);        // d ln c / d tp
  const std::size_t n = channels.x.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double t = channels.x[i];
    double y = 0.0, log_y_ea = 0.0, log_y_tp = 0.0;
    if (t > 0.0) {
      const double a = ea / (k * t);
      const ExponentialIntegrals e = exponential_integrals(a);
      // m = c T E2(a) and c E1(a), each 0 where its integral underflows.
      const double m = e.e2 > 0.0 ? std::exp(log_c + std::log(t) + std::log(e.e2)) : 0.0;
      const double c_e1 = e.e1 > 0.0 ? std::exp(log_c + std::log(e.e1)) : 0.0;
      y = std::exp(log_c - a - m);
      // d ln y / d ea = d ln c/d ea (1 - m) - 1/(kT) + c E1(a) / k; d ln y / d tp = d ln c/d tp (1 - m).
      log_y_ea = log_c_ea * (1.0 - m) - 1.0 / (k * t) + c_e1 / k;
      log_y_tp = log_c_tp * (1.0 - m);
    }
    const double unit = y * channels.width[i];
    out.value[i] = area * unit;
    if (out.wants_derivatives) {
      const double counts = area * unit;
      out.derivative[0][i] = counts != 0.0 ? counts * log_y_ea : 0.0;
      out.derivative[1][i] = counts != 0.0 ? counts * log_y_tp : 0.0;
      out.derivative[2][i] = unit;
    }
  }
}

}  // namespace brivane::model
