#pragma once
// The PUCT tree search for one tile.
#include <variant>
#include <vector>

#include "config.h"
#include "console.h"
#include "evaluate.h"

namespace velmar::self_play {

// Thrown when an evaluation at the end of a descent fails: the whole call is
// aborted with the error's debug text.
class EvalAbort : public InvariantError {
 public:
  explicit EvalAbort(EvalError e);
  EvalError error;
};

// The text of an abort for a failed result: "called `Result::unwrap()` on an `Err` value: <what>".
std::string unwrap_failure(std::string_view what);

using SearchResult = std::variant<SearchNode, EvalError>;

// Evaluates the root with the real game, mixes noise into its priors when it
// has two or more children, and runs config.sims_per_move simulations.
// A failed root evaluation is written to the console and returned.
SearchResult run_search(const Game& game, const Config& config, Evaluator& evaluator,
                        Console& console);

// Mixes Dirichlet(alpha) noise into the priors of the root's children.
void add_exploration_noise(SearchNode& root, const Config& config);

// One descent from the root on a copy of the game, one evaluation, one backup.
// `path` and `reply` are scratch buffers reused between simulations.
void run_simulation(SearchNode& root, const Game& game, const Config& config, Evaluator& evaluator,
                    std::vector<uint32_t>& path, Reply& reply);

// The cell of the child with the highest score Q + E * prior / (1 + n), with
// Q the child's mean value, n its visit count and
// E = (ln((N + c_base + 1) / c_base) + c_init) * sqrt(N) for the node's count N;
// the first in walk order among equal scores. The node has at least one child.
uint32_t select_child(const SearchNode& node, float c_base, float c_init);
// The same with `unvisited_q` as the Q of a child never visited.
uint32_t select_child(const SearchNode& node, float c_base, float c_init, float unvisited_q);

// Adds one evaluation into the nodes along the path. Every node of the path,
// the root included, gains a visit; each child receives the value of the
// player who took the tile leading to it: its parent's player.
void backpropagate(SearchNode& root, const std::vector<uint32_t>& path, const Values& values);

}  // namespace velmar::self_play
