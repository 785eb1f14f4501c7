#include "em_gamma_ll.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "e_step_support.hpp"
#include "failure.hpp"
#include "parallel.hpp"
#include "vector_math.hpp"

namespace brivane {
namespace {

struct Mixture {
  RowMatrix densities;
  std::vector<double> intensity;
  std::vector<double> pi;
};

Mixture random_mixture(std::size_t components, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Mixture m{RowMatrix(components, n), std::vector<double>(n), std::vector<double>(components)};
  for (std::size_t k = 0; k < components; ++k) {
    for (double& d : m.densities.row(k)) d = u(rng) < 0.1 ? 0.0 : u(rng);
    m.pi[k] = u(rng);
  }
  for (double& c : m.intensity) c = std::floor(50.0 * u(rng));
  return m;
}

// Sum of values[i] in the documented order: per chunk of kSumChunk samples, kSumLanes lanes by
// offset modulo kSumLanes, lanes added ((0+1)+(2+3))+((4+5)+(6+7)), chunks added in order.
double chunk_order_sum(const std::vector<double>& values) {
  double total = 0.0;
  for (std::size_t begin = 0; begin < values.size(); begin += kSumChunk) {
    double lanes[kSumLanes] = {};
    for (std::size_t i = begin; i < std::min(values.size(), begin + kSumChunk); ++i) lanes[(i - begin) % kSumLanes] += values[i];
    total += ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  }
  return total;
}

// a * b + c as the active kernels form it: one rounding with FMA, two without.
double multiply_add(double a, double b, double c) {
  return simd_level() == SimdLevel::kBaseline ? a * b + c : std::fma(a, b, c);
}

TEST(EStep, WeightsResponsibilitiesAndSumsFollowTheirFormulasInTheFixedOrder) {
  // A scalar E-step of the documented formulas and order must give exactly what the kernels give
  // (for the weights of the loop and for the responsibilities, on one thread or shared among the
  // pool), and agree with the plain quotient and sample-order sums to rounding.
  const std::size_t n = 70001, components = 6;
  const Mixture m = random_mixture(components, n, 3);
  std::vector<double> mixture(n), log_terms(n), reference_mixture(n);
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::size_t k = 0; k < components; ++k) sum = multiply_add(m.pi[k], m.densities.row(k)[i], sum);
    reference_mixture[i] = sum;
    log_terms[i] = sum + 1e-200;
  }
  log_in_place(log_terms);
  for (std::size_t i = 0; i < n; ++i) log_terms[i] = m.intensity[i] * log_terms[i];
  const double expected_ll = chunk_order_sum(log_terms);

  RowMatrix responsibilities(components, n);
  EXPECT_EQ(gamma_and_log_likelihood(m.intensity, m.densities, m.pi, mixture, responsibilities), expected_ll);
  EXPECT_EQ(mixture, reference_mixture);
  double plain_ll = 0.0;
  for (std::size_t i = 0; i < n; ++i) plain_ll += m.intensity[i] * std::log(reference_mixture[i] + 1e-200);
  EXPECT_NEAR(expected_ll, plain_ll, 1e-13 * std::fabs(plain_ll));

  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "shared among the pool" : "on the calling thread");
    RowMatrix weights(components, n);
    std::vector<double> counts(components);
    WeightPass pass(m.intensity, m.densities, m.pi, weights, parallel);
    EXPECT_EQ(pass.run(counts), expected_ll);
    for (std::size_t k = 0; k < components; ++k) {
      std::vector<double> row(n);
      for (std::size_t i = 0; i < n; ++i) {
        const double product = m.densities.row(k)[i] * m.pi[k];
        const double denominator = reference_mixture[i] + 1e-20;
        row[i] = product * (m.intensity[i] / denominator);
        ASSERT_EQ(weights.row(k)[i], row[i]) << k << " " << i;
        ASSERT_EQ(responsibilities.row(k)[i], product * (1.0 / denominator)) << k << " " << i;
        ASSERT_NEAR(row[i], m.intensity[i] * (product / denominator), 5e-16 * row[i]);
      }
      EXPECT_EQ(counts[k], chunk_order_sum(row)) << k;
    }
    std::vector<double> from_rows = m.pi, from_counts = m.pi;
    const std::vector<double> alpha{1.0, 2.0, 0.5, 1.0, 1.0, 3.0};
    update_mixing_weights(from_rows, m.intensity, responsibilities, alpha);
    update_mixing_weights_from_counts(from_counts, counts, components, alpha);
    for (std::size_t k = 0; k < components; ++k) EXPECT_NEAR(from_rows[k], from_counts[k], 1e-14 * from_rows[k]) << k;
  }
}

TEST(EStep, ResponsibilitiesSumToOneWhereTheMixtureLives) {
  const Mixture m = random_mixture(3, 1000, 9);
  std::vector<double> mixture(1000);
  RowMatrix g(3, 1000);
  gamma_and_log_likelihood(m.intensity, m.densities, m.pi, mixture, g);
  for (std::size_t i = 0; i < 1000; ++i) {
    const double total = g.row(0)[i] + g.row(1)[i] + g.row(2)[i];
    if (mixture[i] > 1e-10) {
      EXPECT_NEAR(total, 1.0, 1e-14);
    } else if (mixture[i] == 0.0) {
      EXPECT_EQ(total, 0.0);  // the 1e-20 floor keeps 0/0 away
    }
  }
}

TEST(WeightUpdate, FlatPriorGivesCountsOverTheirTotalAndSmallPriorsCanZeroAWeight) {
  RowMatrix g(3, 2);
  g.row(0)[0] = 1.0;
  g.row(1)[1] = 0.75;
  g.row(2)[1] = 0.25;
  const std::vector<double> intensity{6.0, 4.0};
  std::vector<double> pi(3);
  update_mixing_weights(pi, intensity, g, std::vector<double>{1.0, 1.0, 1.0});
  EXPECT_NEAR(pi[0], 0.6, 1e-15);
  EXPECT_NEAR(pi[1], 0.3, 1e-15);
  EXPECT_NEAR(pi[2], 0.1, 1e-15);
  update_mixing_weights(pi, intensity, g, std::vector<double>{1.0, 1.0, 0.0});  // b = 6, 3, 0
  EXPECT_EQ(pi[2], 0.0);
  EXPECT_NEAR(pi[0], 2.0 / 3.0, 1e-15);
  std::vector<double> too_many(4);
  EXPECT_THROW(update_mixing_weights(too_many, intensity, g, std::vector<double>(4, 1.0)), Failure);
}

}  // namespace
}  // namespace brivane
