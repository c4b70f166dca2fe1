#include "game.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <vector>

#include "reference.h"

using namespace velmar;
using ref::candidate_placements;
using ref::sorted;

namespace {

// Every placement covering `cell` according to the reference generator.
std::vector<Placement> reference_at(const std::vector<ref::RefPlacement>& moves, uint32_t cell) {
  std::vector<Placement> out;
  for (const auto& m : moves) {
    if (m.covers(cell)) out.push_back(m.placement);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Compares a tile-move map with the reference generator on the board's own
// blocked bits and corner set: candidates, keys and the set of every cell.
void expect_matches_reference(const Board& b, uint32_t p, const TileMoves& moves) {
  const auto expected = ref::reference_moves(b, p, ref::contact_from_bookkeeping(b, p));
  ASSERT_EQ(candidate_placements(moves), ref::placements_of(expected));
  std::set<uint32_t> keys;
  for (const auto& m : expected) keys.insert(m.begin(), m.end());
  EXPECT_EQ(moves.keys().to_vector(), std::vector<uint32_t>(keys.begin(), keys.end()));
  for (uint32_t x = 0; x < kNumCells; ++x) {
    ASSERT_EQ(sorted(moves.at(x)), reference_at(expected, x)) << "set of cell " << x;
  }
}

Board board_with_corners(uint32_t p, std::vector<uint32_t> corners) {
  Board b;
  b.corners[p].clear();
  for (uint32_t c : corners) b.corners[p].insert(c);
  return b;
}

TEST(NewGame, Fields) {
  const Game g = Game::reset();
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(0));
  EXPECT_EQ(g.current, 0u);
  EXPECT_EQ(std::vector<uint32_t>(g.players.begin(), g.players.end()),
            (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(g.last_sizes, (std::array<uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_TRUE(g.history.empty());
  EXPECT_EQ(g.board.cells, Board().cells);
  EXPECT_EQ(g.get_score(), (std::array<int32_t, 4>{-89, -89, -89, -89}));
  EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.25f}));
}

TEST(NewGame, OpeningCandidatesOfPlayer0) {
  const Game g = Game::reset();
  const auto& moves = g.tile_moves;
  ASSERT_EQ(moves.candidates().size(), 58u);
  // Exactly the orientations whose top-left mask position is a square, at origin 0.
  uint32_t with_top_left = 0;
  for (const Orientation& o : all_orientations()) with_top_left += o.covers_offset(0) ? 1 : 0;
  EXPECT_EQ(with_top_left, 58u);
  for (const CandidatePlacement& c : moves.candidates()) {
    EXPECT_EQ(c.origin, 0);
    EXPECT_TRUE(c.shape().covers_offset(0));
    EXPECT_EQ(c.piece, c.shape().kind);  // positions equal kinds in the full list
  }
  EXPECT_EQ(sorted(g.legal_tiles()),
            (std::vector<uint32_t>{0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}));
  EXPECT_EQ(moves.size(), 15u);
  EXPECT_EQ(moves.at(0).size(), 58u);
  EXPECT_EQ(moves.at(1).size(), 35u);
  EXPECT_EQ(moves.at(21).size(), 31u);
  EXPECT_EQ(moves.at(80), (std::vector<Placement>{{9, 1, 0}}));
  EXPECT_TRUE(moves.at(5).empty());
  EXPECT_TRUE(moves.at(100).empty());
  expect_matches_reference(g.board, 0, moves);
}

class StartingCorner : public ::testing::TestWithParam<uint32_t> {};

TEST_P(StartingCorner, FiftyEightPlacementsAndFifteenTiles) {
  const uint32_t p = GetParam();
  const Board b;
  const TileMoves moves = get_tile_moves(b, p);
  ASSERT_EQ(moves.candidates().size(), 58u);
  const uint32_t corner = kStartCorners[p];
  const int r0 = static_cast<int>(corner / 20), c0 = static_cast<int>(corner % 20);
  std::vector<uint32_t> tiles;
  for (int x = 0; x < 400; ++x) {
    if (std::abs(x / 20 - r0) + std::abs(x % 20 - c0) <= 4) tiles.push_back(x);
  }
  EXPECT_EQ(moves.keys().to_vector(), tiles);
  // Every candidate fills the bounding-box corner lying on the starting corner.
  for (const CandidatePlacement& c : moves.candidates()) {
    const Placement pl = c.placement();
    const Shape& s = all_pieces()[c.shape().kind].variants[pl.variant].shape;
    const uint32_t rows = static_cast<uint32_t>(s.size()), width = c.shape().width;
    const uint32_t sr = r0 == 0 ? 0 : rows - 1, sc = c0 == 0 ? 0 : width - 1;
    EXPECT_TRUE(s[sr][sc]) << ref::shape_string(s);
    EXPECT_EQ(pl.origin, corner - sr * 20 - sc);
  }
  EXPECT_EQ(moves.at(corner).size(), 58u);
  expect_matches_reference(b, p, moves);
}

INSTANTIATE_TEST_SUITE_P(AllPlayers, StartingCorner, ::testing::Range(0u, kNumPlayers));

TEST(StartingCorner, TopRightTilesAsListed) {
  const TileMoves moves = get_tile_moves(Board(), 1);
  EXPECT_EQ(moves.keys().to_vector(),
            (std::vector<uint32_t>{15, 16, 17, 18, 19, 36, 37, 38, 39, 57, 58, 59, 78, 79, 99}));
}

struct EdgeCornerCase {
  uint32_t corner;
  bool first_column;  // whether the allowed squares are the first or the last column
};

class EdgeCorner : public ::testing::TestWithParam<EdgeCornerCase> {};

TEST_P(EdgeCorner, OnlySquaresOfTheMatchingColumnReachTheCorner) {
  const auto [corner, first_column] = GetParam();
  const Board b = board_with_corners(0, {corner});
  const TileMoves moves = get_tile_moves(b, 0);
  uint32_t expected = 0;
  for (const Orientation& o : all_orientations()) {
    for (uint32_t i = 0; i < o.size; ++i) {
      const uint32_t col = o.offsets[i] % 20;
      expected += (first_column ? col == 0 : col == o.width - 1u) ? 1 : 0;
    }
  }
  // Away from the top and bottom rows every such square gives a placement.
  if (corner / 20 >= 4 && corner / 20 <= 15) {
    EXPECT_EQ(moves.candidates().size(), expected);
  }
  for (const CandidatePlacement& c : moves.candidates()) {
    ASSERT_TRUE(c.covers(corner));
    const uint32_t col = (corner - c.origin) % 20;
    EXPECT_EQ(col, first_column ? 0u : c.shape().width - 1u);
    EXPECT_LE(c.origin % 20 + c.shape().width, 20u);
  }
  expect_matches_reference(b, 0, moves);
}

INSTANTIATE_TEST_SUITE_P(Columns, EdgeCorner,
                         ::testing::Values(EdgeCornerCase{100, true}, EdgeCornerCase{119, false},
                                           EdgeCornerCase{380, true}, EdgeCornerCase{39, false}));

TEST(MoveGeneration, PlacementTouchingTwoCornersIsOneMember) {
  const Board b = board_with_corners(0, {100, 122, 144});
  const TileMoves moves = get_tile_moves(b, 0);
  uint32_t touching_two = 0;
  for (const CandidatePlacement& c : moves.candidates()) {
    touching_two += (c.covers(100) + c.covers(122) + c.covers(144)) >= 2 ? 1 : 0;
  }
  EXPECT_GT(touching_two, 0u);
  auto all = candidate_placements(moves);
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "duplicate candidate";
  for (uint32_t x : {100u, 122u, 144u, 121u, 101u}) {
    auto set = sorted(moves.at(x));
    EXPECT_EQ(std::adjacent_find(set.begin(), set.end()), set.end()) << "cell " << x;
  }
  expect_matches_reference(b, 0, moves);
}

TEST(MoveGeneration, OwnEdgeBlocksOthersEdgesDoNot) {
  Board b;
  for (uint32_t x : {0u, 1u, 21u}) b.place_tile(x, 0);
  b.place_tile(60, 1);
  b.place_tile(63, 1);
  ASSERT_EQ(b.corners[0].to_vector(), (std::vector<uint32_t>{40, 42}));
  const TileMoves moves = get_tile_moves(b, 0);
  ASSERT_FALSE(moves.empty());
  for (uint32_t x : {0u, 1u, 21u, 60u, 63u, 2u, 20u, 22u, 41u}) {
    EXPECT_FALSE(moves.contains(x)) << "cell " << x;
    EXPECT_TRUE(moves.at(x).empty()) << "cell " << x;
  }
  // Next to player 1's squares only: still available to player 0.
  for (uint32_t x : {43u, 61u, 62u, 64u}) EXPECT_TRUE(moves.contains(x)) << "cell " << x;
  // Cell 40 admits only the single square.
  EXPECT_EQ(moves.at(40), (std::vector<Placement>{{0, 0, 40}}));
  expect_matches_reference(b, 0, moves);
}

TEST(MoveGeneration, PiecePositionsFollowTheRemainingList) {
  Board b;
  b.pieces[0].erase(0);  // every kind moves down one position
  b.pieces[0].erase(8);  // kind 9 removed
  const TileMoves moves = get_tile_moves(b, 0);
  for (const CandidatePlacement& c : moves.candidates()) {
    EXPECT_EQ(b.pieces[0].kind(c.piece), c.shape().kind);
    EXPECT_NE(c.shape().kind, 0u);
    EXPECT_NE(c.shape().kind, 9u);
  }
  EXPECT_FALSE(moves.contains(80));
  EXPECT_EQ(moves.candidates().size(), 58u - 1u - 2u);  // both straight fives start at 0
  expect_matches_reference(b, 0, moves);
}

TEST(MoveGeneration, NoCornerOrNoPiecesMeansNoPlacement) {
  Board b = board_with_corners(2, {});
  EXPECT_TRUE(get_tile_moves(b, 2).empty());
  Board c;
  while (!c.pieces[3].empty()) c.pieces[3].erase(0);
  EXPECT_TRUE(get_tile_moves(c, 3).empty());
  EXPECT_THROW(get_tile_moves(Board(), 4), InvariantError);
}

TEST(GameQueries, OverGameHasNoPlayerAndNoTiles) {
  Game g = Game::reset();
  g.players.clear();
  g.tile_moves = TileMoves();
  g.current = 0;
  EXPECT_EQ(g.current_player(), std::nullopt);
  EXPECT_TRUE(g.legal_tiles().empty());
}

TEST(GameQueries, CurrentPlayerFollowsThePositionInTurnOrder) {
  Game g = Game::reset();
  g.players = {1, 3};
  g.current = 1;
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(3));
  g.current = 2;
  EXPECT_EQ(g.current_player(), std::nullopt);
}

TEST(GameCopy, ApplyOnACopyLeavesTheOriginal) {
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0).ok());
  const Game saved = g;
  Game copy = g;
  ASSERT_TRUE(copy.apply(80).ok());
  for (uint32_t x : {20u, 40u, 60u}) ASSERT_TRUE(copy.apply(x).ok());
  EXPECT_EQ(copy.current_player(), std::optional<uint32_t>(1));
  EXPECT_TRUE(ref::same_game(g, saved));
  EXPECT_FALSE(ref::same_game(g, copy));
  // And the original still plays on by itself.
  ASSERT_TRUE(g.apply(1).ok());
  EXPECT_EQ(copy.board.cells[1], 0x10);
}

}  // namespace
