// velmar.rules.search: the self-play search run from any position.
#include <Python.h>

#include <optional>
#include <string_view>

#include "conversions.h"
#include "game_object.h"
#include "inference_client.h"
#include "option_game_loop.h"
#include "options_conversion.h"
#include "reused_trees.h"
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

// The decision as {"visits": [(cell, visit_count)], "policy": [(cell, share)],
// "tile": cell, "full_search": bool}.
PyObject* decision_to_python(const velmar::self_play::TileDecision& d) {
  PyRef visits = make_list(d.visits.size(), [&](std::size_t i) {
    return make_pair(d.visits[i].first, d.visits[i].second);
  });
  PyRef policy = make_list(d.policy.size(), [&](std::size_t i) {
    PyRef cell = new_int(d.policy[i].first);
    PyRef share = PyRef::steal(PyFloat_FromDouble(static_cast<double>(d.policy[i].second)));
    if (!cell || !share) return PyRef();
    return PyRef::steal(PyTuple_Pack(2, cell.get(), share.get()));
  });
  PyRef tile = new_int(d.tile);
  if (!visits || !policy || !tile) return nullptr;
  return Py_BuildValue("{sOsOsOsO}", "visits", visits.get(), "policy", policy.get(), "tile",
                       tile.get(), "full_search", d.full_search ? Py_True : Py_False);
}

// One decision with options; with reuse_tree the subtree kept by this
// thread's last search under the same id serves as root when the game is
// that search's position plus tiles the subtree holds.
PyObject* decide(const velmar::Game& game, const velmar::self_play::Config& config,
                 const velmar::self_play::SearchOptions& options,
                 velmar::self_play::Evaluator& evaluator, velmar::self_play::Console& console,
                 int32_t id) {
  using namespace velmar::self_play;
  std::optional<SearchNode> carried;
  if (options.reuse_tree) carried = reused_trees().take(id, game);
  TileDecision decision;
  if (auto error = decide_tile(game, config, options, game.history.size(), carried, evaluator,
                               console, decision)) {
    restore_eval_error(*error);
    return nullptr;
  }
  if (options.reuse_tree) reused_trees().keep(id, game, decision.tile, std::move(carried));
  return decision_to_python(decision);
}

}  // namespace

PyObject* rules_search(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"game",    "config", "inference_queue", "pipe", "id",
                                "options", nullptr};
  PyObject *game_obj, *config, *queue, *pipe, *id_obj = nullptr, *options_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|O$O:search", const_cast<char**>(names),
                                   &game_obj, &config, &queue, &pipe, &id_obj, &options_obj)) {
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
    SearchOptions options;
    bool given = false;
    if (!read_options(options_obj, options, given)) return nullptr;
    const std::optional<Config> settings = read_config(config);
    if (!settings) return nullptr;
    // The server's objects are held for the search, whatever they do meanwhile.
    const PyRef hold_queue = PyRef::borrow(queue), hold_pipe = PyRef::borrow(pipe);
    SilentConsole console;
    InferenceClient client(queue, pipe, *id);
    try {
      if (given) return decide(game, *settings, options, client, console, *id);
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
