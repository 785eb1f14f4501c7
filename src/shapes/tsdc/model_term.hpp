#pragma once
// The thermally stimulated depolarisation current peak as a term of a spectrum model, over the
// temperature T (K). With k = 8.61733034e-5 eV/K, a = ea / (k T) and
// c = 1 / (beta tau0) = (ea / (k tp^2)) exp(ea / (k tp)) (tau0 chosen so that the peak lies at tp;
// the heating rate beta cancels), the density y(T) = c exp(-a - c T E2(a)) has unit area over
// T in (0, inf) (d/dT [c T E2(a)] = c exp(-a)). Expected counts area * y(x_i) * width_i and their
// exact derivatives with respect to (ea, tp, area) through E1 and E2 (E2' = -E1). Formed in the
// log domain so that c, which overflows long before y does, never appears alone. T <= 0 gives 0.

#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

inline constexpr double kBoltzmannEvPerKelvin = 8.61733034e-5;

// parameters = (ea, tp, area).
void tsdc_model_term(const Channels& channels, std::span<const double> parameters, const TermOutput& out);

}  // namespace brivane::model
