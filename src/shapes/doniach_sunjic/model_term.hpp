#pragma once
// The Doniach-Sunjic peak as a term of a spectrum model. Its line shape
// g(u) = cos(pi alpha / 2 + (1 - alpha) atan(u / gamma)) / (gamma^2 + u^2)^((1 - alpha) / 2),
// u = x - center, has its tail toward smaller x; `tail` +1 mirrors it (u = center - x), putting the
// tail toward larger x, where the losses of a line lie on an ascending binding-energy axis; -1
// keeps it. The line is not integrable for alpha > 0, so its area is the counts over the channels
// the term is given (the fit window): value_i = area g_i w_i / sum_j g_j w_j. The derivatives with
// respect to (center, gamma, alpha, area) are exact, the normalising sum's included. gamma > 0 and
// 0 <= alpha < 1 are expected (the solver's bounds keep them so).

#include <cstddef>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

// parameters = (center, gamma, alpha, area); tail = +1 or -1 (the term's aux[0]).
void doniach_sunjic_model_term(const Channels& channels, std::span<const double> parameters, double tail,
                               const TermOutput& out);

// The term as the engine reaches it (model/peak_terms.hpp):
// parameters = (center, gamma, alpha, area; aux[0] = the tail's side).
struct DoniachSunjicTerm {
  static constexpr TermKind kKind{4};
  static constexpr const char* kName = "DoniachSunjic";
  static constexpr std::size_t kParameters = 4;
  static void evaluate(const Channels& channels, std::span<const double> parameters, const TermAux& aux,
                       const TermOutput& out) {
    doniach_sunjic_model_term(channels, parameters, aux[0], out);
  }
  static const char* aux_error(const TermAux& aux) {
    return aux[0] != 1.0 && aux[0] != -1.0 ? "the tail's side must be +1 (toward larger x) or -1" : nullptr;
  }
};

}  // namespace brivane::model
