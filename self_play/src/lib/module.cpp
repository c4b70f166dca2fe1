// The Python module velmar_self_play and its one function, generate_game_data.
#include <Python.h>

#include <new>

#include "conversions.h"
#include "exceptions.h"
#include "game_loop.h"
#include "inference_client.h"
#include "option_game_loop.h"
#include "options_conversion.h"
#include "python_console.h"
#include "search.h"

namespace velmar::self_play {
namespace {

using pyutil::PyErrorState;
using pyutil::PyRef;

// Raises what an evaluation error turns into: an interrupt (KeyboardInterrupt,
// SystemExit) raised by the server's objects is raised again as it is;
// anything else becomes `fallback`.
template <typename Fallback>
void raise_eval_error(const EvalError& error, Fallback fallback) {
  auto* origin = dynamic_cast<const PyErrorOrigin*>(error.origin.get());
  PyErrorState state;
  if (origin) {
    state.type = origin->state.type;
    state.value = origin->state.value;
    state.traceback = origin->state.traceback;
  }
  if (origin && is_interrupt(state)) {
    state.restore();
    return;
  }
  fallback(origin ? &state : nullptr);
}

PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"id", "config", "inference_queue", "pipe", "options"};
  PyObject* bound[5];
  if (!bind_arguments("generate_game_data", kNames, 5, args, nargs, kwnames, bound, 1)) {
    return nullptr;
  }
  const std::optional<int32_t> id = convert_id(bound[0]);
  if (!id) return nullptr;
  SearchOptions options;
  bool given = false;
  if (!read_options(bound[4], options, given)) return nullptr;
  const PyRef config = PyRef::borrow(bound[1]);
  const PyRef queue = PyRef::borrow(bound[2]);
  const PyRef pipe = PyRef::borrow(bound[3]);

  const std::optional<Config> settings = read_config(config.get());
  if (!settings) {
    PyErrorState error = PyErrorState::fetch();
    if (is_interrupt(error)) {
      error.restore();
    } else {
      raise_panic(unwrap_failure(debug_text(error)), &error);
    }
    return nullptr;
  }

  PythonConsole console;
  InferenceClient client(queue.get(), pipe.get(), *id);
  GameResult result = given ? play_game(*settings, options, client, console)
                            : play_game(*settings, client, console);
  if (auto* failed = std::get_if<GameError>(&result)) {
    raise_eval_error(failed->cause,
                     [&](PyErrorState* cause) { raise_quoted(failed->text, cause); });
    return nullptr;
  }
  return record_to_python(std::get<GameRecord>(result), options.fast_sims.has_value()).release();
}

PyObject* generate_game_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  try {
    return run(args, nargs, kwnames);
  } catch (const EvalAbort& abort) {
    raise_eval_error(abort.error, [&](PyErrorState* cause) { raise_panic(abort.what(), cause); });
  } catch (const InvariantError& e) {
    raise_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown failure");
  }
  return nullptr;
}

PyMethodDef kMethods[] = {
    {"generate_game_data",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generate_game_data)),
     METH_FASTCALL | METH_KEYWORDS,
     "generate_game_data(id, config, inference_queue, pipe, *, options=None)\n--\n\n"
     "Plays one game by self-play and returns (history, policies, payoffs).\n\n"
     "Every position the search evaluates is sent as inference_queue.put((id, planes)),\n"
     "and its reply (policy_logits, values) is read with pipe.recv().\n\n"
     "options (None or a mapping) turns on changes to the search: fpu_reduction\n"
     "(float >= 0), canonical_order, reuse_tree, skip_forced (bools), fast_sims\n"
     "(int >= 1) with full_share (0 < p <= 1), gumbel (bool) with gumbel_m (int,\n"
     "default 16), rollout_weight (0 < w <= 1: a leaf's values mix in one greedy\n"
     "playout's payoff). With fast_sims the result has a fourth list: per tile, whether it\n"
     "had a full search. An unknown key or a bad value raises TypeError or\n"
     "ValueError naming it before anything starts."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "velmar_self_play",
                       "",
                       -1,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  // Set explicitly: PyPy leaves an empty module docstring unset.
  if (PyObject_SetAttrString(module.get(), "__doc__",
                             PyRef::steal(PyUnicode_FromString("")).get()) < 0) {
    return nullptr;
  }
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "generate_game_data"));
  if (!all || PyModule_AddObject(module.get(), "__all__", all.get()) < 0) return nullptr;
  all.release();  // the module owns it now
  return module.release();
}

}  // namespace
}  // namespace velmar::self_play

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmar_self_play() {
  static PyObject* module = nullptr;
  if (!module) {
    try {
      module = velmar::self_play::create_module();
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    if (!module) return nullptr;
  }
  Py_INCREF(module);
  return module;
}
