#pragma once
// The passes' walk over one chunk block by block, on the lanes of src/simd/lanes.hpp.
//
// A pass works on samples [begin, end) of one chunk, block by block (kPassBlock samples whose
// densities and per-sample terms stay in the first-level cache), and leaves in `sums` the chunk's
// totals. Lane j of every accumulator takes the samples whose offset from the chunk's start is j
// modulo 8; the lanes are added in one fixed order (lane_total) at the chunk's end.

#include <cstddef>

#include "simd/lanes.hpp"
#include "summation_order.hpp"

namespace brivane::BRIVANE_SIMD_NAMESPACE {
namespace {

static_assert(kSumLanes == kLanes, "the summation order assumes 8 lanes");

// The block's samples, with the last vector padded: x repeats its last value and the intensity is
// 0; `valid` marks the real lanes of the last vector.
struct Block {
  std::size_t start, length, vectors, tail;  // tail: real lanes of the last vector, 0 if full
};

SIMD_INLINE Block block_at(std::size_t start, std::size_t end) {
  const std::size_t length = end - start < kPassBlock ? end - start : kPassBlock;
  return {start, length, (length + kLanes - 1) / kLanes, length % kLanes};
}

SIMD_INLINE V load_block(const double* values, const Block& b, std::size_t v, double fill) {
  const std::size_t at = b.start + v * kLanes;
  return (b.tail != 0 && v + 1 == b.vectors) ? load_partial(values + at, b.tail, fill) : load(values + at);
}

SIMD_INLINE void store_block(double* values, const Block& b, std::size_t v, V value) {
  const std::size_t at = b.start + v * kLanes;
  if (b.tail != 0 && v + 1 == b.vectors) {
    store_partial(values + at, b.tail, value);
  } else {
    store(values + at, value);
  }
}

// Zero in the padded lanes of the last vector.
SIMD_INLINE V real_lanes(const Block& b, std::size_t v, V value) {
  return (b.tail != 0 && v + 1 == b.vectors) ? select(first_lanes(b.tail), value, set(0.0)) : value;
}

}  // namespace

}  // namespace brivane::BRIVANE_SIMD_NAMESPACE
