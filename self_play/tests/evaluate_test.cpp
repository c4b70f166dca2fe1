#include "evaluate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "fake_evaluator.h"

using namespace velmar;
using namespace velmar::self_play;
using namespace velmar::self_play::fakes;

namespace {

// Player 0 has taken cells 0 and 80 of a straight five: 20, 40 and 60 are legal.
Game three_legal_cells() {
  Game g = Game::reset();
  EXPECT_TRUE(g.apply(0).ok());
  EXPECT_TRUE(g.apply(80).ok());
  EXPECT_EQ(sorted(g.legal_tiles()), (std::vector<uint32_t>{20, 40, 60}));
  return g;
}

// Players 0 and 1 have put down their single squares: player 2 is to move,
// with legal cells on both sides of 350.
Game player_two_to_move() {
  Game g = Game::reset();
  EXPECT_TRUE(g.apply(0, 0).ok());
  EXPECT_TRUE(g.apply(19, 0).ok());
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(2));
  return g;
}

SearchNode touched_node() {
  SearchNode n;
  n.player = 3;
  n.value_sum = 1.5f;
  n.visit_count = 4;
  SearchNode c;
  c.prior = 0.5f;
  c.visit_count = 2;
  n.children.insert(77, std::move(c));
  return n;
}

void expect_untouched(const SearchNode& n) {
  EXPECT_EQ(n.player, 3u);
  EXPECT_EQ(n.value_sum, 1.5f);
  EXPECT_EQ(n.visit_count, 4u);
  ASSERT_EQ(n.children.size(), 1u);
  ASSERT_NE(n.children.find(77), nullptr);
  EXPECT_EQ(n.children.find(77)->prior, 0.5f);
  EXPECT_EQ(n.children.find(77)->visit_count, 2u);
}

std::string invariant_text(SearchNode& node, const Game& game, FakeEvaluator& ev) {
  Reply reply;
  try {
    evaluate(node, game, ev, reply);
  } catch (const InvariantError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(EvalFinished, PayoffWithoutExchangeAndNodeUntouched) {
  Game g = custom_game({1}, {1});
  ASSERT_TRUE(g.apply(19).ok());
  ASSERT_TRUE(g.players.empty());
  FakeEvaluator ev(uniform_answer());
  SearchNode n = touched_node();
  Reply reply;
  EvalResult result = evaluate(n, g, ev, reply);
  ASSERT_TRUE(std::holds_alternative<Values>(result));
  EXPECT_EQ(std::get<Values>(result), g.get_payoff());
  EXPECT_EQ(std::get<Values>(result), (Values{0.0f, 1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(ev.calls, 0);
  expect_untouched(n);
}

TEST(EvalExpand, SendsTheRepresentationAndChildrenAreTheLegalTiles) {
  for (const Game& g : {Game::reset(), three_legal_cells(), player_two_to_move()}) {
    FakeEvaluator ev(uniform_answer({0.5f, -1.0f, 0.25f, 2.0f}));
    ev.keep_requests = true;
    SearchNode n;
    Reply reply;
    EvalResult result = evaluate(n, g, ev, reply);
    ASSERT_TRUE(std::holds_alternative<Values>(result));
    // Values are passed on in seat order whoever is to move.
    EXPECT_EQ(std::get<Values>(result), (Values{0.5f, -1.0f, 0.25f, 2.0f}));
    ASSERT_EQ(ev.calls, 1);
    EXPECT_EQ(ev.requests[0], get_representation(g));
    EXPECT_EQ(n.player, *g.current_player());
    EXPECT_EQ(sorted(child_cells(n)), sorted(g.legal_tiles()));
    const float share = 1.0f / static_cast<float>(n.children.size());
    for (const auto& [cell, child] : n.children) {
      EXPECT_EQ(child.prior, share) << cell;
      EXPECT_EQ(child.player, 0u);
      EXPECT_EQ(child.visit_count, 0u);
      EXPECT_EQ(child.value_sum, 0.0f);
      EXPECT_TRUE(child.children.empty());
    }
  }
}

TEST(EvalExpand, ThreeLegalCellsGetAThirdEach) {
  const Game g = three_legal_cells();
  FakeEvaluator ev(fixed_answer(std::vector<float>(400, 0.0f), {0, 0, 0, 0}));
  SearchNode n;
  Reply reply;
  evaluate(n, g, ev, reply);
  ASSERT_EQ(n.children.size(), 3u);
  for (uint32_t x : {20u, 40u, 60u}) {
    ASSERT_NE(n.children.find(x), nullptr) << x;
    EXPECT_EQ(n.children.find(x)->prior, 1.0f / 3.0f) << x;
  }
}

// Priors are the softmax of the logits over the legal cells, whatever the
// logits of the other cells and however large or small the legal ones are.
struct LogitCase {
  const char* name;
  float l20, l40, l60;
};

class EvalSoftmax : public ::testing::TestWithParam<LogitCase> {};

TEST_P(EvalSoftmax, MatchesTheSoftmaxOverLegalCells) {
  const LogitCase& c = GetParam();
  const Game g = three_legal_cells();
  std::vector<float> policy(400, 500.0f);  // illegal cells must not count
  policy[20] = c.l20;
  policy[40] = c.l40;
  policy[60] = c.l60;
  FakeEvaluator ev(fixed_answer(policy, {0, 0, 0, 0}));
  SearchNode n;
  Reply reply;
  evaluate(n, g, ev, reply);
  ASSERT_EQ(n.children.size(), 3u);
  const double top = std::max({double{c.l20}, double{c.l40}, double{c.l60}});
  const double w20 = std::exp(c.l20 - top), w40 = std::exp(c.l40 - top),
               w60 = std::exp(c.l60 - top);
  const double sum = w20 + w40 + w60;
  float total = 0.0f;
  for (auto [x, w] : {std::pair{20u, w20}, {40u, w40}, {60u, w60}}) {
    const float prior = n.children.find(x)->prior;
    ASSERT_FALSE(std::isnan(prior)) << x;
    EXPECT_NEAR(prior, w / sum, 1e-6 + 1e-6 * w / sum) << x;
    total += prior;
  }
  EXPECT_NEAR(total, 1.0f, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(
    EvalLogits, EvalSoftmax,
    ::testing::Values(LogitCase{"zeros", 0.0f, 0.0f, 0.0f}, LogitCase{"ordinary", 1.0f, 2.0f, 0.5f},
                      LogitCase{"negative", -3.0f, -0.25f, -7.5f},
                      LogitCase{"all_plus_1000", 1000.0f, 1000.0f, 1000.0f},
                      LogitCase{"all_minus_1000", -1000.0f, -1000.0f, -1000.0f},
                      LogitCase{"large_spread", 300.0f, 299.0f, 301.5f},
                      LogitCase{"one_very_negative", 0.0f, -200.0f, 1.0f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EvalExpand, VeryNegativeLogitIsStillAChild) {
  const Game g = three_legal_cells();
  std::vector<float> policy(400, 0.0f);
  policy[40] = -200.0f;
  FakeEvaluator ev(fixed_answer(policy, {0, 0, 0, 0}));
  SearchNode n;
  Reply reply;
  evaluate(n, g, ev, reply);
  ASSERT_EQ(n.children.size(), 3u);
  ASSERT_NE(n.children.find(40), nullptr);
  EXPECT_LT(n.children.find(40)->prior, 1e-30f);
  EXPECT_GE(n.children.find(40)->prior, 0.0f);
  EXPECT_EQ(n.children.find(20)->prior, 0.5f);
  EXPECT_EQ(n.children.find(60)->prior, 0.5f);
}

TEST(EvalShortPolicy, CellsBeyondThePolicyGetNoChild) {
  const Game g = player_two_to_move();
  const std::vector<uint32_t> legal = g.legal_tiles();
  std::set<uint32_t> below;
  for (uint32_t x : legal) {
    if (x < 350) below.insert(x);
  }
  ASSERT_FALSE(below.empty());
  ASSERT_LT(below.size(), legal.size());

  FakeEvaluator ev(fixed_answer(std::vector<float>(350, 0.0f), {0, 0, 0, 0}));
  SearchNode n;
  Reply reply;
  evaluate(n, g, ev, reply);
  const std::vector<uint32_t> cells = child_cells(n);
  EXPECT_EQ(std::set<uint32_t>(cells.begin(), cells.end()), below);
  for (const auto& [cell, child] : n.children) {
    EXPECT_EQ(child.prior, 1.0f / static_cast<float>(below.size()));
  }

  // A policy covering no legal cell: the player is still written.
  FakeEvaluator none(fixed_answer(std::vector<float>(300, 0.0f), {0, 0, 0, 0}));
  SearchNode m;
  evaluate(m, g, none, reply);
  EXPECT_EQ(m.player, 2u);
  EXPECT_TRUE(m.children.empty());
}

struct BadReplyCase {
  std::size_t policy_len;
  std::size_t values_len;
  const char* message;
};

class EvalBadReply : public ::testing::TestWithParam<BadReplyCase> {};

TEST_P(EvalBadReply, InvariantFailure) {
  const BadReplyCase& c = GetParam();
  FakeEvaluator ev(
      fixed_answer(std::vector<float>(c.policy_len, 0.0f), std::vector<float>(c.values_len, 0.5f)));
  SearchNode n;
  EXPECT_EQ(invariant_text(n, Game::reset(), ev), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    EvalLengths, EvalBadReply,
    ::testing::Values(
        BadReplyCase{401, 4, "index out of bounds: the len is 400 but the index is 400"},
        BadReplyCase{500, 4, "index out of bounds: the len is 400 but the index is 400"},
        BadReplyCase{400, 3, "index out of bounds: the len is 3 but the index is 3"},
        BadReplyCase{400, 0, "index out of bounds: the len is 0 but the index is 0"}));

TEST(EvalValues, ExtraValuesAreAccepted) {
  FakeEvaluator ev(fixed_answer(std::vector<float>(400, 0.0f), {6, 5, 4, 3, 2, 1}));
  SearchNode n;
  Reply reply;
  EvalResult result = evaluate(n, Game::reset(), ev, reply);
  ASSERT_TRUE(std::holds_alternative<Values>(result));
  EXPECT_EQ(std::get<Values>(result), (Values{6, 5, 4, 3}));
  EXPECT_EQ(n.children.size(), 15u);
}

TEST(EvalFailure, ErrorReturnedAndNodeUntouched) {
  struct Origin : ErrorOrigin {};
  auto origin = std::make_shared<const Origin>();
  FakeEvaluator ev([&](const Representation&, Reply& reply) -> std::optional<EvalError> {
    reply.policy.assign(400, 0.0f);  // a partly written reply must not leak into the node
    reply.values.assign(4, 1.0f);
    return EvalError{"PyErr { type: <class 'RuntimeError'>, value: boom, traceback: None }",
                     origin};
  });
  SearchNode n = touched_node();
  Reply reply;
  EvalResult result = evaluate(n, Game::reset(), ev, reply);
  ASSERT_TRUE(std::holds_alternative<EvalError>(result));
  EXPECT_EQ(std::get<EvalError>(result).debug,
            "PyErr { type: <class 'RuntimeError'>, value: boom, traceback: None }");
  EXPECT_EQ(std::get<EvalError>(result).origin, origin);
  EXPECT_EQ(ev.calls, 1);
  expect_untouched(n);
}

TEST(EvalReexpand, ExistingChildrenAreReplacedWithTheirSubtrees) {
  const Game g = Game::reset();
  FakeEvaluator ev(uniform_answer());
  SearchNode n;
  Reply reply;
  evaluate(n, g, ev, reply);
  ASSERT_EQ(n.children.size(), 15u);
  for (auto& [cell, child] : n.children) {
    child.visit_count = 3;
    child.value_sum = 2.0f;
    child.children.insert(cell + 1, SearchNode{});
  }
  std::vector<float> policy(400, 0.0f);
  policy[0] = 1.0f;
  FakeEvaluator again(fixed_answer(policy, {0, 0, 0, 0}));
  evaluate(n, g, again, reply);
  EXPECT_EQ(sorted(child_cells(n)), sorted(g.legal_tiles()));
  const double big = std::exp(1.0) / (std::exp(1.0) + 14.0);
  for (const auto& [cell, child] : n.children) {
    EXPECT_EQ(child.visit_count, 0u) << cell;
    EXPECT_EQ(child.value_sum, 0.0f) << cell;
    EXPECT_TRUE(child.children.empty()) << cell;
    EXPECT_NEAR(child.prior, cell == 0 ? big : (1.0 - big) / 14.0, 1e-6) << cell;
  }
}

// The children are shuffled: the walk order differs between expansions of
// the same position and is not simply increasing.
TEST(EvalOrder, WalkOrderVariesBetweenExpansions) {
  const Game g = Game::reset();
  FakeEvaluator ev(uniform_answer());
  Reply reply;
  std::set<std::vector<uint32_t>> orders;
  int increasing = 0;
  for (int i = 0; i < 20; ++i) {
    SearchNode n;
    evaluate(n, g, ev, reply);
    const std::vector<uint32_t> cells = child_cells(n);
    orders.insert(cells);
    increasing += cells == sorted(cells);
  }
  EXPECT_GT(orders.size(), 10u);
  EXPECT_LT(increasing, 3);
}

}  // namespace
