#include "numerics/free_parameters.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "failure.hpp"

namespace brivane {

std::string format_bound(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0.0 ? "inf" : "-inf";
  const double magnitude = std::fabs(value);
  const bool exponent_form = magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16);
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                          exponent_form ? std::chars_format::scientific : std::chars_format::fixed);
  std::string text(buffer, end);
  if (!exponent_form) {
    // Shortest fixed form: "2" for 2.0, "0.25" for 0.25; an integral value gets its ".0".
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  // to_chars writes "1.5e+16" and "1e-05"; the exponent is printed bare: "1.5e16", "1e-5".
  const std::size_t e = text.find('e');
  std::string exponent = text.substr(e + 1);
  const bool negative = exponent[0] == '-';
  std::size_t digits = exponent.find_first_not_of("+-0");
  text.erase(e + 1);
  if (negative) text += '-';
  text += digits == std::string::npos ? "0" : exponent.substr(digits);
  return text;
}

double checked_clamp(double value, double lower, double upper) {
  if (!(lower <= upper)) {
    throw Failure("min > max, or either was NaN. min = " + format_bound(lower) + ", max = " + format_bound(upper));
  }
  if (value < lower) value = lower;
  if (value > upper) value = upper;
  return value;
}

}  // namespace brivane
