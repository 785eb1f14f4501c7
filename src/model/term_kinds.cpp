#include "model/term_kinds.hpp"

#include "model/peak_terms.hpp"

namespace brivane::model {

bool is_term_kind(std::int64_t code) {
  if (code >= 10 && code <= 16) return true;
  return code >= 0 && code < 10 && visit_peak_term(static_cast<TermKind>(code), [](auto) {});
}

std::size_t fixed_parameter_count(TermKind kind) {
  std::size_t count = 0;
  if (visit_peak_term(kind, [&](auto term) { count = decltype(term)::kParameters; })) return count;
  switch (kind) {
    case TermKind::kConstant: return 1;
    case TermKind::kLinear: return 2;
    case TermKind::kPolynomial: return 0;
    case TermKind::kExponential: return 2;
    case TermKind::kShirley: return 1;
    case TermKind::kTougaard: return 2;
    case TermKind::kUserRows: return 0;
  }
  return 0;
}

const char* term_kind_name(TermKind kind) {
  const char* name = "unknown";
  if (visit_peak_term(kind, [&](auto term) { name = decltype(term)::kName; })) return name;
  switch (kind) {
    case TermKind::kConstant: return "Constant";
    case TermKind::kLinear: return "Linear";
    case TermKind::kPolynomial: return "Polynomial";
    case TermKind::kExponential: return "Exponential";
    case TermKind::kShirley: return "Shirley";
    case TermKind::kTougaard: return "Tougaard";
    case TermKind::kUserRows: return "UserRows";
  }
  return name;
}

}  // namespace brivane::model
