#pragma once
// Owned Python references. A PyRef holds one strong reference and releases it
// when it goes out of scope, so every path out of a function releases what it
// took. Borrowed references stay plain PyObject pointers.
#include <Python.h>

#include <utility>

namespace pyutil {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// The exception currently set, taken out of the interpreter (type, value and
// traceback normalised). Restore() sets it again.
struct PyErrorState {
  PyRef type, value, traceback;

  static PyErrorState fetch() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v && tb) PyException_SetTraceback(v, tb);
    return {PyRef::steal(t), PyRef::steal(v), PyRef::steal(tb)};
  }
  bool empty() const { return !type; }
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace pyutil
