#pragma once
// The self-play game with SearchOptions: forced tiles without a search,
// playout caps, the subtree of the tile taken kept for the next search, and
// the Gumbel search's improved policy and winner.
#include <optional>

#include "game_loop.h"
#include "option_search.h"
#include "search_options.h"

namespace velmar::self_play {

// One tile's decision: the recorded policy, the tile taken, whether it had a
// full search; `visits` are the root children's (cell, visit count), one
// pair with count 0 for a forced tile.
struct TileDecision {
  Policy policy;
  uint32_t tile = 0;
  bool full_search = false;
  Candidates visits;
};

// Decides the next tile of `game` into `out`; `num_policies` counts the
// tiles already recorded. `carried` is the reused subtree for this position,
// and on return the one under the tile taken (only with reuse_tree). Returns
// the error of a failed root evaluation.
std::optional<EvalError> decide_tile(const Game& game, const Config& config,
                                     const SearchOptions& options, std::size_t num_policies,
                                     std::optional<SearchNode>& carried, Evaluator& evaluator,
                                     Console& console, TileDecision& out);

// As play_game; the record's full_search says which tiles had a full search
// (a forced tile had none).
GameResult play_game(const Config& config, const SearchOptions& options, Evaluator& evaluator,
                     Console& console);

// The recorded policy of a search: the visit shares, or with Gumbel the
// improved policy, over the root's children in walk order.
Policy recorded_policy(const SearchNode& root, const SearchOptions& options);

// The one child tile of a position where there is exactly one (every legal
// tile, or the canonical ones with canonical_order), else none.
std::optional<uint32_t> forced_tile(const Game& game, const SearchOptions& options);

// Whether the next tile gets a full search: always without playout caps,
// else with chance full_share.
bool draw_full_search(const SearchOptions& options);

// The tile taken after a search: drawn by visits in the opening, then the
// Gumbel winner or the most visited.
uint32_t tile_after_search(const OptionSearch& search, std::size_t num_policies,
                           uint32_t sample_moves);

}  // namespace velmar::self_play
