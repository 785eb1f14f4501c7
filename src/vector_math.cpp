#include "vector_math.hpp"

#include <cmath>

namespace brivane {

void exp_in_place(std::span<double> values) {
  for (double& v : values) v = std::exp(v);
}

void log_in_place(std::span<double> values) {
  for (double& v : values) v = std::log(v);
}

}  // namespace brivane
