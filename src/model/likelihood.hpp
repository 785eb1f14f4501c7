#pragma once
// The Poisson likelihood of counts y_i given expected counts mu_i: the log-likelihood, the
// deviance, and the change of the deviance between two models summed channel by channel, so that
// near the optimum its rounding is relative to the change itself and not to the deviance.
//
// A model is admissible when every mu_i is finite and >= 0, and mu_i > 0 wherever y_i > 0; where
// y_i = 0 and mu_i = 0 the channel contributes nothing. The functions return NaN for a model that
// is not admissible.

#include <span>

namespace brivane::model {

bool admissible(std::span<const double> counts, std::span<const double> mu);

// sum_i (y_i ln mu_i - mu_i - lgamma(y_i + 1)), with 0 ln 0 = 0.
double poisson_log_likelihood(std::span<const double> counts, std::span<const double> mu);

// sum_i (y_i ln y_i - y_i - lgamma(y_i + 1)), the log-likelihood of the saturated model (mu = y),
// with 0 ln 0 = 0; whole counts below 1024 from a table made once per process.
double saturated_log_likelihood(std::span<const double> counts);

// 2 sum_i (y_i ln(y_i / mu_i) - (y_i - mu_i)), with 0 ln 0 = 0. The log-likelihood is
// saturated_log_likelihood - deviance / 2, without a logarithm per channel.
double poisson_deviance(std::span<const double> counts, std::span<const double> mu);

// D(mu_new) - D(mu_old) = 2 sum_i (y_i ln(mu_old_i / mu_new_i) - (mu_old_i - mu_new_i)), each
// logarithm from the difference itself (2 atanh((mu_old - mu_new) / (mu_old + mu_new)) by its
// series where the ratio lies within [7/9, 9/7], log1p of the relative difference beyond), so that
// it keeps its own relative precision. NaN when mu_new is not admissible (mu_old is assumed to be).
double deviance_change(std::span<const double> counts, std::span<const double> mu_old,
                       std::span<const double> mu_new);

// Pearson's chi-square sum_i (y_i - mu_i)^2 / max(mu_i, 1e-300): a channel whose model is 0 (or
// below the floor) adds y_i^2 / 1e-300 where counts are, 0 where none are. The channels are summed
// in four partial sums by their place in each step of four, added as (0 + 2) + (1 + 3), then the
// remaining channels in order: the same bits on every instruction set. NaN propagates.
double pearson_chi_square(std::span<const double> counts, std::span<const double> mu);

}  // namespace brivane::model
