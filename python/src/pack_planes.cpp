// velmar.rules.pack_planes: the network input packed into bits.
#include "py_ref.h"
#include "rules_bindings.h"

namespace velmar::rules_py {

using pyutil::PyRef;

// pack_planes(planes): five planes of 400 entries packed into 250 bytes;
// entry i of the 2,000 (plane by plane) is bit i % 8 of byte i // 8, set
// when the entry is true (1.0).
PyObject* rules_pack_planes(PyObject*, PyObject* planes) {
  constexpr Py_ssize_t kPlanes = 5, kCells = 400;
  PyRef outer = PyRef::steal(PySequence_Fast(planes, "planes must be a sequence of 5 planes"));
  if (!outer) return nullptr;
  if (PySequence_Fast_GET_SIZE(outer.get()) != kPlanes) {
    PyErr_SetString(PyExc_ValueError, "planes must be 5 planes of 400 entries");
    return nullptr;
  }
  unsigned char bits[kPlanes * kCells / 8] = {};
  for (Py_ssize_t k = 0; k < kPlanes; ++k) {
    PyRef plane = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), k),
                                               "a plane must be a sequence of 400 entries"));
    if (!plane) return nullptr;
    if (PySequence_Fast_GET_SIZE(plane.get()) != kCells) {
      PyErr_SetString(PyExc_ValueError, "planes must be 5 planes of 400 entries");
      return nullptr;
    }
    PyObject** items = PySequence_Fast_ITEMS(plane.get());
    for (Py_ssize_t x = 0; x < kCells; ++x) {
      PyObject* v = items[x];
      int truth;
      if (PyFloat_CheckExact(v)) {
        truth = PyFloat_AS_DOUBLE(v) != 0.0;
      } else {
        truth = PyObject_IsTrue(v);
        if (truth < 0) return nullptr;
      }
      const Py_ssize_t i = k * kCells + x;
      if (truth) bits[i >> 3] |= static_cast<unsigned char>(1u << (i & 7));
    }
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bits), sizeof bits);
}

}  // namespace velmar::rules_py
