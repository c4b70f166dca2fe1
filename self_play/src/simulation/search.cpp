#include "search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "module_contract_texts.h"
#include "rng.h"

namespace velmar::self_play {

EvalAbort::EvalAbort(EvalError e) : InvariantError(unwrap_failure(e.debug)), error(std::move(e)) {}

std::string unwrap_failure(std::string_view what) {
  return std::string(kUnwrapPrefix) + std::string(what);
}

SearchResult run_search(const Game& game, const Config& config, Evaluator& evaluator,
                        Console& console) {
  SearchNode root;
  Reply reply;
  EvalResult result = evaluate(root, game, evaluator, reply);
  if (auto* error = std::get_if<EvalError>(&result)) {
    console.write_line(std::string(kRootEvalError) + error->debug);
    return std::move(*error);
  }
  // The root's own evaluation counts as its first visit.
  root.visit_count = 1;
  if (root.children.size() >= 2) add_exploration_noise(root, config);
  std::vector<uint32_t> path;
  for (uint32_t i = 0; i < config.sims_per_move; ++i) {
    run_simulation(root, game, config, evaluator, path, reply);
  }
  return root;
}

void add_exploration_noise(SearchNode& root, const Config& config) {
  const float alpha = config.dirichlet_alpha;
  if (!(alpha > 0.0f)) throw InvariantError(unwrap_failure(kAlphaTooSmall));
  // The Dirichlet sample is n Gamma(alpha, 1) variates divided by their sum.
  // It is formed from their logarithms, relative to the largest, so that
  // small alphas, whose variates often underflow, never give 0 / 0.
  Rng& rng = thread_rng();
  std::vector<double> logs(root.children.size());
  double top = -std::numeric_limits<double>::infinity();
  for (double& l : logs) {
    l = rng.log_gamma(alpha);
    top = std::max(top, l);
  }
  double sum = 0.0;
  for (double& l : logs) sum += (l = std::exp(l - top));
  std::vector<float> noise(logs.size());
  for (std::size_t i = 0; i < logs.size(); ++i) noise[i] = static_cast<float>(logs[i] / sum);
  const float keep = 1.0f - config.exploration_fraction;
  std::size_t j = 0;
  for (auto& [cell, child] : root.children) {
    // Each product is rounded before the sum (the build turns off fused multiply-add).
    child.prior = config.exploration_fraction * noise[j++] + keep * child.prior;
  }
}

void run_simulation(SearchNode& root, const Game& game, const Config& config, Evaluator& evaluator,
                    std::vector<uint32_t>& path, Reply& reply) {
  Game scratch = game;
  path.clear();
  SearchNode* node = &root;
  while (!node->children.empty()) {
    const uint32_t cell = select_child(*node, config.c_base, config.c_init);
    scratch.apply(cell);  // a child is always a legal tile of its parent's position
    path.push_back(cell);
    node = node->children.find(cell);
  }
  EvalResult result = evaluate(*node, scratch, evaluator, reply);
  if (auto* error = std::get_if<EvalError>(&result)) throw EvalAbort(std::move(*error));
  backpropagate(root, path, std::get<Values>(result));
}

uint32_t select_child(const SearchNode& node, float c_base, float c_init) {
  return select_child(node, c_base, c_init, 0.0f);
}

uint32_t select_child(const SearchNode& node, float c_base, float c_init, float unvisited_q) {
  const ChildMap& children = node.children;
  if (children.empty()) fail("select_child on a node without children");
  // E = (ln(((N + c_base) + 1) / c_base) + c_init) * sqrt(N), in this order.
  const float n = static_cast<float>(node.visit_count);
  const float e = (std::log(((n + c_base) + 1.0f) / c_base) + c_init) * std::sqrt(n);
  uint32_t best_cell = 0;
  float best = 0.0f;
  bool first = true;
  for (const auto& [cell, child] : children) {
    const float visits = static_cast<float>(child.visit_count);
    const float q = child.visit_count > 0 ? child.value_sum / visits : unvisited_q;
    const float u = (e * child.prior) / (1.0f + visits);
    const float score = q + u;
    if (first || score > best) {
      best = score;
      best_cell = cell;
      first = false;
    }
  }
  return best_cell;
}

void backpropagate(SearchNode& root, const std::vector<uint32_t>& path, const Values& values) {
  SearchNode* current = &root;
  root.visit_count += 1;  // the root's value_sum is never read and stays 0
  for (uint32_t cell : path) {
    SearchNode* child = current->children.find(cell);
    if (!child) fail("a path cell without a child");
    const uint32_t mover = current->player;
    if (mover >= values.size()) fail_index(values.size(), mover);
    child->visit_count += 1;
    child->value_sum += values[mover];
    current = child;
  }
}

}  // namespace velmar::self_play
