#pragma once
// Opt-in changes to the search, given per call beside Config. A default
// SearchOptions changes nothing.
#include <cstdint>
#include <optional>

namespace velmar::self_play {

struct SearchOptions {
  // An unvisited child's Q is the node's own value less this times the
  // square root of the priors of the children visited so far (else 0).
  std::optional<float> fpu_reduction;
  // A node's children are only the tiles that take some completable
  // placement's cells in increasing order, so each placement has one path.
  bool canonical_order = false;
  // The subtree under the tile taken is the next search's root.
  bool reuse_tree = false;
  // A position with a single child tile is taken without a search.
  bool skip_forced = false;
  // Playout caps: with chance full_share a tile gets the full search
  // (sims_per_move, root noise), otherwise fast_sims without noise.
  std::optional<uint32_t> fast_sims;
  float full_share = 1.0f;
  // Gumbel-top-k sampling and sequential halving at the root, completed
  // Q-values everywhere.
  bool gumbel = false;
  uint32_t gumbel_m = 16;
  // A leaf's values mix the network's with the payoff of one greedy
  // playout from it: (1 - w) * network + w * playout.
  std::optional<float> rollout_weight;
};

}  // namespace velmar::self_play
