#pragma once
// The engine's arguments read into the model's description: whole-number codes passed as float64,
// terms from their kind, first, count and aux arrays, parameters from their role, value, bounds and
// tie arrays. Shared by every engine entry that builds a Problem; each throws ModelError naming the
// argument and index at fault.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "background.hpp"
#include "model/model_error.hpp"
#include "model/problem.hpp"

namespace brivane::py::engine_arguments {

// A whole number in [0, limit) from a float64 code.
inline std::int64_t code_of(double value, const char* argument, std::size_t index, double limit) {
  if (!(value >= 0.0) || !(value < limit) || value != std::floor(value)) {
    throw model::ModelError(std::string(argument) + "[" + std::to_string(index) + "] = " + std::to_string(value) +
                            " is not a whole number in range");
  }
  return static_cast<std::int64_t>(value);
}

inline void require_size(const std::vector<double>& values, std::size_t size, const char* argument, const char* what) {
  if (values.size() != size) {
    throw model::ModelError(std::string(argument) + " has " + std::to_string(values.size()) + " values, expected " +
                            std::to_string(size) + " (" + what + ")");
  }
}

inline std::vector<model::TermSpec> terms_of(const std::vector<double>& kind, const std::vector<double>& first,
                                             const std::vector<double>& count, const std::vector<double>& aux) {
  const std::size_t c = kind.size();
  require_size(first, c, "first", "one per term");
  require_size(count, c, "count", "one per term");
  require_size(aux, 2 * c, "aux", "two per term");
  std::vector<model::TermSpec> terms(c);
  for (std::size_t t = 0; t < c; ++t) {
    const std::int64_t k = code_of(kind[t], "kind", t, 256.0);
    if (!model::is_term_kind(k)) {
      throw model::ModelError("kind[" + std::to_string(t) + "] = " + std::to_string(k) + " is not a term kind");
    }
    terms[t].kind = static_cast<model::TermKind>(k);
    terms[t].first = static_cast<std::size_t>(code_of(first[t], "first", t, 1e9));
    terms[t].count = static_cast<std::size_t>(code_of(count[t], "count", t, 1e9));
    terms[t].aux = {aux[2 * t], aux[2 * t + 1]};
  }
  return terms;
}

inline std::vector<model::ParameterSpec> parameters_of(const std::vector<double>& role, const std::vector<double>& value,
                                                       const std::vector<double>& lower, const std::vector<double>& upper,
                                                       const std::vector<double>& source, const std::vector<double>& scale,
                                                       const std::vector<double>& offset) {
  const std::size_t p = value.size();
  require_size(role, p, "role", "one per parameter");
  require_size(lower, p, "lower", "one per parameter");
  require_size(upper, p, "upper", "one per parameter");
  require_size(source, p, "source", "one per parameter");
  require_size(scale, p, "scale", "one per parameter");
  require_size(offset, p, "offset", "one per parameter");
  std::vector<model::ParameterSpec> parameters(p);
  for (std::size_t j = 0; j < p; ++j) {
    model::ParameterSpec& s = parameters[j];
    s.role = static_cast<model::Role>(code_of(role[j], "role", j, 4.0));
    s.value = value[j];
    s.lower = lower[j];
    s.upper = upper[j];
    s.source = s.role == model::Role::kLinearTie || s.role == model::Role::kBraggTie
                   ? static_cast<std::size_t>(code_of(source[j], "source", j, 1e9))
                   : 0;
    s.scale = scale[j];
    s.offset = offset[j];
  }
  return parameters;
}

inline std::vector<std::vector<double>> rows_of(std::optional<BasisRows>& rows) {
  return rows ? std::move(*rows) : std::vector<std::vector<double>>{};
}

}  // namespace brivane::py::engine_arguments
