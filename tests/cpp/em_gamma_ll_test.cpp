#include "em_gamma_ll.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "failure.hpp"
#include "parallel.hpp"

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

TEST(EStep, ResponsibilitiesAndTheFusedWeightsAgree) {
  // The form the EM loop uses (weights and counts, shared among tasks) must give exactly the
  // responsibilities' products and sums, for any split of the samples.
  const Mixture m = random_mixture(6, 70001, 3);
  std::vector<double> mixture(70001), scratch(70001), counts(6);
  RowMatrix responsibilities(6, 70001), weights(6, 70001);
  const double ll = gamma_and_log_likelihood(m.intensity, m.densities, m.pi, mixture, responsibilities, scratch);
  for (bool parallel : {false, true}) {
    const double fused = weights_and_log_likelihood(m.intensity, m.densities, m.pi, mixture, weights, counts,
                                                    scratch, parallel);
    EXPECT_EQ(fused, ll);
    for (std::size_t k = 0; k < 6; ++k) {
      double sum = 0.0;
      for (std::size_t i = 0; i < 70001; ++i) {
        ASSERT_EQ(weights.row(k)[i], m.intensity[i] * responsibilities.row(k)[i]);
        sum += m.intensity[i] * responsibilities.row(k)[i];
      }
      EXPECT_EQ(counts[k], sum);
    }
    std::vector<double> from_rows = m.pi, from_counts = m.pi;
    const std::vector<double> alpha{1.0, 2.0, 0.5, 1.0, 1.0, 3.0};
    update_mixing_weights(from_rows, m.intensity, responsibilities, alpha);
    update_mixing_weights_from_counts(from_counts, counts, 6, alpha);
    EXPECT_EQ(from_rows, from_counts);
  }
}

TEST(EStep, ResponsibilitiesSumToOneWhereTheMixtureLives) {
  const Mixture m = random_mixture(3, 1000, 9);
  std::vector<double> mixture(1000), scratch(1000);
  RowMatrix g(3, 1000);
  gamma_and_log_likelihood(m.intensity, m.densities, m.pi, mixture, g, scratch);
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
