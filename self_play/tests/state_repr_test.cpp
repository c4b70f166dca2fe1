#include "state_repr.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <random>
#include <vector>

#include "fake_evaluator.h"

using namespace velmar;
using namespace velmar::self_play;
using velmar::self_play::fakes::custom_game;
using velmar::self_play::fakes::sorted;

namespace {

float plane_sum(const Representation& r, uint32_t plane) {
  return std::accumulate(r.begin() + plane * kNumCells, r.begin() + (plane + 1) * kNumCells, 0.0f);
}

// The plane of a square of `owner` seen by `mover`, read off the seat table.
uint32_t seat_plane(uint32_t owner, uint32_t mover) {
  const std::array<uint32_t, 4> seat_of_plane = {(mover + 3) % 4, mover, (mover + 1) % 4,
                                                 (mover + 2) % 4};
  for (uint32_t k = 0; k < 4; ++k) {
    if (seat_of_plane[k] == owner) return k;
  }
  ADD_FAILURE() << "no plane for owner " << owner;
  return 0;
}

// The whole block as it should be, from the history and the legal tiles.
Representation expected_repr(const Game& g) {
  Representation r{};
  const uint32_t mover = *g.current_player();
  for (const HistoryEntry& h : g.history) {
    r[seat_plane(static_cast<uint32_t>(h.player), mover) * kNumCells +
      static_cast<uint32_t>(h.cell)] = 1.0f;
  }
  for (uint32_t x : g.legal_tiles()) r[kLegalPlane * kNumCells + x] = 1.0f;
  return r;
}

TEST(ReprNewGame, OnlyTheFifteenOpeningCells) {
  const Representation r = get_representation(Game::reset());
  for (uint32_t plane = 0; plane < 4; ++plane) EXPECT_EQ(plane_sum(r, plane), 0.0f) << plane;
  for (uint32_t x = 0; x < kNumCells; ++x) {
    const bool opening = x / 20 + x % 20 <= 4;
    EXPECT_EQ(r[kLegalPlane * kNumCells + x], opening ? 1.0f : 0.0f) << x;
  }
  EXPECT_EQ(std::accumulate(r.begin(), r.end(), 0.0f), 15.0f);
}

TEST(ReprSeats, OwnSquareInPlaneOneUntilTheTurnPasses) {
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0).ok());  // the first tile of a piece: player 0 still to move
  ASSERT_EQ(g.current_player(), std::optional<uint32_t>(0));
  Representation r = get_representation(g);
  EXPECT_EQ(r[0], 0.0f);
  EXPECT_EQ(r[kNumCells], 1.0f);

  g = Game::reset();
  ASSERT_TRUE(g.apply(0, 0).ok());  // the single square: the turn passes to player 1
  ASSERT_EQ(g.current_player(), std::optional<uint32_t>(1));
  r = get_representation(g);
  EXPECT_EQ(r[0], 1.0f);
  EXPECT_EQ(r[kNumCells], 0.0f);
  EXPECT_EQ(plane_sum(r, 0), 1.0f);
  for (uint32_t plane = 1; plane < 4; ++plane) EXPECT_EQ(plane_sum(r, plane), 0.0f) << plane;
}

// After k single squares (one per player, in seat order) player k % 4 is to
// move; each square must sit in the plane of its owner's seat relative to it.
struct SeatCase {
  uint32_t squares;
  uint32_t mover;
  std::array<int, 4> plane_of_owner;  // -1: the owner has no square yet
};

class ReprSeatTable : public ::testing::TestWithParam<SeatCase> {};

TEST_P(ReprSeatTable, SquaresByRelativeSeat) {
  const SeatCase& c = GetParam();
  Game g = Game::reset();
  for (uint32_t p = 0; p < c.squares; ++p) ASSERT_TRUE(g.apply(kStartCorners[p], 0).ok()) << p;
  ASSERT_EQ(g.current_player(), std::optional<uint32_t>(c.mover));
  const Representation r = get_representation(g);
  for (uint32_t owner = 0; owner < 4; ++owner) {
    const uint32_t cell = kStartCorners[owner];
    for (uint32_t plane = 0; plane < 4; ++plane) {
      const float want = c.plane_of_owner[owner] == static_cast<int>(plane) ? 1.0f : 0.0f;
      EXPECT_EQ(r[plane * kNumCells + cell], want) << "owner " << owner << " plane " << plane;
    }
  }
  float covered = 0.0f;
  for (uint32_t plane = 0; plane < 4; ++plane) covered += plane_sum(r, plane);
  EXPECT_EQ(covered, static_cast<float>(c.squares));
}

INSTANTIATE_TEST_SUITE_P(ReprAfterSingleSquares, ReprSeatTable,
                         ::testing::Values(SeatCase{1, 1, {0, -1, -1, -1}},
                                           SeatCase{2, 2, {3, 0, -1, -1}},
                                           SeatCase{3, 3, {2, 3, 0, -1}},
                                           SeatCase{4, 0, {1, 2, 3, 0}}));

TEST(ReprBlockedBits, EmptyCellsWithBlockedBitsOnlyGiveNothing) {
  for (uint8_t bits : {0x10, 0x20, 0x40, 0x80, 0xF0, 0x50}) {
    Game g = Game::reset();
    g.board.cells[210] = bits;
    const Representation r = get_representation(g);
    for (uint32_t plane = 0; plane < kNumPlanes; ++plane) {
      EXPECT_EQ(r[plane * kNumCells + 210], 0.0f) << int{bits} << " plane " << plane;
    }
    EXPECT_EQ(std::accumulate(r.begin(), r.end(), 0.0f), 15.0f) << int{bits};
  }
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(0).ok());
  const Representation r = get_representation(g);
  // Every cell beside the square is blocked for player 0 and holds no square.
  for (uint32_t x : {1u, 20u}) {
    ASSERT_EQ(g.board.cells[x], blocked_bit(0)) << x;
    for (uint32_t plane = 0; plane < 4; ++plane) EXPECT_EQ(r[plane * kNumCells + x], 0.0f) << x;
  }
}

TEST(ReprFinished, NoCurrentPlayer) {
  Game g = custom_game({1}, {1});
  ASSERT_TRUE(g.apply(19).ok());
  ASSERT_TRUE(g.players.empty());
  try {
    get_representation(g);
    FAIL() << "no error for a finished game";
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "No current player");
  }
}

// Random games, tile by tile: at every position the block is the one built
// from the history and the legal tiles, plane 4 never marks a covered cell,
// and every entry is 0.0 or 1.0.
TEST(ReprRandomGames, MatchesHistoryAtEveryPosition) {
  std::mt19937 gen(20240611);
  for (int game = 0; game < 3; ++game) {
    Game g = Game::reset();
    int positions = 0;
    while (!g.players.empty()) {
      const Representation r = get_representation(g);
      const Representation want = expected_repr(g);
      ASSERT_EQ(r, want) << "game " << game << " position " << positions;
      for (uint32_t x = 0; x < kNumCells; ++x) {
        if (r[kLegalPlane * kNumCells + x] == 1.0f) {
          ASSERT_EQ(g.board.cells[x] & 0x0F, 0) << x;
        }
      }
      const std::vector<uint32_t> legal = sorted(g.legal_tiles());
      ASSERT_FALSE(legal.empty());
      ASSERT_TRUE(g.apply(legal[gen() % legal.size()]).ok());
      ++positions;
    }
    EXPECT_GT(positions, 40);
  }
}

}  // namespace
