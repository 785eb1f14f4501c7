#pragma once
// How the function table describes a Python function: its name, whether it runs without the
// interpreter lock, and its parameters in signature order, each with its kind and, if it is
// optional, its default as the text signature shows it. Binding, conversion, the count of required
// parameters and the docstring all come from this one description; signature() checks it while
// compiling.

#include <array>
#include <cstddef>
#include <string_view>

namespace brivane::py {

// What a parameter accepts and what it becomes (ValueOf in call_frame.hpp).
enum Kind : unsigned char {
  kFloat,         // anything float() accepts -> double
  kCount,         // an integer or an object with __index__ -> unsigned 64-bit
  kCode,          // an integer in 0..255 -> unsigned 8-bit
  kBool,          // True, False or a NumPy bool scalar
  kBoolSequence,  // a sequence (not str) of booleans
  kArray,         // a one-dimensional float64 array, copied
  kWrittenArray,  // the same, writeable; its final values are written back
  kOptionalRows,  // None or a sequence of float sequences
};

struct Parameter {
  const char* name;
  Kind kind;
  const char* fallback = nullptr;  // the default as Python spells it ("0", "0.0", "False", "None")
};

enum class Lock : bool { kHeld, kReleased };

// The call frame's slots hold this many arguments; signature() refuses longer lists.
inline constexpr std::size_t kMaxParameters = 24;

struct Signature {
  const char* name = nullptr;
  Lock lock = Lock::kHeld;
  std::array<Parameter, kMaxParameters> parameters{};
  std::size_t size = 0;
  std::size_t required = 0;  // the leading parameters without a default

  // The slot of the parameter called `parameter`, or size when there is none.
  constexpr std::size_t slot(std::string_view parameter) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (parameters[i].name == parameter) return i;
    }
    return size;
  }
  constexpr bool has(std::string_view parameter) const { return slot(parameter) < size; }
};

namespace signature_detail {

constexpr bool is_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A Python float literal of the plain kind: digits, a point, digits (as "0.0" or "1.5").
constexpr bool is_decimal(std::string_view text) {
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return false;
  std::string_view whole = text.substr(0, point);
  if (!whole.empty() && whole.front() == '-') whole.remove_prefix(1);
  return is_digits(whole) && is_digits(text.substr(point + 1));
}

constexpr bool default_fits(Kind kind, std::string_view text) {
  switch (kind) {
    case kFloat: return is_decimal(text);
    case kCount: return is_digits(text);
    case kCode: return is_digits(text) && text.size() <= 3 && (text.size() < 3 || text <= "255");
    case kBool: return text == "False" || text == "True";
    case kOptionalRows: return text == "None";
    default: return false;  // arrays and flag sequences are always required
  }
}

}  // namespace signature_detail

// Builds a table entry. Compiles only if the frame can hold the parameters, the names are
// distinct, no required parameter follows an optional one, every default fits its kind and every
// optional-rows parameter defaults to None.
template <std::size_t N>
consteval Signature signature(const char* name, Lock lock, const Parameter (&parameters)[N]) {
  static_assert(N <= kMaxParameters, "the call frame cannot hold this many parameters");
  Signature s;
  s.name = name;
  s.lock = lock;
  for (std::size_t i = 0; i < N; ++i) {
    const Parameter& p = parameters[i];
    if (s.has(p.name)) throw "two parameters with one name";
    if (p.fallback) {
      if (!signature_detail::default_fits(p.kind, p.fallback)) throw "a default that its kind cannot take";
    } else {
      if (s.required != i) throw "a required parameter after an optional one";
      if (p.kind == kOptionalRows) throw "an optional-rows parameter without its default None";
      ++s.required;
    }
    s.parameters[i] = p;
    s.size = i + 1;
  }
  return s;
}

}  // namespace brivane::py
