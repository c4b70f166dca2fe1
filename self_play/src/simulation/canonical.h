#pragma once
// One path per placement: the tiles that take the cells of some completable
// candidate placement in increasing order.
#include "evaluate.h"
#include "game.h"

namespace velmar::self_play {

// The tiles t of the position such that some candidate placement the rules
// can complete (no other candidate covers all of its cells and more) has t as
// its smallest cell not yet taken, and t is larger than every tile already
// taken in this piece. Where no legal tile qualifies, every legal tile.
// The game is not over.
TileMask canonical_tiles(const Game& game);

// The tiles already taken in the piece being placed: the cells that every
// candidate covers and that are no longer keys.
TileMask tiles_taken_in_piece(const TileMoves& moves);

}  // namespace velmar::self_play
