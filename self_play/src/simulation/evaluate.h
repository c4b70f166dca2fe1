#pragma once
// Evaluation of a search node: a finished game is valued by its payoff; any
// other position is sent to the inference server, whose reply expands the
// node with one child per legal tile it scores.
#include <array>
#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "game.h"
#include "search_node.h"
#include "state_repr.h"

namespace velmar::self_play {

// What the server's side of an evaluation error keeps (the Python exception).
struct ErrorOrigin {
  virtual ~ErrorOrigin() = default;
};

// The failure of one exchange with the inference server.
struct EvalError {
  std::string debug;  // "PyErr { type: ..., value: ..., traceback: ... }"
  std::shared_ptr<const ErrorOrigin> origin;
};

// A reply, converted: policy logits by cell and values by player.
struct Reply {
  std::vector<float> policy;
  std::vector<float> values;
};

// The inference server as the search sees it: one request, one reply.
class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Sends the position and reads the reply into `reply` (its buffers are
  // reused between calls). Returns the error when the exchange fails.
  virtual std::optional<EvalError> exchange(const Representation& repr, Reply& reply) = 0;
};

// Values by player: entry p is player p's value.
using Values = std::array<float, kNumPlayers>;
using EvalResult = std::variant<Values, EvalError>;

// Values a finished game by its payoff without touching the node; otherwise
// exchanges the position, sets the node's player and inserts a child per
// legal tile the policy covers, with the softmax of the logits over those
// tiles as priors.
// With `allowed`, only the legal tiles it holds become children and the
// softmax is taken over them.
using TileMask = std::bitset<kNumCells>;
EvalResult evaluate(SearchNode& node, const Game& game, Evaluator& evaluator, Reply& reply,
                    const TileMask* allowed = nullptr);

// Expands `node` from a converted reply (the part of evaluate after the exchange).
Values expand(SearchNode& node, const Game& game, const Representation& repr, const Reply& reply,
              const TileMask* allowed = nullptr);

}  // namespace velmar::self_play
