#pragma once
// The process-wide worker pool.
//
// oneTBB's implicit arena is the pool: one worker per logical processor, created on first use and
// shared by every caller, with work stealing so that parallel work nested inside a task neither
// deadlocks nor oversubscribes the machine. Tasks write only their own slot and results are placed
// by index, so outcomes never depend on scheduling or on the number of threads.

#include <cstddef>
#include <utility>

#include <tbb/parallel_for.h>

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
