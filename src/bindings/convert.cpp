#include "bindings/convert.hpp"

#include <string>

namespace brivane::py {

namespace {

// A new reference to a type's attribute as UTF-8 text, or "?" when it has none.
std::string type_attribute(PyObject* type, const char* attribute) {
  PyObject* value = PyObject_GetAttrString(type, attribute);
  if (!value) {
    PyErr_Clear();
    return "?";
  }
  std::string text = "?";
  if (PyUnicode_Check(value)) {
    if (PyObject* utf8 = PyUnicode_AsUTF8String(value)) {
      text = PyBytes_AsString(utf8);
      Py_DECREF(utf8);
    }
  }
  PyErr_Clear();
  Py_DECREF(value);
  return text;
}

std::string type_name(PyObject* object) {
  return type_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

bool is_numpy_bool_scalar(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (type_attribute(type, "__module__") != "numpy") return false;
  const std::string name = type_attribute(type, "__name__");
  return name == "bool" || name == "bool_";
}

// The checks shared by every sequence conversion: str is refused with its own text, anything
// that does not speak the sequence protocol as a non-Sequence.
void require_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_cannot_convert(object, "Sequence");
}

template <class Element, class Convert>
std::vector<Element> to_vector(PyObject* object, Convert convert) {
  require_sequence(object);
  PyObject* iterator = PyObject_GetIter(object);
  if (!iterator) throw PythonError{};
  std::vector<Element> values;
  try {
    while (PyObject* item = PyIter_Next(iterator)) {
      try {
        values.push_back(convert(item));
      } catch (...) {
        Py_DECREF(item);
        throw;
      }
      Py_DECREF(item);
    }
    throw_if_python_error();
  } catch (...) {
    Py_DECREF(iterator);
    throw;
  }
  Py_DECREF(iterator);
  return values;
}

}  // namespace

void throw_if_python_error() {
  if (PyErr_Occurred()) throw PythonError{};
}

void raise_cannot_convert(PyObject* object, const char* target) {
  raise_type_error("'" + type_name(object) + "' object cannot be converted to '" + target + "'");
}

double to_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0) throw_if_python_error();
  return value;
}

std::uint64_t to_count(PyObject* object) {
  PyObject* index = PyNumber_Index(object);
  if (!index) throw PythonError{};
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1)) throw_if_python_error();
  return value;
}

std::uint8_t to_code(PyObject* object) {
  PyObject* index = PyNumber_Index(object);
  if (!index) throw PythonError{};
  const long value = PyLong_AsLong(index);
  Py_DECREF(index);
  if (value == -1) throw_if_python_error();
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PythonError{};
  }
  return static_cast<std::uint8_t>(value);
}

bool to_bool(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (!is_numpy_bool_scalar(object)) raise_cannot_convert(object, "PyBool");
  PyObject* method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__bool__");
  if (!method) {
    PyErr_Clear();
    raise_type_error("object of type '" + type_name(object) +
                     "' does not define a '__bool__' conversion");
  }
  PyObject* result = PyObject_CallFunctionObjArgs(method, object, nullptr);
  Py_DECREF(method);
  if (!result) throw PythonError{};
  const bool is_true = result == Py_True;
  const bool is_false = result == Py_False;
  if (!is_true && !is_false) {
    Py_DECREF(result);
    raise_cannot_convert(object, "PyBool");
  }
  Py_DECREF(result);
  return is_true;
}

std::vector<bool> to_bool_sequence(PyObject* object) {
  return to_vector<bool>(object, to_bool);
}

std::optional<BasisRows> to_optional_rows(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return to_vector<std::vector<double>>(object, [](PyObject* row) {
    return to_vector<double>(row, to_double);
  });
}

}  // namespace brivane::py
