#include "game_object.h"

#include "rules_util.h"

namespace velmar::rules_py {

PyTypeObject* game_type = nullptr;

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

// A new Game object owning `game`.
PyObject* wrap_game(PyTypeObject* type, const velmar::Game& game) {
  PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
  if (!obj) return nullptr;
  reinterpret_cast<GameObject*>(obj.get())->game = new velmar::Game(game);
  return obj.release();
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

}  // namespace velmar::rules_py
