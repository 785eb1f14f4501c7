// The Poisson likelihood pieces the solver decides with: the deviance's change summed channel by
// channel against the difference of two deviances, the log-likelihood from the saturated model
// and the deviance against its direct sum, and what counts as an admissible model.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "model/likelihood.hpp"

namespace brivane::model {
namespace {

TEST(ModelLikelihood, LogLikelihoodFromTheSaturatedModelAndTheDeviance) {
  // Whole counts below and above the table's 1024, fractional counts (CCD units), zeros.
  std::mt19937_64 engine(3);
  std::vector<double> counts, mu;
  for (int i = 0; i < 400; ++i) {
    const double m = std::exp(std::uniform_real_distribution<double>(-1.0, 9.0)(engine));
    mu.push_back(m);
    double y = static_cast<double>(std::poisson_distribution<long>(m)(engine));
    if (i % 7 == 0) y += 0.37;
    counts.push_back(y);
  }
  const double direct = poisson_log_likelihood(counts, mu);
  const double via_deviance = saturated_log_likelihood(counts) - 0.5 * poisson_deviance(counts, mu);
  EXPECT_NEAR(via_deviance, direct, 1e-12 * std::abs(direct));
}

TEST(ModelLikelihood, DevianceChangeIsTheDifferenceOfDeviancesWithoutItsRounding) {
  // Counts near 1e9: the deviances are ~n and their rounding ~1e-7 each, while the change of a
  // step of 1e-9 relative is ~1e-7; summed per channel it keeps its own relative precision.
  std::vector<double> counts(500), old_mu(500), new_mu(500);
  std::mt19937_64 engine(5);
  long double exact = 0.0L;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    old_mu[i] = 1e9 * (1.0 + 1e-3 * std::sin(0.1 * i));
    counts[i] = static_cast<double>(std::poisson_distribution<long>(old_mu[i])(engine));
    new_mu[i] = old_mu[i] * (1.0 + 1e-9 * std::cos(0.37 * i));
    const long double y = counts[i], a = old_mu[i], b = new_mu[i];
    exact += 2.0L * (y * std::log1p((a - b) / b) - (a - b));
  }
  const double change = deviance_change(counts, old_mu, new_mu);
  EXPECT_NEAR(change, static_cast<double>(exact), 1e-9 * std::abs(static_cast<double>(exact)));
  // And on ordinary numbers it is the plain difference.
  std::vector<double> y = {0.0, 3.0, 7.0}, a = {0.5, 2.0, 9.0}, b = {0.7, 3.5, 6.0};
  EXPECT_NEAR(deviance_change(y, a, b), poisson_deviance(y, b) - poisson_deviance(y, a), 1e-14);
}

TEST(ModelLikelihood, DevianceChangeEitherSideOfTheSeriesSwitchAndItsAdmissibility) {
  // Steps from 1e-8 to a factor 3 per channel (the series of ln(mu_old / mu_new) within
  // [7/9, 9/7], the library beyond), over an odd number of channels (the vector pairs' remainder),
  // against long double; and NaN for every kind of inadmissible mu_new, wherever it lies.
  const std::vector<double> factors = {1.0 + 1e-8, 0.999, 1.2, 1.2857, 9.0 / 7.0, 1.2858, 7.0 / 9.0, 0.7777,
                                       0.7778, 3.0, 0.4, 1.0, 0.99};
  std::vector<double> y, a, b;
  long double exact = 0.0L;
  for (std::size_t i = 0; i < factors.size(); ++i) {
    y.push_back(i == 5 ? 0.0 : 40.0 + 7.0 * static_cast<double>(i));
    a.push_back(35.0 + 5.0 * static_cast<double>(i));
    b.push_back(a.back() / factors[i]);
    const long double yl = y.back(), al = a.back(), bl = b.back();
    exact += 2.0L * ((yl > 0 ? yl * std::log(al / bl) : 0.0L) - (al - bl));
  }
  EXPECT_NEAR(deviance_change(y, a, b), static_cast<double>(exact), 1e-12 * 100.0);
  for (std::size_t where : {0, 6, 12}) {
    for (double bad : {-1.0, HUGE_VAL, std::nan(""), 0.0}) {
      std::vector<double> c = b;
      c[where] = bad;
      EXPECT_TRUE(std::isnan(deviance_change(y, a, c))) << where << " " << bad;
    }
  }
  // mu_new = 0 where the count is 0 is admissible.
  std::vector<double> c = b;
  c[5] = 0.0;
  EXPECT_FALSE(std::isnan(deviance_change(y, a, c)));
}

TEST(ModelLikelihood, DevianceTermsEitherSideOfTheSeriesSwitch) {
  // Each channel's deviance term 2 (y ln(y / mu) - (y - mu)) against quadruple-precision-like long
  // double, for relative differences from 1e-12 to 0.5, either side of where the logarithm's
  // series takes over (y / mu = 9/7 and 7/9).
  for (double r : {1e-12, 1e-6, 1e-3, 0.0156, 0.02, 0.1, 0.2857, 2.0 / 7.0, 0.2858, 0.5, -0.0156, -0.2222,
                   -2.0 / 9.0, -0.2223, -0.3}) {
    const double y = 1e6, mu = y / (1.0 + r);
    const long double yl = y, ml = mu;
    const long double exact = 2.0L * (yl * std::log(yl / ml) - (yl - ml));
    const double got = poisson_deviance(std::vector<double>{y}, std::vector<double>{mu});
    EXPECT_NEAR(got, static_cast<double>(exact), 1e-9 * static_cast<double>(exact) + 1e-12) << r;
  }
}

TEST(ModelLikelihood, AdmissibleModels) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(admissible(std::vector<double>{0.0, 2.0}, std::vector<double>{0.0, 1.0}));  // no counts, none expected
  EXPECT_FALSE(admissible(std::vector<double>{1.0, 2.0}, std::vector<double>{0.0, 1.0}));
  EXPECT_FALSE(admissible(std::vector<double>{0.0, 2.0}, std::vector<double>{-1e-300, 1.0}));
  EXPECT_FALSE(admissible(std::vector<double>{0.0, 2.0}, std::vector<double>{nan, 1.0}));
  EXPECT_FALSE(admissible(std::vector<double>{0.0, 2.0}, std::vector<double>{HUGE_VAL, 1.0}));
  EXPECT_TRUE(std::isnan(deviance_change(std::vector<double>{1.0}, std::vector<double>{1.0}, std::vector<double>{0.0})));
  // 0 ln 0 = 0: a channel without counts contributes 2 mu.
  EXPECT_DOUBLE_EQ(poisson_deviance(std::vector<double>{0.0}, std::vector<double>{1.5}), 3.0);
}

TEST(ModelLikelihood, PearsonChiSquareOnAwkwardCounts) {
  // Counts from none to 1e12, expected counts from 1e-310 (below the floor of 1e-300) to 1e12, and
  // a length that leaves a remainder after the steps of four: against the sum in long double.
  std::mt19937_64 engine(5);
  std::vector<double> counts, mu;
  long double exact = 0.0L;
  for (int i = 0; i < 1003; ++i) {
    const double m = std::exp(std::uniform_real_distribution<double>(-4.0, 27.6)(engine));
    const double y = i % 5 == 0 ? 0.0 : std::round(m * std::uniform_real_distribution<double>(0.5, 1.5)(engine));
    counts.push_back(y);
    mu.push_back(m);
    exact += static_cast<long double>(y - m) * (y - m) / m;
  }
  EXPECT_NEAR(pearson_chi_square(counts, mu), static_cast<double>(exact), 1e-13 * static_cast<double>(exact));
  // A model of 0 (or below the floor) where no counts are adds nothing; where counts are, their
  // square over the floor; NaN passes through.
  EXPECT_EQ(pearson_chi_square(std::vector<double>{0.0, 0.0, 4.0}, std::vector<double>{0.0, 1e-310, 2.0}), 2.0);
  EXPECT_EQ(pearson_chi_square(std::vector<double>{1.0}, std::vector<double>{0.0}), 1.0 / 1e-300);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(pearson_chi_square(std::vector<double>{1.0, 2.0}, std::vector<double>{nan, 2.0})));
}

}  // namespace
}  // namespace brivane::model
