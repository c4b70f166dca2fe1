#include <gtest/gtest.h>

#include <random>

#include "game.h"

using namespace velmar;

TEST(Smoke, OpeningCounts) {
  Game g = Game::reset();
  EXPECT_EQ(g.tile_moves.candidates().size(), 58u);
  EXPECT_EQ(g.legal_tiles().size(), 15u);
  EXPECT_EQ(g.tile_moves.at(0).size(), 58u);
  EXPECT_EQ(g.tile_moves.at(1).size(), 35u);
  EXPECT_EQ(g.tile_moves.at(21).size(), 31u);
  EXPECT_EQ(g.tile_moves.at(80).size(), 1u);
}

TEST(Smoke, RandomGames) {
  std::mt19937 rng(1);
  for (int n = 0; n < 200; ++n) {
    Game g = Game::reset();
    while (!g.players.empty()) {
      auto tiles = g.legal_tiles();
      ASSERT_FALSE(tiles.empty());
      ASSERT_TRUE(g.apply(tiles[rng() % tiles.size()]).ok());
    }
    int placed = 0;
    for (auto& l : g.board.pieces) placed += 21 - (int)l.size();
    EXPECT_GT(placed, 20);
  }
}
