#pragma once
// The Voigt profile's vector passes (vector_pass.hpp).
// Compiled once per instruction set (CMakeLists.txt, brivane_shape), each unit filling its variant
// of VoigtKernels (vector_pass.hpp); the helpers stay inside this instruction set's namespace.

#include <cstddef>

#include "shapes/voigt/vector_pass.hpp"
#include "simd/lanes.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

// ==== Voigt kernel: the profile's changes from the Taylor series of w ============================
//
// The scalar voigt_point_changes of voigt.cpp, eight samples at a time, with the same operations
// in the same order (no FMA: the scalar code has none), so that its results are the same bits.

// (2k + 1)(2k - 1)!! / 2^k, the coefficients of the asymptotic expansion of w'(z).
constexpr double kVoigtDerivativeCoefficients[18] = {
    1.0, 1.5, 3.75, 13.125, 59.0625, 324.84375, 2111.484375, 15836.1328125, 134607.12890625, 1278767.724609375,
    13427061.108398438, 154411202.74658203, 1930140034.3322754, 26056890463.485718, 377824911720.5429,
    5856286131668.415, 96628721172528.84, 1691002620519254.8};

}  // namespace

void voigt_changes(const VoigtChangesPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V zr = load_lanes(pass.z_real + i, count, 0.0);
    const V zi = load_lanes(pass.z_imag + i, count, 1.0);
    const V wr = load_lanes(pass.w_real + i, count, 1.0);
    const V wi = load_lanes(pass.w_imag + i, count, 0.0);
    const V z_norm = zr * zr + zi * zi;
    const M far = (z_norm >= set(100.0)) & (zi >= set(1e-20));
    V a1r = set(-2.0) * (zr * wr - zi * wi);
    V a1i = set(-2.0) * (zr * wi + zi * wr) + set(1.1283791670955126);
    if (!all(select(far, set(0.0), set(1.0)) == set(1.0))) {
      // As many terms of the expansion as |z| asks for, lane by lane.
      const V r = select(far, z_norm, set(1e4));
      V terms = set(1.0), power = r;
      M running = set(0.0) == set(0.0);
      int most = 1;  // the most terms any lane takes
      for (int t = 1; t < 18; ++t) {
        running = running & (set(kVoigtDerivativeCoefficients[t]) > set(1e-20) * power);
        if (all(select(running, set(0.0), set(1.0)) == set(1.0))) break;
        terms = terms + select(running, set(1.0), set(0.0));
        power = power * r;
        most = t + 1;
      }
      const V u_re = zr / r, u_im = -zi / r;
      const V v_re = u_re * u_re - u_im * u_im, v_im = set(2.0) * u_re * u_im;
      V q_re = set(0.0), q_im = set(0.0);
      for (int k = most - 1; k >= 0; --k) {
        const M active = set(static_cast<double>(k)) < terms;
        const V re = q_re * v_re - q_im * v_im + set(kVoigtDerivativeCoefficients[k]);
        const V im = q_re * v_im + q_im * v_re;
        q_re = select(active, re, q_re);
        q_im = select(active, im, q_im);
      }
      const V vq_re = v_re * q_re - v_im * q_im, vq_im = v_re * q_im + v_im * q_re;
      a1r = select(far, set(0.5641895835477563) * vq_im, a1r);
      a1i = select(far, -(set(0.5641895835477563) * vq_re), a1i);
    }
    const V a2r = -((zr * a1r - zi * a1i) + wr), a2i = -((zr * a1i + zi * a1r) + wi);
    const V a3r = set(-2.0) * ((zr * a2r - zi * a2i) + a1r) / set(3.0);
    const V a3i = set(-2.0) * ((zr * a2i + zi * a2r) + a1i) / set(3.0);
    const V a4r = -((zr * a3r - zi * a3i) + a2r) * set(0.5), a4i = -((zr * a3i + zi * a3r) + a2i) * set(0.5);
    const V a3_norm = a3r * a3r + a3i * a3i, a4_norm = a4r * a4r + a4i * a4i;
    M all_formed = set(0.0) == set(0.0);
    for (std::size_t j = 0; j < shifts; ++j) {
      V dr = set(0.0), di = set(0.0);
      if (pass.moved[j] == 0) dr = set(pass.dz[j]);
      if (pass.moved[j] == 2) di = set(pass.dz[j]);
      if (pass.moved[j] == 1) {
        dr = zr * set(pass.ratio[j]);
        di = zi * set(pass.ratio[j]);
      }
      const V dz_norm = dr * dr + di * di;
      V sr = a4r * dr - a4i * di + a3r, si = a4r * di + a4i * dr + a3i;
      V tr = sr * dr - si * di + a2r;
      si = sr * di + si * dr + a2i;
      sr = tr;
      tr = sr * dr - si * di + a1r;
      si = sr * di + si * dr + a1i;
      sr = tr;
      tr = sr * dr - si * di;
      si = sr * di + si * dr;
      sr = tr;
      const V dz4 = dz_norm * dz_norm, bound = set(0x1p-112) * (sr * sr + si * si);
      const M series = (set(4.0) * z_norm * dz_norm <= set(0.01)) & (dz_norm <= set(0.01)) &
                       (a4_norm * (dz4 * dz4) <= bound) & (a3_norm * (dz4 * dz4 * dz_norm) <= bound);
      const V difference = pass.moved[j] == 1
                               ? (set(pass.sigma) * sr + set(pass.width_change[j]) * wr) * set(pass.scale[j])
                               : sr * set(pass.scale[j]);
      // Finite: x - x is 0 only for finite x.
      all_formed = all_formed & series & ((difference - difference) == set(0.0));
      store_lanes(pass.change[j] + i, count, difference);
    }
    const V formed = select(all_formed, set(1.0), set(0.0));
    store_lanes(pass.formed + i, count, formed);
  }
}

void voigt_terms(const VoigtTermsPass& pass, std::size_t n) {
  const std::size_t shifts = pass.shifts, stride = 1 + shifts;
  for (std::size_t i = 0; i < n; i += kLanes) {
    const std::size_t count = n - i < kLanes ? n - i : kLanes;
    const V value = load_lanes(pass.value + i, count, 1.0);
    const V log_density = load_lanes(pass.log_density + i, count, 0.0);
    const V w = load_lanes(pass.weights + i, count, 0.0);
    const V formed = load_lanes(pass.formed + i, count, 0.0);
    alignas(64) double lanes[4][kLanes];
    store(lanes[0], w * log_density);
    const V inverse_value = set(1.0) / value;
    const M base = (formed == set(1.0)) & (value > set(0.0)) & (value * set(pass.inverse_mass) >= set(1e-180));
    M every = base;
    for (std::size_t j = 0; j < shifts; ++j) {
      const V change = load_lanes(pass.change[j] + i, count, 0.0);
      const V r = change * inverse_value;
      const M shift_formed = (value + change) * set(pass.inverse_shifted_mass[j]) >= set(1e-180);
      every = every & shift_formed & (abs_of(r) < set(1e-4));
      if (!pass.mass_formed[j]) every = every & (set(0.0) == set(1.0));
      const V log1p = r - (r * r) * (set(0.5) - r * (set(1.0 / 3.0) - r * set(0.25)));
      store(lanes[1 + j], w * (log1p - set(pass.mass_log_ratio[j])));
    }
    alignas(64) double every_lanes[kLanes];
    store(every_lanes, select(every, set(1.0), set(0.0)));
    for (std::size_t l = 0; l < count; ++l) {
      double* out = pass.out + (i + l) * stride;
      for (std::size_t j = 0; j < stride; ++j) out[j] = lanes[j][l];
      pass.done[i + l] = every_lanes[l];
    }
  }
}

const VoigtKernels kVoigtKernels = {.changes = voigt_changes, .terms = voigt_terms};

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
