#pragma once
// The fixed order of every sum over samples made by the passes: samples are cut into chunks of
// kSumChunk from the start of the grid; within a chunk, kSumLanes accumulators take the samples
// whose offset is their lane number modulo kSumLanes, and are added in a fixed tree at the chunk's
// end; the chunks' totals are then added in chunk order (ChunkedSums, parallel.hpp). The order
// depends only on n, not on how the chunks are shared among threads. Chunks of 256 cut even a grid
// of 2,000 samples into eight pieces, which the threads share out as each becomes free.

#include <cstddef>

namespace brivane {

inline constexpr std::size_t kSumChunk = 256;
inline constexpr std::size_t kSumLanes = 8;
// Samples per block of a pass: the block's densities and per-sample terms stay in the first-level
// cache while every component passes over them.
inline constexpr std::size_t kPassBlock = 128;

}  // namespace brivane
