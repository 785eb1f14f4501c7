#include "background.hpp"

#include <algorithm>
#include <cmath>

#include "failure.hpp"
#include "numerics/root_finder.hpp"

namespace brivane {

namespace {

constexpr double kTiltUpper = 0.99999;

bool inside(double x, double x_min, double x_max) { return x_min <= x && x <= x_max; }

// The uniform density 1/w, or 0 for a window without width.
double uniform_value(double x_min, double x_max) {
  const double width = x_max - x_min;
  return width > 0.0 ? 1.0 / width : 0.0;
}

struct Line {
  double slope, intercept;
};

Line linear_density(double x_min, double x_max, double s_tri) {
  const double width = x_max - x_min;
  const double slope = s_tri * 2.0 / (width * width);
  return {slope, (1.0 - s_tri) / width - x_min * slope};
}

void uniform_row(std::span<double> row, std::span<const double> x, double x_min, double x_max) {
  const double value = uniform_value(x_min, x_max);
  if (value == 0.0) {
    std::fill(row.begin(), row.end(), 0.0);
    return;
  }
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = inside(x[i], x_min, x_max) ? value : 0.0;
}

void square_root_row(std::span<double> row, std::span<const double> x, double x_min,
                     double x_max) {
  // Normaliser of sqrt(x) over the window; a negative x_min makes the power NaN, which, like a
  // vanishing window, falls back to 1.
  double norm = 0.6666666666666666 * (std::pow(x_max, 1.5) - std::pow(x_min, 1.5));
  if (!(std::fabs(norm) > 1e-300)) norm = 1.0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    row[i] = (inside(x[i], x_min, x_max) && x[i] >= 0.0) ? std::sqrt(x[i]) / norm : 0.0;
  }
}

void linear_row(std::span<double> row, std::span<const double> x, double x_min, double x_max,
                double s_tri) {
  const Line line = linear_density(x_min, x_max, s_tri);
  for (std::size_t i = 0; i < row.size(); ++i) {
    // fmax, not std::max: a NaN value clips to 0 like a negative one.
    row[i] = inside(x[i], x_min, x_max) ? std::fmax(line.slope * x[i] + line.intercept, 0.0) : 0.0;
  }
}

}  // namespace

std::size_t background_row_count(std::uint8_t bg_type, const BasisRows* spline_basis_preds) {
  if (bg_type == kNoBackground) return 0;
  if (bg_type == kBasisBackground) return spline_basis_preds ? spline_basis_preds->size() : 0;
  return 1;
}

void background_densities(RowMatrix& densities, std::size_t peak_count, std::uint8_t bg_type,
                          std::span<const double> x, double x_min, double x_max, double s_tri,
                          const BasisRows* spline_basis_preds) {
  const std::size_t rows = background_row_count(bg_type, spline_basis_preds);
  if (rows == 0) return;
  require_length(densities.rows(), peak_count + rows);
  const std::span<const double> grid = x.first(std::min(x.size(), densities.cols()));
  switch (bg_type) {
    case kUniformBackground:
      uniform_row(densities.row(peak_count), grid, x_min, x_max);
      break;
    case kSquareRootBackground:
      square_root_row(densities.row(peak_count), grid, x_min, x_max);
      break;
    case kLinearBackground:
      linear_row(densities.row(peak_count), grid, x_min, x_max, s_tri);
      break;
    case kBasisBackground:
      for (std::size_t b = 0; b < rows; ++b) {
        const std::vector<double>& basis = (*spline_basis_preds)[b];
        std::span<double> row = densities.row(peak_count + b);
        if (basis.size() != row.size()) fail_copy_length(basis.size(), row.size());
        std::copy(basis.begin(), basis.end(), row.begin());
      }
      break;
    default: {
      std::span<double> row = densities.row(peak_count);
      std::fill(row.begin(), row.end(), 0.0);
    }
  }
}

BackgroundRow background_row_form(std::uint8_t bg_type, double x_min, double x_max, double s_tri) {
  BackgroundRow row;
  row.x_min = x_min;
  row.x_max = x_max;
  switch (bg_type) {
    case kSquareRootBackground:
    case kBasisBackground:
      row.form = BackgroundForm::kStored;
      break;
    case kUniformBackground:
      row.form = BackgroundForm::kConstant;
      row.value = uniform_value(x_min, x_max);
      break;
    case kLinearBackground: {
      const Line line = linear_density(x_min, x_max, s_tri);
      row.form = BackgroundForm::kLinear;
      row.slope = line.slope;
      row.intercept = line.intercept;
      break;
    }
    default:  // no row (code 0: never read) or the all-zero row of codes 5..255
      row.form = BackgroundForm::kConstant;
      row.value = 0.0;
  }
  return row;
}

double linear_background_score(std::span<const double> x, std::span<const double> weights,
                               double x_min, double x_max, double s) {
  const double width = x_max - x_min;
  const double two_over_w2 = 2.0 / (width * width);
  const double derivative_intercept = -1.0 / width - x_min * two_over_w2;
  const double slope = 2.0 * s / (width * width);
  const double intercept = (1.0 - s) / width - slope * x_min;
  const std::size_t n = std::min(x.size(), weights.size());
  double score = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!inside(x[i], x_min, x_max)) continue;
    const double derivative = x[i] * two_over_w2 + derivative_intercept;
    score += derivative * weights[i] / (slope * x[i] + intercept + 1e-5);
  }
  return score;
}

double estimate_s_tri(std::span<const double> x, std::span<const double> weights, double x_min,
                      double x_max) {
  auto score = [&](double s) { return linear_background_score(x, weights, x_min, x_max, s); };
  // The density (1 - s) / w + 2 s (x - x_min) / w^2 is valid for every tilt in [-1, 1]: a positive
  // tilt rises across the window, a negative one falls. The root is searched on each side of 0 in
  // turn, [0, 0.99999] first, so that a rising background is found by the very steps it always was
  // (same bits), and only a score already negative at 0 moves the search to [-0.99999, 0].
  const double middle = score(0.0);
  const double high = score(kTiltUpper);
  // A NaN score cannot say which way the likelihood goes: the upper end, as always.
  if (std::isnan(middle) || std::isnan(high)) return kTiltUpper;
  if (middle * high <= 0.0) {
    const RootResult result = find_root(score, 0.0, kTiltUpper, 1e-8);
    // Out of steps: the end whose score is larger. For non-negative weights the score falls in s
    // (its derivative is -sum w g^2 / f^2), so this only matters for weights of both signs.
    if (!result.converged()) return high > middle ? kTiltUpper : 0.0;
    return std::clamp(result.root, 0.0, kTiltUpper);
  }
  if (middle > 0.0) return kTiltUpper;  // positive throughout [0, 0.99999]: the likelihood rises to the top
  const double low = score(-kTiltUpper);
  if (std::isnan(low)) return kTiltUpper;
  if (low * middle <= 0.0) {
    const RootResult result = find_root(score, -kTiltUpper, 0.0, 1e-8);
    if (!result.converged()) return middle > low ? 0.0 : -kTiltUpper;
    return std::clamp(result.root, -kTiltUpper, 0.0);
  }
  // Negative throughout [-0.99999, 0.99999]: the likelihood rises toward the lowest tilt.
  return -kTiltUpper;
}

}  // namespace brivane
