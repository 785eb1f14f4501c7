#include "model/backgrounds.hpp"

#include <algorithm>
#include <cmath>

namespace brivane::model {

void plain_background_term(const Problem& problem, std::size_t term_index, std::span<const double> parameters,
                           double* value, double* const* derivative) {
  const TermSpec& term = problem.terms()[term_index];
  const auto x = problem.x();
  const std::size_t n = x.size();
  switch (term.kind) {
    case TermKind::kConstant:
      std::fill(value, value + n, parameters[0]);
      if (derivative) std::fill(derivative[0], derivative[0] + n, 1.0);
      break;
    case TermKind::kLinear: {
      const double x_ref = term.aux[0];
      for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] - x_ref;
        value[i] = parameters[0] + parameters[1] * d;
        if (derivative) {
          derivative[0][i] = 1.0;
          derivative[1][i] = d;
        }
      }
      break;
    }
    case TermKind::kPolynomial: {
      const double x_ref = term.aux[0], inverse_scale = 1.0 / term.aux[1];
      for (std::size_t i = 0; i < n; ++i) {
        const double t = (x[i] - x_ref) * inverse_scale;
        double power = 1.0, sum = 0.0;
        for (std::size_t k = 0; k < term.count; ++k) {
          sum += parameters[k] * power;
          if (derivative) derivative[k][i] = power;
          power *= t;
        }
        value[i] = sum;
      }
      break;
    }
    case TermKind::kExponential: {
      const double x_ref = term.aux[0];
      for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] - x_ref;
        const double e = std::exp(-parameters[1] * d);
        value[i] = parameters[0] * e;
        if (derivative) {
          derivative[0][i] = e;
          derivative[1][i] = -parameters[0] * d * e;
        }
      }
      break;
    }
    case TermKind::kUserRows: {
      std::fill(value, value + n, 0.0);
      const std::size_t first_row = problem.first_row(term_index);
      for (std::size_t r = 0; r < term.count; ++r) {
        const auto row = problem.row(first_row + r);
        for (std::size_t i = 0; i < n; ++i) value[i] += parameters[r] * row[i];
        if (derivative) std::copy(row.begin(), row.end(), derivative[r]);
      }
      break;
    }
    default: break;
  }
}

void shirley_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                  std::span<const double> parameters, const FollowerOutput& out) {
  const std::size_t n = x.size(), q_count = peaks.parameter_count;
  const bool rows = out.peak_columns && !peaks.rows.empty();
  const double k = parameters[0];
  double below = 0.0;
  double* below_rows = out.accumulator.data();
  if (rows) std::fill(below_rows, below_rows + q_count, 0.0);
  for (std::size_t step = 0; step < n; ++step) {
    const std::size_t i = direction > 0.0 ? step : n - 1 - step;
    const double p = peaks.total[i];
    const double cumulative = below + 0.5 * p;
    below += p;
    out.value[i] = k * cumulative;
    if (out.own[0]) out.own[0][i] = cumulative;
    if (rows) {
      const double* row = peaks.rows.data() + i * q_count;
      for (std::size_t q = 0; q < q_count; ++q) {
        if (out.peak_columns[q]) out.peak_columns[q][i] += k * (below_rows[q] + 0.5 * row[q]);
        below_rows[q] += row[q];
      }
    }
  }
}

void tougaard_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                   std::span<const double> parameters, const FollowerOutput& out) {
  const std::size_t n = x.size(), q_count = peaks.parameter_count;
  const bool rows = out.peak_columns && !peaks.rows.empty();
  const double b = parameters[0], c = parameters[1];
  double* sums = out.accumulator.data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t begin = direction > 0.0 ? 0 : i + 1;
    const std::size_t end = direction > 0.0 ? i : n;
    double sum = 0.0, sum_c = 0.0;
    if (rows) std::fill(sums, sums + q_count, 0.0);
    for (std::size_t j = begin; j < end; ++j) {
      const double t = std::abs(x[i] - x[j]);
      const double inverse = 1.0 / (c + t * t);
      const double kernel = t * inverse * inverse;
      sum += kernel * peaks.total[j];
      sum_c += -2.0 * kernel * inverse * peaks.total[j];
      if (rows) {
        const double* row = peaks.rows.data() + j * q_count;
        for (std::size_t q = 0; q < q_count; ++q) sums[q] += kernel * row[q];
      }
    }
    out.value[i] = b * sum;
    if (out.own[0]) out.own[0][i] = sum;
    if (out.own[1]) out.own[1][i] = b * sum_c;
    if (rows) {
      for (std::size_t q = 0; q < q_count; ++q) {
        if (out.peak_columns[q]) out.peak_columns[q][i] += b * sums[q];
      }
    }
  }
}

}  // namespace brivane::model
