#pragma once
// The call frame shared by every Python-callable function: binding of positional and keyword
// arguments to the signature's slots, conversion slot by slot in signature order, array borrows
// held for the whole call, release of the interpreter lock around the computation, and the single
// place where C++ failures become Python exceptions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "background.hpp"
#include "bindings/arrays.hpp"
#include "bindings/borrows.hpp"
#include "bindings/convert.hpp"
#include "bindings/python.hpp"

namespace brivane::py {

// A function's name and parameter names in signature order; the first `required` have no default.
struct Signature {
  const char* name;
  std::initializer_list<const char*> parameters;
  std::size_t required;
};

inline constexpr std::size_t kMaxParameters = 24;

// An array the call writes: its contents copied in at entry, written back through the array's
// own strides by write_back() (with the interpreter lock held).
struct WrittenArray {
  ArrayLayout layout;
  std::vector<double> values;
  void write_back() const { write_elements(layout, values); }
};

class CallFrame {
 public:
  // Binds the arguments; raises the interpreter's TypeErrors for too many, unexpected, duplicated
  // or missing arguments.
  CallFrame(const Signature& signature, PyObject* args, PyObject* kwargs);

  double real(std::size_t slot);
  double real(std::size_t slot, double fallback);
  std::uint64_t count(std::size_t slot);
  std::uint8_t code(std::size_t slot, std::uint8_t fallback);
  bool flag(std::size_t slot, bool fallback);
  std::vector<bool> flags(std::size_t slot);
  std::vector<double> read_array(std::size_t slot);
  WrittenArray written_array(std::size_t slot);
  std::optional<BasisRows> optional_rows(std::size_t slot);

 private:
  // Runs a converter on a slot; a TypeError it raises is replaced by one whose message starts
  // "argument '<name>': " and which keeps the replaced error's cause.
  template <class Convert>
  auto convert(std::size_t slot, Convert&& converter) -> decltype(converter(nullptr));
  ArrayLayout float64_vector(std::size_t slot);

  const Signature& signature_;
  std::array<PyObject*, kMaxParameters> slots_{};
  BorrowSet borrows_;
};

// Releases the interpreter lock for its lifetime and re-takes it on every way out, exceptions
// included. Nothing may touch a Python object meanwhile.
class WithoutInterpreterLock {
 public:
  WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

// The PanicException type (derived directly from BaseException), created on first use.
PyObject* panic_exception_type();

using EntryBody = PyObject* (*)(PyObject* args, PyObject* kwargs);

// Runs a function body and turns C++ failures into Python exceptions: PythonError returns NULL
// with the exception already set, a Failure (or any other C++ exception) raises PanicException
// with its message, an allocation failure raises MemoryError. By then the body's borrows are
// released and the interpreter lock is held again.
PyObject* guarded_call(EntryBody body, PyObject* args, PyObject* kwargs);

template <EntryBody Body>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded_call(Body, args, kwargs);
}

// Result helpers: new references, throwing PythonError on failure.
PyObject* result_float(double value);
PyObject* result_array(std::span<const double> values);
// Steals the references it is given (null entries make it throw after releasing the others).
PyObject* result_tuple(std::initializer_list<PyObject*> items);

}  // namespace brivane::py
