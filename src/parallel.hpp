#pragma once
// The process-wide worker pool.
//
// oneTBB's implicit arena is the pool: one worker per logical processor, created on first use and
// shared by every caller, with work stealing so that parallel work nested inside a task neither
// deadlocks nor oversubscribes the machine. Tasks write only their own slot and results are placed
// by index, so outcomes never depend on scheduling or on the number of threads.

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include "vector_math.hpp"

namespace brivane {

// Runs task(k) for every k in [0, count) as independent tasks and waits for all of them. The first
// exception a task throws is carried back to the calling thread and rethrown there.
template <class Task>
void run_tasks(std::size_t count, Task&& task) {
  if (count == 0) return;
  if (count == 1) {
    task(std::size_t{0});
    return;
  }
  tbb::parallel_for(std::size_t{0}, count, [&task](std::size_t k) { task(k); });
}

// The same tasks run one after another on the calling thread.
template <class Task>
void run_tasks_sequentially(std::size_t count, Task&& task) {
  for (std::size_t k = 0; k < count; ++k) task(k);
}

// Sums over the samples of a grid in an order fixed by the grid alone. The samples are cut into
// chunks of kSumChunk; a chunk function forms `sums` totals of its chunk (with kSumLanes
// accumulators each, vector_math.hpp), and the chunks' totals are added in chunk order. Chunks are
// shared among at most kTasksPerThread tasks per worker, each with its own working memory, so the
// result is bit-identical for any number of threads. Everything is allocated once, at
// construction.
class ChunkedSums {
 public:
  // `scratch` doubles of working memory per task; `parallel` false keeps every chunk on the calling
  // thread, as does a grid of one chunk.
  ChunkedSums(std::size_t n, std::size_t sums, std::size_t scratch, bool parallel)
      : n_(n),
        chunks_((n + kSumChunk - 1) / kSumChunk),
        sums_(sums),
        scratch_size_(scratch),
        tasks_(parallel && chunks_ > 1
                   ? std::min(chunks_, kTasksPerThread * static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency())))
                   : std::min<std::size_t>(chunks_, 1)),
        partials_(chunks_ * sums),
        scratch_(std::max<std::size_t>(tasks_, 1) * scratch) {}

  std::size_t sums() const { return sums_; }
  std::size_t chunks() const { return chunks_; }
  // The sums of chunk c from the last run, for a caller that combines them in chunk order its own
  // way (with compensation, say).
  std::span<const double> chunk_sums(std::size_t c) const { return {partials_.data() + c * sums_, sums_}; }

  // Tasks per worker: enough that a thread delayed by other work on the machine leaves its share
  // to the others, few enough that each task's working memory stays small.
  static constexpr std::size_t kTasksPerThread = 8;

  // Calls chunk(begin, end, chunk_sums, scratch) for every chunk (one pool region, or none when
  // there is one task) and writes the ordered totals to totals[0 .. sums). An empty grid gives 0.
  template <class Chunk>
  void run(Chunk&& chunk, std::span<double> totals) {
    auto run_task = [&](std::size_t task) {
      double* scratch = scratch_.data() + task * scratch_size_;
      for (std::size_t c = task * chunks_ / tasks_; c < (task + 1) * chunks_ / tasks_; ++c) {
        chunk(c * kSumChunk, std::min(n_, (c + 1) * kSumChunk), partials_.data() + c * sums_, scratch);
      }
    };
    if (tasks_ > 1) {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, tasks_, 1),
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t task = range.begin(); task < range.end(); ++task) run_task(task);
                        },
                        tbb::simple_partitioner());
    } else if (tasks_ == 1) {
      run_task(0);
    }
    std::fill(totals.begin(), totals.begin() + static_cast<std::ptrdiff_t>(sums_), 0.0);
    for (std::size_t c = 0; c < chunks_; ++c) {
      const double* partial = partials_.data() + c * sums_;
      for (std::size_t j = 0; j < sums_; ++j) totals[j] += partial[j];
    }
  }

 private:
  std::size_t n_, chunks_, sums_, scratch_size_, tasks_;
  std::vector<double> partials_;
  std::vector<double> scratch_;
};

// Limits the pool to `threads` workers while the returned object lives (tests compare results
// across thread counts with it).
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads);
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  void* control_;
};

}  // namespace brivane
