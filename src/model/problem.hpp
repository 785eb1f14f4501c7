#pragma once
// The immutable description of one spectrum model over one set of channels: the terms (peaks and
// backgrounds, each owning a run of the full parameter vector theta), every parameter's role
// (free within bounds, fixed, or tied to another by a linear map or by Bragg's law) and the user
// background rows. Built and checked once; any number of fits, on any threads, then read it.
//
// The free vector phi holds the free parameters in index order; each other parameter is fixed or
// follows a chain of ties that ends at one free or fixed parameter, its root.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/term_columns.hpp"
#include "model/term_kinds.hpp"

namespace brivane::model {

struct TermSpec {
  TermKind kind;
  std::size_t first = 0;  // theta[first, first + count) belongs to the term
  std::size_t count = 0;
  std::array<double, 2> aux{0.0, 0.0};
};

enum class Role : std::int32_t { kFree = 0, kFixed = 1, kLinearTie = 2, kBraggTie = 3 };

struct ParameterSpec {
  Role role = Role::kFree;
  double value = 0.0;  // the start (free), the value (fixed); ignored for ties
  double lower = -HUGE_VAL, upper = HUGE_VAL;  // free parameters only
  std::size_t source = 0;                      // ties: the parameter followed
  double scale = 1.0, offset = 0.0;            // linear: scale theta_src + offset; Bragg: lambda2/lambda1
};

inline constexpr std::size_t kNoRoot = static_cast<std::size_t>(-1);

class Problem {
 public:
  // Checks everything that does not depend on the counts, and throws ModelError naming the
  // argument and index at fault: x strictly ascending and finite, widths finite and > 0, one width
  // per channel; every term of a known kind with its parameter count, the terms covering theta
  // contiguously in order; roles known, bounds not NaN with lower <= upper, fixed values finite,
  // tie sources in range and free of cycles; user rows of the channels' length, as many as the
  // UserRows terms' parameters; at least one free parameter. `rows` holds R rows of n values each.
  Problem(std::vector<double> x, std::vector<double> width, std::vector<TermSpec> terms,
          std::vector<ParameterSpec> parameters, std::vector<std::vector<double>> rows);

  std::size_t channel_count() const { return x_.size(); }
  std::size_t parameter_count() const { return parameters_.size(); }
  std::size_t free_count() const { return free_index_.size(); }
  Channels channels() const { return {x_, width_}; }
  std::span<const double> x() const { return x_; }
  std::span<const double> width() const { return width_; }
  std::span<const TermSpec> terms() const { return terms_; }
  std::span<const ParameterSpec> parameters() const { return parameters_; }
  // Row r of the user background rows (n values).
  std::span<const double> row(std::size_t r) const { return {rows_.data() + r * x_.size(), x_.size()}; }
  std::size_t row_count() const { return x_.empty() ? 0 : rows_.size() / x_.size(); }
  // The first user row of each UserRows term (indexed by term).
  std::size_t first_row(std::size_t term) const { return first_row_[term]; }

  // Full index of free parameter k.
  std::span<const std::size_t> free_index() const { return free_index_; }
  // Position in phi of each parameter's root, or kNoRoot when the root is fixed.
  std::span<const std::size_t> root() const { return root_; }
  // The tied parameters, each after its source.
  std::span<const std::size_t> tie_order() const { return tie_order_; }
  // The full indices of every peak parameter (the columns Shirley and Tougaard terms follow).
  std::span<const std::size_t> peak_parameters() const { return peak_parameters_; }
  bool has_peak_followers() const { return has_peak_followers_; }
  // Per free parameter: whether the model is linear in it (a peak's area, a background's amplitude
  // or coefficient), which the solver's first steps adjust alone.
  std::span<const unsigned char> linear_free() const { return linear_free_; }
  // Whether every parameter is free (no fixed ones, no ties): phi is theta.
  bool all_free() const { return free_index_.size() == parameters_.size(); }

 private:
  // The constructor's steps, in order; each throws ModelError on what it checks.
  void check_channels() const;                   // x ascending and finite, one positive width each
  std::size_t index_terms();                     // terms in order; returns the UserRows amplitudes
  void copy_rows(const std::vector<std::vector<double>>& rows, std::size_t user_rows);
  std::vector<std::size_t> index_free_parameters();  // roles; returns each free parameter's phi slot
  void mark_linear_free();
  void order_ties(const std::vector<std::size_t>& free_position);

  std::vector<double> x_, width_;
  std::vector<TermSpec> terms_;
  std::vector<ParameterSpec> parameters_;
  std::vector<double> rows_;
  std::vector<std::size_t> first_row_;
  std::vector<std::size_t> free_index_, root_, tie_order_, peak_parameters_;
  std::vector<unsigned char> linear_free_;
  bool has_peak_followers_ = false;
};

}  // namespace brivane::model
