#pragma once
// The Voigt profile's vector passes: what voigt.cpp hands to the kernels (vector_kernels.hpp,
// reached through voigt_kernels().changes and .terms).

#include <cstddef>
#include <cstdint>

#include "vector_math.hpp"

namespace brivane {

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

// The kernels of vector_kernels.hpp, one variant per instruction set, filled by name there.
struct VoigtKernels {
  void (*changes)(const VoigtChangesPass& pass, std::size_t n);
  void (*terms)(const VoigtTermsPass& pass, std::size_t n);
};
BRIVANE_VECTOR_KERNEL_TABLE(VoigtKernels, kVoigtKernels, voigt_kernels)

}  // namespace brivane
