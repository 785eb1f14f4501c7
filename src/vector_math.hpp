#pragma once
// The dispatch of the vector kernels: one table of kernels per instruction set, chosen once, at
// first use, from what the processor offers, so one build runs on any x86-64 machine.
//
// Each kernel is written once against the 8-lane vectors of src/simd/lanes.hpp and compiled three
// times (CMakeLists.txt, brivane_vector_kernels): for AVX-512 (F, DQ, VL, BW), for AVX2 with FMA,
// and for baseline x86-64 (SSE2, no FMA). All variants work on vectors of 8 doubles with the same
// operations in the same order: the AVX2 and AVX-512 variants give bit-identical results; the
// baseline one lacks FMA and may differ in the last bits. The vector math lives in src/simd (each
// family's header states its accuracy), the E-step's pass in src/passes, and each shape's passes in
// its own folder, src/shapes/<shape>/vector_pass.hpp (what the caller fills in) and
// vector_kernels.hpp (the kernel); the table below only points at them.

#include <cstddef>
#include <cstdint>
#include <span>

namespace brivane {

struct EStepPass;
struct GaussianPass;
struct PseudoVoigtMixingPass;
struct PseudoVoigtObjectivePass;
struct TsdcPass;
struct DoniachSunjicPass;
struct VoigtChangesPass;
struct VoigtTermsPass;

// Filled by name (vector_math.cpp), so an entry out of place does not compile. Chunk kernels work
// on samples [begin, end) of one chunk of the fixed summation order (summation_order.hpp): `sums`
// receives the chunk's sums, `scratch` is working memory.
struct SimdKernels {
  // ---- vector math over arrays (src/simd/array_kernels.hpp) ----
  // values[i] = log(values[i]): -inf at 0, NaN below 0 and for NaN.
  void (*log)(double* values, std::size_t n);
  // values[i] = values[i] / divisor, each quotient rounded once.
  void (*divide)(double* values, std::size_t n, double divisor);
  // e1[i] = E1(x[i]) and e2[i] = E2(x[i]) (either pointer may be null), within 2 ulps, with the
  // special values of numerics/exponential_integrals.hpp. Groups of kIntegralGroup arguments from
  // the first share one depth of the continued fraction.
  void (*exponential_integrals)(const double* x, std::size_t n, double* e1, double* e2);
  // The Faddeeva function (src/simd/faddeeva.hpp states its accuracy).
  void (*faddeeva)(const double* z_re, const double* z_im, std::size_t n, double* w_re, double* w_im);

  // ---- the E-step over stored density rows (src/passes) ----
  void (*e_step_chunk)(const EStepPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);

  // ---- Gaussian (src/shapes/gaussian) ----
  // row[i] = exp(-z^2) / normaliser, z = (x[i] - centre) inverse_scale, exp over the full range.
  void (*gaussian_row)(const double* x, std::size_t n, double centre, double inverse_scale, double normaliser,
                       double* row);
  void (*gaussian_chunk)(const GaussianPass& pass, std::size_t begin, std::size_t end, double* sums,
                         double* scratch);

  // ---- pseudo-Voigt (src/shapes/pseudo_voigt): chunks of at most kSumChunk samples ----
  void (*pseudo_voigt_mixing_chunk)(const PseudoVoigtMixingPass& pass, std::size_t begin, std::size_t end,
                                    double* sums, double* scratch);
  void (*pseudo_voigt_objective_chunk)(const PseudoVoigtObjectivePass& pass, std::size_t begin, std::size_t end,
                                       double* sums, double* scratch);

  // ---- TSDC (src/shapes/tsdc): `sums` (2 doubles) may be null, `scratch` is not used ----
  void (*tsdc_chunk)(const TsdcPass& pass, std::size_t begin, std::size_t end, double* sums, double* scratch);

  // ---- Doniach-Sunjic (src/shapes/doniach_sunjic) ----
  // `sums` receives kDoniachSunjicPassSums chunk totals.
  void (*doniach_sunjic_chunk)(const DoniachSunjicPass& pass, std::size_t begin, std::size_t end, double* sums);
  // *sum = sum of weights[i] ln(values[i] / divisor + 1e-200) over [begin, end), one accumulator
  // per lane (the order of ChunkedSums).
  void (*weighted_log_density_chunk)(const double* values, const double* weights, double divisor, std::size_t begin,
                                     std::size_t end, double* sum);

  // ---- Voigt (src/shapes/voigt) ----
  void (*voigt_changes)(const VoigtChangesPass& pass, std::size_t n);
  void (*voigt_terms)(const VoigtTermsPass& pass, std::size_t n);
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

}  // namespace brivane
