#pragma once
// The network's view of a position: five planes of 400 cells, relative to
// the player to move. Plane 0 holds the squares of the player seated one
// before the mover, plane 1 the mover's own, planes 2 and 3 those of the
// players seated one and two after it; plane 4 marks the mover's legal tiles.
#include <array>
#include <concepts>

#include "game.h"

namespace velmar::self_play {

inline constexpr uint32_t kNumPlanes = 5;
inline constexpr uint32_t kReprSize = kNumPlanes * kNumCells;
inline constexpr uint32_t kLegalPlane = 4;

// Entry 400 * plane + cell; every entry is 0.0 or 1.0.
using Representation = std::array<float, kReprSize>;

// Encodes a game whose player to move exists ("No current player" otherwise).
Representation get_representation(const Game& game);

// A position that can be encoded for the network.
template <typename T>
concept StateRepr = requires(const T& state) {
  { get_representation(state) } -> std::same_as<Representation>;
};

static_assert(StateRepr<Game>);

}  // namespace velmar::self_play
