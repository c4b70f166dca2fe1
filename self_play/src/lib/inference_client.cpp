#include "inference_client.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "module_contract_texts.h"
#include "py_number.h"

namespace velmar::self_play {

using pyutil::PyErrorState;
using pyutil::PyRef;

namespace {

std::string repr_text(PyObject* obj) {
  PyRef r = PyRef::steal(PyObject_Repr(obj));
  if (!r) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(r.get(), &len);
  if (!text) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return std::string(text, static_cast<std::size_t>(len));
}

PyRef checked(PyObject* o) {
  if (!o) throw std::bad_alloc();
  return PyRef::steal(o);
}

}  // namespace

std::string debug_text(const PyErrorState& error) {
  std::string text(kPyErrType);
  text += repr_text(error.type.get());
  text += kPyErrValue;
  text += repr_text(error.value.get());
  text += kPyErrTraceback;
  if (error.traceback && error.traceback.get() != Py_None) {
    text += kPyErrSomeOpen;
    text += repr_text(error.traceback.get());
    text += kPyErrSomeClose;
  } else {
    text += kPyErrNoTraceback;
  }
  text += kPyErrEnd;
  return text;
}

EvalError fetch_eval_error() {
  auto origin = std::make_shared<PyErrorOrigin>(PyErrorState::fetch());
  std::string debug = debug_text(origin->state);
  return EvalError{std::move(debug), std::move(origin)};
}

InferenceClient::InferenceClient(PyObject* inference_queue, PyObject* pipe, int32_t id)
    : queue_(inference_queue),
      pipe_(pipe),
      id_(checked(PyLong_FromLong(id))),
      zero_(checked(PyFloat_FromDouble(0.0))),
      one_(checked(PyFloat_FromDouble(1.0))),
      index0_(checked(PyLong_FromLong(0))),
      index1_(checked(PyLong_FromLong(1))),
      put_name_(checked(PyUnicode_InternFromString("put"))),
      recv_name_(checked(PyUnicode_InternFromString("recv"))),
      zero_list_(checked(PyList_New(1))) {
  Py_INCREF(zero_.get());
  PyList_SET_ITEM(zero_list_.get(), 0, zero_.get());
}

std::optional<EvalError> InferenceClient::exchange(const Representation& repr, Reply& reply) {
  // Signals that arrived while the search ran (Ctrl-C) are raised here, as
  // if by put: servers made of C-level callables never run the handlers.
  if (PyErr_CheckSignals() < 0 || !send(repr) || !receive(reply)) return fetch_eval_error();
  return std::nullopt;
}

bool InferenceClient::reusable_planes() const {
#ifdef PYPY_VERSION
  return false;  // reference counts of emulated objects say nothing about other holders
#else
  // Only when nobody but this client holds the previous planes can they be
  // refilled: the server cannot tell them from new lists.
  PyObject* planes = planes_.get();
  if (!planes || Py_REFCNT(planes) != 1 || !PyList_CheckExact(planes) ||
      PyList_GET_SIZE(planes) != kNumPlanes) {
    return false;
  }
  for (uint32_t k = 0; k < kNumPlanes; ++k) {
    PyObject* plane = PyList_GET_ITEM(planes, k);
    if (Py_REFCNT(plane) != 1 || !PyList_CheckExact(plane) || PyList_GET_SIZE(plane) != kNumCells) {
      return false;
    }
  }
  return true;
#endif
}

#ifdef PYPY_VERSION
namespace {
// Under PyPy every object handed across the C boundary costs an allocation
// and later GC work, so the bulk conversions run in two small functions that
// the JIT compiles: the planes are built from one bytes object of 2,000
// entries, and a list of numbers is read through one array of doubles.
constexpr const char* kHelpersSource =
    "from array import array\n"
    "def make_planes(b, zero, one):\n"
    "    return [[one if c else zero for c in b[k:k + 400]] for k in (0, 400, 800, 1200, 1600)]\n"
    "def as_doubles(seq):\n"
    "    return array('d', seq)\n";

PyObject* helper(const char* name) {
  static PyObject* globals = nullptr;
  if (!globals) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (PyDict_SetItemString(dict.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    PyRef done = PyRef::steal(PyRun_String(kHelpersSource, Py_file_input, dict.get(), dict.get()));
    if (!done) return nullptr;
    globals = dict.release();
  }
  return PyDict_GetItemString(globals, name);  // borrowed
}
}  // namespace

bool InferenceClient::build_planes(const Representation& repr) {
  PyObject* maker = helper("make_planes");
  if (!maker) return false;
  char bytes[kReprSize];
  for (uint32_t i = 0; i < kReprSize; ++i) bytes[i] = repr[i] == 1.0f ? 1 : 0;
  PyRef b = PyRef::steal(PyBytes_FromStringAndSize(bytes, kReprSize));
  if (!b) return false;
  planes_ =
      PyRef::steal(PyObject_CallFunctionObjArgs(maker, b.get(), zero_.get(), one_.get(), nullptr));
  return static_cast<bool>(planes_);
}
#else
bool InferenceClient::build_planes(const Representation& repr) {
  // Each plane starts as [0.0] * 400, then the 1.0 entries, a small share
  // of the 2,000, are set.
  planes_ = PyRef::steal(PyList_New(kNumPlanes));
  if (!planes_) return false;
  for (uint32_t k = 0; k < kNumPlanes; ++k) {
    PyObject* plane = PySequence_Repeat(zero_list_.get(), kNumCells);
    if (!plane) return false;
    PyList_SET_ITEM(planes_.get(), k, plane);
    const float* row = repr.data() + k * kNumCells;
    for (uint32_t x = 0; x < kNumCells; ++x) {
      if (row[x] != 1.0f) continue;
      Py_INCREF(one_.get());
      if (PyList_SetItem(plane, x, one_.get()) < 0) return false;
    }
  }
  return true;
}
#endif

bool InferenceClient::send(const Representation& repr) {
  // Every entry is 0.0 or 1.0: the two cached float objects serve them all.
  if (reusable_planes()) {
    for (uint32_t k = 0; k < kNumPlanes; ++k) {
      PyObject* plane = PyList_GET_ITEM(planes_.get(), k);
      const float* row = repr.data() + k * kNumCells;
      for (uint32_t x = 0; x < kNumCells; ++x) {
        PyObject* f = row[x] == 1.0f ? one_.get() : zero_.get();
        PyObject* old = PyList_GET_ITEM(plane, x);
        if (old == f) continue;
        Py_INCREF(f);
        PyList_SET_ITEM(plane, x, f);
        Py_XDECREF(old);
      }
    }
  } else if (!build_planes(repr)) {
    planes_ = PyRef();
    return false;
  }
  const PyRef& planes = planes_;
  PyRef request = PyRef::steal(PyTuple_Pack(2, id_.get(), planes.get()));
  if (!request) return false;
  PyRef put = PyRef::steal(PyObject_GetAttr(queue_, put_name_.get()));
  if (!put) return false;
  PyRef args = PyRef::steal(PyTuple_Pack(1, request.get()));
  if (!args) return false;
  PyRef result = PyRef::steal(PyObject_Call(put.get(), args.get(), nullptr));
  return static_cast<bool>(result);
}

bool InferenceClient::receive(Reply& reply) {
  PyRef recv = PyRef::steal(PyObject_GetAttr(pipe_, recv_name_.get()));
  if (!recv) return false;
  PyRef answer = PyRef::steal(PyObject_CallObject(recv.get(), nullptr));
  if (!answer) return false;
  PyRef policy = PyRef::steal(PyObject_GetItem(answer.get(), index0_.get()));
  if (!policy || !extract_floats(policy.get(), reply.policy, kMaxReplyItems)) return false;
  policy = PyRef();
  PyRef values = PyRef::steal(PyObject_GetItem(answer.get(), index1_.get()));
  return values && extract_floats(values.get(), reply.values, kMaxReplyItems);
}

namespace {

bool push_float(PyObject* item, std::vector<float>& out) {
  double v = 0.0;
  if (!pyutil::as_double(item, v)) return false;
  out.push_back(static_cast<float>(v));
  return true;
}

// A one-dimensional buffer of 32- or 64-bit floats (array.array('f'),
// a NumPy vector) is read directly: iterating it would give the same values.
// At most `limit` values are copied.
bool extract_float_buffer(PyObject* seq, std::vector<float>& out, std::size_t limit) {
  if (!PyObject_CheckBuffer(seq)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(seq, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    return false;
  }
  std::string_view format = view.format ? view.format : "B";
  if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  const bool f32 = format == "f" && view.itemsize == 4;
  const bool f64 = format == "d" && view.itemsize == 8;
  if (view.ndim != 1 || !(f32 || f64)) {
    PyBuffer_Release(&view);
    return false;
  }
  const std::size_t n = std::min(static_cast<std::size_t>(view.len / view.itemsize), limit);
  out.resize(n);
  if (f32) {
    // An empty buffer may have no storage (a null pointer), and out.data()
    // is null then too: memcpy is not called with them.
    if (n) std::memcpy(out.data(), view.buf, n * sizeof(float));
  } else {
    // Copied out value by value: a buffer need not be aligned for doubles,
    // and 32-bit ARM faults on misaligned double loads.
    const char* bytes = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
      double d;
      std::memcpy(&d, bytes + i * sizeof d, sizeof d);
      out[i] = static_cast<float>(d);
    }
  }
  PyBuffer_Release(&view);
  return true;
}

}  // namespace

bool extract_floats(PyObject* seq, std::vector<float>& out, std::size_t limit) {
  out.clear();
  if (PyUnicode_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(seq)->tp_name);
    return false;
  }
  if (extract_float_buffer(seq, out, limit)) return true;
  const auto max_items = static_cast<Py_ssize_t>(limit);
#ifdef PYPY_VERSION
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    // Same values as converting item by item; any failure is left to the
    // item-by-item path below, which raises the conversion's own error.
    if (PyObject* convert = helper("as_doubles")) {
      PyRef head = PyRef::steal(PySequence_GetSlice(seq, 0, max_items));
      PyRef doubles =
          head ? PyRef::steal(PyObject_CallFunctionObjArgs(convert, head.get(), nullptr)) : PyRef();
      if (doubles && extract_float_buffer(doubles.get(), out, limit)) return true;
    }
    PyErr_Clear();
    out.clear();
  }
#endif
  if (PyList_CheckExact(seq)) {
    // Items are held while converted: a __float__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq) && i < max_items; ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(seq, i));
      if (!push_float(item.get(), out)) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(seq)) {
    const Py_ssize_t n = std::min(PyTuple_GET_SIZE(seq), max_items);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!push_float(PyTuple_GET_ITEM(seq, i), out)) return false;
    }
    return true;
  }
  // Any other sequence is iterated, and no further than `limit` items: one
  // that never ends (a __getitem__ that never raises IndexError) is not read
  // until memory runs out.
  PyRef it = PyRef::steal(PyObject_GetIter(seq));
  if (!it) return false;
  while (out.size() < limit) {
    PyRef item = PyRef::steal(PyIter_Next(it.get()));
    if (!item) break;
    if (!push_float(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace velmar::self_play
