#pragma once
// Hand-offs between threads stated for ThreadSanitizer where the synchronisation that orders them
// is out of its sight.
//
// The sanitizer orders two threads' accesses only through synchronisation it sees: atomics and
// locks in instrumented code, and the C library's intercepted calls. The system's oneTBB is not
// instrumented, so the pool's hand-over of a task to a worker and its join are invisible, and so is
// the interpreter lock, taken and dropped inside an uninstrumented interpreter. Every access of a
// task to memory the caller wrote before (or reads after) would then look like a race. The calls
// below state those edges on a token address: release(token) publishes everything this thread did
// so far, and a later acquire(token) on any thread makes it visible there. They are the edges the
// pool and the lock really give, no more; they do not hide a race between two tasks, or between a
// task and a caller that does not wait for it.
//
// In any other build they compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define BRIVANE_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRIVANE_THREAD_SANITIZER 1
#endif
#endif

#ifdef BRIVANE_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace brivane::thread_order {

inline void release([[maybe_unused]] const void* token) noexcept {
#ifdef BRIVANE_THREAD_SANITIZER
  __tsan_release(const_cast<void*>(token));
#endif
}

inline void acquire([[maybe_unused]] const void* token) noexcept {
#ifdef BRIVANE_THREAD_SANITIZER
  __tsan_acquire(const_cast<void*>(token));
#endif
}

// A task body as the pool is handed it: the pool reaches it by reference (parallel_for's index
// form, task_group::run of a std::cref, task_arena::execute), so a task can name its hand-over by
// the object's own address, before it reads anything the hand-over publishes (the body's captures
// among them). Constructed on the calling thread, then hand_over(), then given to the pool; its
// destruction, after the join on every way out (a task's exception included), states the join.
// Tasks acquire the hand-over and release at their end on a second address, so that tasks of one
// region are not ordered among themselves.
template <class Body>
class HandedTask {
 public:
  explicit HandedTask(const Body& body) noexcept : body_(body) {}
  HandedTask(const HandedTask&) = delete;
  HandedTask& operator=(const HandedTask&) = delete;

  void hand_over() const noexcept { release(this); }

  template <class... Args>
  void operator()(Args&&... args) const {
    acquire(this);
    const Finish finish(done_token());
    body_(static_cast<Args&&>(args)...);
  }

  // Not stated: the last task's fold into the join node of oneTBB's parallel loop, which lies in
  // the waiting thread's stack and is done by the library's code after the task body; a later
  // use of that stack by the waiting thread is reported against it (tests/tsan/only_tbb.py
  // recognises the pair). The node's address is the library's to know.
  ~HandedTask() { acquire(done_token()); }

 private:
  struct Finish {
    const void* token;
    ~Finish() { release(token); }
  };
  const void* done_token() const noexcept { return reinterpret_cast<const char*>(this) + 1; }

  const Body& body_;
};

}  // namespace brivane::thread_order
