// The search with options: all off equals the plain search; the first-play
// value worked by hand. (Reused trees and forced tiles: test_search_options.py.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_evaluator.h"
#include "greedy.h"
#include "option_game_loop.h"
#include "option_search.h"
#include "rng.h"
#include "search.h"

using namespace velmar;
using namespace velmar::self_play;
using namespace velmar::self_play::fakes;

namespace {

// Logits and values that depend on the position, so every search differs.
FakeEvaluator::Answer position_answer() {
  return [](const Representation& repr, Reply& reply) -> std::optional<EvalError> {
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < repr.size(); ++i) {
      if (repr[i] == 1.0f) h = (h ^ i) * 16777619u;
    }
    reply.policy.resize(kNumCells);
    for (uint32_t x = 0; x < kNumCells; ++x)
      reply.policy[x] = static_cast<float>((h ^ (x * 2654435761u)) % 97) / 25.0f;
    reply.values.assign(kNumPlayers, 0.0f);
    for (uint32_t p = 0; p < kNumPlayers; ++p)
      reply.values[p] = static_cast<float>((h >> (8 * p)) % 101) / 100.0f;
    return std::nullopt;
  };
}

Config loop_config(uint32_t sims, uint32_t sample_moves, float noise) {
  Config c;
  c.sims_per_move = sims;
  c.sample_moves = sample_moves;
  c.c_base = 19652.0f;
  c.c_init = 1.25f;
  c.dirichlet_alpha = 0.3f;
  c.exploration_fraction = noise;
  return c;
}

struct OffCase {
  uint32_t sims, sample_moves;
  float noise;
};

class OptionsOff : public ::testing::TestWithParam<OffCase> {};

// With every option off the loop sends the same requests and returns the
// same record, order of the policies' entries included, as the plain loop
// drawing from the same random stream.
TEST_P(OptionsOff, WholeGameEqualsThePlainLoop) {
  const OffCase& c = GetParam();
  const Config config = loop_config(c.sims, c.sample_moves, c.noise);
  FakeEvaluator plain(position_answer()), with(position_answer());
  plain.keep_requests = with.keep_requests = true;
  MemoryConsole plain_console, with_console;
  seed_thread_rng(1234 + c.sims);
  GameResult a = play_game(config, plain, plain_console);
  seed_thread_rng(1234 + c.sims);
  GameResult b = play_game(config, SearchOptions(), with, with_console);
  const auto& ra = std::get<GameRecord>(a);
  const auto& rb = std::get<GameRecord>(b);
  EXPECT_EQ(plain.requests, with.requests);
  EXPECT_EQ(std::vector<HistoryEntry>(ra.history), rb.history);
  ASSERT_EQ(ra.policies.size(), rb.policies.size());
  for (std::size_t i = 0; i < ra.policies.size(); ++i) {
    ASSERT_EQ(ra.policies[i].size(), rb.policies[i].size());
    for (std::size_t j = 0; j < ra.policies[i].size(); ++j) {
      EXPECT_EQ(ra.policies[i][j].first, rb.policies[i][j].first);
      // NaN (no simulations) equals NaN here: compare the bits.
      EXPECT_EQ(std::memcmp(&ra.policies[i][j].second, &rb.policies[i][j].second, 4), 0);
    }
  }
  EXPECT_EQ(ra.payoffs, rb.payoffs);
  EXPECT_EQ(plain_console.out, with_console.out);
  EXPECT_EQ(rb.full_search, std::vector<bool>(rb.policies.size(), true));
}

INSTANTIATE_TEST_SUITE_P(Configs, OptionsOff,
                         ::testing::Values(OffCase{0, 0, 0.0f}, OffCase{1, 30, 0.25f},
                                           OffCase{4, 0, 0.25f}, OffCase{6, 12, 0.0f}));

// ---------------------------------------------------------------- first play

SearchNode unvisited_child(float prior) {
  SearchNode n;
  n.prior = prior;
  return n;
}

// A node worth 0.5 to its mover with children a (prior 0.7), b (0.2) and
// c (0.1); visits are added by hand as a search would.
TEST(FirstPlayValue, HandWorkedSequence) {
  SearchNode node;
  node.value = 0.5f;
  node.visit_count = 1;
  node.children.append(1, unvisited_child(0.7f));
  node.children.append(2, unvisited_child(0.2f));
  node.children.append(3, unvisited_child(0.1f));
  Config config = loop_config(0, 0, 0.0f);
  SearchOptions fpu;
  fpu.fpu_reduction = 0.25f;
  // Nothing visited: every child's Q is 0.5, the largest prior wins.
  EXPECT_FLOAT_EQ(first_play_value(node, 0.25f), 0.5f);
  EXPECT_EQ(select_with_options(node, config, fpu), 1u);
  // a visited once and worth 0: unvisited Q = 0.5 - 0.25 * sqrt(0.7) = 0.29083.
  // E = (ln((2 + 19652 + 1) / 19652) + 1.25) * sqrt(2) = 1.76798:
  // a scores 0 + 1.76798 * 0.7 / 2 = 0.61879, b 0.29083 + 0.35360 = 0.64443,
  // c 0.29083 + 0.17680 = 0.46763; with Q = 0, b would score only 0.35360.
  node.visit_count = 2;
  node.children.find(1)->visit_count = 1;
  EXPECT_NEAR(first_play_value(node, 0.25f), 0.29083f, 1e-5f);
  EXPECT_EQ(select_with_options(node, config, fpu), 2u);
  EXPECT_EQ(select_with_options(node, config, SearchOptions()), 1u);
  // b visited and worth 0.2: unvisited Q = 0.5 - 0.25 * sqrt(0.9) = 0.26283;
  // E = (ln(19656 / 19652) + 1.25) * sqrt(3) = 2.16540: a 0 + 2.16540 * 0.7 / 2
  // = 0.75789, b 0.2 + 0.21654 = 0.41654, c 0.26283 + 0.21654 = 0.47937.
  node.visit_count = 3;
  node.children.find(2)->visit_count = 1;
  node.children.find(2)->value_sum = 0.2f;
  EXPECT_NEAR(first_play_value(node, 0.25f), 0.26283f, 1e-5f);
  EXPECT_EQ(select_with_options(node, config, fpu), 1u);
  // A larger reduction puts c below b: 0.5 - 1.0 * sqrt(0.9) = -0.44868.
  fpu.fpu_reduction = 1.0f;
  EXPECT_EQ(select_with_options(node, config, fpu), 1u);
  node.children.find(1)->value_sum = -1.0f;  // a now scores -0.24211: b 0.41654 wins
  EXPECT_EQ(select_with_options(node, config, fpu), 2u);
  fpu.fpu_reduction = 0.0f;  // Q of the unvisited = the node's value
  EXPECT_FLOAT_EQ(first_play_value(node, 0.0f), 0.5f);
}

}  // namespace

// With rollout_weight w a leaf's values are (1 - w) * the network's + w * the
// payoff of the greedy playout drawn from the thread's generator, and the
// node keeps its mover's share of that mix; the playout ends the game.
TEST(RolloutWeight, LeafValuesMixOneGreedyPlayout) {
  const Values net = {0.1f, 0.2f, 0.3f, 0.4f};
  Rng walk(3);
  Game game = Game::reset();
  for (uint32_t t = 0; t < 90 && game.current_player(); ++t) {
    const auto legal = game.legal_tiles();
    ASSERT_TRUE(game.apply(legal[walk.below(legal.size())]).ok());
    if (t % 15 != 14) continue;  // turn starts and the middles of moves alike
    for (float w : {1.0f, 0.25f}) {
      SearchOptions options;
      options.rollout_weight = w;
      FakeEvaluator evaluator(uniform_answer(net));
      SearchNode node;
      Reply reply;
      seed_thread_rng(100 + t);
      EvalResult result = evaluate_with_options(node, game, options, evaluator, reply);
      seed_thread_rng(100 + t);  // the same draws: the expansion's shuffle, then the playout
      SearchNode plain;
      ASSERT_TRUE(std::holds_alternative<Values>(evaluate(plain, game, evaluator, reply)));
      const Values payoff = greedy_playout(game, thread_rng());
      const Values& values = std::get<Values>(result);
      float total = 0.0f;
      for (uint32_t p = 0; p < kNumPlayers; ++p) {
        EXPECT_NEAR(values[p], (1.0f - w) * net[p] + w * payoff[p], 1e-6f);
        total += payoff[p];
      }
      EXPECT_NEAR(total, 1.0f, 1e-6f);
      EXPECT_EQ(node.value, values[node.player]);
      EXPECT_FALSE(node.children.empty());
    }
  }
}
