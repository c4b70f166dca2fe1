// The Gumbel search worked out by hand: the halving schedule, which root
// children survive each round, the winner and the improved policy.
#include "gumbel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "search.h"

using namespace velmar::self_play;

namespace {

struct ScheduleCase {
  uint32_t m, n;
  std::vector<uint32_t> want;
};

class HalvingSchedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(HalvingSchedule, ConsideredVisits) {
  EXPECT_EQ(considered_visits(GetParam().m, GetParam().n), GetParam().want);
}

// m = 4, n = 8: two rounds (log2 4); round one gives each of the 4 one visit
// (8 / (2 * 4) = 1), round two each of the best 2 two more (8 / (2 * 2)).
// m = 3, n = 8: 8 / (2 * 3) = 1 visit each, then 2 each for the best two,
// then again for them until 8. m = 16, n = 16: one visit each (16 / 64 < 1).
INSTANTIATE_TEST_SUITE_P(
    Schedules, HalvingSchedule,
    ::testing::Values(ScheduleCase{4, 8, {0, 0, 0, 0, 1, 1, 2, 2}},
                      ScheduleCase{3, 8, {0, 0, 0, 1, 1, 2, 2, 3}},
                      ScheduleCase{4, 16, {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}},
                      ScheduleCase{16, 16, std::vector<uint32_t>(16, 0)},
                      ScheduleCase{1, 3, {0, 1, 2}}, ScheduleCase{2, 4, {0, 0, 1, 1}}));

SearchNode leaf(float prior) {
  SearchNode n;
  n.prior = prior;
  return n;
}

// Root worth 0.5 with children 10, 11, 12, 13 (priors 0.4, 0.3, 0.2, 0.1),
// each visit of which is worth 0.2, 0.6, 0.5 and 0.9 to the root's player;
// no Gumbel noise (g = 0), m = 4, 8 simulations.
TEST(GumbelRoot, SequentialHalvingByHand) {
  SearchNode root;
  root.value = 0.5f;
  root.visit_count = 1;
  const std::map<uint32_t, float> worth = {{10, 0.2f}, {11, 0.6f}, {12, 0.5f}, {13, 0.9f}};
  root.children.append(10, leaf(0.4f));
  root.children.append(11, leaf(0.3f));
  root.children.append(12, leaf(0.2f));
  root.children.append(13, leaf(0.1f));
  const std::vector<float> g = gumbel_draws(root, false);
  ASSERT_EQ(g, std::vector<float>(4, 0.0f));
  const std::vector<uint32_t> schedule = considered_visits(4, 8);
  std::vector<uint32_t> visited;
  for (uint32_t considered : schedule) {
    const uint32_t cell = halving_child(root, g, considered);
    visited.push_back(cell);
    const float v = worth.at(cell);
    backpropagate(root, {cell}, {v, 0.0f, 0.0f, 0.0f});
  }
  // Round one: every unvisited child has the same completed Q, so they are
  // taken by prior: 10, 11, 12, 13. Round two, among those with 1 visit, by
  // log prior + (50 + 1) * Q: 13 (-2.303 + 45.9 = 43.60), 11 (-1.204 + 30.6 =
  // 29.40), then 12 (23.89) and 10 (9.28) are dropped; with 2 visits each,
  // 13 (-2.303 + 52 * 0.9) before 11 (-1.204 + 52 * 0.6).
  EXPECT_EQ(visited, (std::vector<uint32_t>{10, 11, 12, 13, 13, 11, 13, 11}));
  // Winner: among the most visited (11 and 13, 3 each) the best score, 13.
  EXPECT_EQ(halving_child(root, g, 3), 13u);
  // Improved policy: softmax(log prior + (50 + 3) * Q).
  const float logits[] = {std::log(0.4f) + 53.0f * 0.2f, std::log(0.3f) + 53.0f * 0.6f,
                          std::log(0.2f) + 53.0f * 0.5f, std::log(0.1f) + 53.0f * 0.9f};
  double sum = 0.0;
  for (float l : logits) sum += std::exp(static_cast<double>(l - logits[3]));
  const std::vector<float> policy = improved_policy(root);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(policy[i], std::exp(static_cast<double>(logits[i] - logits[3])) / sum, 1e-6);
  }
  EXPECT_GT(policy[3], 0.999f);
}

// Completed Q of an unvisited child: the mixed value
// (v + sum N * sum(prior * Q) / sum(prior)) / (sum N + 1) over the visited ones.
TEST(GumbelCompletedQ, MixedValueAndInteriorChoice) {
  SearchNode node;
  node.value = 0.4f;
  SearchNode a = leaf(0.5f), b = leaf(0.3f), c = leaf(0.2f);
  a.visit_count = 2;
  a.value_sum = 1.2f;  // Q 0.6
  b.visit_count = 1;
  b.value_sum = 0.1f;  // Q 0.1
  node.children.append(1, a);
  node.children.append(2, b);
  node.children.append(3, c);
  // weighted Q = (0.5 * 0.6 + 0.3 * 0.1) / 0.8 = 0.4125; mixed = (0.4 + 3 * 0.4125) / 4
  // = 0.409375; scale 50 + 2 = 52.
  const std::vector<float> sigma = completed_sigma(node);
  EXPECT_NEAR(sigma[0], 52.0f * 0.6f, 1e-4f);
  EXPECT_NEAR(sigma[1], 52.0f * 0.1f, 1e-4f);
  EXPECT_NEAR(sigma[2], 52.0f * 0.409375f, 1e-4f);
  // Interior: improved policy minus N / (1 + 3): a's 31.2 - 0.69 = 30.5 logit
  // dominates (pi'(a) ~ 1, score 1 - 0.5 = 0.5) against c (pi' ~ e^-10.5, score ~ 0) and
  // b (-0.25).
  EXPECT_EQ(gumbel_interior_child(node), 1u);
  // Where every completed Q is the same (here all 0.4), pi' is the prior
  // renormalised: 5/7 and 2/7 over a (prior 0.5) and c (0.2). Unvisited, a's
  // 5/7 wins; after 40 visits a scores 5/7 - 40/41 < 0 and c 2/7.
  SearchNode flat;
  flat.value = 0.4f;
  flat.children.append(1, leaf(0.5f));
  flat.children.append(3, leaf(0.2f));
  EXPECT_EQ(gumbel_interior_child(flat), 1u);
  flat.children.find(1)->visit_count = 40;
  flat.children.find(1)->value_sum = 16.0f;
  EXPECT_NEAR(improved_policy(flat)[0], 5.0f / 7.0f, 1e-5f);
  EXPECT_EQ(gumbel_interior_child(flat), 3u);
}

}  // namespace
