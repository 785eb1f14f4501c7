#pragma once
// The process-wide worker pool.
//
// oneTBB's implicit arena is the pool: one worker per logical processor, created on first use and
// shared by every caller, with work stealing so that parallel work nested inside a task neither
// deadlocks nor oversubscribes the machine. Tasks write only their own slot and results are placed
// by index, so outcomes never depend on scheduling or on the number of threads.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <functional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "interrupt.hpp"
#include "summation_order.hpp"
#include "thread_order.hpp"

namespace brivane {

// Runs body(k) for every k in [0, count) on the pool, split into tasks as `partitioner` says, and
// waits for all of them. The pool reaches the body by reference, through thread_order::HandedTask
// (which states the hand-over and the join for ThreadSanitizer, and is nothing otherwise).
template <class Body, class Partitioner>
void pool_for(std::size_t count, const Body& body, const Partitioner& partitioner) {
  const thread_order::HandedTask<Body> task(body);
  task.hand_over();
  tbb::parallel_for(std::size_t{0}, count, std::size_t{1}, task, partitioner);
}

// Runs task(k) for every k in [0, count) as independent tasks and waits for all of them. The first
// exception a task throws is carried back to the calling thread and rethrown there. Every task
// starts with an interrupt check (interrupt.hpp).
template <class Task>
void run_tasks(std::size_t count, Task&& task) {
  if (count == 0) return;
  if (count == 1) {
    check_interrupt();
    task(std::size_t{0});
    return;
  }
  const auto body = [&task](std::size_t k) {
    check_interrupt();
    task(k);
  };
  pool_for(count, body, tbb::auto_partitioner());
}

// The same tasks run one after another on the calling thread.
template <class Task>
void run_tasks_sequentially(std::size_t count, Task&& task) {
  for (std::size_t k = 0; k < count; ++k) {
    check_interrupt();
    task(k);
  }
}

// Sums over the samples of a grid in an order fixed by the grid alone. The samples are cut into
// chunks of kSumChunk; a chunk function forms `sums` totals of its chunk (with kSumLanes
// accumulators each, summation_order.hpp), and the chunks' totals are added in chunk order. Chunks are
// shared among at most kTasksPerThread tasks per worker, each with its own working memory, so the
// result is bit-identical for any number of threads. Everything is allocated once, at
// construction.
class ChunkedSums {
 public:
  // `scratch` doubles of working memory per task; `parallel` false keeps every chunk on the calling
  // thread, as does a grid of one chunk or an arena of one thread.
  ChunkedSums(std::size_t n, std::size_t sums, std::size_t scratch, bool parallel)
      : n_(n),
        chunks_((n + kSumChunk - 1) / kSumChunk),
        sums_(sums),
        tasks_(parallel && chunks_ > 1 && arena_threads() > 1 ? std::min(chunks_, kTasksPerThread * arena_threads())
                                                             : std::min<std::size_t>(chunks_, 1)),
        partial_stride_(whole_lines(sums)),
        scratch_stride_(whole_lines(scratch)),
        partial_storage_(chunks_ * partial_stride_ + kLineDoubles),
        scratch_storage_(std::max<std::size_t>(tasks_, 1) * scratch_stride_ + kLineDoubles),
        partials_(line_aligned(partial_storage_)),
        scratch_(line_aligned(scratch_storage_)) {}

  // The working memory is reached through pointers into storage that a move keeps.
  ChunkedSums(const ChunkedSums&) = delete;
  ChunkedSums& operator=(const ChunkedSums&) = delete;
  ChunkedSums(ChunkedSums&&) = default;
  ChunkedSums& operator=(ChunkedSums&&) = default;

  std::size_t sums() const { return sums_; }
  std::size_t chunks() const { return chunks_; }
  // The sums of chunk c from the last run, for a caller that combines them in chunk order its own
  // way (with compensation, say).
  std::span<const double> chunk_sums(std::size_t c) const { return {partials_ + c * partial_stride_, sums_}; }

  // Tasks per worker: enough that a thread delayed by other work on the machine leaves its share
  // to the others, few enough that each task's working memory stays small.
  static constexpr std::size_t kTasksPerThread = 8;

  // Calls chunk(begin, end, chunk_sums, scratch) for every chunk (one pool region, or none when
  // there is one task) and writes the ordered totals to totals[0 .. sums). An empty grid gives 0.
  // Every chunk starts with an interrupt check, so that one pass over a huge grid stops too.
  template <class Chunk>
  void run(Chunk&& chunk, std::span<double> totals) {
    auto run_chunks = [&](std::size_t first, std::size_t last, double* scratch) {
      for (std::size_t c = first; c < last; ++c) {
        check_interrupt();
        chunk(c * kSumChunk, std::min(n_, (c + 1) * kSumChunk), partials_ + c * partial_stride_, scratch);
      }
    };
    auto run_task = [&](std::size_t task, double* scratch) {
      run_chunks(task * chunks_ / tasks_, (task + 1) * chunks_ / tasks_, scratch);
    };
    if (crew_) {
      crew_run(run_chunks);
    } else if (tasks_ > 1) {
      const auto body = [&](std::size_t task) { run_task(task, scratch_ + task * scratch_stride_); };
      pool_for(tasks_, body, tbb::simple_partitioner());
    } else if (tasks_ == 1) {
      run_task(0, scratch_);
    }
    std::fill(totals.begin(), totals.begin() + static_cast<std::ptrdiff_t>(sums_), 0.0);
    for (std::size_t c = 0; c < chunks_; ++c) {
      const double* partial = partials_ + c * partial_stride_;
      for (std::size_t j = 0; j < sums_; ++j) totals[j] += partial[j];
    }
  }

  // Calls body() with the pool's other threads held for the whole call: every run() that body
  // makes (on the calling thread) shares its chunks with helpers that stay between runs, waiting
  // for the next, instead of being handed work afresh each time. A hand-off to a sleeping or
  // stealing worker and the join cost a microsecond or more, a fifth of a run at two thousand
  // samples, while a run published to a waiting helper costs a few cache-line transfers. The
  // calling thread never waits for a helper to arrive: it claims chunks itself, so a helper that
  // the pool cannot start (its workers busy elsewhere, or limited to one thread) leaves them all to
  // the caller, and the sums are the same whoever takes which chunk. Helpers spin between runs, so
  // body should do little else than runs and their short serial steps.
  template <class Body>
  void hold(Body&& body) {
    const std::size_t threads = std::min(tasks_, arena_threads());
    if (threads <= 1 || crew_) {
      body();
      return;
    }
    // Held helpers claim their share a few chunks at a time, each claim one atomic increment: fine
    // enough that threads finish together, coarse enough that claims stay rare beside the work.
    Crew crew(std::max<std::size_t>(1, chunks_ / (kClaimsPerThread * threads)));
    tbb::task_group group;
    // Each helper takes the next task's working memory.
    std::atomic<std::size_t> next_scratch{1};
    const auto help = [this, &crew, &next_scratch] {
      crew_help(crew, scratch_ + next_scratch.fetch_add(1, std::memory_order_relaxed) * scratch_stride_);
    };
    const thread_order::HandedTask<decltype(help)> helper(help);
    // Stops and joins the helpers however body leaves.
    struct Release {
      ChunkedSums& owner;
      Crew& crew;
      tbb::task_group& group;
      Release(ChunkedSums& o, Crew& c, tbb::task_group& g) : owner(o), crew(c), group(g) {
        owner.crew_ = &crew;
        ++crews_held_here;
      }
      ~Release() {
        crew.stop.store(true, std::memory_order_release);
        try {
          group.wait();
        } catch (...) {
          // Helpers catch everything their tasks throw; nothing is left to report here.
        }
        --crews_held_here;
        owner.crew_ = nullptr;
      }
    } release{*this, crew, group};
    helper.hand_over();
    for (std::size_t h = 1; h < threads; ++h) group.run(std::cref(helper));
    body();
  }

 private:
  // What the caller shares with held helpers. A run is published by storing 0 to `claim`; chunks
  // are claimed `grain` at a time by adding to it, and a claim at or beyond the chunk count finds
  // nothing left. `done` counts the chunks finished in the current run.
  struct Crew {
    explicit Crew(std::size_t chunks_per_claim) : grain(chunks_per_claim) {}
    const std::size_t grain;
    alignas(64) std::atomic<std::size_t> claim{SIZE_MAX / 2};
    alignas(64) std::atomic<std::size_t> done{0};
    alignas(64) std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    // The current run's chunk function, valid from its publication until every chunk is done.
    void (*chunks)(void* context, std::size_t first, std::size_t last, double* scratch) = nullptr;
    void* context = nullptr;
    std::exception_ptr error;
  };

  // Claims and runs one share of the current run; false when nothing was left. The first exception
  // of a run is kept for the caller, and the share still counts as done.
  bool crew_claim(Crew& crew, double* scratch) {
    const std::size_t first = crew.claim.fetch_add(crew.grain, std::memory_order_acq_rel);
    if (first >= chunks_) return false;
    const std::size_t last = std::min(chunks_, first + crew.grain);
    try {
      crew.chunks(crew.context, first, last, scratch);
    } catch (...) {
      if (!crew.failed.exchange(true, std::memory_order_acq_rel)) crew.error = std::current_exception();
    }
    crew.done.fetch_add(last - first, std::memory_order_release);
    return true;
  }

  void crew_help(Crew& crew, double* scratch) {
    // A thread waiting for work of the pool may be handed any waiting task, a helper among them.
    // A thread that holds helpers of its own (in its body, or joining them) must not become one:
    // it would wait for another caller's stop, and two such callers would wait for each other.
    if (crews_held_here > 0) return;
    // Polls with the processor's pause hint; a helper idle for long (a body busy with something
    // else) yields its core to whatever else wants it.
    std::size_t idle = 0;
    while (!crew.stop.load(std::memory_order_acquire)) {
      if (crew.claim.load(std::memory_order_relaxed) < chunks_ && crew_claim(crew, scratch)) {
        idle = 0;
      } else if (++idle < kSpinsBeforeYield) {
        pause();
      } else {
        std::this_thread::yield();
      }
    }
  }

  template <class RunChunks>
  void crew_run(RunChunks& run_chunks) {
    Crew& crew = *crew_;
    crew.chunks = [](void* context, std::size_t first, std::size_t last, double* scratch) {
      (*static_cast<RunChunks*>(context))(first, last, scratch);
    };
    crew.context = &run_chunks;
    crew.done.store(0, std::memory_order_relaxed);
    crew.claim.store(0, std::memory_order_release);
    while (crew_claim(crew, scratch_)) {
    }
    // Every chunk is claimed; those not yet done belong to helpers that are running them.
    while (crew.done.load(std::memory_order_acquire) < chunks_) pause();
    if (crew.failed.load(std::memory_order_acquire)) {
      crew.failed.store(false, std::memory_order_relaxed);
      std::rethrow_exception(std::exchange(crew.error, nullptr));
    }
  }

  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }
  static constexpr std::size_t kSpinsBeforeYield = 1 << 16;
  // Helpers held by this thread: while it runs a body or joins its helpers.
  static inline thread_local std::size_t crews_held_here = 0;
  static constexpr std::size_t kClaimsPerThread = 16;

  // Threads of the current arena: with one, every chunk runs on the calling thread without a
  // pool region.
  static std::size_t arena_threads() { return static_cast<std::size_t>(std::max(1, tbb::this_task_arena::max_concurrency())); }

  // Every chunk's sums and every task's working memory start on a cache line of their own: a line
  // shared by two threads' writes would pass between their cores on every write (false sharing).
  static constexpr std::size_t kLineDoubles = 64 / sizeof(double);
  static std::size_t whole_lines(std::size_t doubles) { return (doubles + kLineDoubles - 1) / kLineDoubles * kLineDoubles; }
  static double* line_aligned(std::vector<double>& storage) {
    const auto address = reinterpret_cast<std::uintptr_t>(storage.data());
    return storage.data() + (-(address / sizeof(double)) & (kLineDoubles - 1));
  }

  std::size_t n_, chunks_, sums_, tasks_;
  std::size_t partial_stride_, scratch_stride_;
  std::vector<double> partial_storage_, scratch_storage_;
  double* partials_;
  double* scratch_;
  Crew* crew_ = nullptr;
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
