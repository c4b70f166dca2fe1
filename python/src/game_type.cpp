// The methods and attributes of velmar.rules.Game.
#include <Python.h>

#include <algorithm>
#include <string>
#include <vector>

#include "game_object.h"
#include "greedy.h"
#include "pieces.h"
#include "rules_util.h"
#include "state_repr.h"

namespace velmar::rules_py {
namespace {

using velmar::self_play::kNumPlanes;

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

PyObject* Game_greedy_choices(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const velmar::Game& g = game_of(self);
    if (!g.current_player()) return set_value_error(velmar::kNoCurrentPlayer);
    const velmar::self_play::GreedyChoices found = velmar::self_play::greedy_choices(g);
    PyRef choices = make_list(found.choices.size(), [&](std::size_t i) {
      const auto& ch = found.choices[i];
      PyRef cells = make_list(ch.size, [&](std::size_t k) { return new_int(ch.cells[k]); });
      PyRef score = PyRef::steal(PyFloat_FromDouble(ch.score2 * 0.5));
      if (!cells || !score) return PyRef();
      return PyRef::steal(PyTuple_Pack(2, score.get(), cells.get()));
    });
    if (!choices) return nullptr;
    return PyTuple_Pack(2, found.turn_start ? Py_True : Py_False, choices.get());
  });
}

PyObject* Game_play_greedy(PyObject* self, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const unsigned long long seed = PyLong_AsUnsignedLongLongMask(arg);
    if (PyErr_Occurred()) return nullptr;
    velmar::self_play::Rng rng(seed);
    velmar::self_play::play_greedy_to_end(game_of(self), rng);
    Py_RETURN_NONE;
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
    {"greedy_choices", Game_greedy_choices, METH_NOARGS,
     "greedy_choices()\n--\n\n"
     "(turn_start, choices): the placements the greedy rule chooses among for\n"
     "the player to move, as (score, cells) pairs, best first, cells ascending\n"
     "and including the tiles of the move already taken. At a turn start the\n"
     "score is 3 * size + own open corners - half the others' open corners\n"
     "after the placement; in the middle of a move (turn_start False) it is\n"
     "the placement's size. Raises ValueError(\"No current player\") once over."},
    {"play_greedy", Game_play_greedy, METH_O,
     "play_greedy(seed)\n--\n\n"
     "Plays the game to its end with the greedy rule in every seat: the best\n"
     "choice of greedy_choices() each move, ties drawn from a generator seeded\n"
     "with the integer `seed`."},
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

}  // namespace

bool create_game_type() {
  if (!game_type) game_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&game_spec));
  return game_type != nullptr;
}

}  // namespace velmar::rules_py
