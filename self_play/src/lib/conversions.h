#pragma once
// Conversions between Python objects and the engine's records.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "config.h"
#include "game_loop.h"
#include "py_ref.h"

namespace velmar::self_play {

// Binds the fast-call arguments to the named parameters; the last `kwonly`
// names are keyword-only and optional (null when absent). Returns false with
// TypeError set (too many, missing, unknown or repeated arguments).
bool bind_arguments(const char* function, const char* const* names, Py_ssize_t count,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Py_ssize_t kwonly = 0);

// `id` through the index protocol to a signed 32-bit integer. A TypeError
// becomes "argument 'id': <message>", keeping its cause.
std::optional<int32_t> convert_id(PyObject* obj);

// Reads the six fields of Config in order, stopping at the first failure;
// returns none with the Python error set (a missing attribute's own error, an
// interrupt raised by a conversion as it is, or TypeError "failed to extract
// field Config.<name>" caused by the conversion's error).
std::optional<Config> read_config(PyObject* config);

// (history, policies, payoffs) as a tuple of three lists; with
// `with_full_search` a fourth list holds the record's full_search flags.
pyutil::PyRef record_to_python(const GameRecord& record, bool with_full_search = false);

}  // namespace velmar::self_play
