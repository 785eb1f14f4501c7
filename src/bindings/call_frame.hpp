#pragma once
// The call frame shared by every Python-callable function: binding of positional and keyword
// arguments to the signature's slots, conversion slot by slot in signature order into typed
// Arguments, array borrows held for the whole call, release of the interpreter lock around the
// computation when the signature says so, and the single place where C++ failures become Python
// exceptions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "background.hpp"
#include "bindings/arrays.hpp"
#include "bindings/borrows.hpp"
#include "bindings/convert.hpp"
#include "bindings/python.hpp"
#include "bindings/signature.hpp"
#include "interrupt.hpp"
#include "thread_order.hpp"

namespace brivane::py {

// An array the call writes: its contents copied in at entry, written back through the array's
// own strides by write_back() (with the interpreter lock held).
struct WrittenArray {
  ArrayLayout layout;
  std::vector<double> values;
  void write_back() const { write_elements(layout, values); }
};

// The value a parameter of each kind becomes.
template <Kind K> struct KindValue;
template <> struct KindValue<kFloat> { using type = double; };
template <> struct KindValue<kCount> { using type = std::uint64_t; };
template <> struct KindValue<kCode> { using type = std::uint8_t; };
template <> struct KindValue<kBool> { using type = bool; };
template <> struct KindValue<kBoolSequence> { using type = std::vector<bool>; };
template <> struct KindValue<kArray> { using type = std::vector<double>; };
template <> struct KindValue<kWrittenArray> { using type = WrittenArray; };
template <> struct KindValue<kOptionalRows> { using type = std::optional<BasisRows>; };
template <Kind K> using ValueOf = typename KindValue<K>::type;

class CallFrame {
 public:
  // Binds the arguments; raises the interpreter's TypeErrors for too many, unexpected, duplicated
  // or missing arguments.
  CallFrame(const Signature& signature, PyObject* args, PyObject* kwargs);

  // The argument in `slot` converted as its kind says, or its default when it was not given.
  template <Kind K>
  ValueOf<K> value(std::size_t slot);

 private:
  // Runs a converter on a slot; a TypeError it raises is replaced by one whose message starts
  // "argument '<name>': " and which keeps the replaced error's cause.
  template <class Convert>
  auto convert(std::size_t slot, Convert&& converter) -> decltype(converter(nullptr));
  ArrayLayout float64_vector(std::size_t slot);
  const char* fallback(std::size_t slot) const { return signature_.parameters[slot].fallback; }

  double real(std::size_t slot);
  std::uint64_t count(std::size_t slot);
  std::uint8_t code(std::size_t slot);
  bool flag(std::size_t slot);
  std::vector<bool> flags(std::size_t slot);
  std::vector<double> read_array(std::size_t slot);
  WrittenArray written_array(std::size_t slot);
  std::optional<BasisRows> optional_rows(std::size_t slot);

  const Signature& signature_;
  std::array<PyObject*, kMaxParameters> slots_{};
  BorrowSet borrows_;
};

template <Kind K>
ValueOf<K> CallFrame::value(std::size_t slot) {
  if constexpr (K == kFloat) return real(slot);
  if constexpr (K == kCount) return count(slot);
  if constexpr (K == kCode) return code(slot);
  if constexpr (K == kBool) return flag(slot);
  if constexpr (K == kBoolSequence) return flags(slot);
  if constexpr (K == kArray) return read_array(slot);
  if constexpr (K == kWrittenArray) return written_array(slot);
  if constexpr (K == kOptionalRows) return optional_rows(slot);
}

// Releases the interpreter lock for its lifetime and re-takes it on every way out, exceptions
// included. Nothing may touch a Python object meanwhile. The lock orders this thread's work on
// Python objects before the next holder's, inside an interpreter that ThreadSanitizer does not
// see: its hand-over is stated on one token (thread_order.hpp).
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() {
    thread_order::release(&interpreter_lock_token);
    state_ = PyEval_SaveThread();
  }
  ~WithoutInterpreterLock() {
    PyEval_RestoreThread(state_);
    thread_order::acquire(&interpreter_lock_token);
  }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  static inline char interpreter_lock_token = 0;
  PyThreadState* state_;
};

// The PanicException type (derived directly from BaseException), created on first use.
PyObject* panic_exception_type();

using EntryBody = PyObject* (*)(PyObject* args, PyObject* kwargs);

// How a module's C++ failures reach Python: brivane_core raises PanicException for every one (its
// contract); the engine module raises ValueError for a refused argument (std::invalid_argument,
// as the model's ModelError) and RuntimeError for anything else.
enum class Failures : bool { kPanic, kPythonErrors };

// Runs a function body and turns C++ failures into Python exceptions: PythonError returns NULL
// with the exception already set, an allocation failure raises MemoryError, an interrupt (Ctrl-C,
// see below) KeyboardInterrupt, and any other C++ exception is raised as `failures` says, with its
// message. By then the body's borrows are released and the interpreter lock is held again.
//
// Ctrl-C: while any call is under way, in any thread, SIGINT is caught, unless it is ignored or
// left to its default action (which then apply as usual). The handler asks the core to stop
// (interrupt.hpp) and passes the signal on to the handler it replaced, so the interpreter's own
// flag is set as well. The request reaches every computation of the process, so every call under
// way then ends with KeyboardInterrupt: in the main thread the interpreter's signal handlers run
// first (Python's default raises KeyboardInterrupt) and KeyboardInterrupt is raised if they raised
// nothing; in other threads KeyboardInterrupt is raised, while the interpreter's handler raises
// its own in the main thread. When the last call ends the replaced handler is back.
PyObject* guarded_call(EntryBody body, PyObject* args, PyObject* kwargs, Failures failures = Failures::kPanic);

// A parameter name as a template argument: Arguments::get<"r_eps">().
template <std::size_t N>
struct ParameterName {
  char text[N]{};
  consteval ParameterName(const char (&name)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = name[i];
  }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// The arguments of one call of the function that S describes, all converted, one after another in
// signature order, when they are made (the first failure ends the call). get<"name">() is the value
// of that parameter, typed by its kind; a name that S lacks does not compile.
template <const Signature& S>
class Arguments {
 public:
  explicit Arguments(CallFrame& frame) : Arguments(frame, std::make_index_sequence<S.size>{}) {}

  template <ParameterName kName>
  auto& get() {
    constexpr std::size_t slot = S.slot(kName.view());
    static_assert(slot < S.size, "the signature has no parameter of this name");
    return std::get<slot>(values_);
  }

  template <std::size_t kSlot>
  auto& at() {
    return std::get<kSlot>(values_);
  }

  // Runs the computation, without the interpreter lock if S says so. It must not touch a Python
  // object. An interrupt that came too late for the computation's own checks still ends the call
  // here, before anything is written back.
  template <class Work>
  decltype(auto) compute(Work&& work) {
    if constexpr (S.lock == Lock::kReleased) {
      WithoutInterpreterLock unlocked;
      return checked(work);
    } else {
      return checked(work);
    }
  }

 private:
  template <class Work>
  static decltype(auto) checked(Work& work) {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      check_interrupt();
    } else {
      auto result = work();
      check_interrupt();
      return result;
    }
  }

  template <std::size_t... I>
  static auto values_of(std::index_sequence<I...>) -> std::tuple<ValueOf<S.parameters[I].kind>...>;

  // A braced list evaluates its elements in order: the conversions run in signature order.
  template <std::size_t... I>
  Arguments(CallFrame& frame, std::index_sequence<I...>)
      : values_{frame.value<S.parameters[I].kind>(I)...} {}

  decltype(values_of(std::make_index_sequence<S.size>{})) values_;
};

template <const Signature& S>
using Body = PyObject* (*)(Arguments<S>& arguments);

template <const Signature& S, Body<S> kBody>
PyObject* bound_call(PyObject* args, PyObject* kwargs) {
  CallFrame frame(S, args, kwargs);
  Arguments<S> arguments(frame);
  return kBody(arguments);
}

// The entry the interpreter calls (METH_VARARGS | METH_KEYWORDS).
template <const Signature& S, Body<S> kBody, Failures kFailures = Failures::kPanic>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded_call(&bound_call<S, kBody>, args, kwargs, kFailures);
}

// Result helpers: new references, throwing PythonError on failure.
PyObject* result_array(std::span<const double> values);
// A rows x columns float64 array from row-major values, and a boolean array from 0/1 flags.
PyObject* result_matrix(std::span<const double> values, std::size_t rows, std::size_t columns);
PyObject* result_flags(std::span<const unsigned char> flags);
// Steals the references it is given (null entries make it throw after releasing the others).
PyObject* result_tuple(std::initializer_list<PyObject*> items);

}  // namespace brivane::py
