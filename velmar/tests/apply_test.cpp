#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <vector>

#include "game.h"
#include "reference.h"

using namespace velmar;
using ref::same_game;
using ref::sorted;

namespace {

std::vector<uint32_t> players_of(const Game& g) {
  return {g.players.begin(), g.players.end()};
}

std::vector<uint32_t> kinds_of(const PieceList& list) {
  std::vector<uint32_t> out;
  for (std::size_t i = 0; i < list.size(); ++i) out.push_back(list.kind(i));
  return out;
}

std::vector<uint32_t> all_kinds_but(std::vector<uint32_t> removed) {
  std::vector<uint32_t> out;
  for (uint32_t k = 0; k < kNumKinds; ++k) {
    if (std::find(removed.begin(), removed.end(), k) == removed.end()) out.push_back(k);
  }
  return out;
}

// Leaves only kind `keep` in player p's list and regenerates the candidates.
void keep_only(Game& g, uint32_t p, uint32_t keep) {
  while (g.board.pieces[p].size() > 1) g.board.pieces[p].erase(g.board.pieces[p].kind(0) == keep);
  g.tile_moves = get_tile_moves(g.board, g.players[g.current]);
}

class StraightFive : public ::testing::TestWithParam<std::array<uint32_t, 3>> {};

TEST_P(StraightFive, CompletedByItsLastTileInAnyOrder) {
  Game g = Game::reset();
  std::map<uint32_t, std::vector<Placement>> before;
  for (uint32_t x : g.legal_tiles()) before[x] = sorted(g.tile_moves.at(x));

  ASSERT_TRUE(g.apply(0).ok());
  EXPECT_EQ(g.board.cells[0], 0xF1);
  EXPECT_EQ(g.board.cells[20], 0x10);  // blocked for player 0, still the piece's next cell
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(0));
  EXPECT_EQ(g.board.pieces[0].size(), 21u);
  EXPECT_EQ(sorted(g.legal_tiles()),
            (std::vector<uint32_t>{1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80}));
  for (uint32_t x : g.legal_tiles()) EXPECT_EQ(sorted(g.tile_moves.at(x)), before[x]) << x;

  ASSERT_TRUE(g.apply(80).ok());
  EXPECT_EQ(sorted(g.legal_tiles()), (std::vector<uint32_t>{20, 40, 60}));
  for (uint32_t x : {20u, 40u, 60u})
    EXPECT_EQ(g.tile_moves.at(x), (std::vector<Placement>{{9, 1, 0}}));

  const auto order = GetParam();
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(g.current_player(), std::optional<uint32_t>(0));
    ASSERT_TRUE(g.apply(order[i]).ok());
  }
  EXPECT_EQ(kinds_of(g.board.pieces[0]), all_kinds_but({9}));
  EXPECT_EQ(g.last_sizes, (std::array<uint32_t, 4>{5, 0, 0, 0}));
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
  EXPECT_EQ(g.current, 1u);
  EXPECT_EQ(g.tile_moves.candidates().size(), 58u);
  EXPECT_TRUE(g.tile_moves.keys() == get_tile_moves(g.board, 1).keys());
  for (uint32_t x : {0u, 20u, 40u, 60u, 80u}) EXPECT_EQ(g.board.cells[x], 0xF1);
  std::vector<HistoryEntry> expected = {{0, 0}, {0, 80}};
  for (uint32_t x : order) expected.push_back({0, static_cast<int32_t>(x)});
  EXPECT_EQ(std::vector<HistoryEntry>(g.history.begin(), g.history.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, StraightFive,
    ::testing::Values(std::array<uint32_t, 3>{20, 40, 60}, std::array<uint32_t, 3>{20, 60, 40},
                      std::array<uint32_t, 3>{40, 20, 60}, std::array<uint32_t, 3>{40, 60, 20},
                      std::array<uint32_t, 3>{60, 20, 40}, std::array<uint32_t, 3>{60, 40, 20}));

struct RejectCase {
  std::vector<uint32_t> taken;
  uint32_t tile;
};

class RejectedTile : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectedTile, ChangesNothing) {
  const auto& c = GetParam();
  Game g = Game::reset();
  for (uint32_t x : c.taken) ASSERT_TRUE(g.apply(x).ok());
  const Game saved = g;
  EXPECT_EQ(g.apply(c.tile).error, kInvalidMove);
  EXPECT_EQ(g.apply(c.tile, 0).error, kInvalidMove);
  EXPECT_TRUE(same_game(g, saved));
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedTile,
                         ::testing::Values(RejectCase{{}, 100}, RejectCase{{}, 5},
                                           RejectCase{{}, 19}, RejectCase{{0}, 0},
                                           RejectCase{{0}, 100}, RejectCase{{0, 80}, 1},
                                           RejectCase{{0, 80}, 80}, RejectCase{{0, 80, 40}, 0},
                                           // Player 1 to move: player 0's cells are not its keys.
                                           RejectCase{{0, 80, 20, 40, 60}, 1}));

TEST(Apply, NoCurrentPlayerWhenOver) {
  Game g = Game::reset();
  g.players.clear();
  g.tile_moves = TileMoves();
  const Game saved = g;
  EXPECT_EQ(g.apply(0).error, kNoCurrentPlayer);
  EXPECT_EQ(g.apply(0, 0).error, kNoCurrentPlayer);
  EXPECT_EQ(g.apply(400).error, kNoCurrentPlayer);
  EXPECT_TRUE(same_game(g, saved));
}

TEST(Apply, SquareInsideTheP) {
  Game g = Game::reset();
  for (uint32_t x : {0u, 1u, 20u, 21u}) ASSERT_TRUE(g.apply(x).ok());
  // The 2 x 2 square covers exactly the tiles taken, yet the P still extends them.
  const auto cands = ref::candidate_placements(g.tile_moves);
  EXPECT_NE(std::find(cands.begin(), cands.end(), Placement{7, 0, 0}), cands.end());
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(0));
  EXPECT_EQ(sorted(g.legal_tiles()), (std::vector<uint32_t>{2, 22, 40, 41}));
  // Taking any further key completes a P of five.
  ASSERT_TRUE(g.apply(41).ok());
  EXPECT_EQ(kinds_of(g.board.pieces[0]), all_kinds_but({12}));
  EXPECT_EQ(g.last_sizes[0], 5u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
}

TEST(Apply, SingleSquareCompletesOnlyWhereNothingLargerFits) {
  Game g = Game::reset();
  g.board.place_tile(1, 1);
  g.board.place_tile(20, 1);
  g.board.corners[0].insert(200);
  g.tile_moves = get_tile_moves(g.board, 0);
  EXPECT_EQ(g.tile_moves.at(0), (std::vector<Placement>{{0, 0, 0}}));

  Game other = g;
  ASSERT_TRUE(other.apply(200).ok());  // the single square at 200 is inside larger candidates
  EXPECT_EQ(other.current_player(), std::optional<uint32_t>(0));
  EXPECT_EQ(other.board.pieces[0].size(), 21u);

  ASSERT_TRUE(g.apply(0).ok());
  EXPECT_EQ(kinds_of(g.board.pieces[0]), all_kinds_but({0}));
  EXPECT_EQ(g.last_sizes[0], 1u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
}

TEST(Apply, ExplicitPieceCompletesAtOnce) {
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0, 9).ok());
  EXPECT_EQ(kinds_of(g.board.pieces[0]), all_kinds_but({9}));
  EXPECT_EQ(g.last_sizes[0], 5u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
  const auto covered = std::count_if(g.board.cells.begin(), g.board.cells.end(),
                                     [](uint8_t b) { return (b & 0x0F) != 0; });
  EXPECT_EQ(covered, 1);
  EXPECT_EQ(g.history.size(), 1u);
  EXPECT_EQ(g.get_score()[0], -88);
}

TEST(Apply, ExplicitPieceIsAPositionInTheRemainingList) {
  Game g = Game::reset();
  g.board.pieces[0].erase(3);
  g.tile_moves = get_tile_moves(g.board, 0);
  ASSERT_TRUE(g.apply(0).ok());
  ASSERT_TRUE(g.apply(1, 3).ok());  // position 3 is now kind 4
  EXPECT_EQ(kinds_of(g.board.pieces[0]), all_kinds_but({3, 4}));
  EXPECT_EQ(g.last_sizes[0], 4u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
  EXPECT_EQ(g.board.cells[1], 0xF1);
  EXPECT_EQ(g.board.cells[2], 0x10);
}

TEST(Apply, InvariantFailures) {
  Game g = Game::reset();
  EXPECT_THROW(g.apply(0, 21), InvariantError);
  Game h = Game::reset();
  h.board.pieces[0].erase(0);
  h.tile_moves = get_tile_moves(h.board, 0);
  EXPECT_THROW(h.apply(0, 20), InvariantError);
  Game k = Game::reset();
  EXPECT_THROW(k.apply(400), InvariantError);
  EXPECT_THROW(k.apply(1000), InvariantError);
}

TEST(TurnOrder, PlayersWithoutPlacementLeave) {
  Game g = Game::reset();
  g.board.corners[1].clear();
  ASSERT_TRUE(g.apply(0, 0).ok());
  EXPECT_EQ(players_of(g), (std::vector<uint32_t>{0, 2, 3}));
  EXPECT_EQ(g.current, 1u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(2));
  EXPECT_EQ(g.tile_moves.candidates().size(), 58u);
  EXPECT_TRUE(g.tile_moves.contains(399));
  EXPECT_EQ(g.board.pieces[1].size(), 21u);

  // The last entry leaves; the first entry is examined next.
  g.board.corners[3].clear();
  ASSERT_TRUE(g.apply(399, 0).ok());
  EXPECT_EQ(players_of(g), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(g.current, 0u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(0));
  EXPECT_EQ(g.tile_moves.keys().to_vector(), get_tile_moves(g.board, 0).keys().to_vector());
  EXPECT_TRUE(g.tile_moves.contains(21));

  // Player 0 and 2 alternate.
  ASSERT_TRUE(g.apply(21, 0).ok());
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(2));
  EXPECT_EQ(g.current, 1u);
}

TEST(TurnOrder, MoverPlaysAgainWhenEveryoneElseLeaves) {
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0, 0).ok());
  ASSERT_EQ(g.current_player(), std::optional<uint32_t>(1));
  g.board.corners[2].clear();
  g.board.corners[3].clear();
  g.board.corners[0].clear();
  ASSERT_TRUE(g.apply(19, 0).ok());
  EXPECT_EQ(players_of(g), (std::vector<uint32_t>{1}));
  EXPECT_EQ(g.current, 0u);
  EXPECT_EQ(g.current_player(), std::optional<uint32_t>(1));
  EXPECT_TRUE(g.tile_moves.contains(38));
  EXPECT_EQ(g.advance_player(), std::optional<uint32_t>(1));
}

TEST(TurnOrder, LastPlayerLeavingEndsTheGame) {
  Game g = Game::reset();
  for (uint32_t p : {1u, 2u, 3u}) g.board.corners[p].clear();
  keep_only(g, 0, 0);
  ASSERT_EQ(g.tile_moves.candidates().size(), 1u);
  ASSERT_TRUE(g.apply(0).ok());
  EXPECT_TRUE(g.players.empty());
  EXPECT_EQ(g.current_player(), std::nullopt);
  EXPECT_TRUE(g.legal_tiles().empty());
  EXPECT_TRUE(g.tile_moves.empty());
  EXPECT_TRUE(g.tile_moves.candidates().empty());
  EXPECT_EQ(g.last_sizes[0], 1u);
  EXPECT_EQ(g.get_score()[0], 1 - 89 + 20);
  const Game saved = g;
  EXPECT_EQ(g.apply(5).error, kNoCurrentPlayer);
  EXPECT_TRUE(same_game(g, saved));
}

TEST(TurnOrder, AdvanceWithNobodyAbleToMoveEndsTheGame) {
  Game g = Game::reset();
  for (uint32_t p = 0; p < kNumPlayers; ++p) g.board.corners[p].clear();
  EXPECT_EQ(g.advance_player(), std::nullopt);
  EXPECT_TRUE(g.players.empty());
  EXPECT_TRUE(g.tile_moves.empty());
  EXPECT_EQ(g.current_player(), std::nullopt);
  EXPECT_EQ(g.apply(0).error, kNoCurrentPlayer);
}

struct FullSetCase {
  uint32_t last_kind;
  int32_t score;
};

class FullSet : public ::testing::TestWithParam<FullSetCase> {};

TEST_P(FullSet, BonusDependsOnTheLastPiece) {
  const auto [last_kind, score] = GetParam();
  Game g = Game::reset();
  keep_only(g, 0, last_kind);
  const uint32_t size = all_pieces()[last_kind].size;
  // The other squares of the set, away from every starting corner.
  for (uint32_t i = 0; i < 89 - size; ++i) g.board.cells[200 + i] = 0xF1;
  const CandidatePlacement first = g.tile_moves.candidates().front();
  std::vector<uint32_t> cells;
  first.for_each_cell([&](uint32_t x) { cells.push_back(x); });
  for (std::size_t i = 0; i < cells.size(); ++i) {
    ASSERT_EQ(g.current_player(), std::optional<uint32_t>(0));
    ASSERT_TRUE(g.apply(cells[i]).ok());
  }
  EXPECT_TRUE(g.board.pieces[0].empty());
  EXPECT_EQ(g.last_sizes[0], size);
  EXPECT_EQ(g.get_score()[0], score);
  EXPECT_EQ(g.get_payoff(), (std::array<float, 4>{1, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(LastPieces, FullSet,
                         ::testing::Values(FullSetCase{0, 20}, FullSetCase{1, 15},
                                           FullSetCase{7, 15}, FullSetCase{9, 15},
                                           FullSetCase{16, 15}));

struct PayoffCase {
  std::array<uint32_t, 4> covered;
  std::array<bool, 4> all_placed;
  std::array<int32_t, 4> scores;
  std::array<float, 4> payoff;
};

class Payoff : public ::testing::TestWithParam<PayoffCase> {};

TEST_P(Payoff, HighestScoresShareOne) {
  const PayoffCase& c = GetParam();
  Game g = Game::reset();
  uint32_t next = 0;
  for (uint32_t p = 0; p < 4; ++p) {
    for (uint32_t i = 0; i < c.covered[p]; ++i) g.board.cells[next++] = 0xF0 | (p + 1);
    if (c.all_placed[p]) {
      while (!g.board.pieces[p].empty()) g.board.pieces[p].erase(0);
    }
    g.last_sizes[p] = 5;
  }
  EXPECT_EQ(g.get_score(), c.scores);
  const auto payoff = g.get_payoff();
  float sum = 0;
  for (uint32_t p = 0; p < 4; ++p) {
    EXPECT_FLOAT_EQ(payoff[p], c.payoff[p]) << "player " << p;
    sum += payoff[p];
  }
  EXPECT_NEAR(sum, 1.0f, 1e-6f);
}

constexpr float kThird = 1.0f / 3.0f;
constexpr std::array<bool, 4> kNone = {false, false, false, false};
constexpr std::array<bool, 4> kAll = {true, true, true, true};

INSTANTIATE_TEST_SUITE_P(
    Table, Payoff,
    ::testing::Values(
        PayoffCase{{84, 84, 78, 84}, kAll, {10, 10, 4, 10}, {kThird, kThird, 0, kThird}},
        PayoffCase{{59, 77, 77, 49}, kNone, {-30, -12, -12, -40}, {0, 0.5f, 0.5f, 0}},
        PayoffCase{{0, 0, 0, 0}, kNone, {-89, -89, -89, -89}, {0.25f, 0.25f, 0.25f, 0.25f}},
        PayoffCase{{89, 89, 89, 89}, kAll, {15, 15, 15, 15}, {0.25f, 0.25f, 0.25f, 0.25f}},
        // A negative leader at player 0 must lose to a positive score (signed comparison).
        PayoffCase{{0, 89, 0, 0}, {false, true, false, false}, {-89, 15, -89, -89}, {0, 1, 0, 0}},
        PayoffCase{{60, 0, 0, 60}, kNone, {-29, -89, -89, -29}, {0.5f, 0, 0, 0.5f}},
        PayoffCase{{10, 20, 30, 40}, kNone, {-79, -69, -59, -49}, {0, 0, 0, 1}},
        PayoffCase{{40, 30, 20, 10}, kNone, {-49, -59, -69, -79}, {1, 0, 0, 0}},
        PayoffCase{{10, 40, 40, 20}, kNone, {-79, -49, -49, -69}, {0, 0.5f, 0.5f, 0}}));

}  // namespace
