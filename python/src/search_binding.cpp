// velmar.rules.search: the self-play search run from any position.
#include <Python.h>

#include <optional>
#include <string_view>

#include "conversions.h"
#include "game_object.h"
#include "inference_client.h"
#include "rules_bindings.h"
#include "rules_util.h"
#include "search.h"

namespace velmar::rules_py {
namespace {

// Sets the server's own exception behind a failed exchange again.
void restore_eval_error(const velmar::self_play::EvalError& error) {
  using velmar::self_play::PyErrorOrigin;
  auto* origin = dynamic_cast<const PyErrorOrigin*>(error.origin.get());
  if (!origin) {
    PyErr_SetString(PyExc_RuntimeError, error.debug.c_str());
    return;
  }
  pyutil::PyErrorState state{origin->state.type, origin->state.value, origin->state.traceback};
  state.restore();
}

// A console that drops what is written: the search from Python prints nothing.
class SilentConsole : public velmar::self_play::Console {
 public:
  void write_line(std::string_view) override {}
  void write_error(std::string_view) override {}
  bool error_is_terminal() override { return false; }
};

// The root's children as (cell, visit_count) pairs in the root's order.
PyObject* children_to_python(const velmar::self_play::SearchNode& root) {
  const auto first = root.children.begin();
  return make_list(
             root.children.size(),
             [&](std::size_t i) { return make_pair(first[i].first, first[i].second.visit_count); })
      .release();
}

}  // namespace

PyObject* rules_search(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"game", "config", "inference_queue", "pipe", "id", nullptr};
  PyObject *game_obj, *config, *queue, *pipe, *id_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|O:search", const_cast<char**>(names),
                                   &game_obj, &config, &queue, &pipe, &id_obj)) {
    return nullptr;
  }
  if (!PyObject_TypeCheck(game_obj, game_type)) {
    PyErr_SetString(PyExc_TypeError, "search() argument 'game' must be a velmar.rules.Game");
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    using namespace velmar::self_play;
    const velmar::Game& game = game_of(game_obj);
    if (game.players.empty()) return set_value_error("the game is over: nobody is left to move");
    std::optional<int32_t> id = 0;
    if (id_obj) id = convert_id(id_obj);
    if (!id) return nullptr;
    const std::optional<Config> settings = read_config(config);
    if (!settings) return nullptr;
    // The server's objects are held for the search, whatever they do meanwhile.
    const PyRef hold_queue = PyRef::borrow(queue), hold_pipe = PyRef::borrow(pipe);
    SilentConsole console;
    InferenceClient client(queue, pipe, *id);
    try {
      SearchResult result = run_search(game, *settings, client, console);
      if (auto* error = std::get_if<EvalError>(&result)) {
        restore_eval_error(*error);
        return nullptr;
      }
      return children_to_python(std::get<SearchNode>(result));
    } catch (const EvalAbort& abort) {
      restore_eval_error(abort.error);
      return nullptr;
    }
  });
}

}  // namespace velmar::rules_py
