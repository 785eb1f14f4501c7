#pragma once
// Vectorised kernels of the EM iteration: exp and log over arrays, a Gaussian density row, the
// E-step over stored density rows and the fused Gaussian mixture pass.
//
// Each kernel exists in three variants, compiled from one source (vector_math_simd.hpp) for
// AVX-512 (F, DQ, VL, BW), for AVX2 with FMA, and for baseline x86-64 (SSE2, no FMA). The variant
// is chosen once, at first use, from what the processor offers, so one build runs on any x86-64
// machine. All variants work on vectors of 8 doubles with the same operations in the same order:
// the AVX2 and AVX-512 variants give bit-identical results; the baseline one lacks FMA and may
// differ in the last bits.
//
// exp and log are within one unit in the last place of the exact result over the whole double
// range (checked against quadruple precision in the unit tests).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "numerics/exponential_integrals.hpp"

namespace brivane {

namespace vector_math_detail {

inline double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
inline std::uint64_t to_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

constexpr double kLog2e = 1.4426950408889634;
// ln 2 split so that k * kLn2High is exact for |k| < 2^21 (Cody and Waite 1980).
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
// Adding 1.5 * 2^52 rounds a double of magnitude below 2^51 to an integer held in the low bits.
constexpr double kRoundingShift = 6755399441055744.0;
constexpr double kExpOverflow = 709.782712893384;     // above: +inf
constexpr double kExpUnderflow = -745.1332191019412;  // below: +0

}  // namespace vector_math_detail

// A scalar exp(x) for any double, for loops that form their exponent per sample; written
// branch-free so that such loops still vectorise. exp(x) for any double: +inf above 709.78, +0 below -745.13, NaN for NaN, subnormal results in
// between rounded once.
inline double exp_kernel(double x) {
  using namespace vector_math_detail;
  // Beyond these the result is +inf or +0 anyway (the selects below); holding x here keeps the
  // integer arithmetic of the exponent from overflowing for huge negative arguments. NaN passes.
  const double held = x < -746.0 ? -746.0 : (x > 710.0 ? 710.0 : x);
  // x = k ln2 + r with |r| <= ln2 / 2, exp(x) = 2^k exp(r).
  const double shifted = held * kLog2e + kRoundingShift;
  const double k = shifted - kRoundingShift;
  const std::int64_t k_int =
      static_cast<std::int64_t>(to_bits(shifted)) - static_cast<std::int64_t>(to_bits(kRoundingShift));
  // r = hi - lo carried in two parts: hi is exact, lo holds the rounding of the reduction.
  const double hi = held - k * kLn2High;
  const double lo = k * kLn2Low;
  const double r = hi - lo;
  // exp(r) = 1 + r + r^2 q(r), q the Taylor series of (exp(r) - 1 - r) / r^2 to degree 11 (the
  // remainder is below 5e-18 on |r| <= 0.347). The small terms are summed first and the exact
  // hi last, so only the final two additions round at the size of the result: at most 0.88 ulp,
  // with no division in the loop.
  double q = 1.0 / 6227020800.0;
  q = q * r + 1.0 / 479001600.0;
  q = q * r + 1.0 / 39916800.0;
  q = q * r + 1.0 / 3628800.0;
  q = q * r + 1.0 / 362880.0;
  q = q * r + 1.0 / 40320.0;
  q = q * r + 1.0 / 5040.0;
  q = q * r + 1.0 / 720.0;
  q = q * r + 1.0 / 120.0;
  q = q * r + 1.0 / 24.0;
  q = q * r + 1.0 / 6.0;
  q = q * r + 0.5;
  const double p = 1.0 + (hi + ((r * r) * q - lo));
  // 2^k in two halves keeps both factors normal down to the subnormal results near -745, where
  // only the last product rounds.
  const std::int64_t half = k_int >> 1;
  const double scale_low = from_bits(static_cast<std::uint64_t>(half + 1023) << 52);
  const double scale_high = from_bits(static_cast<std::uint64_t>(k_int - half + 1023) << 52);
  double result = (p * scale_low) * scale_high;
  result = x > kExpOverflow ? __builtin_inf() : result;
  result = x < kExpUnderflow ? 0.0 : result;
  return x != x ? x : result;
}


// The fixed order of every sum over samples made by the passes: samples are cut into chunks of
// kSumChunk from the start of the grid; within a chunk, kSumLanes accumulators take the samples
// whose offset is their lane number modulo kSumLanes, and are added in a fixed tree at the chunk's
// end; the chunks' totals are then added in chunk order. The order depends only on n, not on how
// the chunks are shared among threads. Chunks of 256 cut even a grid of 2,000 samples into eight
// pieces, which the threads share out as each becomes free.
inline constexpr std::size_t kSumChunk = 256;
inline constexpr std::size_t kSumLanes = 8;
// Samples per block of a pass: the block's densities and per-sample terms stay in the first-level
// cache while every component passes over them.
inline constexpr std::size_t kPassBlock = 128;

// The E-step over stored density rows, for components 0..P-1:
//   m = sum_k pi_k d_k (in component order), f = c / (m + 1e-20) with c the intensity (weights)
//   or 1 (responsibilities), row_k = (pi_k d_k) f,
// and the chunk sums: [0] sum intensity ln(m + 1e-200), [1 + k] sum of row k.
struct EStepPass {
  const double* intensity = nullptr;
  std::size_t components = 0;           // P
  const double* pi = nullptr;           // P weights
  const double* const* densities = nullptr;  // P rows
  double* const* rows = nullptr;        // P rows written: intensity * G, or G
  bool weights = true;
  double* mixture = nullptr;            // optional: receives m
};
// Working memory of e_step_chunk, in doubles.
inline std::size_t e_step_scratch(std::size_t components) {
  return (1 + components) * kSumLanes + (components + 1) * kPassBlock;
}

// How the pass forms the first background row: a constant inside the window [x_min, x_max] and
// 0 outside (the uniform and all-zero rows), max(slope x + intercept, 0) inside (the linear row),
// or read from stored rows (every background row after the first is read).
enum class BackgroundForm : std::uint8_t { kConstant, kLinear, kStored };
struct BackgroundRow {
  BackgroundForm form = BackgroundForm::kStored;
  double x_min = 0.0, x_max = 0.0;
  double value = 0.0;                  // kConstant
  double slope = 0.0, intercept = 0.0; // kLinear
};

// One pass of the Gaussian mixture: the densities of the K peaks,
//   d_k = 2^(-y^2) / q_k, y = (x - mu_k) s_k, s_k = sqrt(log2(e) / 2) / sigma_k,
// which is exp(-z^2) / q_k with z = (x - mu_k) / (sigma_k sqrt 2), flushed to 0 below about
// 2^-1021 / q_k; the background rows; then the E-step as in EStepPass (weights) without storing the
// rows, and the moments the refits need. Chunk sums: [0] log-likelihood, [1 + k] expected count of
// component k < P, then kGaussianPeakSums for each peak k < min(K, P): sum w (x - c_k) and
// sum w (x - c_k)^2 about its reference point c_k, and bounds E0_k and E2_k of what the tails the
// pass left out would add to its expected count and to its second sum.
//
// The tails: on a block where every |y| of peak k is at least kGaussianTailCut, its terms are below
// 2^-127 |pi_k / q_k| and are not evaluated, unless exact_tails is set. They are left out of the
// mixture only where every sample's mixture exceeds 2^60 times their bound (otherwise the block
// evaluates them), so the log-likelihood and every weight change by less than 2^-60 relative; the
// bounds E0_k and E2_k tell the caller whether the peak's own sums are as safe (a peak in an empty
// stretch of the spectrum draws its sums from its tails alone), and a pass with exact_tails gives
// them exactly where they are not. Where every |y| is 33 or more the terms are the flushed zeros
// (the same values the kernel returns) and are written without a bound.
inline constexpr std::size_t kGaussianPeakSums = 4;
inline constexpr double kGaussianTailCut = 11.4;  // 11.4^2 > 128
struct GaussianPass {
  const double* x = nullptr;
  const double* intensity = nullptr;
  std::size_t peaks = 0;       // K
  std::size_t components = 0;  // P, the number of weights
  const double* pi = nullptr;
  const double* centre = nullptr;              // K
  const double* scale = nullptr;               // K: s_k
  const double* inverse_normaliser = nullptr;  // K: 1 / q_k
  const double* reference = nullptr;           // K: c_k
  BackgroundRow background;
  const double* const* stored_rows = nullptr;  // background rows read by the pass
  double* background_weights = nullptr;        // optional: intensity * G of row K
  bool exact_tails = false;                    // evaluate every term that is not a flushed zero
};
inline std::size_t gaussian_pass_sums(std::size_t peaks, std::size_t components) {
  return 1 + components + kGaussianPeakSums * (peaks < components ? peaks : components);
}
inline std::size_t gaussian_pass_scratch(std::size_t peaks, std::size_t components) {
  return gaussian_pass_sums(peaks, components) * kSumLanes + (components + 2) * kPassBlock + 4 * peaks;
}

// ---- Pseudo-Voigt passes -----------------------------------------------------------------------

// What the pseudo-Voigt density eta G + L ((1 - eta) / Z) of one parameter set needs at a sample x,
// with d = x - x0 and z = d / sigma: G = exp(z (-0.5) z) / gaussian_normaliser and
// L = half_width / ((d d + half_width half_width) pi). The kernels round these as written (no FMA),
// so that only their exp and log differ from the plain formula.
struct PseudoVoigtProfile {
  double x0 = 0.0;
  double sigma = 0.0;
  double gaussian_normaliser = 0.0;  // sigma sqrt(2 pi)
  double half_width = 0.0;
  double eta = 0.0;
  double lorentzian_weight = 0.0;  // (1 - eta) / Z
};

// The log-likelihoods sum w ln(eta_k G + L c_k + 1e-20) of `candidates` mixes (eta_k, c_k) of one
// centre and width (`shape`; its eta and lorentzian_weight are not read). Chunk sums: [k] candidate
// k. G and L are formed once per chunk and serve every candidate.
struct PseudoVoigtMixingPass {
  const double* x = nullptr;
  const double* weights = nullptr;
  PseudoVoigtProfile shape;
  std::size_t candidates = 0;
  const double* eta = nullptr;                // candidates
  const double* lorentzian_weight = nullptr;  // candidates: c_k
};
// Working memory of pseudo_voigt_mixing_chunk, in doubles.
inline constexpr std::size_t kPseudoVoigtMixingScratch = 3 * kSumChunk;

// One forward-difference point of the pseudo-Voigt log-likelihood: the centre or the width moved,
// with the changes of the derived quantities formed without cancellation (pseudo_voigt.cpp).
struct PseudoVoigtShift {
  PseudoVoigtProfile moved;
  bool centre = false;              // the centre moved; otherwise the width
  double step = 0.0;                // x0' - x0
  double step_per_sigma = 0.0;      // (x0' - x0) / sigma
  double z_change = 0.0;            // (sigma' - sigma) / (sigma sigma')
  double sigma_ratio = 0.0;         // sigma / sigma'
  double sigma_change_ratio = 0.0;  // (sigma' - sigma) / sigma'
  double half_width_ratio = 0.0;    // (h' - h) / h
  double half_width_product = 0.0;  // h h'
  double weight_change = 0.0;       // (1 - eta) / Z' - (1 - eta) / Z
};

// The log-likelihood at `profile` and its changes at up to two shifts, summed per sample from the
// changes of the density's terms. Chunk sums: [0] the log-likelihood, summed with compensation in
// each lane and over the lanes, [1] its compensation, [2 + j] the change at shift j.
struct PseudoVoigtObjectivePass {
  const double* x = nullptr;
  const double* weights = nullptr;
  PseudoVoigtProfile profile;
  std::size_t shifts = 0;  // at most 2
  PseudoVoigtShift shift[2];
};

// The TSDC pass over samples [begin, end) of a temperature grid t, for one (ea, h = beta tau0):
// x = reduced_factor / t (reduced_factor = ea (1/k)), E1(x) and E2(x), then
//   row[i] = exp(E2 ((-1/h) t) + (ea / -k) / t) / h          (when row is not null),
// and, over the samples below `used` (when weights is not null), the chunk sums
//   [0] sum E1(ea / (k t)) w / k,   [1] sum E2(x) (w t),
// each taken by kSumLanes accumulators as the module's other sums. E1 at ea / (k t), an ulp or two
// from x, follows from E1 and E2 at x by one step of the derivative. Groups of kIntegralGroup
// samples from `begin` share the depth of their continued fraction: chunks that start at multiples
// of kIntegralGroup give every sample the same values whatever the split.
struct TsdcPass {
  const double* t = nullptr;
  const double* weights = nullptr;
  std::size_t used = 0;
  double ea = 0.0;
  double boltzmann = 0.0;       // k
  double reduced_factor = 0.0;  // ea (1/k)
  double minus_inverse_h = 0.0;
  double energy = 0.0;          // ea / -k
  double h = 0.0;
  double* row = nullptr;
  // When not null (with row), the chunk adds to it the trapezoid terms
  //   (t[j] - t[j - 1]) ((row[j - 1] + row[j]) 0.5)
  // of the pairs that end in it, in sample order: with the chunks run in order on one thread, the
  // grid's integral in one pass from the first pair to the last.
  double* integral = nullptr;
};

struct DoniachSunjicPass;
struct VoigtChangesPass;
struct VoigtTermsPass;

struct SimdKernels {
  void (*exp)(double* values, std::size_t n);
  // values[i] = 2^(-values[i]^2), the Gaussian pass's exponential: 0 instead of results below
  // about 2^-1021.
  void (*exp2_of_minus_square)(double* values, std::size_t n);
  void (*log)(double* values, std::size_t n);
  // row[i] = exp(-z^2) / normaliser, z = (x[i] - centre) inverse_scale, exp over the full range.
  void (*gaussian_row)(const double* x, std::size_t n, double centre, double inverse_scale, double normaliser,
                       double* row);
  // Samples [begin, end) of one chunk; `sums` receives the chunk's sums, `scratch` is working memory.
  void (*e_step_chunk)(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);
  void (*gaussian_chunk)(const GaussianPass& pass, std::size_t begin, std::size_t end, double* sums,
                         double* scratch);
  // The pseudo-Voigt passes, on samples [begin, end) of one chunk of at most kSumChunk samples.
  void (*pseudo_voigt_mixing_chunk)(const PseudoVoigtMixingPass& pass, std::size_t begin, std::size_t end,
                                    double* sums, double* scratch);
  void (*pseudo_voigt_objective_chunk)(const PseudoVoigtObjectivePass& pass, std::size_t begin, std::size_t end,
                                       double* sums, double* scratch);
  // e1[i] = E1(x[i]) and e2[i] = E2(x[i]) (either pointer may be null), within 2 ulps, with the
  // special values of numerics/exponential_integrals.hpp. Groups of kIntegralGroup arguments from the first
  // share one depth of the continued fraction.
  void (*exponential_integrals)(const double* x, std::size_t n, double* e1, double* e2);
  // One chunk of the TSDC pass; `sums` (2 doubles) may be null, `scratch` is not used.
  void (*tsdc_chunk)(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);
  // values[i] = values[i] / divisor, each quotient rounded once.
  void (*divide)(double* values, std::size_t n, double divisor);
  // ---- Doniach-Sunjic kernels (the DoniachSunjicPass section below) ----
  // values[i] = atan(values[i]) for any double.
  void (*atan)(double* values, std::size_t n);
  // sine[i] = sin(x[i]), cosine[i] = cos(x[i]); the vector reduction serves |x| <= 1.6e6, the
  // scalar library the rest.
  void (*sin_cos)(const double* x, std::size_t n, double* sine, double* cosine);
  // values[i] = values[i]^exponent, as exp(exponent ln values[i]) for positive normal finite values,
  // by the scalar library for the others.
  void (*pow)(double* values, std::size_t n, double exponent);
  // Samples [begin, end) of one chunk of the Doniach-Sunjic pass; `sums` receives
  // doniach_sunjic_pass_sums() chunk totals.
  void (*doniach_sunjic_chunk)(const DoniachSunjicPass& pass, std::size_t begin, std::size_t end, double* sums);
  // *sum = sum of weights[i] ln(values[i] / divisor + 1e-200) over [begin, end), one accumulator
  // per lane (the order of ChunkedSums).
  void (*weighted_log_density_chunk)(const double* values, const double* weights, double divisor, std::size_t begin,
                                     std::size_t end, double* sum);
  // ---- Voigt kernel (the VoigtChangesPass section below) ----
  void (*voigt_changes)(const VoigtChangesPass& pass, std::size_t n);
  void (*voigt_terms)(const VoigtTermsPass& pass, std::size_t n);
  // ---- Faddeeva function (src/simd/faddeeva.hpp; faddeeva.hpp states its accuracy) ----
  void (*faddeeva)(const double* z_re, const double* z_im, std::size_t n, double* w_re, double* w_im);
};

enum class SimdLevel : std::uint8_t { kBaseline, kAvx2, kAvx512 };

// Whether this processor can run a variant.
bool simd_level_supported(SimdLevel level);
// The variant in use: the best the processor supports, unless a SimdOverride is alive.
SimdLevel simd_level();
const SimdKernels& simd_kernels();
const char* simd_level_name(SimdLevel level);

// Plain loops that the compiler vectorises itself (the Lorentzian's and the pseudo-Voigt's
// passes) are compiled twice, for baseline x86-64 and for AVX2 ([[gnu::target("avx2")]]), and take
// the AVX2 copy when this holds: the copy follows the active variant, so a SimdOverride forces
// either. Every operation rounds as written (no contraction), so both copies give the same bits.
inline bool simd_loops_use_avx2() { return simd_level() != SimdLevel::kBaseline; }

// Forces a supported variant while it lives, for tests and benchmarks that compare the variants.
// Process-wide: no fit may run on another thread meanwhile.
class SimdOverride {
 public:
  explicit SimdOverride(SimdLevel level);
  ~SimdOverride();
  SimdOverride(const SimdOverride&) = delete;
  SimdOverride& operator=(const SimdOverride&) = delete;

 private:
  SimdLevel previous_;
};

// values[i] = log(values[i]): -inf at 0, NaN below 0 and for NaN.
void log_in_place(std::span<double> values);

// ---- Doniach-Sunjic pass ----------------------------------------------------------------------
//
// One pass of the Doniach-Sunjic line over a chunk of the grid, for gamma > 0: per sample, with
// d = x - x0, psi = atan2(gamma, d) in (0, pi) and q = d^2 + gamma^2, the shape value
//   v = sin((1 - alpha) psi) q^(-(1 - alpha)/2)
// (the same as cos((1 - alpha) atan(d / gamma) + pi alpha / 2) / q^((1 - alpha)/2), without the
// cancellation of that cosine near pi/2 in the steep tail), stored in `shape`, and for each shift
// the change of ln v formed from exact differences of the terms (doniach_sunjic.cpp explains them).
// Chunk sums, in the order of ChunkedSums:
//   [0] sum c_i v_i over the grid, c_i = (x_{i+1} - x_{i-1}) / 2 (one-sided at the ends): the
//       trapezoid integral D;
//   [1] sum w_i over the samples i < used;
//   [2] samples where the kernel cannot form v (angle beyond the reduction, q not positive normal
//       and finite): the caller then takes the scalar formula;
//   [3] samples where a shift's change is not formed this way (a sine not above 0, an argument
//       beyond the small-argument series);
//   [4 + 2j] sum c_i v_i expm1(change_ij), the change of D for shift j; [5 + 2j] sum w_i change_ij;
//   [10] sum w_i ln v_i over the samples i < used (ln v from ln sin and the exponent the power
//       is formed from: one logarithm more per sample), for the log-likelihood sum w ln v - S ln D.
struct DoniachSunjicPass {
  const double* x = nullptr;
  std::size_t n = 0;                 // grid length
  const double* weights = nullptr;
  std::size_t used = 0;              // samples [0, used) carry weights
  double x0 = 0.0, gamma = 1.0;
  double one_minus_alpha = 1.0;      // 1 - alpha
  double half_exponent = 0.5;        // (1 - alpha) / 2
  std::size_t shifts = 0;            // at most 3
  std::uint8_t moved[3] = {0, 0, 0};    // parameter moved: 0 x0, 1 gamma, 2 alpha
  double step[3] = {0.0, 0.0, 0.0};     // the shift's change of that parameter
  double shifted_gamma[3] = {0.0, 0.0, 0.0};
  double* shape = nullptr;           // receives v_i, n entries
  double* chunk_minimum = nullptr;   // optional: per chunk, the least v_i of its used samples
};
inline constexpr std::size_t kDoniachSunjicPassSums = 11;

// ---- Voigt profile changes ---------------------------------------------------------------------
//
// For n samples of the Voigt case with z_i and w_i = w(z_i) given, V'_i - V_i of each shift from
// the Taylor series of w about z_i cut after four terms (a_1 = w'(z) from its asymptotic expansion
// where |z|^2 >= 100 and Im z >= 1e-20, else -2 z w + 2i / sqrt(pi); a_{n+1} = -2 (z a_n +
// a_{n-1}) / (n + 1)), with the same operations in the same order as the scalar code of voigt.cpp,
// so that the results are the same bits. formed[i] is 1 where every shift's series met its bound
// (2 |z| |dz| <= 0.1, |dz| <= 0.1, the terms left out below 2^-56 of the sum) and the change is
// finite, else 0: the caller forms that sample by the scalar route.
struct VoigtChangesPass {
  const double *z_real = nullptr, *z_imag = nullptr, *w_real = nullptr, *w_imag = nullptr;
  std::size_t shifts = 0;                  // at most 3
  std::uint8_t moved[3] = {0, 0, 0};       // 0 centre, 1 sigma, 2 gamma
  double dz[3] = {0.0, 0.0, 0.0};          // centre: the real change of z; gamma: the imaginary one
  double ratio[3] = {0.0, 0.0, 0.0};       // sigma: z' = z (1 + ratio)
  double width_change[3] = {0.0, 0.0, 0.0};  // sigma: sigma - sigma'
  double scale[3] = {0.0, 0.0, 0.0};       // V' - V per unit of the change of Re w
  double sigma = 1.0;
  double* change[3] = {nullptr, nullptr, nullptr};
  double* formed = nullptr;
};

// The weighted terms of n samples of the Voigt pass, as voigt.cpp forms them: out[i * (1 + shifts)]
// = w_i ln d_i from the given logarithms, then for each shift w_i (log1p(change_ij / V_i) -
// ln(M'_j / M)), by the series of log1p below 1e-4, wherever the sample's changes were all formed
// (formed[i] = 1), the shift's mass was formed and both densities lie above 1e-180 (the same
// operations in the same order as the scalar code, so the same bits). done[i] is 1 where every
// term of the sample was written, else 0: the caller forms that sample's terms itself.
struct VoigtTermsPass {
  const double* value = nullptr;        // V_i
  const double* log_density = nullptr;  // ln(V_i / M + 1e-200)
  const double* weights = nullptr;
  const double* formed = nullptr;
  const double* change[3] = {nullptr, nullptr, nullptr};
  std::size_t shifts = 0;
  double inverse_mass = 0.0;
  double inverse_shifted_mass[3] = {0.0, 0.0, 0.0};
  double mass_log_ratio[3] = {0.0, 0.0, 0.0};
  bool mass_formed[3] = {false, false, false};
  double* out = nullptr;
  double* done = nullptr;
};

}  // namespace brivane
