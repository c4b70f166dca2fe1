#include "evaluate.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rng.h"

namespace velmar::self_play {
namespace {

// The walk order of the children differs between nodes and between runs,
// so ties never systematically favour low cells.
void shuffle_children(SearchNode& node) {
  auto& entries = node.children.entries();
  Rng& rng = thread_rng();
  for (std::size_t i = entries.size(); i > 1; --i) {
    std::swap(entries[i - 1], entries[rng.below(static_cast<uint32_t>(i))]);
  }
}

}  // namespace

EvalResult evaluate(SearchNode& node, const Game& game, Evaluator& evaluator, Reply& reply,
                    const TileMask* allowed) {
  if (game.players.empty()) return game.get_payoff();
  const Representation repr = get_representation(game);
  if (auto error = evaluator.exchange(repr, reply)) return std::move(*error);
  return expand(node, game, repr, reply, allowed);
}

Values expand(SearchNode& node, const Game& game, const Representation& repr, const Reply& reply,
              const TileMask* allowed) {
  const auto current = game.current_player();
  if (!current) fail(std::string(kNoCurrentPlayer));
  const float* legal = repr.data() + kLegalPlane * kNumCells;
  const std::vector<float>& policy = reply.policy;
  if (policy.size() > kNumCells) fail_index(kNumCells, kNumCells);
  const auto kept_tile = [&](uint32_t x) {
    return legal[x] == 1.0f && (!allowed || (*allowed)[x]);
  };

  // Subtracting the largest kept logit keeps exp() finite for large logits
  // and off zero for very negative ones; the priors are unchanged otherwise.
  float top = -std::numeric_limits<float>::infinity();
  for (uint32_t x = 0; x < policy.size(); ++x) {
    if (kept_tile(x) && policy[x] > top) top = policy[x];
  }
  const float shift = std::isfinite(top) ? top : 0.0f;

  float weights[kNumCells];
  uint16_t kept[kNumCells];
  uint32_t n = 0;
  float sum = 0.0f;
  for (uint32_t x = 0; x < policy.size(); ++x) {
    if (!kept_tile(x)) continue;
    const float w = std::exp(policy[x] - shift);
    weights[n] = w;
    kept[n++] = static_cast<uint16_t>(x);
    sum += w;
  }

  node.player = *current;
  const bool fresh = node.children.empty();
  if (fresh) node.children.reserve(n);
  for (uint32_t i = 0; i < n; ++i) {
    SearchNode child;
    child.prior = weights[i] / sum;
    if (fresh) {
      node.children.append(kept[i], std::move(child));
    } else {
      node.children.insert(kept[i], std::move(child));
    }
  }
  shuffle_children(node);

  const std::size_t nv = reply.values.size();
  if (nv < kNumPlayers) fail_index(nv, nv);
  return {reply.values[0], reply.values[1], reply.values[2], reply.values[3]};
}

}  // namespace velmar::self_play
