#pragma once
// Numbers read from Python objects the same way under CPython and PyPy.
#include <Python.h>

#include "py_ref.h"

namespace pyutil {

// The value of `obj` as a double: a float, else its __float__, else its
// __index__ (as CPython's PyFloat_AsDouble reads it). PyPy's
// PyFloat_AsDouble refuses an object that has only __index__, so there the
// index is read here. Returns false with the Python error set.
inline bool as_double(PyObject* obj, double& out) {
  if (PyFloat_Check(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
#ifdef PYPY_VERSION
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!PyObject_HasAttrString(type, "__float__") && PyObject_HasAttrString(type, "__index__")) {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    out = PyLong_AsDouble(index.get());
    return !(out == -1.0 && PyErr_Occurred());
  }
#endif
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace pyutil
