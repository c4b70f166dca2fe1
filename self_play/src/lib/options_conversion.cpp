#include "options_conversion.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "py_ref.h"

namespace velmar::self_play {
namespace {

using pyutil::PyRef;

enum class Kind { kFlag, kCount, kReduction, kShare };

struct Key {
  const char* name;
  Kind kind;
  bool SearchOptions::*flag = nullptr;  // the field of a kFlag key
};

constexpr Key kKeys[] = {
    {"fpu_reduction", Kind::kReduction},
    {"canonical_order", Kind::kFlag, &SearchOptions::canonical_order},
    {"reuse_tree", Kind::kFlag, &SearchOptions::reuse_tree},
    {"skip_forced", Kind::kFlag, &SearchOptions::skip_forced},
    {"fast_sims", Kind::kCount},
    {"full_share", Kind::kShare},
    {"gumbel", Kind::kFlag, &SearchOptions::gumbel},
    {"gumbel_m", Kind::kCount},
    {"rollout_weight", Kind::kShare},
};

// The bit of key `name` in the set of keys given.
unsigned bit(const char* name) {
  for (unsigned i = 0; i < std::size(kKeys); ++i) {
    if (std::strcmp(kKeys[i].name, name) == 0) return 1u << i;
  }
  return 0;
}

bool fail(PyObject* type, const std::string& key, const std::string& text) {
  PyErr_Format(type, "options['%s'] %s", key.c_str(), text.c_str());
  return false;
}

bool wrong_type(const Key& key, const char* wanted, PyObject* value) {
  return fail(PyExc_TypeError, key.name,
              std::string("must be ") + wanted + ", not " + Py_TYPE(value)->tp_name);
}

// A number read as a double: an int or a float, never a bool.
bool read_number(const Key& key, PyObject* value, double& out) {
  if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) {
    return wrong_type(key, "a number", value);
  }
  out = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
  if (out == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(out)) return fail(PyExc_ValueError, key.name, "must be finite");
  return true;
}

bool read_count(const Key& key, PyObject* value, uint32_t& out) {
  if (PyBool_Check(value) || !PyLong_Check(value)) return wrong_type(key, "an int", value);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) return false;
  if (overflow || v < 1 || v > std::numeric_limits<uint32_t>::max()) {
    return fail(PyExc_ValueError, key.name, "must be an int from 1 to 4294967295");
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool read_flag(const Key& key, PyObject* value, bool& out) {
  if (!PyBool_Check(value)) return wrong_type(key, "a bool", value);
  out = value == Py_True;
  return true;
}

bool read_value(const Key& key, PyObject* value, SearchOptions& o) {
  double x = 0.0;
  uint32_t n = 0;
  switch (key.kind) {
    case Kind::kFlag:
      return read_flag(key, value, o.*key.flag);
    case Kind::kCount:
      if (!read_count(key, value, n)) return false;
      if (std::strcmp(key.name, "fast_sims") == 0) {
        o.fast_sims = n;
      } else {
        o.gumbel_m = n;
      }
      return true;
    case Kind::kReduction:
      if (!read_number(key, value, x)) return false;
      if (x < 0.0) return fail(PyExc_ValueError, key.name, "must be >= 0");
      o.fpu_reduction = static_cast<float>(x);
      return true;
    case Kind::kShare:
      if (!read_number(key, value, x)) return false;
      if (!(x > 0.0 && x <= 1.0)) return fail(PyExc_ValueError, key.name, "must be in (0, 1]");
      if (std::strcmp(key.name, "full_share") == 0) {
        o.full_share = static_cast<float>(x);
      } else {
        o.rollout_weight = static_cast<float>(x);
      }
      return true;
  }
  return false;
}

// Marks key `index` seen; a key named twice cannot happen in a mapping.
bool read_item(PyObject* name, PyObject* value, SearchOptions& out, unsigned& seen) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "options keys must be strings, not %s", Py_TYPE(name)->tp_name);
    return false;
  }
  for (unsigned i = 0; i < std::size(kKeys); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, kKeys[i].name) != 0) continue;
    seen |= 1u << i;
    return read_value(kKeys[i], value, out);
  }
  PyErr_Format(PyExc_TypeError, "options: unknown key %R", name);
  return false;
}

// The keys that need or exclude each other.
bool check_together(const SearchOptions& o, unsigned seen) {
  const bool fast = seen & bit("fast_sims"), share = seen & bit("full_share");
  const bool m = seen & bit("gumbel_m");
  if (fast && !share) return fail(PyExc_ValueError, "fast_sims", "needs options['full_share']");
  if (share && !fast) return fail(PyExc_ValueError, "full_share", "needs options['fast_sims']");
  if (m && !o.gumbel) return fail(PyExc_ValueError, "gumbel_m", "needs options['gumbel'] True");
  if (o.reuse_tree && o.gumbel) {
    return fail(PyExc_ValueError, "reuse_tree", "cannot be combined with options['gumbel']");
  }
  return true;
}

}  // namespace

bool read_options(PyObject* options, SearchOptions& out, bool& given) {
  out = SearchOptions();
  given = false;
  if (!options || options == Py_None) return true;
  if (!PyDict_Check(options) && !PyObject_HasAttrString(options, "items")) {
    PyErr_Format(PyExc_TypeError, "options must be a mapping or None, not %s",
                 Py_TYPE(options)->tp_name);
    return false;
  }
  PyRef items = PyRef::steal(PyMapping_Items(options));
  if (!items) return false;
  PyRef fast = PyRef::steal(PySequence_Fast(items.get(), "options.items() must be a sequence"));
  if (!fast) return false;
  unsigned seen = 0;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      PyErr_SetString(PyExc_TypeError, "options.items() must give (key, value) pairs");
      return false;
    }
    if (!read_item(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), out, seen)) return false;
  }
  given = n > 0;
  return check_together(out, seen);
}

}  // namespace velmar::self_play
