#include "game_loop.h"

#include <charconv>
#include <cmath>

#include "module_contract_texts.h"
#include "rng.h"
#include "search.h"
#include "state_repr.h"

namespace velmar::self_play {

GameResult play_game(const Config& config, Evaluator& evaluator, Console& console) {
  Game game = Game::reset();
  std::vector<Policy> policies;
  ProgressBar bar(console, kNumCells);
  Candidates candidates;

  while (!game.players.empty()) {
    SearchResult searched = run_search(game, config, evaluator, console);
    if (auto* error = std::get_if<EvalError>(&searched)) {
      console.write_line(std::string(kMctsError) + ": " + error->debug);
      return GameError{std::string(kMctsError), std::move(*error)};
    }
    const SearchNode& root = std::get<SearchNode>(searched);

    uint32_t total = 0;
    for (const auto& [cell, child] : root.children) total += child.visit_count;
    Policy policy;
    policy.reserve(root.children.size());
    candidates.clear();
    for (const auto& [cell, child] : root.children) {
      policy.emplace_back(static_cast<int32_t>(cell),
                          static_cast<float>(child.visit_count) / static_cast<float>(total));
      candidates.emplace_back(cell, child.visit_count);
    }
    policies.push_back(std::move(policy));

    const uint32_t cell = choose_move(candidates, policies.size(), config.sample_moves);
    game.apply(cell);  // a root child is always a legal tile
    bar.advance();
  }

  return finish_game(game, std::move(policies), bar, console);
}

GameRecord finish_game(const Game& game, std::vector<Policy> policies, ProgressBar& bar,
                       Console& console) {
  const auto payoff = game.get_payoff();
  const auto score = game.get_score();
  GameRecord record;
  record.history.assign(game.history.begin(), game.history.end());
  record.policies = std::move(policies);
  record.payoffs = payoff;
  bar.finish();
  console.write_line(summary_line(payoff, score));
  return record;
}

uint32_t choose_move(const Candidates& candidates, std::size_t num_policies,
                     uint32_t sample_moves) {
  if (candidates.empty()) fail("no tile to choose: the root has no children");
  if (num_policies < sample_moves) {
    uint32_t total = 0;
    for (const auto& c : candidates) total += c.second;
    const float ftotal = static_cast<float>(total);
    const float r = thread_rng().uniform();
    float acc = 0.0f;
    for (const auto& [cell, visits] : candidates) {
      acc += static_cast<float>(visits) / ftotal;
      if (acc > r) return cell;
    }
    return candidates.back().first;
  }
  std::size_t best = 0;
  for (std::size_t i = 1; i < candidates.size(); ++i) {
    if (candidates[i].second >= candidates[best].second) best = i;
  }
  return candidates[best].first;
}

std::string format_float(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, res.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string summary_line(const std::array<float, kNumPlayers>& payoff,
                         const std::array<int32_t, kNumPlayers>& score) {
  std::string line(kSummaryPayoff);
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    if (p) line += ", ";
    line += format_float(payoff[p]);
  }
  line += kSummaryScore;
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    if (p) line += ", ";
    line += std::to_string(score[p]);
  }
  return line + "]";
}

}  // namespace velmar::self_play
