#include "exceptions.h"

#include <cstdio>

#include "module_contract_texts.h"

namespace velmar::self_play {

using pyutil::PyErrorState;
using pyutil::PyRef;

PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        kPanicExceptionName.data(),
        "A broken invariant or an unusable configuration aborted the call.", PyExc_BaseException,
        nullptr);
  }
  return type;
}

bool is_interrupt(const PyErrorState& error) {
  return error.type && !PyErr_GivenExceptionMatches(error.type.get(), PyExc_Exception);
}

namespace {

// Raises an instance of `type` built from `message`, with `cause` as __cause__.
void raise_with_cause(PyObject* type, const std::string& message, PyErrorState* cause) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exc) return;
  if (cause && cause->value) PyException_SetCause(exc.get(), PyRef(cause->value).release());
  PyErr_SetObject(type, exc.get());
}

}  // namespace

void raise_panic(const std::string& message, PyErrorState* cause) {
  PyObject* type = panic_type();
  if (!type) return;
  raise_with_cause(type, message, cause);
}

void raise_quoted(std::string_view text, PyErrorState* cause) {
  raise_with_cause(PyExc_Exception, quoted(text), cause);
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace velmar::self_play
