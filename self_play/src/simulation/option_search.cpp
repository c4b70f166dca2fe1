#include "option_search.h"

#include <cmath>

#include "canonical.h"
#include "greedy.h"
#include "gumbel.h"
#include "module_contract_texts.h"
#include "rng.h"
#include "search.h"

namespace velmar::self_play {
namespace {

// One descent (starting with `first` when given), one evaluation, one backup.
void simulate(SearchNode& root, const Game& game, const Config& config,
              const SearchOptions& options, Evaluator& evaluator, std::vector<uint32_t>& path,
              Reply& reply, std::optional<uint32_t> first) {
  Game scratch = game;
  path.clear();
  SearchNode* node = &root;
  while (!node->children.empty()) {
    const uint32_t cell = first ? *first : select_with_options(*node, config, options);
    first.reset();
    scratch.apply(cell);  // a child is always a legal tile of its parent's position
    path.push_back(cell);
    node = node->children.find(cell);
  }
  EvalResult result = evaluate_with_options(*node, scratch, options, evaluator, reply);
  if (auto* error = std::get_if<EvalError>(&result)) throw EvalAbort(std::move(*error));
  backpropagate(root, path, std::get<Values>(result));
}

// The root: the reused subtree when it is expanded, else a fresh evaluation.
std::optional<EvalError> make_root(SearchNode& root, const Game& game, const SearchOptions& options,
                                   std::optional<SearchNode> reused, Evaluator& evaluator,
                                   Reply& reply) {
  if (reused && !reused->children.empty()) {
    root = std::move(*reused);
    return std::nullopt;
  }
  EvalResult result = evaluate_with_options(root, game, options, evaluator, reply);
  if (auto* error = std::get_if<EvalError>(&result)) return std::move(*error);
  root.visit_count = 1;  // the root's own evaluation counts as its first visit
  return std::nullopt;
}

}  // namespace

OptionSearchResult search_with_options(const Game& game, const Config& config,
                                       const SearchOptions& options, SearchRun run,
                                       std::optional<SearchNode> reused, Evaluator& evaluator,
                                       Console& console) {
  OptionSearch out;
  SearchNode& root = out.root;
  Reply reply;
  if (auto error = make_root(root, game, options, std::move(reused), evaluator, reply)) {
    console.write_line(std::string(kRootEvalError) + error->debug);
    return std::move(*error);
  }
  const bool gumbel = options.gumbel;
  if (run.noise && !gumbel && root.children.size() >= 2) add_exploration_noise(root, config);
  const uint64_t target = uint64_t{run.sims} + 1;
  const uint32_t m = std::min<uint32_t>(options.gumbel_m, root.children.size());
  const std::vector<float> g = gumbel ? gumbel_draws(root, run.noise) : std::vector<float>();
  const std::vector<uint32_t> sequence =
      gumbel ? considered_visits(m, run.sims) : std::vector<uint32_t>();
  std::vector<uint32_t> path;
  for (uint32_t k = 0; root.visit_count < target; ++k) {
    std::optional<uint32_t> first;
    if (gumbel) first = halving_child(root, g, sequence[k]);
    simulate(root, game, config, options, evaluator, path, reply, first);
  }
  if (gumbel) {
    uint32_t most = 0;
    for (const auto& [cell, child] : root.children) most = std::max(most, child.visit_count);
    out.winner = halving_child(root, g, most);
  }
  return out;
}

EvalResult evaluate_with_options(SearchNode& node, const Game& game, const SearchOptions& options,
                                 Evaluator& evaluator, Reply& reply) {
  if (game.players.empty()) return game.get_payoff();
  TileMask canonical;
  if (options.canonical_order) canonical = canonical_tiles(game);
  EvalResult result =
      evaluate(node, game, evaluator, reply, options.canonical_order ? &canonical : nullptr);
  if (Values* values = std::get_if<Values>(&result)) {
    if (options.rollout_weight) mix_playout(*values, game, *options.rollout_weight);
    node.value = (*values)[node.player];
  }
  return result;
}

void mix_playout(Values& values, const Game& game, float weight) {
  const Values payoff = greedy_playout(game, thread_rng());
  for (uint32_t p = 0; p < kNumPlayers; ++p)
    values[p] = (1.0f - weight) * values[p] + weight * payoff[p];
}

uint32_t select_with_options(const SearchNode& node, const Config& config,
                             const SearchOptions& options) {
  if (options.gumbel) return gumbel_interior_child(node);
  const float q = options.fpu_reduction ? first_play_value(node, *options.fpu_reduction) : 0.0f;
  return select_child(node, config.c_base, config.c_init, q);
}

float first_play_value(const SearchNode& node, float fpu_reduction) {
  float visited = 0.0f;
  for (const auto& [cell, child] : node.children) {
    if (child.visit_count > 0) visited += child.prior;
  }
  return node.value - fpu_reduction * std::sqrt(visited);
}

}  // namespace velmar::self_play
