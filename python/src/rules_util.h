#pragma once
// Helpers shared by the entry points of velmar.rules: C++ exceptions turned
// into Python ones, and small Python values built from C++ ones.
// Only calls that PyPy's cpyext supports are used, so the same source builds
// for CPython and PyPy.
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "invariant.h"
#include "py_ref.h"

namespace velmar::rules_py {

using pyutil::PyRef;

// Runs one entry point's body, turning any C++ exception into a Python
// exception and the failure value the interpreter expects.
template <typename R, typename F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const velmar::InvariantError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in velmar.rules");
  }
  return failure;
}

inline PyObject* set_value_error(std::string_view text) {
  PyErr_SetString(PyExc_ValueError, std::string(text).c_str());
  return nullptr;
}

inline PyRef new_int(long long v) {
  return PyRef::steal(PyLong_FromLongLong(v));
}

// A list of `n` new references produced by make(i); null on failure.
template <typename F>
PyRef make_list(std::size_t n, F&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return {};
  for (std::size_t i = 0; i < n; ++i) {
    PyRef item = make(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

inline PyRef make_pair(long long a, long long b) {
  PyRef x = new_int(a);
  if (!x) return {};
  PyRef y = new_int(b);
  if (!y) return {};
  PyRef t = PyRef::steal(PyTuple_New(2));
  if (!t) return {};
  PyTuple_SET_ITEM(t.get(), 0, x.release());
  PyTuple_SET_ITEM(t.get(), 1, y.release());
  return t;
}
}  // namespace velmar::rules_py
