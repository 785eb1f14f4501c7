#include "model/term_kinds.hpp"

namespace brivane::model {

bool is_term_kind(std::int64_t code) { return (code >= 0 && code <= 5) || (code >= 10 && code <= 16); }

std::size_t fixed_parameter_count(TermKind kind) {
  switch (kind) {
    case TermKind::kGaussian: return 3;
    case TermKind::kLorentzian: return 3;
    case TermKind::kPseudoVoigt: return 4;
    case TermKind::kVoigt: return 4;
    case TermKind::kDoniachSunjic: return 4;
    case TermKind::kTsdc: return 3;
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
  switch (kind) {
    case TermKind::kGaussian: return "Gaussian";
    case TermKind::kLorentzian: return "Lorentzian";
    case TermKind::kPseudoVoigt: return "PseudoVoigt";
    case TermKind::kVoigt: return "Voigt";
    case TermKind::kDoniachSunjic: return "DoniachSunjic";
    case TermKind::kTsdc: return "TSDC";
    case TermKind::kConstant: return "Constant";
    case TermKind::kLinear: return "Linear";
    case TermKind::kPolynomial: return "Polynomial";
    case TermKind::kExponential: return "Exponential";
    case TermKind::kShirley: return "Shirley";
    case TermKind::kTougaard: return "Tougaard";
    case TermKind::kUserRows: return "UserRows";
  }
  return "unknown";
}

}  // namespace brivane::model
