#pragma once
// The module's exceptions: PanicException for aborted calls (derived directly
// from BaseException, so `except Exception` does not catch it) and the plain
// Exception raised when a game ends early.
#include <Python.h>

#include <string>
#include <string_view>

#include "py_ref.h"

namespace velmar::self_play {

// The PanicException type, created once on first use; null with an error set on failure.
PyObject* panic_type();

// Whether an exception is not an Exception subclass (KeyboardInterrupt, SystemExit, ...).
bool is_interrupt(const pyutil::PyErrorState& error);

// Raises PanicException(message), with `cause` as its __cause__ when given.
void raise_panic(const std::string& message, pyutil::PyErrorState* cause = nullptr);

// Raises Exception whose message is `text` as a quoted literal, caused by `cause`.
void raise_quoted(std::string_view text, pyutil::PyErrorState* cause);

// `text` between double quotes, with backslash escapes for quotes,
// backslashes and control characters.
std::string quoted(std::string_view text);

}  // namespace velmar::self_play
