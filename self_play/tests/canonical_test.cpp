// Canonical order: on positions of random games, the canonical children
// reach every placement the rules can complete exactly once.
#include "canonical.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "fake_evaluator.h"

using namespace velmar;
using namespace velmar::self_play;

namespace {

using CellList = std::vector<uint32_t>;  // ascending

uint32_t mover(const Game& g) {
  return *g.current_player();
}

// The cells of the player's own squares: the tiles taken so far plus the
// cells of its completed pieces.
std::set<uint32_t> own_cells(const Game& g, uint32_t player) {
  std::set<uint32_t> out;
  for (uint32_t x = 0; x < kNumCells; ++x) {
    if ((g.board.cells[x] & 0x0F) == player + 1) out.insert(x);
  }
  return out;
}

// The placement completed by the last tile: the cells the player gained.
CellList gained(const std::set<uint32_t>& before, const std::set<uint32_t>& after) {
  CellList out;
  for (uint32_t x : after) {
    if (!before.count(x)) out.push_back(x);
  }
  return out;
}

// Brute force: every candidate whose cells, taken by the rules in any order,
// complete the piece with exactly those cells.
// Only placements whose cells beyond `taken` are all above the largest of
// `taken` can be entered in increasing order from here.
std::map<CellList, int> completable_by_rules(const Game& g, const std::set<uint32_t>& start,
                                             const std::vector<uint32_t>& taken) {
  uint32_t last = 0;
  for (uint32_t x : taken) last = std::max(last, x);
  std::map<CellList, int> out;
  const uint32_t p = mover(g);
  for (const CandidatePlacement& c : g.tile_moves.candidates()) {
    Game copy = g;
    const std::size_t pieces = copy.board.pieces[p].size();
    bool done = false;
    c.for_each_cell([&](uint32_t x) {
      if (done || std::count(taken.begin(), taken.end(), x)) return;
      if (!taken.empty() && x < last) done = true;            // not in increasing order
      if (copy.board.pieces[p].size() < pieces) done = true;  // completed too early
      if (!done && !copy.apply(x).ok()) done = true;
    });
    if (!done && copy.board.pieces[p].size() == pieces - 1)
      out[gained(start, own_cells(copy, p))] = 0;
  }
  return out;
}

// Follows every canonical child until the piece is complete, counting the
// placements reached; a path that ends without completing is counted under {}.
void walk(const Game& g, uint32_t p, std::size_t pieces, const std::set<uint32_t>& start,
          std::map<CellList, int>& reached) {
  const TileMask tiles = canonical_tiles(g);
  for (uint32_t x = 0; x < kNumCells; ++x) {
    if (!tiles[x]) continue;
    Game next = g;
    ASSERT_TRUE(next.apply(x).ok());
    if (next.board.pieces[p].size() < pieces) {
      ++reached[gained(start, own_cells(next, p))];
    } else {
      walk(next, p, pieces, start, reached);
    }
  }
}

class CanonicalOrder : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CanonicalOrder, ReachesEveryCompletablePlacementOnce) {
  std::mt19937 rng(GetParam());
  Game g = Game::reset();
  int checked = 0;
  std::vector<uint32_t> taken;  // the tiles of the piece being placed
  for (int step = 0; g.current_player(); ++step) {
    const uint32_t p = mover(g);
    const TileMask tiles = canonical_tiles(g);
    if (step % 2 == static_cast<int>(GetParam() % 2)) {
      // The squares of this piece taken so far count as the start: the
      // placements are compared by the cells the piece still gains.
      std::set<uint32_t> start = own_cells(g, p);
      std::map<CellList, int> reached;
      walk(g, p, g.board.pieces[p].size(), start, reached);
      std::map<CellList, int> expected = completable_by_rules(g, start, taken);
      ASSERT_FALSE(expected.empty());
      for (auto& [cells, n] : expected) n = 1;
      EXPECT_EQ(reached, expected) << "at tile " << step;
      ++checked;
    }
    // Play on by a random canonical child.
    std::vector<uint32_t> options;
    for (uint32_t x = 0; x < kNumCells; ++x) {
      if (tiles[x]) options.push_back(x);
    }
    ASSERT_FALSE(options.empty());
    const uint32_t tile = options[rng() % options.size()];
    const std::size_t pieces = g.board.pieces[p].size();
    g.apply(tile);
    taken.push_back(tile);
    if (g.board.pieces[p].size() < pieces) taken.clear();
  }
  EXPECT_GT(checked, 60);
}

INSTANTIATE_TEST_SUITE_P(RandomGames, CanonicalOrder, ::testing::Values(1u, 2u, 3u, 4u));

// At the start every placement covers cell 0, so 0 is the only child. A
// piece entered out of order, 20 before 0, has no placement left whose
// remaining cells all lie above 20: every legal tile is a child.
TEST(CanonicalOrderChildren, StartAndFallback) {
  const TileMask start = canonical_tiles(Game::reset());
  EXPECT_EQ(start.count(), 1u);
  EXPECT_TRUE(start[0]);
  Game g = Game::reset();
  ASSERT_TRUE(g.apply(20).ok());
  EXPECT_TRUE(tiles_taken_in_piece(g.tile_moves)[20]);
  EXPECT_EQ(tiles_taken_in_piece(g.tile_moves).count(), 1u);
  TileMask legal;
  for (uint32_t x : g.legal_tiles()) legal.set(x);
  EXPECT_GT(legal.count(), 1u);
  EXPECT_EQ(canonical_tiles(g), legal);
  // Taken in order (0, then 20) the piece goes on only above 20.
  Game h = Game::reset();
  ASSERT_TRUE(h.apply(0).ok());
  ASSERT_TRUE(h.apply(20).ok());
  const TileMask after = canonical_tiles(h);
  EXPECT_TRUE(after.any());
  for (uint32_t x = 0; x <= 20; ++x) EXPECT_FALSE(after[x]) << x;
}

}  // namespace
