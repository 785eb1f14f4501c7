#include "model/problem.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "model/model_error.hpp"
#include "model/peak_terms.hpp"

namespace brivane::model {

namespace {

std::string at(const char* argument, std::size_t index) {
  return std::string(argument) + "[" + std::to_string(index) + "]";
}

void check_term(const TermSpec& term, std::size_t t, std::size_t expected_first, std::size_t parameter_count) {
  if (term.first != expected_first) {
    throw ModelError(at("first", t) + " = " + std::to_string(term.first) + ": terms must cover the parameters in order, " +
                     "expected " + std::to_string(expected_first));
  }
  const std::size_t fixed = fixed_parameter_count(term.kind);
  if (fixed != 0 && term.count != fixed) {
    throw ModelError(at("count", t) + " = " + std::to_string(term.count) + ": a " + term_kind_name(term.kind) +
                     " term has " + std::to_string(fixed) + " parameters");
  }
  if (fixed == 0 && term.count == 0) {
    throw ModelError(at("count", t) + " = 0: a " + std::string(term_kind_name(term.kind)) +
                     " term needs at least one parameter");
  }
  if (term.first + term.count > parameter_count) {
    throw ModelError(at("count", t) + ": the term's parameters run past the " + std::to_string(parameter_count) +
                     " given");
  }
  for (double a : term.aux) {
    if (!std::isfinite(a)) throw ModelError(at("aux", t) + " is not finite");
  }
  const char* refused = nullptr;
  visit_peak_term(term.kind, [&](auto peak) { refused = decltype(peak)::aux_error(term.aux); });
  if (refused != nullptr) throw ModelError(at("aux", t) + ": " + refused);
  switch (term.kind) {
    case TermKind::kPolynomial:
      if (!(term.aux[1] > 0.0)) throw ModelError(at("aux", t) + ": the polynomial's x_scale must be > 0");
      break;
    case TermKind::kShirley:
    case TermKind::kTougaard:
      if (term.aux[0] != 1.0 && term.aux[0] != -1.0) {
        throw ModelError(at("aux", t) + ": the direction must be +1 or -1");
      }
      break;
    default: break;
  }
}

}  // namespace

Problem::Problem(std::vector<double> x, std::vector<double> width, std::vector<TermSpec> terms,
                 std::vector<ParameterSpec> parameters, std::vector<std::vector<double>> rows)
    : x_(std::move(x)), width_(std::move(width)), terms_(std::move(terms)), parameters_(std::move(parameters)) {
  check_channels();
  if (terms_.empty()) throw ModelError("the model has no terms");
  const std::size_t user_rows = index_terms();
  copy_rows(rows, user_rows);
  const std::vector<std::size_t> free_position = index_free_parameters();
  mark_linear_free();
  order_ties(free_position);
}

void Problem::check_channels() const {
  const std::size_t n = x_.size();
  if (n == 0) throw ModelError("x is empty: a fit needs at least one channel");
  if (width_.size() != n) {
    throw ModelError("width has " + std::to_string(width_.size()) + " values for " + std::to_string(n) + " channels");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x_[i])) throw ModelError(at("x", i) + " is not finite");
    if (i > 0 && !(x_[i] > x_[i - 1])) throw ModelError(at("x", i) + " is not above x[" + std::to_string(i - 1) + "]: x must be strictly ascending");
    if (!(width_[i] > 0.0) || !std::isfinite(width_[i])) throw ModelError(at("width", i) + " must be finite and > 0");
  }
}

std::size_t Problem::index_terms() {
  const std::size_t p_count = parameters_.size();
  std::size_t next = 0, user_rows = 0;
  first_row_.assign(terms_.size(), 0);
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    const TermSpec& term = terms_[t];
    check_term(term, t, next, p_count);
    next += term.count;
    if (term.kind == TermKind::kUserRows) {
      first_row_[t] = user_rows;
      user_rows += term.count;
    }
    if (is_peak(term.kind)) {
      for (std::size_t k = 0; k < term.count; ++k) peak_parameters_.push_back(term.first + k);
    }
    if (follows_peaks(term.kind)) has_peak_followers_ = true;
  }
  if (next != p_count) {
    throw ModelError("the terms own " + std::to_string(next) + " parameters but " + std::to_string(p_count) +
                     " were given");
  }
  return user_rows;
}

void Problem::copy_rows(const std::vector<std::vector<double>>& rows, std::size_t user_rows) {
  const std::size_t n = x_.size();
  if (rows.size() != user_rows) {
    throw ModelError("rows: " + std::to_string(rows.size()) + " given, the UserRows terms have " +
                     std::to_string(user_rows) + " amplitudes");
  }
  rows_.reserve(user_rows * n);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (rows[r].size() != n) {
      throw ModelError(at("rows", r) + " has " + std::to_string(rows[r].size()) + " values for " +
                       std::to_string(n) + " channels");
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isfinite(rows[r][i])) throw ModelError(at("rows", r) + "[" + std::to_string(i) + "] is not finite");
    }
    rows_.insert(rows_.end(), rows[r].begin(), rows[r].end());
  }
}

std::vector<std::size_t> Problem::index_free_parameters() {
  const std::size_t p_count = parameters_.size();
  std::vector<std::size_t> free_position(p_count, kNoRoot);
  for (std::size_t j = 0; j < p_count; ++j) {
    const ParameterSpec& p = parameters_[j];
    switch (p.role) {
      case Role::kFree:
        if (std::isnan(p.lower) || std::isnan(p.upper) || p.lower > p.upper) {
          throw ModelError(at("lower", j) + " and upper: bounds must not be NaN and lower <= upper");
        }
        if (!std::isfinite(p.value)) throw ModelError(at("value", j) + " is not finite");
        free_position[j] = free_index_.size();
        free_index_.push_back(j);
        break;
      case Role::kFixed:
        if (!std::isfinite(p.value)) throw ModelError(at("value", j) + " is not finite");
        break;
      case Role::kLinearTie:
      case Role::kBraggTie:
        if (p.source >= p_count) {
          throw ModelError(at("source", j) + " = " + std::to_string(p.source) + " is not a parameter index");
        }
        if (p.source == j) throw ModelError(at("source", j) + ": a parameter cannot follow itself");
        if (!std::isfinite(p.scale) || !std::isfinite(p.offset)) {
          throw ModelError(at("scale", j) + " and offset must be finite");
        }
        if (p.role == Role::kBraggTie && !(p.scale > 0.0)) {
          throw ModelError(at("scale", j) + ": the wavelength ratio must be > 0");
        }
        break;
      default: throw ModelError(at("role", j) + " is not a role (0 free, 1 fixed, 2 linear tie, 3 Bragg tie)");
    }
  }
  if (free_index_.empty()) throw ModelError("the model has nothing free: every parameter is fixed or tied");
  return free_position;
}

void Problem::mark_linear_free() {
  std::vector<unsigned char> linear(parameters_.size(), 0);
  for (const TermSpec& term : terms_) {
    switch (term.kind) {
      case TermKind::kLinear:
      case TermKind::kPolynomial:
      case TermKind::kUserRows:
        for (std::size_t k = 0; k < term.count; ++k) linear[term.first + k] = 1;
        break;
      case TermKind::kConstant:
      case TermKind::kExponential:
      case TermKind::kShirley:
      case TermKind::kTougaard: linear[term.first] = 1; break;
      default: linear[term.first + term.count - 1] = 1;  // a peak's area
    }
  }
  for (std::size_t j : free_index_) linear_free_.push_back(linear[j]);
}

// Roots and an evaluation order of the ties: follow each chain to its end, marking the
// parameters on the way; a chain that comes back to a parameter on it is a cycle.
void Problem::order_ties(const std::vector<std::size_t>& free_position) {
  const std::size_t p_count = parameters_.size();
  root_.assign(p_count, kNoRoot);
  std::vector<unsigned char> state(p_count, 0);  // 0 unvisited, 1 on the current chain, 2 done
  std::vector<std::size_t> chain;
  for (std::size_t j = 0; j < p_count; ++j) {
    const Role role = parameters_[j].role;
    if (role == Role::kFree || role == Role::kFixed) {
      root_[j] = free_position[j];
      state[j] = 2;
    }
  }
  for (std::size_t j = 0; j < p_count; ++j) {
    if (state[j] == 2) continue;
    chain.clear();
    std::size_t k = j;
    while (state[k] == 0) {
      state[k] = 1;
      chain.push_back(k);
      k = parameters_[k].source;
    }
    if (state[k] == 1) throw ModelError(at("source", k) + ": the ties form a cycle");
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      root_[*it] = root_[parameters_[*it].source];
      state[*it] = 2;
      tie_order_.push_back(*it);
    }
  }
}

}  // namespace brivane::model
