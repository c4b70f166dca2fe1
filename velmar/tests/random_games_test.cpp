// Plays random games and checks every tile against a reference derived from
// scratch: the cell bytes and corner sets from who owns which cell, the
// candidates from a generator that tries every origin, and the turn order
// from those candidates.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

#include "game.h"
#include "reference.h"

using namespace velmar;
using ref::candidate_placements;
using ref::same_game;
using ref::sorted;

namespace {

std::vector<ref::RefPlacement> reference_moves(const Board& b, uint32_t p) {
  return ref::reference_moves(b, p, ref::contact_from_owners(b, p));
}

::testing::AssertionResult board_consistent(const Board& b) {
  const ref::OwnerContacts oc = ref::owner_contacts(b);
  for (int x = 0; x < static_cast<int>(kNumCells); ++x) {
    const uint32_t owner = ref::owner_of(b, x);
    if (owner > kNumPlayers) return ::testing::AssertionFailure() << "owner nibble at " << x;
    // Covered: all blocked bits and the owner; empty: the bits of the players next to it.
    const uint8_t expected =
        owner != 0 ? static_cast<uint8_t>(0xF0 | owner) : static_cast<uint8_t>(oc.edge[x] << 4);
    if (b.cells[x] != expected) {
      return ::testing::AssertionFailure()
             << "cell " << x << " holds " << int{b.cells[x]} << ", expected " << int{expected};
    }
  }
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    const ref::ContactMaps m = ref::contact_from_owners(b, oc, p);
    std::vector<uint32_t> expected;
    for (uint32_t x = 0; x < kNumCells; ++x) {
      if (m.corner[x]) expected.push_back(x);
    }
    if (b.corners[p].to_vector() != expected)
      return ::testing::AssertionFailure() << "corner set of player " << p;
  }
  return ::testing::AssertionSuccess();
}

struct Expected {
  std::vector<Placement> candidates;
  std::vector<uint32_t> keys;
};

Expected narrowed(const std::vector<ref::RefPlacement>& turn, const std::vector<uint32_t>& taken) {
  Expected e;
  std::array<bool, kNumCells> key{};
  for (const auto& m : turn) {
    const bool all =
        std::all_of(taken.begin(), taken.end(), [&](uint32_t t) { return m.covers(t); });
    if (!all) continue;
    e.candidates.push_back(m.placement);
    for (uint32_t x : m) key[x] = true;
  }
  for (uint32_t t : taken) key[t] = false;
  std::sort(e.candidates.begin(), e.candidates.end());
  for (uint32_t x = 0; x < kNumCells; ++x) {
    if (key[x]) e.keys.push_back(x);
  }
  return e;
}

struct Stats {
  uint32_t games = 0, tiles = 0, removals = 0;
};

// Plays one game with uniformly drawn legal tiles, checking after every tile.
void play_checked_game(std::mt19937& rng, bool check_copies, Stats& stats) {
  Game g = Game::reset();
  std::array<uint32_t, kNumPlayers> placed{};  // squares of the pieces gone, per player
  ASSERT_TRUE(board_consistent(g.board));
  std::vector<ref::RefPlacement> turn = reference_moves(g.board, 0);
  std::vector<uint32_t> taken;

  while (!g.players.empty()) {
    ASSERT_LT(g.current, g.players.size());
    const uint32_t p = g.players[g.current];
    ASSERT_EQ(g.current_player(), std::optional<uint32_t>(p));

    // The candidates are the turn's reference placements that cover every tile taken.
    const Expected e = narrowed(turn, taken);
    ASSERT_FALSE(e.keys.empty());
    ASSERT_EQ(candidate_placements(g.tile_moves), e.candidates);
    ASSERT_EQ(g.tile_moves.keys().to_vector(), e.keys);
    const std::vector<uint32_t> tiles = g.legal_tiles();
    ASSERT_EQ(sorted(tiles), e.keys);

    const uint32_t tile = tiles[rng() % tiles.size()];
    {
      std::vector<Placement> expected_at;
      for (const auto& m : turn) {
        if (m.covers(tile) &&
            std::binary_search(e.candidates.begin(), e.candidates.end(), m.placement))
          expected_at.push_back(m.placement);
      }
      std::sort(expected_at.begin(), expected_at.end());
      ASSERT_EQ(sorted(g.tile_moves.at(tile)), expected_at);
    }

    if (check_copies) {
      const Game saved = g;
      {
        Game copy = g;
        ASSERT_TRUE(copy.apply(tiles[rng() % tiles.size()]).ok());
      }
      ASSERT_TRUE(same_game(g, saved)) << "apply on a copy changed the original";
      // A cell that is not a key is rejected and changes nothing.
      uint32_t bad = rng() % kNumCells;
      while (g.tile_moves.contains(bad)) bad = (bad + 1) % kNumCells;
      ASSERT_EQ(g.apply(bad).error, kInvalidMove);
      ASSERT_TRUE(same_game(g, saved)) << "rejected tile " << bad << " changed the game";
    }

    const PieceList before = g.board.pieces[p];
    const auto players_before = g.players;
    const uint32_t current_before = g.current;
    const auto last_before = g.last_sizes;
    const std::size_t history_before = g.history.size();

    ASSERT_TRUE(g.apply(tile).ok());
    ++stats.tiles;
    taken.push_back(tile);
    ASSERT_EQ(g.history.size(), history_before + 1);
    ASSERT_EQ(g.history.back(),
              (HistoryEntry{static_cast<int32_t>(p), static_cast<int32_t>(tile)}));
    ASSERT_EQ(g.board.cells[tile], 0xF0 | (p + 1));
    ASSERT_TRUE(board_consistent(g.board));

    const Expected after = narrowed(turn, taken);
    if (!after.keys.empty()) {
      // Move in progress: nothing but the board, history and candidates changed.
      ASSERT_TRUE(g.board.pieces[p] == before);
      ASSERT_TRUE(g.players == players_before);
      ASSERT_EQ(g.current, current_before);
      ASSERT_EQ(g.last_sizes, last_before);
      continue;
    }

    // The tiles taken are exactly one placement, which leaves the list.
    ASSERT_EQ(after.candidates.size(), 1u);
    const Placement done = after.candidates[0];
    const Piece& piece = before[done.piece];
    ASSERT_EQ(piece.size, taken.size());
    PieceList expected_list = before;
    expected_list.erase(done.piece);
    ASSERT_TRUE(g.board.pieces[p] == expected_list);
    auto expected_last = last_before;
    expected_last[p] = piece.size;
    ASSERT_EQ(g.last_sizes, expected_last);
    placed[p] += piece.size;
    taken.clear();

    // Turn order: the next player in order with a placement; those without leave.
    std::vector<uint32_t> order(players_before.begin(), players_before.end());
    std::size_t at = (current_before + 1) % order.size();
    turn.clear();
    for (;;) {
      turn = reference_moves(g.board, order[at]);
      if (!turn.empty()) break;
      order.erase(order.begin() + static_cast<std::ptrdiff_t>(at));
      ++stats.removals;
      if (order.empty()) break;
      at %= order.size();
    }
    ASSERT_EQ(std::vector<uint32_t>(g.players.begin(), g.players.end()), order);
    if (!order.empty()) {
      ASSERT_EQ(g.current, at);
    }
  }

  // Over.
  ASSERT_EQ(g.current_player(), std::nullopt);
  ASSERT_TRUE(g.legal_tiles().empty());
  ASSERT_TRUE(g.tile_moves.empty());
  ASSERT_TRUE(taken.empty());
  const Game saved = g;
  ASSERT_EQ(g.apply(0).error, kNoCurrentPlayer);
  ASSERT_TRUE(same_game(g, saved));

  std::array<uint32_t, kNumPlayers> covered{};
  for (uint8_t byte : g.board.cells) {
    if (byte & 0x0F) ++covered[(byte & 0x0F) - 1];
  }
  ASSERT_EQ(covered, placed);
  uint32_t total = 0;
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    uint32_t left = 0;
    for (std::size_t i = 0; i < g.board.pieces[p].size(); ++i) left += g.board.pieces[p][i].size;
    ASSERT_EQ(covered[p] + left, kSquaresPerPlayer);
    total += covered[p];
    int32_t score = static_cast<int32_t>(covered[p]) - 89;
    if (g.board.pieces[p].empty()) score += g.last_sizes[p] == 1 ? 20 : 15;
    ASSERT_EQ(g.get_score()[p], score);
  }
  ASSERT_EQ(g.history.size(), total);
  for (const HistoryEntry& h : g.history) ASSERT_EQ(g.board.cells[h.cell], 0xF1 + h.player);
  ++stats.games;
}

// 8 seeds of 250 games; fewer under the sanitizers, which slow the checks
// several times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kGames = 60;
#else
constexpr uint32_t kGames = 250;
#endif

class RandomGames : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RandomGames, EveryTileAgreesWithTheReference) {
  std::mt19937 rng(GetParam());
  Stats stats;
  for (uint32_t n = 0; n < kGames; ++n) {
    SCOPED_TRACE("game " + std::to_string(n) + " of seed " + std::to_string(GetParam()));
    play_checked_game(rng, n % 8 == 0, stats);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(stats.games, kGames);
  // Every game ends with each player found without a placement once.
  EXPECT_EQ(stats.removals, kGames * kNumPlayers);
  EXPECT_GT(stats.tiles, kGames * 150);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomGames, ::testing::Range(1u, 9u));

}  // namespace
