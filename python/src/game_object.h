#pragma once
// The Python Game object: a velmar::Game owned by a Python object, and the
// reading and taking of tiles given from Python.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "game.h"

namespace velmar::rules_py {

struct GameObject {
  PyObject ob_base;
  velmar::Game* game;  // owned; set by every constructor
};

// The type, created once by module initialisation (create_game_type).
extern PyTypeObject* game_type;

inline velmar::Game& game_of(PyObject* self) {
  return *reinterpret_cast<GameObject*>(self)->game;
}

// A new Game object owning a copy of `game`.
PyObject* wrap_game(PyTypeObject* type, const velmar::Game& game);

// Reads a tile argument. Integers (anything with __index__) are accepted;
// anything else raises TypeError. Values outside 0..399, however large, come
// back as nullopt with no error set. Returns false with an error set on failure.
bool read_tile(PyObject* obj, std::optional<uint32_t>& tile);

// Takes one tile, setting ValueError with the rules' text when it is refused.
// A tile outside the board is refused as "Invalid move" (or "No current
// player" once the game is over, as the rules check that first).
bool take_tile(velmar::Game& game, std::optional<uint32_t> tile);

// Game.replay(history), the class method.
PyObject* Game_replay(PyObject* cls, PyObject* history);

// Creates game_type; false with an error set.
bool create_game_type();

}  // namespace velmar::rules_py
