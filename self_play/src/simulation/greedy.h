#pragma once
// The greedy rule: a fixed player that places whole pieces, no search.
//
// At the start of its turn the player scores every placement it may complete
// (a legal placement that is not a strict subset of another: the rules would
// not end the move on it) by the position it leads to,
//
//   2 * score = 6 * size + 2 * own open corners after - the others' open corners after,
//
// (weights 3, 1 and 1/2, kept in whole half-points), and plays the best, ties
// at random, tile by tile in increasing cell order. In the middle of a move
// (a piece begun by somebody else) it completes the piece with the largest
// completion, ties at random. A player's open corners are its corner set on
// the board: where its next pieces may start.
#include <array>
#include <cstdint>
#include <vector>

#include "game.h"
#include "rng.h"

namespace velmar::self_play {

struct GreedyChoice {
  std::array<uint16_t, 5> cells{};  // ascending; the whole placement, tiles taken included
  uint32_t size = 0;
  int32_t score2 = 0;  // twice the score; in the middle of a move the score is the size
};

struct GreedyChoices {
  bool turn_start = false;
  std::vector<GreedyChoice> choices;  // best first; equal scores in candidate order
};

// How completions of a piece begun earlier are scored: by their size (the
// rule's own choice for a piece somebody else began), or by the full score
// (a playout from a search leaf, where the mover began the piece itself).
enum class MidMove { kLargest, kScored };

// The placements the rule chooses among for the player to move; empty once
// the game is over.
GreedyChoices greedy_choices(const Game& game, MidMove mid = MidMove::kLargest);

// Plays one whole move (the rest of the piece in progress) with the rule.
// Returns false when the game is over.
bool play_greedy_move(Game& game, Rng& rng, MidMove mid = MidMove::kLargest);

// Plays the game to its end with the rule in every seat.
void play_greedy_to_end(Game& game, Rng& rng);

// The payoff of one playout from `game` with the rule in every seat, the
// piece in progress completed by the full score.
std::array<float, kNumPlayers> greedy_playout(Game game, Rng& rng);

// Takes the cells of `choice` not yet taken, ascending.
void play_choice(Game& game, const GreedyChoice& choice);

}  // namespace velmar::self_play
