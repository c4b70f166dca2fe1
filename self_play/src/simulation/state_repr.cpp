#include "state_repr.h"

namespace velmar::self_play {

Representation get_representation(const Game& game) {
  const auto current = game.current_player();
  if (!current) fail(std::string(kNoCurrentPlayer));
  Representation repr{};
  for (uint32_t x = 0; x < kNumCells; ++x) {
    const uint32_t b = game.board.cells[x];
    if ((b & 0x0F) == 0) continue;
    // An occupied cell holds 0xF0 | (owner + 1); 0xF0 is a multiple of 4.
    const uint32_t plane = (b + kNumPlayers - *current) % kNumPlayers;
    repr[plane * kNumCells + x] = 1.0f;
  }
  game.tile_moves.keys().for_each([&](uint32_t x) { repr[kLegalPlane * kNumCells + x] = 1.0f; });
  return repr;
}

}  // namespace velmar::self_play
