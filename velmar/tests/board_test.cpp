#include "board.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "reference.h"

using namespace velmar;

namespace {

std::vector<uint32_t> corners_of(const Board& b, uint32_t p) {
  return b.corners[p].to_vector();
}

TEST(Board, FreshBoard) {
  const Board b;
  for (uint32_t x = 0; x < kNumCells; ++x) ASSERT_EQ(b.cells[x], 0) << "cell " << x;
  EXPECT_EQ(corners_of(b, 0), std::vector<uint32_t>{0});
  EXPECT_EQ(corners_of(b, 1), std::vector<uint32_t>{19});
  EXPECT_EQ(corners_of(b, 2), std::vector<uint32_t>{399});
  EXPECT_EQ(corners_of(b, 3), std::vector<uint32_t>{380});
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    ASSERT_EQ(b.pieces[p].size(), 21u);
    for (uint32_t i = 0; i < 21; ++i) {
      EXPECT_EQ(b.pieces[p].kind(i), i);
      EXPECT_EQ(b.pieces[p][i].kind, i);
    }
  }
  EXPECT_EQ(b.get_score({0, 0, 0, 0}), (std::array<int32_t, 4>{-89, -89, -89, -89}));
}

TEST(Board, FirstSquareInTheTopLeftCorner) {
  Board b;
  b.place_tile(0, 0);
  EXPECT_EQ(b.cells[0], 0xF1);
  EXPECT_EQ(b.cells[1], 0x10);
  EXPECT_EQ(b.cells[20], 0x10);
  EXPECT_EQ(b.cells[19], 0x00);  // no wrap into the row's other end
  EXPECT_EQ(b.cells[21], 0x00);
  EXPECT_EQ(corners_of(b, 0), std::vector<uint32_t>{21});
  EXPECT_EQ(corners_of(b, 1), std::vector<uint32_t>{19});
  EXPECT_EQ(corners_of(b, 2), std::vector<uint32_t>{399});
  EXPECT_EQ(corners_of(b, 3), std::vector<uint32_t>{380});
}

TEST(Board, PieceSquaresInAnyOrderGiveTheSameBookkeeping) {
  const std::array<std::array<uint32_t, 3>, 6> orders = {{
      {0, 1, 21},
      {0, 21, 1},
      {1, 0, 21},
      {1, 21, 0},
      {21, 0, 1},
      {21, 1, 0},
  }};
  Board first;
  for (uint32_t x : orders[0]) first.place_tile(x, 0);
  EXPECT_EQ(corners_of(first, 0), (std::vector<uint32_t>{40, 42}));
  for (const auto& order : orders) {
    Board b;
    for (uint32_t x : order) b.place_tile(x, 0);
    EXPECT_EQ(b.cells, first.cells);
    EXPECT_TRUE(b.corners[0] == first.corners[0]);
  }
  EXPECT_EQ(first.cells[2], 0x10);
  EXPECT_EQ(first.cells[20], 0x10);
  EXPECT_EQ(first.cells[22], 0x10);
  EXPECT_EQ(first.cells[41], 0x10);
}

TEST(Board, SquareInTheRightColumnDoesNotWrap) {
  Board b;
  b.place_tile(19, 1);
  EXPECT_EQ(b.cells[19], 0xF2);
  EXPECT_EQ(b.cells[18], 0x20);
  EXPECT_EQ(b.cells[39], 0x20);
  EXPECT_EQ(b.cells[20], 0x00);  // the cell after 19 is the next row's first
  EXPECT_EQ(b.cells[40], 0x00);
  EXPECT_EQ(corners_of(b, 1), std::vector<uint32_t>{38});
}

TEST(Board, SquareInTheLeftColumnDoesNotWrap) {
  Board b;
  b.place_tile(100, 2);
  EXPECT_EQ(b.cells[99], 0x00);
  EXPECT_EQ(b.cells[101], 0x40);
  EXPECT_EQ(b.cells[80], 0x40);
  EXPECT_EQ(b.cells[120], 0x40);
  std::vector<uint32_t> expected = {81, 121, 399};
  EXPECT_EQ(corners_of(b, 2), expected);  // not 79 or 119 (column 19)
}

TEST(Board, BottomRowSquares) {
  Board b;
  b.place_tile(399, 2);
  EXPECT_EQ(b.cells[398], 0x40);
  EXPECT_EQ(b.cells[379], 0x40);
  EXPECT_EQ(corners_of(b, 2), std::vector<uint32_t>{378});
  b.place_tile(380, 3);
  EXPECT_EQ(b.cells[381], 0x80);
  EXPECT_EQ(b.cells[360], 0x80);
  EXPECT_EQ(b.cells[379], 0x40);  // 379 is in column 19, no wrap from 380
  EXPECT_EQ(corners_of(b, 3), std::vector<uint32_t>{361});
}

TEST(Board, CoveringRemovesTheCellFromEveryCornerSet) {
  Board b;
  b.place_tile(0, 0);  // corners[0] = {21}
  b.place_tile(42, 1);
  // 21 is a corner of both players; edge contact with player 1 does not block player 0.
  EXPECT_TRUE(b.corners[0].contains(21));
  EXPECT_TRUE(b.corners[1].contains(21));
  EXPECT_EQ(b.cells[22], 0x20);
  EXPECT_EQ(b.cells[41], 0x20);
  EXPECT_EQ(b.cells[1], 0x10);
  b.place_tile(21, 2);
  EXPECT_FALSE(b.corners[0].contains(21));
  EXPECT_FALSE(b.corners[1].contains(21));
  EXPECT_EQ(b.cells[21], 0xF3);
  // Player 2's own edge neighbours gain its bit on top of the others'.
  EXPECT_EQ(b.cells[22], 0x60);
  EXPECT_EQ(b.cells[1], 0x50);
  // Another player's square never removes a cell from a corner set it does not cover.
  EXPECT_TRUE(b.corners[1].contains(63));
  b.place_tile(62, 0);
  EXPECT_TRUE(b.corners[1].contains(63)) << "edge contact with player 0 must not block player 1";
  EXPECT_EQ(b.cells[63], 0x10);
}

TEST(Board, BlockedCellIsNotAddedAsCorner) {
  Board b;
  b.place_tile(0, 0);
  b.place_tile(2, 0);  // 21 is a diagonal of 2 as well
  EXPECT_TRUE(b.corners[0].contains(21));
  b.place_tile(22, 0);  // 21 gets player 0's bit: no longer a corner
  EXPECT_FALSE(b.corners[0].contains(21));
  EXPECT_EQ(b.cells[21], 0x10);
  b.place_tile(40, 0);  // 21 is a diagonal of 40 but blocked: not added back
  EXPECT_FALSE(b.corners[0].contains(21));
}

TEST(Board, OutOfRangeIndicesThrow) {
  Board b;
  EXPECT_THROW(b.place_tile(400, 0), InvariantError);
  EXPECT_THROW(b.place_tile(0, 4), InvariantError);
}

struct ScoreCase {
  uint32_t covered;
  bool all_placed;
  uint32_t last_size;
  int32_t score;
};

class Scores : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(Scores, CoveredMinus89WithEndBonus) {
  const ScoreCase& c = GetParam();
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    SCOPED_TRACE("player " + std::to_string(p));
    Board b;
    // Another player's squares never count for p.
    b.cells[399 - p] = static_cast<uint8_t>(0xF0 | ((p + 1) % 4 + 1));
    for (uint32_t i = 0; i < c.covered; ++i) b.cells[i] = static_cast<uint8_t>(0xF0 | (p + 1));
    if (c.all_placed) {
      while (!b.pieces[p].empty()) b.pieces[p].erase(0);
    }
    std::array<uint32_t, 4> last{};
    last[p] = c.last_size;
    const auto scores = b.get_score(last);
    for (uint32_t q = 0; q < kNumPlayers; ++q) {
      const int32_t other = (q == (p + 1) % 4) ? -88 : -89;
      EXPECT_EQ(scores[q], q == p ? c.score : other) << "score of player " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Scores,
                         ::testing::Values(ScoreCase{0, false, 0, -89}, ScoreCase{0, false, 1, -89},
                                           ScoreCase{50, false, 1, -39},
                                           ScoreCase{88, false, 1, -1}, ScoreCase{0, true, 5, -74},
                                           ScoreCase{0, true, 1, -69}, ScoreCase{89, true, 5, 15},
                                           ScoreCase{89, true, 2, 15}, ScoreCase{89, true, 1, 20}));

TEST(Board, ScoresRejectABrokenOwnerNibble) {
  Board b;
  b.cells[7] = 0xF5;
  EXPECT_THROW(b.get_score({0, 0, 0, 0}), InvariantError);
}

TEST(Board, CopiesAreIndependent) {
  Board a;
  a.place_tile(0, 0);
  const Board saved = a;
  Board b = a;
  b.place_tile(21, 0);
  b.pieces[0].erase(3);
  EXPECT_EQ(a.cells, saved.cells);
  EXPECT_TRUE(a.corners[0] == saved.corners[0]);
  EXPECT_TRUE(a.pieces[0] == saved.pieces[0]);
  EXPECT_EQ(a.pieces[0].size(), 21u);
  EXPECT_EQ(b.pieces[0].kind(3), 4u);
}

}  // namespace
