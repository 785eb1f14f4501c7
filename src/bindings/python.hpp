#pragma once
// The one way into CPython's headers: the stable ABI of Python 3.9 and later.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
