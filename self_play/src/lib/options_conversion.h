#pragma once
// The `options` mapping of generate_game_data and velmar.rules.search.
#include <Python.h>

#include "search_options.h"

namespace velmar::self_play {

// Reads `options` (None or a mapping of option names to values) into `out`;
// `given` tells whether it held any key. Returns false with TypeError (not a
// mapping, a key that is not a string or names no option, a value of the
// wrong type) or ValueError (a value out of range, keys that need or exclude
// each other) set; the message names the key.
bool read_options(PyObject* options, SearchOptions& out, bool& given);

}  // namespace velmar::self_play
