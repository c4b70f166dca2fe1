// velmar.rules: a Python view of the rules library.
//
// One type, Game, owning a velmar::Game, the board constants, and the
// self-play search run from any position (`search`).
// Every entry point catches C++ exceptions and turns them into Python ones:
// a broken invariant becomes RuntimeError, an allocation failure MemoryError.
// Only calls that PyPy's cpyext supports are used, so the same source builds
// for CPython and PyPy.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conversions.h"
#include "game.h"
#include "inference_client.h"
#include "invariant.h"
#include "pieces.h"
#include "py_ref.h"
#include "search.h"
#include "state_repr.h"

namespace {

using pyutil::PyRef;
using velmar::self_play::kNumPlanes;

// Runs one entry point's body, turning any C++ exception into a Python
// exception and the failure value the interpreter expects.
template <typename R, typename F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const velmar::InvariantError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in velmar.rules");
  }
  return failure;
}

PyObject* set_value_error(std::string_view text) {
  PyErr_SetString(PyExc_ValueError, std::string(text).c_str());
  return nullptr;
}

// ---- conversions -----------------------------------------------------------

PyRef new_int(long long v) {
  return PyRef::steal(PyLong_FromLongLong(v));
}

// A list of `n` new references produced by make(i); null on failure.
template <typename F>
PyRef make_list(std::size_t n, F&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return {};
  for (std::size_t i = 0; i < n; ++i) {
    PyRef item = make(i);
    if (!item) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

PyRef make_pair(long long a, long long b) {
  PyRef x = new_int(a);
  if (!x) return {};
  PyRef y = new_int(b);
  if (!y) return {};
  PyRef t = PyRef::steal(PyTuple_New(2));
  if (!t) return {};
  PyTuple_SET_ITEM(t.get(), 0, x.release());
  PyTuple_SET_ITEM(t.get(), 1, y.release());
  return t;
}

// Reads a tile argument. Integers (anything with __index__) are accepted;
// anything else raises TypeError. Values outside 0..399, however large, come
// back as nullopt with no error set. Returns false with an error set on failure.
bool read_tile(PyObject* obj, std::optional<uint32_t>& tile) {
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "a tile must be an integer, not %.200s", Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && !overflow && PyErr_Occurred()) return false;
  tile.reset();
  if (!overflow && v >= 0 && v < static_cast<long long>(velmar::kNumCells))
    tile = static_cast<uint32_t>(v);
  return true;
}

// Takes one tile, setting ValueError with the rules' text when it is refused.
// A tile outside the board is refused as "Invalid move" (or "No current
// player" once the game is over, as the rules check that first).
bool take_tile(velmar::Game& game, std::optional<uint32_t> tile) {
  if (!game.current_player()) {
    set_value_error(velmar::kNoCurrentPlayer);
    return false;
  }
  if (!tile) {
    set_value_error(velmar::kInvalidMove);
    return false;
  }
  const velmar::ApplyResult r = game.apply(*tile);
  if (!r.ok()) {
    set_value_error(r.error);
    return false;
  }
  return true;
}

// ---- the Game type ---------------------------------------------------------

struct GameObject {
  PyObject ob_base;
  velmar::Game* game;  // owned; set by every constructor
};

PyTypeObject* game_type = nullptr;  // created once by module initialisation

velmar::Game& game_of(PyObject* self) {
  return *reinterpret_cast<GameObject*>(self)->game;
}

// A new Game object owning `game`.
PyObject* wrap_game(PyTypeObject* type, const velmar::Game& game) {
  PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  reinterpret_cast<GameObject*>(obj.get())->game = new velmar::Game(game);
  return obj.release();
}

PyObject* Game_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":Game", const_cast<char**>(kwlist)))
      return nullptr;
    return wrap_game(type, velmar::Game::reset());
  });
}

void Game_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GameObject*>(self)->game;
  reinterpret_cast<GameObject*>(self)->game = nullptr;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* Game_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const velmar::Game& g = game_of(self);
    const auto current = g.current_player();
    const std::string text =
        "<velmar.rules.Game: " + std::to_string(g.history.size()) + " tiles taken, " +
        (current ? "player " + std::to_string(*current) + " to move" : std::string("over")) + ">";
    return PyUnicode_FromString(text.c_str());
  });
}

PyObject* Game_copy(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return wrap_game(Py_TYPE(self), game_of(self)); });
}

PyObject* Game_deepcopy(PyObject* self, PyObject*) {
  return Game_copy(self, nullptr);
}

PyObject* Game_apply(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<uint32_t> tile;
    if (!read_tile(arg, tile)) return nullptr;
    if (!take_tile(game_of(self), tile)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* Game_legal_tiles(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<uint32_t> tiles = game_of(self).legal_tiles();
    std::sort(tiles.begin(), tiles.end());
    return make_list(tiles.size(), [&](std::size_t i) { return new_int(tiles[i]); }).release();
  });
}

PyObject* Game_current_player(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto current = game_of(self).current_player();
    if (!current) Py_RETURN_NONE;
    return new_int(*current).release();
  });
}

PyObject* Game_get_score(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto scores = game_of(self).get_score();
    return make_list(scores.size(), [&](std::size_t i) { return new_int(scores[i]); }).release();
  });
}

PyObject* Game_get_payoff(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto payoff = game_of(self).get_payoff();
    return make_list(payoff.size(),
                     [&](std::size_t i) {
                       return PyRef::steal(PyFloat_FromDouble(static_cast<double>(payoff[i])));
                     })
        .release();
  });
}

PyObject* Game_representation(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const velmar::Game& g = game_of(self);
    if (!g.current_player()) return set_value_error(velmar::kNoCurrentPlayer);
    // The same encoding the self-play module sends to the inference server.
    const velmar::self_play::Representation repr = velmar::self_play::get_representation(g);
    // Every entry is 0.0 or 1.0: the lists share two float objects.
    PyRef zero = PyRef::steal(PyFloat_FromDouble(0.0));
    PyRef one = PyRef::steal(PyFloat_FromDouble(1.0));
    if (!zero || !one) return nullptr;
    return make_list(kNumPlanes,
                     [&](std::size_t k) {
                       return make_list(velmar::kNumCells, [&](std::size_t x) {
                         return PyRef::borrow(repr[k * velmar::kNumCells + x] != 0.0f ? one.get()
                                                                                      : zero.get());
                       });
                     })
        .release();
  });
}

// Game.replay(history): a new game with the entries of `history` taken in
// order. An entry is a cell or a (player, cell) pair; a pair's player must be
// the player to move.
PyObject* Game_replay(PyObject* cls, PyObject* history) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyType_Check(cls)) {
      PyErr_SetString(PyExc_TypeError, "replay must be called on a type");
      return nullptr;
    }
    velmar::Game game = velmar::Game::reset();
    PyRef it = PyRef::steal(PyObject_GetIter(history));
    if (!it) return nullptr;
    for (Py_ssize_t n = 0;; ++n) {
      PyRef entry = PyRef::steal(PyIter_Next(it.get()));
      if (!entry) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      PyObject* cell = entry.get();
      PyRef pair;
      if (!PyIndex_Check(entry.get())) {
        pair = PyRef::steal(PySequence_Fast(
            entry.get(), "a history entry must be a cell or a (player, cell) pair"));
        if (!pair) return nullptr;
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
          PyErr_Format(PyExc_ValueError, "history entry %zd: a pair must hold a player and a cell",
                       n);
          return nullptr;
        }
        PyObject* player = PySequence_Fast_GET_ITEM(pair.get(), 0);
        cell = PySequence_Fast_GET_ITEM(pair.get(), 1);
        std::optional<uint32_t> recorded;
        if (!read_tile(player, recorded)) return nullptr;
        const auto current = game.current_player();
        if (!current) return set_value_error(velmar::kNoCurrentPlayer);
        if (!recorded || *recorded != *current) {
          PyErr_Format(PyExc_ValueError,
                       "history entry %zd: recorded player does not match player %d to move", n,
                       static_cast<int>(*current));
          return nullptr;
        }
      }
      std::optional<uint32_t> tile;
      if (!read_tile(cell, tile)) return nullptr;
      if (!take_tile(game, tile)) return nullptr;
    }
    return wrap_game(reinterpret_cast<PyTypeObject*>(cls), game);
  });
}

PyObject* Game_get_players(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& players = game_of(self).players;
    return make_list(players.size(), [&](std::size_t i) { return new_int(players[i]); }).release();
  });
}

PyObject* Game_get_history(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& history = game_of(self).history;
    return make_list(history.size(),
                     [&](std::size_t i) { return make_pair(history[i].player, history[i].cell); })
        .release();
  });
}

PyObject* Game_get_cells(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& cells = game_of(self).board.cells;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(cells.data()),
                                     static_cast<Py_ssize_t>(cells.size()));
  });
}

PyObject* Game_get_last_sizes(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& sizes = game_of(self).last_sizes;
    return make_list(sizes.size(), [&](std::size_t i) { return new_int(sizes[i]); }).release();
  });
}

PyObject* Game_get_pieces(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& pieces = game_of(self).board.pieces;
    return make_list(pieces.size(),
                     [&](std::size_t p) {
                       const velmar::PieceList& list = pieces[p];
                       return make_list(list.size(),
                                        [&](std::size_t i) { return new_int(list.kind(i)); });
                     })
        .release();
  });
}

PyObject* Game_get_is_over(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    return PyBool_FromLong(game_of(self).current_player() ? 0 : 1);
  });
}

PyMethodDef game_methods[] = {
    {"copy", Game_copy, METH_NOARGS, "copy()\n--\n\nAn independent copy of the game."},
    {"__copy__", Game_copy, METH_NOARGS, "An independent copy of the game."},
    {"__deepcopy__", Game_deepcopy, METH_O,
     "An independent copy of the game (it holds no Python objects)."},
    {"apply", Game_apply, METH_O,
     "apply(tile)\n--\n\n"
     "Takes `tile` (a cell 0..399) for the player to move.\n\n"
     "Raises ValueError(\"No current player\") once the game is over and\n"
     "ValueError(\"Invalid move\") for a cell that is not a legal tile; a cell\n"
     "outside 0..399 is also refused with \"Invalid move\". A refused tile\n"
     "changes nothing. A non-integer raises TypeError."},
    {"legal_tiles", Game_legal_tiles, METH_NOARGS,
     "legal_tiles()\n--\n\n"
     "The cells the player to move may take next, ascending; empty once over."},
    {"current_player", Game_current_player, METH_NOARGS,
     "current_player()\n--\n\nThe player to move (0..3), or None once the game is over."},
    {"get_score", Game_get_score, METH_NOARGS,
     "get_score()\n--\n\nThe four players' scores, in seat order."},
    {"get_payoff", Game_get_payoff, METH_NOARGS,
     "get_payoff()\n--\n\n"
     "The four payoffs: 1.0 shared equally by the players with the top score.\n"
     "The values are single precision, widened exactly."},
    {"representation", Game_representation, METH_NOARGS,
     "representation()\n--\n\n"
     "The network input for the player to move: five lists of 400 floats\n"
     "(0.0 or 1.0). Plane k (k < 4) holds the squares of the player seated\n"
     "k - 1 after the player to move (plane 1 is its own), plane 4 its legal\n"
     "tiles. Raises ValueError(\"No current player\") once the game is over."},
    {"replay", Game_replay, METH_CLASS | METH_O,
     "replay(history)\n--\n\n"
     "A new game with every entry of `history` taken in order. An entry is\n"
     "a cell or a (player, cell) pair; the player of a pair must be the\n"
     "player to move (ValueError otherwise). A refused tile raises ValueError\n"
     "with the rules' text."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef game_getset[] = {
    {"players", Game_get_players, nullptr, "The players still in the game, in turn order.",
     nullptr},
    {"history", Game_get_history, nullptr, "Every tile taken, as (player, cell) pairs.", nullptr},
    {"cells", Game_get_cells, nullptr,
     "The 400 cell bytes: low nibble owner + 1 (0 when empty), bit 4 + p set\n"
     "where player p may not place a square.",
     nullptr},
    {"last_sizes", Game_get_last_sizes, nullptr,
     "Per player, the size of the piece it completed last (0 before any).", nullptr},
    {"pieces", Game_get_pieces, nullptr, "Per player, the kinds of its remaining pieces.", nullptr},
    {"is_over", Game_get_is_over, nullptr, "Whether no player is left to move.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot game_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Game_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Game_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Game_repr)},
    {Py_tp_methods, game_methods},
    {Py_tp_getset, game_getset},
    {Py_tp_doc,
     const_cast<char*>("Game()\n--\n\n"
                       "A four-player game from its start, player 0 to move. A piece is\n"
                       "played one tile at a time with apply().")},
    {0, nullptr},
};

PyType_Spec game_spec = {
    "velmar.rules.Game", static_cast<int>(sizeof(GameObject)), 0, Py_TPFLAGS_DEFAULT, game_slots,
};

// ---- the module ------------------------------------------------------------

// pack_planes(planes): five planes of 400 entries packed into 250 bytes;
// entry i of the 2,000 (plane by plane) is bit i % 8 of byte i // 8, set
// when the entry is true (1.0).
PyObject* rules_pack_planes(PyObject*, PyObject* planes) {
  constexpr Py_ssize_t kPlanes = 5, kCells = 400;
  PyRef outer = PyRef::steal(PySequence_Fast(planes, "planes must be a sequence of 5 planes"));
  if (!outer) return nullptr;
  if (PySequence_Fast_GET_SIZE(outer.get()) != kPlanes) {
    PyErr_SetString(PyExc_ValueError, "planes must be 5 planes of 400 entries");
    return nullptr;
  }
  unsigned char bits[kPlanes * kCells / 8] = {};
  for (Py_ssize_t k = 0; k < kPlanes; ++k) {
    PyRef plane = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), k),
                                               "a plane must be a sequence of 400 entries"));
    if (!plane) return nullptr;
    if (PySequence_Fast_GET_SIZE(plane.get()) != kCells) {
      PyErr_SetString(PyExc_ValueError, "planes must be 5 planes of 400 entries");
      return nullptr;
    }
    PyObject** items = PySequence_Fast_ITEMS(plane.get());
    for (Py_ssize_t x = 0; x < kCells; ++x) {
      PyObject* v = items[x];
      int truth;
      if (PyFloat_CheckExact(v)) {
        truth = PyFloat_AS_DOUBLE(v) != 0.0;
      } else {
        truth = PyObject_IsTrue(v);
        if (truth < 0) return nullptr;
      }
      const Py_ssize_t i = k * kCells + x;
      if (truth) bits[i >> 3] |= static_cast<unsigned char>(1u << (i & 7));
    }
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bits), sizeof bits);
}

// ---- search ----------------------------------------------------------------

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

PyMethodDef module_methods[] = {
    {"pack_planes", rules_pack_planes, METH_O,
     "pack_planes(planes)\n--\n\nFive planes of 400 entries packed into 250 bytes: entry i of "
     "the 2,000 (plane by plane) is bit i % 8 of byte i // 8, set when the entry is true."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rules_search)),
     METH_VARARGS | METH_KEYWORDS,
     "search(game, config, inference_queue, pipe, id=0)\n--\n\n"
     "Runs the self-play search from the position of `game` for the player to move and\n"
     "returns the root's children as a list of (cell, visit_count) in the root's order.\n"
     "`config` and the exchange (inference_queue.put((id, planes)), then pipe.recv())\n"
     "are those of velmar_self_play.generate_game_data. A failed exchange raises the\n"
     "server's own exception; nothing is printed."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef rules_module = {
    PyModuleDef_HEAD_INIT,
    "velmar.rules",
    "The game rules: a Game type played one tile at a time, and the board constants.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `value` to the module under `name`; false with an error set on failure.
bool add_object(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  if (PyModule_AddObject(module, name, value.get()) < 0) return false;
  value.release();  // the module took the reference
  return true;
}

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create(&rules_module));
  if (!module) return nullptr;
  if (!game_type) {
    game_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&game_spec));
    if (!game_type) return nullptr;
  }
  const auto& pieces = velmar::all_pieces();
  const auto& corners = velmar::kStartCorners;
  if (!add_object(module.get(), "Game", PyRef::borrow(reinterpret_cast<PyObject*>(game_type))) ||
      !add_object(module.get(), "NUM_CELLS", new_int(velmar::kNumCells)) ||
      !add_object(module.get(), "BOARD_SIDE", new_int(velmar::kBoardSide)) ||
      !add_object(module.get(), "NUM_PLAYERS", new_int(velmar::kNumPlayers)) ||
      !add_object(
          module.get(), "PIECE_SIZES",
          make_list(pieces.size(), [&](std::size_t k) { return new_int(pieces[k].size); })) ||
      !add_object(module.get(), "START_CORNERS",
                  make_list(corners.size(), [&](std::size_t p) { return new_int(corners[p]); })))
    return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_rules() {
  return guarded<PyObject*>(nullptr, init_module);
}
