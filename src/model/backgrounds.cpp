#include "model/backgrounds.hpp"

#include <algorithm>
#include <cmath>

#include "interrupt.hpp"

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

namespace {

double dot(const double* a, const double* b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

}  // namespace

void shirley_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                  std::span<const double> parameters, const FollowerOutput& out) {
  const std::size_t n = x.size();
  const double k = parameters[0];
  // The cumulative sum of a column from the low side, half of each channel's own: written as
  // k times it into `to` (added), or, for the total, into the value and its own derivative.
  auto cumulate = [&](const double* from, auto&& store) {
    double below = 0.0;
    for (std::size_t step = 0; step < n; ++step) {
      const std::size_t i = direction > 0.0 ? step : n - 1 - step;
      store(i, below + 0.5 * from[i]);
      below += from[i];
    }
  };
  cumulate(peaks.total.data(), [&](std::size_t i, double cumulative) {
    out.value[i] = k * cumulative;
    if (out.own[0]) out.own[0][i] = cumulative;
  });
  if (!out.peak_columns || peaks.columns.empty()) return;
  for (std::size_t q = 0; q < peaks.parameter_count; ++q) {
    double* to = out.peak_columns[q];
    if (!to) continue;
    cumulate(peaks.columns.data() + q * n, [&](std::size_t i, double cumulative) { to[i] += k * cumulative; });
  }
}

void tougaard_term(std::span<const double> x, double direction, const PeakCounts& peaks,
                   std::span<const double> parameters, const FollowerOutput& out) {
  const std::size_t n = x.size(), q_count = peaks.parameter_count;
  const bool columns = out.peak_columns && !peaks.columns.empty();
  const double b = parameters[0], c = parameters[1];
  double* kernel = out.kernel.data();
  double* kernel_c = out.kernel.data() + n;
  for (std::size_t i = 0; i < n; ++i) {
    // A pass is quadratic in the channels: on a long spectrum one pass alone outlasts the wait
    // a Ctrl-C may take, so it is checked every 256 rows as well as between iterations.
    if (i % 256 == 0) check_interrupt();
    // The low side of channel i: j < i for direction +1, j > i for -1.
    const std::size_t begin = direction > 0.0 ? 0 : i + 1;
    const std::size_t end = direction > 0.0 ? i : n;
    const std::size_t length = end - begin;
    const double xi = x[i];
    for (std::size_t j = begin; j < end; ++j) {
      const double t = direction > 0.0 ? xi - x[j] : x[j] - xi;
      const double inverse = 1.0 / (c + t * t);
      const double value = t * inverse * inverse;
      kernel[j - begin] = value;
      kernel_c[j - begin] = -2.0 * value * inverse;
    }
    const double sum = dot(kernel, peaks.total.data() + begin, length);
    out.value[i] = b * sum;
    if (out.own[0]) out.own[0][i] = sum;
    if (out.own[1]) out.own[1][i] = b * dot(kernel_c, peaks.total.data() + begin, length);
    if (columns) {
      for (std::size_t q = 0; q < q_count; ++q) {
        if (out.peak_columns[q]) out.peak_columns[q][i] += b * dot(kernel, peaks.columns.data() + q * n + begin, length);
      }
    }
  }
}

}  // namespace brivane::model
