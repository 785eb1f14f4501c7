#pragma once
// How a pass over the grid forms the first background row (background.hpp fills it).

#include <cstdint>

namespace brivane {

// A constant inside the window [x_min, x_max] and 0 outside (the uniform and all-zero rows),
// max(slope x + intercept, 0) inside (the linear row), or read from stored rows (every background
// row after the first is read).
enum class BackgroundForm : std::uint8_t { kConstant, kLinear, kStored };
struct BackgroundRow {
  BackgroundForm form = BackgroundForm::kStored;
  double x_min = 0.0, x_max = 0.0;
  double value = 0.0;                  // kConstant
  double slope = 0.0, intercept = 0.0; // kLinear
};

}  // namespace brivane
