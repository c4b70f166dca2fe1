#include "search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "fake_evaluator.h"

using namespace velmar;
using namespace velmar::self_play;
using namespace velmar::self_play::fakes;

namespace {

Config search_config(uint32_t sims) {
  Config c;
  c.sims_per_move = sims;
  c.c_base = 19652.0f;
  c.c_init = 1.25f;
  c.dirichlet_alpha = 0.3f;
  c.exploration_fraction = 0.25f;
  return c;
}

SearchNode child(float prior, uint32_t visits = 0, float value_sum = 0.0f) {
  SearchNode n;
  n.prior = prior;
  n.visit_count = visits;
  n.value_sum = value_sum;
  return n;
}

// A node whose children, appended in this order, are walked in this order.
SearchNode node_of(const std::vector<std::pair<uint32_t, SearchNode>>& children,
                   uint32_t visits = 0) {
  SearchNode n;
  n.visit_count = visits;
  for (const auto& [cell, c] : children) n.children.append(cell, c);
  return n;
}

// ---------------------------------------------------------------- select_child

struct SelectCase {
  const char* name;
  std::vector<std::pair<uint32_t, SearchNode>> children;
  uint32_t want;
};

class SearchSelectUnvisited : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SearchSelectUnvisited, HighestPriorFirstInWalkOrder) {
  const SelectCase& c = GetParam();
  EXPECT_EQ(select_child(node_of(c.children, 1), 19652.0f, 1.25f), c.want);
}

// At N = 0 the coefficient is 0: every unvisited child scores 0 and the
// first in walk order is taken.
TEST(SearchSelect, NodeWithoutVisitsTakesTheFirstChild) {
  SearchNode n = node_of({{5, child(0.1f)}, {9, child(0.6f)}, {2, child(0.3f)}}, 0);
  EXPECT_EQ(select_child(n, 19652.0f, 1.25f), 5u);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    SearchPriors, SearchSelectUnvisited,
    ::testing::Values(
        SelectCase{"highest_prior", {{5, child(0.1f)}, {9, child(0.6f)}, {2, child(0.3f)}}, 9},
        SelectCase{
            "tie_first_in_walk", {{30, child(0.1f)}, {12, child(0.45f)}, {4, child(0.45f)}}, 12},
        SelectCase{"all_equal", {{8, child(0.25f)}, {3, child(0.25f)}, {1, child(0.25f)}}, 8},
        SelectCase{"all_nan", {{17, child(kNaN)}, {3, child(kNaN)}, {99, child(kNaN)}}, 17},
        SelectCase{"single", {{250, child(1.0f)}}, 250},
        SelectCase{"nan_before_best", {{6, child(kNaN)}, {7, child(0.9f)}}, 6}),
    [](const auto& info) { return std::string(info.param.name); });

// E = (ln(((N + c_base) + 1) / c_base) + c_init) * sqrt(N), pinned by two
// children: A with Q = q and prior 0, B with prior p, visited v times with
// value 0, scoring E * p / (1 + v). B wins exactly when that exceeds q.
struct CoefficientCase {
  uint32_t visits;
  float c_base;
  float c_init;
};

class SearchSelectCoefficient : public ::testing::TestWithParam<CoefficientCase> {};

TEST_P(SearchSelectCoefficient, MatchesTheHandComputation) {
  const CoefficientCase& c = GetParam();
  const double n = c.visits;
  const double e = (std::log((n + c.c_base + 1.0) / c.c_base) + c.c_init) * std::sqrt(n);
  ASSERT_GT(e, 0.1);
  const float p = 0.3f;
  for (uint32_t b_visits : {0u, 1u, 9u}) {
    const double u = e * p / (1.0 + b_visits);
    for (double margin : {1e-4, -1e-4}) {
      const double q = u * (1.0 + margin);
      SearchNode n = node_of(
          {{10, child(0.0f, 4, static_cast<float>(4.0 * q))}, {20, child(p, b_visits, 0.0f)}},
          c.visits);
      const uint32_t want = margin > 0 ? 10 : 20;
      EXPECT_EQ(select_child(n, c.c_base, c.c_init), want)
          << "E=" << e << " margin " << margin << " N=" << c.visits << " v=" << b_visits;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    SearchSettings, SearchSelectCoefficient,
    ::testing::Values(CoefficientCase{1, 19652.0f, 1.25f}, CoefficientCase{10, 19652.0f, 1.25f},
                      CoefficientCase{100000, 19652.0f, 1.25f}, CoefficientCase{4, 1.0f, 0.0f},
                      CoefficientCase{3, 0.5f, 0.2f}, CoefficientCase{1000, 2.0f, 0.5f}));

TEST(SearchSelect, QIsTheMeanValueOfVisitedChildren) {
  // At N = 0 the coefficient is 0, so only Q counts.
  const float c_base = 19652.0f;
  const float c_init = 1.25f;
  SearchNode n = node_of({{1, child(0.9f, 4, 2.0f)},     // Q 0.5
                          {2, child(0.05f, 3, 1.8f)},    // Q 0.6
                          {3, child(0.05f, 10, 5.5f)}},  // Q 0.55
                         0);
  EXPECT_EQ(select_child(n, c_base, c_init), 2u);
  n.children.find(2)->value_sum = 1.2f;  // Q 0.4
  EXPECT_EQ(select_child(n, c_base, c_init), 3u);
}

// ------------------------------------------------------------- backpropagate

// root (player 2) -5-> a (player 2, piece in progress) -6-> b (player 3, a's
// tile completed the piece) -7-> t (game over, player 0). Each child receives
// the value of its parent's player.
TEST(SearchBackpropagate, ChildGetsItsParentsPlayersValue) {
  SearchNode t = child(0.5f);
  SearchNode b = child(0.5f, 1, 0.25f);
  b.player = 3;
  b.children.append(7, t);
  b.children.append(8, child(0.5f));
  SearchNode a = child(0.5f, 2, 1.0f);
  a.player = 2;
  a.children.append(6, b);
  SearchNode root;
  root.player = 2;
  root.children.append(5, a);
  root.children.append(4, child(0.5f));

  backpropagate(root, {5, 6, 7}, Values{10.0f, 20.0f, 30.0f, 40.0f});
  const SearchNode& ra = *root.children.find(5);
  const SearchNode& rb = *ra.children.find(6);
  const SearchNode& rt = *rb.children.find(7);
  EXPECT_EQ(ra.visit_count, 3u);
  EXPECT_EQ(ra.value_sum, 31.0f);  // values[2] from the root
  EXPECT_EQ(rb.visit_count, 2u);
  EXPECT_EQ(rb.value_sum, 30.25f);  // values[2] from a
  EXPECT_EQ(rt.visit_count, 1u);
  EXPECT_EQ(rt.value_sum, 40.0f);  // values[3] from b, not payoff entry 0
  EXPECT_EQ(rb.children.find(8)->visit_count, 0u);
  EXPECT_EQ(root.children.find(4)->visit_count, 0u);
  EXPECT_EQ(root.visit_count, 1u);  // every backup passes through the root
  EXPECT_EQ(root.value_sum, 0.0f);

  backpropagate(root, {4}, Values{1.0f, 2.0f, 3.0f, 4.0f});
  EXPECT_EQ(root.children.find(4)->value_sum, 3.0f);
  EXPECT_EQ(root.visit_count, 2u);
  EXPECT_EQ(root.value_sum, 0.0f);
}

// The same through the search: player 0 holds only the single square, so
// its one tile completes the piece and player 1 moves at the child.
TEST(SearchBackpropagate, PieceCompletingTileThroughTheSearch) {
  const Game g = custom_game({0, 1}, {0});
  ASSERT_EQ(g.legal_tiles(), std::vector<uint32_t>{0});
  FakeEvaluator ev(uniform_answer({0.125f, 0.5f, 0.0f, 0.0f}));
  MemoryConsole console;
  SearchResult r = run_search(g, search_config(2), ev, console);
  ASSERT_TRUE(std::holds_alternative<SearchNode>(r));
  const SearchNode& root = std::get<SearchNode>(r);
  EXPECT_EQ(root.player, 0u);
  const SearchNode* c = root.children.find(0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->player, 1u);
  EXPECT_EQ(c->visit_count, 2u);
  EXPECT_EQ(c->value_sum, 0.25f);  // twice values[0]
  uint32_t grand_visits = 0;
  for (const auto& [cell, gc] : c->children) {
    grand_visits += gc.visit_count;
    if (gc.visit_count == 1) {
      EXPECT_EQ(gc.value_sum, 0.5f) << cell;  // values[1]
    }
  }
  EXPECT_EQ(grand_visits, 1u);
  EXPECT_EQ(ev.calls, 3);
}

// Player 1 alone with only the single square: its one tile ends the game.
// The terminal child is valued by the payoff, entry 1 (the root's player),
// without any request.
TEST(SearchBackpropagate, TerminalChildThroughTheSearch) {
  const Game g = custom_game({1}, {1});
  ASSERT_EQ(g.legal_tiles(), std::vector<uint32_t>{19});
  FakeEvaluator ev(uniform_answer());
  MemoryConsole console;
  SearchResult r = run_search(g, search_config(3), ev, console);
  ASSERT_TRUE(std::holds_alternative<SearchNode>(r));
  const SearchNode& root = std::get<SearchNode>(r);
  EXPECT_EQ(root.player, 1u);
  const SearchNode* t = root.children.find(19);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->player, 0u);
  EXPECT_TRUE(t->children.empty());
  EXPECT_EQ(t->visit_count, 3u);
  EXPECT_EQ(t->value_sum, 3.0f);  // payoff [0, 1, 0, 0], entry 1 each time
  EXPECT_EQ(ev.calls, 1);
}

// ------------------------------------------------------ add_exploration_noise

SearchNode root_with_priors(const std::vector<float>& priors) {
  SearchNode root;
  for (uint32_t i = 0; i < priors.size(); ++i) root.children.append(i * 3, child(priors[i]));
  return root;
}

std::vector<float> priors_of(const SearchNode& n) {
  std::vector<float> out;
  for (const auto& [cell, c] : n.children) out.push_back(c.prior);
  return out;
}

TEST(SearchNoise, AlphaNotPositiveAborts) {
  for (float alpha : {0.0f, -0.5f, kNaN}) {
    Config c = search_config(1);
    c.dirichlet_alpha = alpha;
    SearchNode root = root_with_priors({0.5f, 0.5f});
    try {
      add_exploration_noise(root, c);
      ADD_FAILURE() << "alpha " << alpha << " accepted";
    } catch (const InvariantError& e) {
      EXPECT_NE(std::string(e.what()).find("AlphaTooSmall"), std::string::npos) << e.what();
    }
    // Through the search, from a root with 15 children.
    FakeEvaluator ev(uniform_answer());
    MemoryConsole console;
    EXPECT_THROW(run_search(Game::reset(), c, ev, console), InvariantError) << alpha;
  }
}

TEST(SearchNoise, FractionZeroKeepsPriors) {
  Config c = search_config(1);
  c.exploration_fraction = 0.0f;
  const std::vector<float> priors = {0.1f, 0.2f, 0.3f, 0.4f, 1.0f / 3.0f};
  SearchNode root = root_with_priors(priors);
  add_exploration_noise(root, c);
  EXPECT_EQ(priors_of(root), priors);
}

TEST(SearchNoise, FractionOneReplacesPriorsByNoise) {
  Config c = search_config(1);
  c.exploration_fraction = 1.0f;
  std::vector<float> first;
  for (int draw = 0; draw < 2; ++draw) {
    SearchNode root = root_with_priors({0.7f, 0.7f, 0.7f, 0.7f, 0.7f, 0.7f});
    add_exploration_noise(root, c);
    const std::vector<float> noise = priors_of(root);
    float sum = 0.0f;
    for (float x : noise) {
      EXPECT_GE(x, 0.0f);
      EXPECT_LE(x, 1.0f);
      sum += x;
    }
    EXPECT_NEAR(sum, 1.0f, 1e-5f);
    if (draw == 0) {
      first = noise;
    } else {
      EXPECT_NE(noise, first) << "two draws gave the same noise";
    }
  }
}

// Small alphas give Gamma variates that underflow a float; the noise must
// still be a proper distribution, never 0 / 0.
TEST(SearchNoise, SmallAlphaNeverGivesNaN) {
  for (float alpha : {0.01f, 0.001f, 1e-6f}) {
    Config c = search_config(1);
    c.dirichlet_alpha = alpha;
    c.exploration_fraction = 1.0f;
    for (int draw = 0; draw < 2000; ++draw) {
      SearchNode root = root_with_priors({0.5f, 0.5f});
      add_exploration_noise(root, c);
      float sum = 0.0f;
      for (float x : priors_of(root)) {
        ASSERT_FALSE(std::isnan(x)) << "alpha " << alpha;
        sum += x;
      }
      ASSERT_NEAR(sum, 1.0f, 1e-5f) << "alpha " << alpha;
    }
  }
}

TEST(SearchNoise, MixesNoiseByTheFraction) {
  Config c = search_config(1);
  c.exploration_fraction = 0.25f;
  c.dirichlet_alpha = 1.0f;
  const int kChildren = 4;
  const int kDraws = 2000;
  std::vector<double> mean(kChildren, 0.0);
  for (int d = 0; d < kDraws; ++d) {
    SearchNode root = root_with_priors({0.4f, 0.4f, 0.2f, 0.0f});
    add_exploration_noise(root, c);
    const std::vector<float> mixed = priors_of(root);
    const std::vector<float> old = {0.4f, 0.4f, 0.2f, 0.0f};
    float implied_sum = 0.0f;
    for (int j = 0; j < kChildren; ++j) {
      const float noise = (mixed[j] - 0.75f * old[j]) / 0.25f;
      ASSERT_GE(noise, -1e-5f);
      implied_sum += noise;
      mean[j] += noise;
    }
    ASSERT_NEAR(implied_sum, 1.0f, 1e-4f);
  }
  // Symmetric Dirichlet: every component has mean 1/n (sd of the mean ~0.004).
  for (int j = 0; j < kChildren; ++j) EXPECT_NEAR(mean[j] / kDraws, 0.25, 0.03) << j;
}

// ------------------------------------------------------------------ run_search

// Every expanded node except the root: visits = 1 + the children's visits.
void check_counts(const SearchNode& n, int& expanded) {
  for (const auto& [cell, c] : n.children) {
    if (!c.children.empty()) {
      ++expanded;
      uint32_t sum = 0;
      for (const auto& [gcell, gc] : c.children) sum += gc.visit_count;
      EXPECT_EQ(c.visit_count, 1 + sum) << "cell " << cell;
    }
    check_counts(c, expanded);
  }
}

TEST(SearchRun, ZeroSimulationsVisitNothing) {
  FakeEvaluator ev(uniform_answer());
  MemoryConsole console;
  SearchResult r = run_search(Game::reset(), search_config(0), ev, console);
  ASSERT_TRUE(std::holds_alternative<SearchNode>(r));
  const SearchNode& root = std::get<SearchNode>(r);
  EXPECT_EQ(root.children.size(), 15u);
  for (const auto& [cell, c] : root.children) {
    EXPECT_EQ(c.visit_count, 0u) << cell;
    EXPECT_TRUE(c.children.empty()) << cell;
  }
  EXPECT_EQ(ev.calls, 1);
  EXPECT_TRUE(console.out.empty());
}

TEST(SearchRun, SingleChildGetsNoNoise) {
  // Player 0 has taken 0, 80, 20 and 40 of a straight five: only 60 is left.
  Game g = Game::reset();
  for (uint32_t x : {0u, 80u, 20u, 40u}) ASSERT_TRUE(g.apply(x).ok());
  ASSERT_EQ(g.legal_tiles(), std::vector<uint32_t>{60});
  for (float alpha : {0.0f, -1.0f, kNaN}) {
    Config c = search_config(4);
    c.dirichlet_alpha = alpha;
    c.exploration_fraction = 1.0f;
    FakeEvaluator ev(uniform_answer());
    MemoryConsole console;
    SearchResult r = run_search(g, c, ev, console);
    ASSERT_TRUE(std::holds_alternative<SearchNode>(r)) << alpha;
    const SearchNode& root = std::get<SearchNode>(r);
    ASSERT_EQ(root.children.size(), 1u);
    EXPECT_EQ(root.children.find(60)->prior, 1.0f);
    EXPECT_EQ(root.children.find(60)->visit_count, 4u);
  }
}

class SearchRunCounts : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SearchRunCounts, VisitsAddUp) {
  const uint32_t sims = GetParam();
  FakeEvaluator ev(uniform_answer());
  MemoryConsole console;
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0).ok());
  SearchResult r = run_search(g, search_config(sims), ev, console);
  ASSERT_TRUE(std::holds_alternative<SearchNode>(r));
  const SearchNode& root = std::get<SearchNode>(r);
  uint32_t total = 0;
  for (const auto& [cell, c] : root.children) total += c.visit_count;
  EXPECT_EQ(total, sims);
  EXPECT_EQ(root.visit_count, 1 + sims);  // its own evaluation and every backup
  EXPECT_EQ(root.value_sum, 0.0f);
  int expanded = 0;
  check_counts(root, expanded);
  // No position on the way is over: every simulation expands one node.
  EXPECT_EQ(expanded, static_cast<int>(sims));
  EXPECT_EQ(ev.calls, static_cast<int>(sims) + 1);
  EXPECT_EQ(g.history.size(), 1u);  // the real game is left alone
}

INSTANTIATE_TEST_SUITE_P(SearchSims, SearchRunCounts, ::testing::Values(1u, 2u, 7u, 64u));

// Priors 7/15, 5/15 and 3/15 on cells 0, 1 and 20 (none elsewhere), the
// mover's value 0.05 everywhere, no noise. Each child's Q is 0.05 once
// visited, so the root's choices follow from E and the counts alone:
//   sim  N  E          scores of 0, 1, 20            choice
//    1   1  1.2501018  0.583381 0.416701 0.250020   0
//    2   2  1.7679828  0.462529 0.589328 0.353597   1
//    3   3  2.165416   0.555264 0.410903 0.433083   0
//    4   4  2.5005088  0.438968 0.466751 0.500102   20
//    5   5  2.7957678  0.484897 0.515961 0.329577   1
//    6   6  3.0627346  0.526425 0.390304 0.356273   0
//    7   7  3.308266   0.435964 0.417585 0.380827   0
//    8   8  3.536829   0.380104 0.442981 0.403683   1
//    9   9  3.7515264  0.400142 0.362627 0.425153   20
//   10  10  3.9546165  0.419098 0.379551 0.313641   0
//   11  11  4.147805   0.372607 0.395650 0.326520   1
//   12  12  4.3324175  0.386966 0.338828 0.338828   0
TEST(SearchRun, RootChoicesFollowTheHandWorkedScores) {
  const std::vector<uint32_t> choices = {0, 1, 0, 20, 1, 0, 0, 1, 20, 0, 1, 0};
  std::vector<float> logits(kNumCells, -1e4f);
  logits[0] = std::log(7.0f);
  logits[1] = std::log(5.0f);
  logits[20] = std::log(3.0f);
  std::map<uint32_t, uint32_t> want;
  for (uint32_t sims = 1; sims <= choices.size(); ++sims) {
    ++want[choices[sims - 1]];
    FakeEvaluator ev(fixed_answer(logits, {0.05f, 0.6f, 0.2f, 0.15f}));
    MemoryConsole console;
    Config c = search_config(sims);
    c.exploration_fraction = 0.0f;
    SearchResult r = run_search(Game::reset(), c, ev, console);
    ASSERT_TRUE(std::holds_alternative<SearchNode>(r));
    std::map<uint32_t, uint32_t> got;
    for (const auto& [cell, child] : std::get<SearchNode>(r).children) {
      if (child.visit_count) got[cell] = child.visit_count;
    }
    EXPECT_EQ(got, want) << "after " << sims << " simulations";
  }
}

// Uniform priors and equal values: the visits of 8 or more simulations
// spread over several tiles instead of following the first one.
TEST(SearchRun, VisitsSpreadOverTheTiles) {
  for (uint32_t sims : {8u, 32u, 200u}) {
    FakeEvaluator ev(uniform_answer());
    MemoryConsole console;
    Config c = search_config(sims);
    c.exploration_fraction = 0.0f;
    SearchResult r = run_search(Game::reset(), c, ev, console);
    const SearchNode& root = std::get<SearchNode>(r);
    uint32_t visited = 0, most = 0;
    for (const auto& [cell, child] : root.children) {
      visited += child.visit_count > 0;
      most = std::max(most, child.visit_count);
    }
    EXPECT_GE(visited, 3u) << sims;
    EXPECT_LT(most, sims / 2 + 1) << sims;
  }
}

// The request of the first simulation is the position after the tile it took.
TEST(SearchRun, SimulationEvaluatesThePositionOfItsPath) {
  FakeEvaluator ev(uniform_answer());
  ev.keep_requests = true;
  MemoryConsole console;
  const Game g = Game::reset();
  SearchResult r = run_search(g, search_config(1), ev, console);
  const SearchNode& root = std::get<SearchNode>(r);
  ASSERT_EQ(ev.requests.size(), 2u);
  EXPECT_EQ(ev.requests[0], get_representation(g));
  uint32_t visited = 400;
  for (const auto& [cell, c] : root.children) {
    if (c.visit_count == 1) visited = cell;
  }
  ASSERT_LT(visited, 400u);
  Game after = g;
  ASSERT_TRUE(after.apply(visited).ok());
  EXPECT_EQ(ev.requests[1], get_representation(after));
  EXPECT_EQ(root.children.find(visited)->player, 0u);  // the piece is still in progress
  EXPECT_EQ(root.children.find(visited)->children.size(), after.legal_tiles().size());
}

TEST(SearchRun, RootFailureIsWrittenAndReturned) {
  const std::string debug = "PyErr { type: <class 'ValueError'>, value: bad, traceback: None }";
  FakeEvaluator ev(failing_answer(1, debug));
  MemoryConsole console;
  SearchResult r = run_search(Game::reset(), search_config(5), ev, console);
  ASSERT_TRUE(std::holds_alternative<EvalError>(r));
  EXPECT_EQ(std::get<EvalError>(r).debug, debug);
  EXPECT_EQ(console.out, "Error evaluating root node: " + debug + "\n");
  EXPECT_TRUE(console.err.empty());
  EXPECT_EQ(ev.calls, 1);
}

TEST(SearchRun, LeafFailureAborts) {
  const std::string debug =
      "PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }";
  for (int fail_at : {2, 4}) {
    FakeEvaluator ev(failing_answer(fail_at, debug));
    MemoryConsole console;
    try {
      run_search(Game::reset(), search_config(5), ev, console);
      ADD_FAILURE() << "no abort, failure at exchange " << fail_at;
    } catch (const EvalAbort& e) {
      EXPECT_EQ(std::string(e.what()), "called `Result::unwrap()` on an `Err` value: " + debug);
      EXPECT_EQ(e.error.debug, debug);
    }
    EXPECT_EQ(ev.calls, fail_at);
    EXPECT_TRUE(console.out.empty());
  }
}

}  // namespace
