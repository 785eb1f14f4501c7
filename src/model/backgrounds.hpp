#pragma once
// Background terms, in counts per channel (not multiplied by the channel width), with their exact
// derivatives. The plain ones depend on x and their own parameters; Shirley's and Tougaard's
// follow the peaks' counts channel by channel, so their derivatives reach every peak parameter.

#include <cstddef>
#include <span>

#include "model/problem.hpp"

namespace brivane::model {

// Constant, Linear, Polynomial, Exponential and UserRows term `term_index` of the problem:
// value[i] and, when `derivative` is not null, derivative[k][i] for each of its parameters.
void plain_background_term(const Problem& problem, std::size_t term_index, std::span<const double> parameters,
                           double* value, double* const* derivative);

// What the peak-following backgrounds read: every peak's counts summed per channel, and the
// derivatives of that sum with respect to each peak parameter q, column by column
// (columns[q * n + i]).
struct PeakCounts {
  std::span<const double> total;    // n
  std::span<const double> columns;  // n * Q, empty when no derivatives are wanted
  std::size_t parameter_count = 0;  // Q
};

// Where their derivatives go: own[k] receives d value / d own parameter k (or null for none); the
// derivatives through the peaks are ADDED to peak_columns[q] (Q pointers, null for none);
// `kernel` holds 2 n scratch values.
struct FollowerOutput {
  double* value = nullptr;
  double* own[2] = {nullptr, nullptr};
  double* const* peak_columns = nullptr;
  std::span<double> kernel;
};

// Shirley: k (sum of the peaks' counts in the channels below i + half of channel i's), "below"
// meaning smaller x for direction +1, larger x for -1. parameters = (k).
void shirley_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                  std::span<const double> parameters, const FollowerOutput& out);

// Tougaard's two-parameter universal cross-section: b sum_{j below i} T / (c + T^2)^2 P_j,
// T = |x_i - x_j|. parameters = (b, c). Quadratic in the channel count: for each channel the
// kernel over its low side is formed once (a vectorisable row of quotients), then its sums with
// the peak counts and every derivative column are contiguous dot products.
void tougaard_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                   std::span<const double> parameters, const FollowerOutput& out);

}  // namespace brivane::model
