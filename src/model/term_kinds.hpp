#pragma once
// The kinds of term a spectrum model is built from, with their integer codes (shared with the
// Python layer) and the number of parameters each owns.
//
// Peaks (codes 0..9) carry an area in counts and contribute area * f(x_i) * width_i to channel i,
// f a unit-area density; each shape gives its code in its own folder (src/shapes/<shape>/
// model_term.hpp, model/peak_terms.hpp). Backgrounds (codes 10..16) contribute counts per channel
// directly.

#include <cstddef>
#include <cstdint>

namespace brivane::model {

enum class TermKind : std::int32_t {
  kConstant = 10,      // level
  kLinear = 11,        // level, slope; aux[0] = x_ref
  kPolynomial = 12,    // c0 .. cd; aux[0] = x_ref, aux[1] = x_scale
  kExponential = 13,   // amplitude, rate; aux[0] = x_ref
  kShirley = 14,       // k; aux[0] = direction (+1 or -1)
  kTougaard = 15,      // b, c; aux[0] = direction
  kUserRows = 16,      // one amplitude per user row
};

// Whether `code` names a kind.
bool is_term_kind(std::int64_t code);

inline bool is_peak(TermKind kind) { return static_cast<std::int32_t>(kind) < 10; }

// Backgrounds whose value follows the peaks' counts channel by channel.
inline bool follows_peaks(TermKind kind) { return kind == TermKind::kShirley || kind == TermKind::kTougaard; }

// The fixed parameter count of a kind; 0 for the kinds whose count is the caller's choice
// (Polynomial: degree + 1 >= 1; UserRows: one per row).
std::size_t fixed_parameter_count(TermKind kind);

const char* term_kind_name(TermKind kind);

// The largest parameter count of a peak (the column pointers a peak kernel is given).
inline constexpr std::size_t kMaxPeakParameters = 4;

}  // namespace brivane::model
