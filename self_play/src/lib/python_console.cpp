#include "python_console.h"

#include <Python.h>

#include <string>

#include "py_ref.h"

namespace velmar::self_play {

using pyutil::PyRef;

namespace {

// Calls sys.<stream>.<method>(*args); returns the result or null (error cleared).
PyRef call_stream(const char* stream, const char* method, PyObject* arg) {
  PyObject* file = PySys_GetObject(stream);  // borrowed
  if (!file || file == Py_None) return PyRef();
  PyRef result = PyRef::steal(arg ? PyObject_CallMethod(file, method, "O", arg)
                                  : PyObject_CallMethod(file, method, nullptr));
  if (!result) PyErr_Clear();
  return result;
}

void write(const char* stream, std::string_view text, bool flush) {
  PyRef str = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!str) {
    PyErr_Clear();
    return;
  }
  call_stream(stream, "write", str.get());
  if (flush) call_stream(stream, "flush", nullptr);
}

}  // namespace

void PythonConsole::write_line(std::string_view line) {
  write("stdout", std::string(line) + "\n", false);
}

void PythonConsole::write_error(std::string_view text) {
  write("stderr", text, true);
}

bool PythonConsole::error_is_terminal() {
  PyRef result = call_stream("stderr", "isatty", nullptr);
  if (!result) return false;
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) PyErr_Clear();
  return truth == 1;
}

}  // namespace velmar::self_play
