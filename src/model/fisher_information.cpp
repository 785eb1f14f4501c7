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

// The information's sums for a group of N <= 4 columns k: sum_i (a_i w_i) b_k[i] over
// [begin, end), a the column l and w = 1/mu. Each a_i w_i is formed once for the N products, where
// N separate sums would load and multiply it N times (the loads, not the arithmetic, bound these
// loops). Every sum keeps four partial sums, channels i..i+3 of each step of four, added as
// (i + i+2) + (i+1 + i+3) at the end, then the remaining channels one by one.
template <std::size_t N>
void group_sums(const double* a, const double* w, const double* const* b, std::size_t begin, std::size_t end,
                double* out) {
  Lanes low[N], high[N];
  for (std::size_t q = 0; q < N; ++q) low[q] = high[q] = Lanes{0.0, 0.0};
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const Lanes x0 = load(a + i) * load(w + i), x1 = load(a + i + 2) * load(w + i + 2);
    for (std::size_t q = 0; q < N; ++q) {
      low[q] += x0 * load(b[q] + i);
      high[q] += x1 * load(b[q] + i + 2);
    }
  }
  for (std::size_t q = 0; q < N; ++q) {
    const Lanes t = low[q] + high[q];
    out[q] = t[0] + t[1];
  }
  for (; i < end; ++i) {
    const double x = a[i] * w[i];
    for (std::size_t q = 0; q < N; ++q) out[q] += x * b[q][i];
  }
}

// The same sums with four channels to a vector where the processor has AVX2: each partial sum
// is the same lane, added in the same order, so the two give the same bits (no fused
// multiply-add, which would round differently).
using Quad = double __attribute__((vector_size(32)));

__attribute__((target("avx2"))) inline Quad load4(const double* p) {
  Quad v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <std::size_t N>
__attribute__((target("avx2"))) void group_sums_avx2(const double* a, const double* w, const double* const* b,
                                                     std::size_t begin, std::size_t end, double* out) {
  Quad sum[N];
  for (std::size_t q = 0; q < N; ++q) sum[q] = Quad{0.0, 0.0, 0.0, 0.0};
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const Quad x = load4(a + i) * load4(w + i);
    for (std::size_t q = 0; q < N; ++q) sum[q] += x * load4(b[q] + i);
  }
  for (std::size_t q = 0; q < N; ++q) {
    const double t0 = sum[q][0] + sum[q][2], t1 = sum[q][1] + sum[q][3];
    out[q] = t0 + t1;
  }
  for (; i < end; ++i) {
    const double x = a[i] * w[i];
    for (std::size_t q = 0; q < N; ++q) out[q] += x * b[q][i];
  }
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");

void column_group_sums(std::size_t count, const double* a, const double* w, const double* const* b,
                       std::size_t begin, std::size_t end, double* out) {
  switch (count) {
    case 1: return kHasAvx2 ? group_sums_avx2<1>(a, w, b, begin, end, out) : group_sums<1>(a, w, b, begin, end, out);
    case 2: return kHasAvx2 ? group_sums_avx2<2>(a, w, b, begin, end, out) : group_sums<2>(a, w, b, begin, end, out);
    case 3: return kHasAvx2 ? group_sums_avx2<3>(a, w, b, begin, end, out) : group_sums<3>(a, w, b, begin, end, out);
    default: return kHasAvx2 ? group_sums_avx2<4>(a, w, b, begin, end, out) : group_sums<4>(a, w, b, begin, end, out);
  }
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
  // The information: column l times 1/mu times the columns k >= l, up to four columns at a time,
  // over the channels where column l and any of the group is non-zero (outside a column's support
  // its entries are exact zeros, which add nothing).
  const double* w = weighted.data();
  for (std::size_t l = 0; l < free_count; ++l) {
    const double* column = jacobian.data() + l * n;
    const std::size_t begin_l = support[2 * l], end_l = support[2 * l + 1];
    for (std::size_t k = l; k < free_count; k += 4) {
      const std::size_t count = std::min<std::size_t>(4, free_count - k);
      std::size_t begin = n, end = 0;
      const double* columns[4];
      for (std::size_t q = 0; q < count; ++q) {
        begin = std::min(begin, support[2 * (k + q)]);
        end = std::max(end, support[2 * (k + q) + 1]);
        columns[q] = jacobian.data() + (k + q) * n;
      }
      begin = std::max(begin, begin_l);
      end = std::min(end, end_l);
      double sums[4] = {0.0, 0.0, 0.0, 0.0};
      if (begin < end) column_group_sums(count, column, w, columns, begin, end, sums);
      for (std::size_t q = 0; q < count; ++q) {
        information[(k + q) * free_count + l] = sums[q];
        information[l * free_count + k + q] = sums[q];
      }
    }
  }
}

}  // namespace brivane::model
