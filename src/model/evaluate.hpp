#pragma once
// The model's expected counts per channel, mu_i = sum over terms, and its Jacobian
// d mu_i / d theta_j over the full parameter vector (column-major: column j holds n values), at any
// full theta. Tied parameters' columns are filled as if they were free; the solver maps them to
// the free vector by the chain rule (ties.hpp).

#include <cstddef>
#include <span>
#include <vector>

#include "model/problem.hpp"

namespace brivane::model {

// Working memory of one evaluation, sized once for a problem.
class ModelScratch {
 public:
  explicit ModelScratch(const Problem& problem);

 private:
  friend void evaluate_model(const Problem&, std::span<const double>, std::span<double>, std::span<double>,
                             ModelScratch&, std::span<double>);
  std::vector<double> value_;        // one term's values (n)
  std::vector<double> peak_total_;   // all peaks' counts (n), with peak followers only
  std::vector<double> peak_copy_;    // their derivatives as the peaks left them (n x Q, column-major)
  std::vector<double*> peak_columns_;
  std::vector<double*> term_columns_;  // a background term's derivative columns
  std::vector<double> kernel_;       // 2 n
};

// mu (n) always; the Jacobian (n * P, column-major) when `jacobian` is not empty; each term's values
// (C * n, term by term) when `term_values` is not empty. Non-finite results are returned as they
// are: the caller decides what a NaN means.
void evaluate_model(const Problem& problem, std::span<const double> theta, std::span<double> mu,
                    std::span<double> jacobian, ModelScratch& scratch, std::span<double> term_values = {});

}  // namespace brivane::model
