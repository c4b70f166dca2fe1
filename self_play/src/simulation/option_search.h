#pragma once
// The search for one tile with SearchOptions: first-play value, canonical
// children, a reused subtree as root, Gumbel root.
#include <optional>
#include <variant>
#include <vector>

#include "config.h"
#include "console.h"
#include "evaluate.h"
#include "search_options.h"

namespace velmar::self_play {

// What one search is asked to do.
struct SearchRun {
  uint32_t sims = 0;  // simulations until the root has sims + 1 visits
  bool noise = true;  // root noise: Dirichlet, or the Gumbel draws
};

struct OptionSearch {
  SearchNode root;
  std::optional<uint32_t> winner;  // the sequential-halving winner (Gumbel only)
};

using OptionSearchResult = std::variant<OptionSearch, EvalError>;

// Searches the position of `game`. `reused`, when it is expanded, is the
// root with its counts and values (no request for it); noise is mixed into
// its priors afresh. A failed root evaluation is written to the console and
// returned; a failed evaluation below the root throws EvalAbort.
OptionSearchResult search_with_options(const Game& game, const Config& config,
                                       const SearchOptions& options, SearchRun run,
                                       std::optional<SearchNode> reused, Evaluator& evaluator,
                                       Console& console);

// Evaluates `node` at the position of `game`; an expanded node keeps the
// value for its player to move, with canonical_order only the canonical
// tiles become children, and with rollout_weight the values mix in a greedy
// playout's payoff.
EvalResult evaluate_with_options(SearchNode& node, const Game& game, const SearchOptions& options,
                                 Evaluator& evaluator, Reply& reply);

// Mixes into `values` the payoff of one greedy playout from `game` (not
// over): (1 - weight) * values + weight * payoff.
void mix_playout(Values& values, const Game& game, float weight);

// The child to descend into below the root.
uint32_t select_with_options(const SearchNode& node, const Config& config,
                             const SearchOptions& options);

// The Q of an unvisited child under a first-play reduction: the node's value
// less fpu_reduction * sqrt(sum of the priors of the visited children).
float first_play_value(const SearchNode& node, float fpu_reduction);

}  // namespace velmar::self_play
