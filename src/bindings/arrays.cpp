#include "bindings/arrays.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "failure.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL brivane_core_ARRAY_API
#include <numpy/arrayobject.h>

namespace brivane::py {

namespace {

// Mirrors NumPy's own import routine, but picks the multiarray module by NumPy's major version so
// that one build serves NumPy 1.26 and 2.x.
bool load_numpy_api() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (!numpy) return false;
  PyObject* version = PyObject_GetAttrString(numpy, "__version__");
  Py_DECREF(numpy);
  if (!version) return false;
  PyObject* numpy_lib = PyImport_ImportModule("numpy.lib");
  PyObject* version_class = numpy_lib ? PyObject_GetAttrString(numpy_lib, "NumpyVersion") : nullptr;
  Py_XDECREF(numpy_lib);
  PyObject* parsed = version_class ? PyObject_CallFunctionObjArgs(version_class, version, nullptr) : nullptr;
  Py_XDECREF(version_class);
  Py_DECREF(version);
  PyObject* major_object = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
  Py_XDECREF(parsed);
  if (!major_object) return false;
  const long major = PyLong_AsLong(major_object);
  Py_DECREF(major_object);
  if (major == -1 && PyErr_Occurred()) return false;

  PyObject* multiarray =
      PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
  if (!multiarray) return false;
  PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
  Py_DECREF(multiarray);
  if (!capsule) return false;
  void* table = PyCapsule_GetPointer(capsule, nullptr);
  Py_DECREF(capsule);
  if (!table) return false;

  PyArray_API = static_cast<void**>(table);
  // The ABI check of NumPy's import routine: a NumPy newer than these headers' ABI, or one that
  // lacks the features this module was compiled to use, is refused.
  if (PyArray_GetNDArrayCVersion() > NPY_VERSION ||
      PyArray_GetNDArrayCFeatureVersion() < NPY_FEATURE_VERSION) {
    PyArray_API = nullptr;
    return false;
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  return true;
}

}  // namespace

void ensure_numpy_api() {
  // The interpreter lock serialises the first load; a failed load is retried by the next call.
  if (PyArray_API) return;
  if (!load_numpy_api()) {
    PyErr_Clear();
    throw Failure("Failed to access NumPy array API capsule");
  }
}

bool is_float64_vector(PyObject* object) {
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64);
  Py_DECREF(float64);
  return equivalent;
}

ArrayLayout float64_vector_layout(PyObject* object) {
  PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
  ArrayLayout layout;
  layout.data = static_cast<char*>(PyArray_DATA(array));
  layout.length = PyArray_DIM(array, 0);
  layout.stride = PyArray_STRIDE(array, 0);
  layout.writeable = PyArray_ISWRITEABLE(array);
  return layout;
}

void read_elements(const ArrayLayout& layout, std::span<double> out) {
  if (layout.stride == static_cast<Py_ssize_t>(sizeof(double)) && layout.length > 0) {
    // Contiguous (the usual case): one block copy.
    std::memcpy(out.data(), layout.data, static_cast<std::size_t>(layout.length) * sizeof(double));
    return;
  }
  for (Py_ssize_t i = 0; i < layout.length; ++i) {
    std::memcpy(&out[static_cast<std::size_t>(i)], layout.data + i * layout.stride, sizeof(double));
  }
}

void write_elements(const ArrayLayout& layout, std::span<const double> values) {
  const Py_ssize_t count = std::min<Py_ssize_t>(layout.length, static_cast<Py_ssize_t>(values.size()));
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::memcpy(layout.data + i * layout.stride, &values[static_cast<std::size_t>(i)], sizeof(double));
  }
}

PyObject* new_float64_array(std::span<const double> values) {
  npy_intp length = static_cast<npy_intp>(values.size());
  PyObject* array = PyArray_SimpleNew(1, &length, NPY_DOUBLE);
  if (!array) return nullptr;
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                values.size() * sizeof(double));
  }
  return array;
}

PyObject* new_float64_matrix(std::span<const double> values, std::size_t rows, std::size_t columns) {
  npy_intp dimensions[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  PyObject* array = PyArray_SimpleNew(2, dimensions, NPY_DOUBLE);
  if (!array) return nullptr;
  if (rows * columns > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                rows * columns * sizeof(double));
  }
  return array;
}

PyObject* new_bool_array(std::span<const unsigned char> flags) {
  npy_intp length = static_cast<npy_intp>(flags.size());
  PyObject* array = PyArray_SimpleNew(1, &length, NPY_BOOL);
  if (!array) return nullptr;
  npy_bool* data = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (std::size_t i = 0; i < flags.size(); ++i) data[i] = flags[i] ? NPY_TRUE : NPY_FALSE;
  return array;
}

}  // namespace brivane::py
