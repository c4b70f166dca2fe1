#include "search_node.h"

#include <gtest/gtest.h>

using namespace velmar::self_play;

namespace {

SearchNode node_with(float prior, uint32_t visits, float value_sum, uint32_t player = 0) {
  SearchNode n;
  n.prior = prior;
  n.visit_count = visits;
  n.value_sum = value_sum;
  n.player = player;
  return n;
}

TEST(NodeFresh, EmptyWithZeroStatistics) {
  const SearchNode n;
  EXPECT_TRUE(n.children.empty());
  EXPECT_EQ(n.children.size(), 0u);
  EXPECT_EQ(n.player, 0u);
  EXPECT_EQ(n.value_sum, 0.0f);
  EXPECT_EQ(n.visit_count, 0u);
  EXPECT_EQ(n.prior, 0.0f);
  EXPECT_EQ(n.children.find(0), nullptr);
}

TEST(NodeChildMap, FindReturnsTheChildUnderItsCell) {
  SearchNode root;
  root.children.insert(7, node_with(0.25f, 1, 0.5f));
  root.children.append(399, node_with(0.75f, 2, 1.5f));
  root.children.insert(0, node_with(0.0f, 3, -1.0f));
  ASSERT_EQ(root.children.size(), 3u);
  const SearchNode& croot = root;
  for (auto [cell, visits] : {std::pair{7u, 1u}, {399u, 2u}, {0u, 3u}}) {
    ASSERT_NE(root.children.find(cell), nullptr) << cell;
    EXPECT_EQ(root.children.find(cell)->visit_count, visits) << cell;
    EXPECT_EQ(croot.children.find(cell), root.children.find(cell)) << cell;
  }
  EXPECT_EQ(root.children.find(8), nullptr);
  EXPECT_EQ(croot.children.find(1), nullptr);
  // The walk yields every child once.
  uint32_t seen = 0;
  for (const auto& [cell, child] : croot.children) seen += child.visit_count;
  EXPECT_EQ(seen, 6u);
}

TEST(NodeChildMap, InsertReplacesTheChildAndItsSubtree) {
  SearchNode root;
  SearchNode old = node_with(0.5f, 9, 4.0f, 2);
  old.children.insert(21, node_with(0.1f, 5, 1.0f));
  old.children.insert(22, node_with(0.9f, 3, 2.0f));
  root.children.insert(3, std::move(old));
  root.children.insert(4, node_with(0.5f, 1, 0.0f));

  root.children.insert(3, node_with(0.125f, 0, 0.0f, 1));
  ASSERT_EQ(root.children.size(), 2u);
  const SearchNode* now = root.children.find(3);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->prior, 0.125f);
  EXPECT_EQ(now->visit_count, 0u);
  EXPECT_EQ(now->value_sum, 0.0f);
  EXPECT_EQ(now->player, 1u);
  EXPECT_TRUE(now->children.empty());
  ASSERT_NE(root.children.find(4), nullptr);
  EXPECT_EQ(root.children.find(4)->visit_count, 1u);
  int under3 = 0;
  for (const auto& [cell, child] : root.children) under3 += cell == 3;
  EXPECT_EQ(under3, 1);
}

}  // namespace
