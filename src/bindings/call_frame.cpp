#include "bindings/call_frame.hpp"

#include <signal.h>

#include <charconv>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "interrupt.hpp"

namespace brivane::py {

namespace {

std::string utf8_text(PyObject* text_object) {
  std::string text;
  if (text_object) {
    if (PyObject* bytes = PyUnicode_AsUTF8String(text_object)) {
      text = PyBytes_AsString(bytes);
      Py_DECREF(bytes);
    }
  }
  PyErr_Clear();
  return text;
}

[[noreturn]] void raise_binding_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// Names joined as the interpreter joins them for its own functions: 'a', 'b' and 'c'.
std::string joined_names(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    text += quoted(names[i]);
  }
  return text;
}

}  // namespace

CallFrame::CallFrame(const Signature& signature, PyObject* args, PyObject* kwargs)
    : signature_(signature) {
  const std::string function = std::string(signature.name) + "()";
  const std::size_t total = signature.size;
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) throw PythonError{};
  if (static_cast<std::size_t>(given) > total) {
    const std::string takes = signature.required == total
                                  ? " takes " + std::to_string(total)
                                  : " takes from " + std::to_string(signature.required) + " to " +
                                        std::to_string(total);
    raise_binding_error(function + takes + " positional arguments but " + std::to_string(given) +
                        (given == 1 ? " was" : " were") + " given");
  }
  auto names = [&signature](std::size_t slot) { return signature.parameters[slot].name; };
  for (Py_ssize_t i = 0; i < given; ++i) slots_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) raise_binding_error("keywords must be strings");
      std::size_t slot = total;
      for (std::size_t j = 0; j < total; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, names(j)) == 0) {
          slot = j;
          break;
        }
      }
      if (slot == total) {
        raise_binding_error(function + " got an unexpected keyword argument " + quoted(utf8_text(key)));
      }
      if (slots_[slot]) {
        raise_binding_error(function + " got multiple values for argument " + quoted(names(slot)));
      }
      slots_[slot] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t j = 0; j < signature.required; ++j) {
    if (!slots_[j]) missing.push_back(names(j));
  }
  if (!missing.empty()) {
    raise_binding_error(function + " missing " + std::to_string(missing.size()) +
                        " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                        ": " + joined_names(missing));
  }
}

template <class Convert>
auto CallFrame::convert(std::size_t slot, Convert&& converter) -> decltype(converter(nullptr)) {
  try {
    return converter(slots_[slot]);
  } catch (const PythonError&) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (!value || reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyExc_TypeError) {
      PyErr_Restore(type, value, traceback);
      throw;
    }
    PyObject* text = PyObject_Str(value);
    const std::string message = "argument '" + std::string(signature_.parameters[slot].name) +
                                "': " + utf8_text(text);
    Py_XDECREF(text);
    PyObject* replacement = PyObject_CallFunction(PyExc_TypeError, "s", message.c_str());
    if (replacement) {
      if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement, cause);
      PyErr_SetObject(PyExc_TypeError, replacement);
      Py_DECREF(replacement);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw;
  }
}

namespace {

// A default's text as a number, whatever the C locale says.
template <class Number>
Number parsed(std::string_view text) {
  Number value{};
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

// The defaults are the texts of the signature; signature() has checked that each fits its kind.
double CallFrame::real(std::size_t slot) {
  if (!slots_[slot]) return parsed<double>(fallback(slot));
  return convert(slot, to_double);
}

std::uint64_t CallFrame::count(std::size_t slot) {
  if (!slots_[slot]) return parsed<std::uint64_t>(fallback(slot));
  return convert(slot, to_count);
}

std::uint8_t CallFrame::code(std::size_t slot) {
  if (!slots_[slot]) return static_cast<std::uint8_t>(parsed<unsigned>(fallback(slot)));
  return convert(slot, to_code);
}

bool CallFrame::flag(std::size_t slot) {
  if (!slots_[slot]) return std::string_view(fallback(slot)) == "True";
  return convert(slot, to_bool);
}

std::vector<bool> CallFrame::flags(std::size_t slot) { return convert(slot, to_bool_sequence); }

std::optional<BasisRows> CallFrame::optional_rows(std::size_t slot) {
  return slots_[slot] ? convert(slot, to_optional_rows) : std::nullopt;  // the default is None
}

ArrayLayout CallFrame::float64_vector(std::size_t slot) {
  return convert(slot, [](PyObject* object) {
    ensure_numpy_api();
    if (!is_float64_vector(object)) raise_cannot_convert(object, "PyArray<T, D>");
    return float64_vector_layout(object);
  });
}

std::vector<double> CallFrame::read_array(std::size_t slot) {
  const ArrayLayout layout = float64_vector(slot);
  borrows_.borrow(layout, false);
  std::vector<double> values(static_cast<std::size_t>(layout.length));
  read_elements(layout, values);
  return values;
}

WrittenArray CallFrame::written_array(std::size_t slot) {
  WrittenArray array{float64_vector(slot), {}};
  borrows_.borrow(array.layout, true);
  array.values.resize(static_cast<std::size_t>(array.layout.length));
  read_elements(array.layout, array.values);
  return array;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "brivane_core.PanicException",
        "The exception raised when the native code called from Python fails internally.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that it will "
        "typically propagate all the way through the stack and cause the Python interpreter "
        "to exit.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

namespace {

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the creation failure is the pending exception
  PyErr_SetString(type, message);
}

}  // namespace

namespace {

// The SIGINT disposition that the first of the calls under way replaced, passed the signal on to.
struct sigaction replaced_sigint;

extern "C" void stop_on_sigint(int signal_number, siginfo_t* info, void* context) {
  brivane::request_interrupt();
  if (replaced_sigint.sa_flags & SA_SIGINFO) {
    replaced_sigint.sa_sigaction(signal_number, info, context);
  } else if (replaced_sigint.sa_handler != SIG_DFL && replaced_sigint.sa_handler != SIG_IGN) {
    replaced_sigint.sa_handler(signal_number);
  }
}

// The interpreter's main thread, found once (with the lock held): only it runs Python's signal
// handlers, so only there may an interrupted call let them raise its exception.
bool on_main_thread() {
  static unsigned long main_thread = 0;
  static bool known = false;
  if (!known) {
    if (PyObject* threading = PyImport_ImportModule("threading")) {
      if (PyObject* thread = PyObject_CallMethod(threading, "main_thread", nullptr)) {
        if (PyObject* ident = PyObject_GetAttrString(thread, "ident")) {
          main_thread = PyLong_AsUnsignedLong(ident);
          known = !PyErr_Occurred();
          Py_DECREF(ident);
        }
        Py_DECREF(thread);
      }
      Py_DECREF(threading);
    }
    if (!known) {
      PyErr_Clear();
      return false;
    }
  }
  return PyThread_get_thread_ident() == main_thread;
}

// Catches SIGINT while any call is under way, in whichever thread, as guarded_call describes. The
// calls are counted (under the interpreter lock, which every constructor and end() holds): the
// first installs the handler, the last puts the replaced one back and withdraws the request, so a
// call nested in another (a conversion that calls back into the module) or running beside it in
// another thread is covered by the same handler. Calls from other threads matter for work that a
// main thread hands to a thread pool and waits for in Python (Dask's threaded scheduler): the
// interpreter's KeyboardInterrupt reaches only the waiting main thread, and without the request
// the fits in the pool's threads would run on to their end.
class InterruptWatch {
 public:
  InterruptWatch() {
#ifdef BRIVANE_NO_INTERRUPT_CHECKS
    return;
#endif
    // Asked now, not when the call is interrupted: the first answer runs Python code, in which
    // the interpreter would run the pending signal handlers out of turn.
    main_thread_ = on_main_thread();
    counted_ = true;
    if (depth_++ > 0) return;
    struct sigaction current;
    if (sigaction(SIGINT, nullptr, &current) != 0) return;
    const bool handled = (current.sa_flags & SA_SIGINFO) ||
                         (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
    if (!handled) return;
    replaced_sigint = current;
    struct sigaction ours = current;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_flags &= ~SA_RESETHAND;
    ours.sa_sigaction = stop_on_sigint;
    installed_ = sigaction(SIGINT, &ours, nullptr) == 0;
  }

  ~InterruptWatch() { end(); }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Puts the replaced handler back and withdraws the request, once the computations it stopped
  // have ended (the call's pool tasks are joined before its exception arrives here).
  void end() {
    if (!counted_) return;
    counted_ = false;
    if (--depth_ > 0) return;
    if (installed_) sigaction(SIGINT, &replaced_sigint, nullptr);
    installed_ = false;
    brivane::clear_interrupt();
  }

  // Raises the exception of an interrupted call.
  void raise() {
    end();
    if (main_thread_ && PyErr_CheckSignals() != 0) return;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
  }

 private:
  bool main_thread_ = false;
  bool counted_ = false;
  bool installed_ = false;
  static inline int depth_ = 0;  // calls under way in every thread, nested ones included
};

}  // namespace

PyObject* guarded_call(EntryBody body, PyObject* args, PyObject* kwargs, Failures failures) {
  const bool python_errors = failures == Failures::kPythonErrors;
  InterruptWatch watch;
  try {
    return body(args, kwargs);
  } catch (const brivane::Interrupted&) {
    watch.raise();
    return nullptr;
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::invalid_argument& refused) {
    if (python_errors) {
      PyErr_SetString(PyExc_ValueError, refused.what());
    } else {
      raise_panic(refused.what());
    }
    return nullptr;
  } catch (const std::exception& failure) {
    if (python_errors) {
      PyErr_SetString(PyExc_RuntimeError, failure.what());
    } else {
      raise_panic(failure.what());
    }
    return nullptr;
  } catch (...) {
    if (python_errors) {
      PyErr_SetString(PyExc_RuntimeError, "internal failure of unknown kind");
    } else {
      raise_panic("internal failure of unknown kind");
    }
    return nullptr;
  }
}

PyObject* result_array(std::span<const double> values) {
  PyObject* array = new_float64_array(values);
  if (!array) throw PythonError{};
  return array;
}

PyObject* result_matrix(std::span<const double> values, std::size_t rows, std::size_t columns) {
  PyObject* array = new_float64_matrix(values, rows, columns);
  if (!array) throw PythonError{};
  return array;
}

PyObject* result_flags(std::span<const unsigned char> flags) {
  PyObject* array = new_bool_array(flags);
  if (!array) throw PythonError{};
  return array;
}

PyObject* result_tuple(std::initializer_list<PyObject*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    if (tuple && item) {
      PyTuple_SetItem(tuple, i, item);  // steals
    } else {
      Py_XDECREF(item);
    }
    ++i;
  }
  if (!tuple) throw PythonError{};
  for (PyObject* item : items) {
    if (!item) {
      Py_DECREF(tuple);
      throw PythonError{};
    }
  }
  return tuple;
}

}  // namespace brivane::py
