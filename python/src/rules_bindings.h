#pragma once
// The module functions of velmar.rules besides the Game type.
#include <Python.h>

namespace velmar::rules_py {

// pack_planes(planes): five planes of 400 entries packed into 250 bytes.
PyObject* rules_pack_planes(PyObject*, PyObject* planes);

// search(game, config, inference_queue, pipe, id=0, *, options=None).
PyObject* rules_search(PyObject*, PyObject* args, PyObject* kwds);

}  // namespace velmar::rules_py
