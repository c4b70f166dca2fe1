#include "conversions.h"

#include <limits>
#include <string>

#include "exceptions.h"
#include "module_contract_texts.h"
#include "py_number.h"

namespace velmar::self_play {

using pyutil::PyErrorState;
using pyutil::PyRef;

bool bind_arguments(const char* function, const char* const* names, Py_ssize_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Py_ssize_t kwonly) {
  const Py_ssize_t positional = count - kwonly;
  if (nargs > positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                 function, positional, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < count && slot < 0; ++i) {
      const int eq = PyUnicode_CompareWithASCIIString(key, names[i]);
      if (eq == 0) slot = i;
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::string missing;
  Py_ssize_t nmissing = 0;
  for (Py_ssize_t i = 0; i < positional; ++i) {
    if (out[i]) continue;
    ++nmissing;
    if (!missing.empty()) missing += ", ";
    missing += "'" + std::string(names[i]) + "'";
  }
  if (nmissing) {
    // "'a', 'b' and 'c'" as the interpreter words it.
    const auto last = missing.rfind(", ");
    if (last != std::string::npos) {
      missing.replace(last, 2, nmissing == 2 ? " and " : ", and ");
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function,
                 nmissing, nmissing == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

std::optional<int32_t> convert_id(PyObject* obj) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErrorState error = PyErrorState::fetch();
    PyRef text = PyRef::steal(PyObject_Str(error.value.get()));
    if (!text) return std::nullopt;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument 'id': %U", text.get()));
    if (!message) return std::nullopt;
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!exc) return std::nullopt;
    if (PyObject* cause = PyException_GetCause(error.value.get())) {
      PyException_SetCause(exc.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, exc.get());
    return std::nullopt;
  }
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<int32_t>(v);
}

namespace {

constexpr const char* kFieldNames[] = {"sims_per_move", "sample_moves",    "c_base",
                                       "c_init",        "dirichlet_alpha", "exploration_fraction"};
constexpr std::size_t kNumFields = std::size(kFieldNames);

// The interned attribute names, created once and kept for the process.
PyObject* const* field_names() {
  static PyObject* names[kNumFields] = {};
  if (!names[0]) {
    for (std::size_t i = 0; i < kNumFields; ++i) {
      PyObject* name = PyUnicode_InternFromString(kFieldNames[i]);
      if (!name) return nullptr;
      names[i] = name;
    }
  }
  return names;
}

bool to_u32(PyObject* value, uint32_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_f32(PyObject* value, float& out) {
  double v = 0.0;
  if (!pyutil::as_double(value, v)) return false;
  out = static_cast<float>(v);
  return true;
}

}  // namespace

std::optional<Config> read_config(PyObject* config) {
  PyObject* const* names = field_names();
  if (!names) return std::nullopt;
  Config c;
  for (std::size_t i = 0; i < kNumFields; ++i) {
    PyRef value = PyRef::steal(PyObject_GetAttr(config, names[i]));
    if (!value) return std::nullopt;
    bool ok = false;
    switch (i) {
      case 0:
        ok = to_u32(value.get(), c.sims_per_move);
        break;
      case 1:
        ok = to_u32(value.get(), c.sample_moves);
        break;
      case 2:
        ok = to_f32(value.get(), c.c_base);
        break;
      case 3:
        ok = to_f32(value.get(), c.c_init);
        break;
      case 4:
        ok = to_f32(value.get(), c.dirichlet_alpha);
        break;
      default:
        ok = to_f32(value.get(), c.exploration_fraction);
        break;
    }
    if (!ok) {
      PyErrorState cause = PyErrorState::fetch();
      if (is_interrupt(cause)) {  // KeyboardInterrupt, SystemExit: raised as they are
        cause.restore();
        return std::nullopt;
      }
      PyRef exc = PyRef::steal(PyObject_CallFunction(
          PyExc_TypeError, "s", (std::string(kConfigFieldError) + kFieldNames[i]).c_str()));
      if (!exc) return std::nullopt;
      if (cause.value) PyException_SetCause(exc.get(), cause.value.release());
      PyErr_SetObject(PyExc_TypeError, exc.get());
      return std::nullopt;
    }
  }
  return c;
}

namespace {

PyRef pair(PyObject* a, PyObject* b) {
  PyRef first = PyRef::steal(a), second = PyRef::steal(b);
  if (!first || !second) return PyRef();
  return PyRef::steal(PyTuple_Pack(2, first.get(), second.get()));
}

}  // namespace

PyRef record_to_python(const GameRecord& record, bool with_full_search) {
  PyRef history = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.history.size())));
  if (!history) return PyRef();
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const HistoryEntry& e = record.history[i];
    PyRef item = pair(PyLong_FromLong(e.player), PyLong_FromLong(e.cell));
    if (!item) return PyRef();
    PyList_SET_ITEM(history.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  PyRef policies = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.policies.size())));
  if (!policies) return PyRef();
  for (std::size_t i = 0; i < record.policies.size(); ++i) {
    const Policy& policy = record.policies[i];
    PyRef entry = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(policy.size())));
    if (!entry) return PyRef();
    for (std::size_t j = 0; j < policy.size(); ++j) {
      PyRef item = pair(PyLong_FromLong(policy[j].first),
                        PyFloat_FromDouble(static_cast<double>(policy[j].second)));
      if (!item) return PyRef();
      PyList_SET_ITEM(entry.get(), static_cast<Py_ssize_t>(j), item.release());
    }
    PyList_SET_ITEM(policies.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  PyRef payoffs = PyRef::steal(PyList_New(kNumPlayers));
  if (!payoffs) return PyRef();
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    PyObject* f = PyFloat_FromDouble(static_cast<double>(record.payoffs[p]));
    if (!f) return PyRef();
    PyList_SET_ITEM(payoffs.get(), p, f);
  }
  if (!with_full_search) {
    return PyRef::steal(PyTuple_Pack(3, history.get(), policies.get(), payoffs.get()));
  }
  PyRef full = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(record.full_search.size())));
  if (!full) return PyRef();
  for (std::size_t i = 0; i < record.full_search.size(); ++i) {
    PyList_SET_ITEM(full.get(), static_cast<Py_ssize_t>(i),
                    PyBool_FromLong(record.full_search[i] ? 1 : 0));
  }
  return PyRef::steal(PyTuple_Pack(4, history.get(), policies.get(), payoffs.get(), full.get()));
}

}  // namespace velmar::self_play
