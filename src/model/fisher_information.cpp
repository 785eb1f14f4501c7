#include "model/fisher_information.hpp"

#include <algorithm>
#include <cstring>

namespace brivane::model {

void free_jacobian(const Problem& problem, std::span<const double> full_jacobian, std::span<const double> slope,
                   std::span<double> jacobian) {
  const std::size_t n = problem.channel_count();
  std::fill(jacobian.begin(), jacobian.begin() + n * problem.free_count(), 0.0);
  const auto root = problem.root();
  for (std::size_t j = 0; j < problem.parameter_count(); ++j) {
    if (root[j] == kNoRoot || slope[j] == 0.0) continue;
    const double s = slope[j];
    const double* from = full_jacobian.data() + j * n;
    double* to = jacobian.data() + root[j] * n;
    for (std::size_t i = 0; i < n; ++i) to[i] += s * from[i];
  }
}

namespace {

// sum_i a_i b_i in eight interleaved partial sums, four vectors of two lanes (the baseline x86-64
// vector): the additions of one sum wait on each other, so a single running sum would hold the
// loop to one term per addition latency.
using Lanes = double __attribute__((vector_size(16)));

inline Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double dot(const double* a, const double* b, std::size_t n) {
  Lanes s0 = {0.0, 0.0}, s1 = s0, s2 = s0, s3 = s0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    s0 += load(a + i) * load(b + i);
    s1 += load(a + i + 2) * load(b + i + 2);
    s2 += load(a + i + 4) * load(b + i + 4);
    s3 += load(a + i + 6) * load(b + i + 6);
  }
  const Lanes s = (s0 + s1) + (s2 + s3);
  double sum = s[0] + s[1];
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace

void score_and_information(std::span<const double> jacobian, std::size_t free_count, std::span<const double> counts,
                           std::span<const double> mu, std::span<double> score, std::span<double> information,
                           std::span<double> weighted, std::span<double> residual, std::span<std::size_t> support) {
  const std::size_t n = counts.size();
  // weighted first holds 1 / mu, residual (y - mu) / mu.
  for (std::size_t i = 0; i < n; ++i) {
    const double m = mu[i];
    const double inverse = m > 0.0 ? 1.0 / m : 0.0;
    residual[i] = (counts[i] - m) * inverse;
    weighted[i] = inverse;
  }
  // Each column's channels from its first to its last non-zero entry: a narrow peak's columns are
  // exactly 0 beyond its cut tails, and two columns meet only where both are non-zero.
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    std::size_t begin = 0, end = n;
    while (begin < n && column[begin] == 0.0) ++begin;
    while (end > begin && column[end - 1] == 0.0) --end;
    support[2 * l] = begin;
    support[2 * l + 1] = end;
    score[l] = dot(column + begin, residual.data() + begin, end - begin);
  }
  // residual is free again: it holds each column divided by mu in turn.
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    const std::size_t begin_l = support[2 * l], end_l = support[2 * l + 1];
    for (std::size_t i = begin_l; i < end_l; ++i) residual[i] = column[i] * weighted[i];
    for (std::size_t k = l; k < free_count; ++k) {
      const std::size_t begin = std::max(begin_l, support[2 * k]), end = std::min(end_l, support[2 * k + 1]);
      const double sum = begin < end ? dot(jacobian.data() + k * n + begin, residual.data() + begin, end - begin) : 0.0;
      information[k * free_count + l] = sum;
      information[l * free_count + k] = sum;
    }
  }
}

}  // namespace brivane::model
