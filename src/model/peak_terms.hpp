#pragma once
// The peak kinds of the spectrum model, seen from the engine. Each shape's folder declares its term
// in model_term.hpp, a struct named after the folder (src/shapes/pseudo_voigt: PseudoVoigtTerm):
//
//   static constexpr TermKind kKind;         its code, shared with the Python layer (below 10)
//   static constexpr const char* kName;      for messages
//   static constexpr std::size_t kParameters;
//   static void evaluate(const Channels&, std::span<const double> parameters, const TermAux& aux,
//                        const TermOutput&);
//   static const char* aux_error(const TermAux& aux);  // why the aux values are refused, or null
//
// The build (CMakeLists.txt, brivane_shape) lists every shape's term in PeakTerms, in a header it
// generates (peak_term_list.hpp), so adding a shape edits nothing here; the engine reaches the
// terms through visit_peak_term only.

#include <cstddef>
#include <cstdint>
#include <span>

#include "model/term_columns.hpp"

namespace brivane::model {

template <class... Terms>
struct PeakTermList {
  // Calls f(Term{}) for the term of `kind` and returns true, or returns false if no peak has it.
  template <class F>
  static bool visit(TermKind kind, F&& f) {
    return ((kind == Terms::kKind ? (f(Terms{}), true) : false) || ...);
  }

  // Codes below 10 (is_peak), each taken once.
  static constexpr bool codes_valid() {
    constexpr std::int32_t codes[] = {static_cast<std::int32_t>(Terms::kKind)...};
    for (std::size_t i = 0; i < sizeof...(Terms); ++i) {
      if (codes[i] < 0 || codes[i] >= 10) return false;
      for (std::size_t j = 0; j < i; ++j) {
        if (codes[i] == codes[j]) return false;
      }
    }
    return true;
  }

  static constexpr std::size_t max_parameters() {
    std::size_t most = 0;
    ((most = Terms::kParameters > most ? Terms::kParameters : most), ...);
    return most;
  }
};

}  // namespace brivane::model

#include "peak_term_list.hpp"  // generated: using PeakTerms = PeakTermList<...>;

namespace brivane::model {

static_assert(PeakTerms::codes_valid(), "every peak shape needs a code of its own below 10");
static_assert(PeakTerms::max_parameters() <= kMaxPeakParameters, "a peak has more parameters than TermOutput holds");

template <class F>
bool visit_peak_term(TermKind kind, F&& f) {
  return PeakTerms::visit(kind, static_cast<F&&>(f));
}

}  // namespace brivane::model
