#pragma once
// The thermally stimulated depolarisation current peak as a term of a spectrum model, over the
// temperature T (K). With k = 8.61733034e-5 eV/K, a = ea / (k T) and
// c = 1 / (beta tau0) = (ea / (k tp^2)) exp(ea / (k tp)) (tau0 chosen so that the peak lies at tp;
// the heating rate beta cancels), the density y(T) = c exp(-a - c T E2(a)) has unit area over
// T in (0, inf) (d/dT [c T E2(a)] = c exp(-a)). Expected counts area * y(x_i) * width_i and their
// exact derivatives with respect to (ea, tp, area) through E1 and E2 (E2' = -E1). Formed in the
// log domain so that c, which overflows long before y does, never appears alone. T <= 0 gives 0.

#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

inline constexpr double kBoltzmannEvPerKelvin = 8.61733034e-5;

// parameters = (ea, tp, area).
void tsdc_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp):
// parameters = (ea, tp, area; aux[0] = heating rate).
struct TsdcTerm {
  static constexpr TermKind kKind{5};
  static constexpr const char* kName = "TSDC";
  static constexpr std::size_t kParameters = 3;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& /*aux*/,
                       const TermOutput& out) {
    tsdc_model_term(channels, parameters, out);
  }
  static const char* aux_error(const TermAux& aux) {
    return !(aux[0] > 0.0) ? "the heating rate must be > 0" : nullptr;
  }
};

}  // namespace brivane::model
