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

// sum_i (a_i w_i) b_i: the product a_i w_i rounded as if stored first, then times b_i.
double dot_weighted(const double* a, const double* w, const double* b, std::size_t begin, std::size_t end) {
  Lanes s0 = {0.0, 0.0}, s1 = s0, s2 = s0, s3 = s0;
  std::size_t i = begin;
  for (; i + 8 <= end; i += 8) {
    s0 += load(a + i) * load(w + i) * load(b + i);
    s1 += load(a + i + 2) * load(w + i + 2) * load(b + i + 2);
    s2 += load(a + i + 4) * load(w + i + 4) * load(b + i + 4);
    s3 += load(a + i + 6) * load(w + i + 6) * load(b + i + 6);
  }
  const Lanes s = (s0 + s1) + (s2 + s3);
  double sum = s[0] + s[1];
  for (; i < end; ++i) sum += a[i] * w[i] * b[i];
  return sum;
}

// Four sums at once, sum_i (a_i w_i) b_k[i] for k = 0..3, over [begin, end): each a_i w_i is
// formed once for four products, where four separate sums would load and multiply it four times
// (the loads, not the arithmetic, bound these loops). Each sum keeps four partial sums (two
// vectors of two lanes) for the addition latency.
void dot4_weighted(const double* a, const double* w, const double* b0, const double* b1, const double* b2,
                   const double* b3, std::size_t begin, std::size_t end, double* out) {
  Lanes s00 = {0.0, 0.0}, s01 = s00, s10 = s00, s11 = s00, s20 = s00, s21 = s00, s30 = s00, s31 = s00;
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const Lanes x0 = load(a + i) * load(w + i), x1 = load(a + i + 2) * load(w + i + 2);
    s00 += x0 * load(b0 + i);
    s01 += x1 * load(b0 + i + 2);
    s10 += x0 * load(b1 + i);
    s11 += x1 * load(b1 + i + 2);
    s20 += x0 * load(b2 + i);
    s21 += x1 * load(b2 + i + 2);
    s30 += x0 * load(b3 + i);
    s31 += x1 * load(b3 + i + 2);
  }
  const Lanes t0 = s00 + s01, t1 = s10 + s11, t2 = s20 + s21, t3 = s30 + s31;
  double r0 = t0[0] + t0[1], r1 = t1[0] + t1[1], r2 = t2[0] + t2[1], r3 = t3[0] + t3[1];
  for (; i < end; ++i) {
    const double x = a[i] * w[i];
    r0 += x * b0[i];
    r1 += x * b1[i];
    r2 += x * b2[i];
    r3 += x * b3[i];
  }
  out[0] = r0;
  out[1] = r1;
  out[2] = r2;
  out[3] = r3;
}

}  // namespace

void score_and_information(std::span<const double> jacobian, std::size_t free_count, std::span<const double> counts,
                           std::span<const double> mu, std::span<double> score, std::span<double> information,
                           std::span<double> weighted, std::span<double> residual, std::span<std::size_t> support) {
  const std::size_t n = counts.size();
  // weighted holds 1 / mu, residual (y - mu) / mu; two channels at a time, the reciprocal taken
  // everywhere and 0 put where mu is 0.
  const Lanes zero = {0.0, 0.0};
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const Lanes m = load(mu.data() + i);
    const Lanes inverse = m > zero ? 1.0 / m : zero;
    const Lanes r = (load(counts.data() + i) - m) * inverse;
    std::memcpy(residual.data() + i, &r, sizeof r);
    std::memcpy(weighted.data() + i, &inverse, sizeof inverse);
  }
  for (; i < n; ++i) {
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
  // The information: column l times 1/mu times the columns k >= l, four columns at a time, over
  // the channels where column l and any of the four is non-zero (outside a column's support its
  // entries are exact zeros, which add nothing).
  auto store = [&](std::size_t l, std::size_t k, double sum) {
    information[k * free_count + l] = sum;
    information[l * free_count + k] = sum;
  };
  const double* w = weighted.data();
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    const std::size_t begin_l = support[2 * l], end_l = support[2 * l + 1];
    std::size_t k = l;
    for (; k + 4 <= free_count; k += 4) {
      std::size_t begin = n, end = 0;
      for (std::size_t q = k; q < k + 4; ++q) {
        begin = std::min(begin, support[2 * q]);
        end = std::max(end, support[2 * q + 1]);
      }
      begin = std::max(begin, begin_l);
      end = std::min(end, end_l);
      double sums[4] = {0.0, 0.0, 0.0, 0.0};
      if (begin < end) {
        const double* b = jacobian.data() + k * n;
        dot4_weighted(column, w, b, b + n, b + 2 * n, b + 3 * n, begin, end, sums);
      }
      for (std::size_t q = 0; q < 4; ++q) store(l, k + q, sums[q]);
    }
    for (; k < free_count; ++k) {
      const std::size_t begin = std::max(begin_l, support[2 * k]), end = std::min(end_l, support[2 * k + 1]);
      store(l, k, begin < end ? dot_weighted(column, w, jacobian.data() + k * n, begin, end) : 0.0);
    }
  }
}

}  // namespace brivane::model
