#pragma once
// The pseudo-Voigt passes over the grid: what pseudo_voigt.cpp hands to the vector kernels
// (vector_kernels.hpp, reached through pseudo_voigt_kernels().mixing_chunk and
// .objective_chunk).

#include <cstddef>

#include "summation_order.hpp"
#include "vector_math.hpp"

namespace brivane {

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

// The kernels of vector_kernels.hpp, one variant per instruction set, filled by name there.
struct PseudoVoigtKernels {
  // Chunks of at most kSumChunk samples [begin, end): `sums` receives the chunk's sums, `scratch`
  // is working memory.
  void (*mixing_chunk)(const PseudoVoigtMixingPass& pass, std::size_t begin, std::size_t end, double* sums,
                       double* scratch);
  void (*objective_chunk)(const PseudoVoigtObjectivePass& pass, std::size_t begin, std::size_t end, double* sums,
                          double* scratch);
};
BRIVANE_VECTOR_KERNEL_TABLE(PseudoVoigtKernels, kPseudoVoigtKernels, pseudo_voigt_kernels)

}  // namespace brivane
