// velmar.rules: a Python view of the rules library.
//
// One type, Game, owning a velmar::Game, the board constants, the plane
// packer and the self-play search run from any position (`search`).
// Every entry point catches C++ exceptions and turns them into Python ones:
// a broken invariant becomes RuntimeError, an allocation failure MemoryError.
#include <Python.h>

#include "game_object.h"
#include "pieces.h"
#include "rules_bindings.h"
#include "rules_util.h"

namespace velmar::rules_py {
namespace {

PyMethodDef module_methods[] = {
    {"pack_planes", rules_pack_planes, METH_O,
     "pack_planes(planes)\n--\n\nFive planes of 400 entries packed into 250 bytes: entry i of "
     "the 2,000 (plane by plane) is bit i % 8 of byte i // 8, set when the entry is true."},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rules_search)),
     METH_VARARGS | METH_KEYWORDS,
     "search(game, config, inference_queue, pipe, id=0, *, options=None)\n--\n\n"
     "Runs the self-play search from the position of `game` for the player to move and\n"
     "returns the root's children as a list of (cell, visit_count) in the root's order.\n"
     "`config` and the exchange (inference_queue.put((id, planes)), then pipe.recv())\n"
     "are those of velmar_self_play.generate_game_data. A failed exchange raises the\n"
     "server's own exception; nothing is printed.\n\n"
     "`options` are those of generate_game_data. With a non-empty mapping the result is\n"
     "a dict: 'visits' (that list; one pair with count 0 for a forced tile), 'policy'\n"
     "(the recorded (cell, share) pairs), 'tile' (the tile self-play takes there, the\n"
     "opening draw applying while fewer than config.sample_moves tiles were taken) and\n"
     "'full_search'. With reuse_tree the subtree under the chosen tile is kept per id\n"
     "on the calling thread and serves the next search with that id whose game\n"
     "continues this one's."},
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
  if (!create_game_type()) return nullptr;
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
}  // namespace velmar::rules_py

PyMODINIT_FUNC PyInit_rules() {
  using namespace velmar::rules_py;
  return guarded<PyObject*>(nullptr, init_module);
}
