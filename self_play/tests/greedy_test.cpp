// The greedy rule against the position each choice leads to.
#include "greedy.h"

#include <gtest/gtest.h>

namespace velmar::self_play {
namespace {

// Twice the score of the position after `choice`, counted on the board.
int32_t rescored(const Game& game, const GreedyChoice& choice) {
  const uint32_t p = *game.current_player();
  Game after = game;
  play_choice(after, choice);
  int32_t others = 0;
  for (uint32_t q = 0; q < kNumPlayers; ++q)
    if (q != p) others += static_cast<int32_t>(after.board.corners[q].size());
  return 6 * static_cast<int32_t>(choice.size) +
         2 * static_cast<int32_t>(after.board.corners[p].size()) - others;
}

TEST(Greedy, ScoresMatchTheBoardAfterEveryChoiceAndGamesEnd) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    Game game = Game::reset();
    Rng rng(seed);
    uint32_t moves = 0;
    for (;;) {
      const GreedyChoices found = greedy_choices(game);
      if (found.choices.empty()) break;
      ASSERT_TRUE(found.turn_start);
      for (std::size_t i = 0; i < found.choices.size(); i += 7)
        EXPECT_EQ(found.choices[i].score2, rescored(game, found.choices[i]));
      ASSERT_TRUE(play_greedy_move(game, rng));
      ++moves;
    }
    EXPECT_FALSE(game.current_player().has_value());
    EXPECT_GT(moves, 60u);
  }
}

// In the middle of a move a playout scores each completion by the same
// formula, counted on the board once the piece is whole.
TEST(Greedy, MidMoveScoresForPlayoutsMatchTheBoard) {
  Game game = Game::reset();
  Rng rng(7);
  uint32_t checked = 0;
  while (true) {
    const GreedyChoices found = greedy_choices(game);
    if (found.choices.empty()) break;
    const GreedyChoice& pick = found.choices[rng.below(found.choices.size())];
    for (uint32_t taken = 1; taken < pick.size; ++taken) {
      Game mid = game;
      for (uint32_t i = 0; i < taken; ++i) ASSERT_TRUE(mid.apply(pick.cells[i]).ok());
      const GreedyChoices scored = greedy_choices(mid, MidMove::kScored);
      ASSERT_FALSE(scored.turn_start);
      for (const GreedyChoice& c : scored.choices) {
        EXPECT_EQ(c.score2, rescored(mid, c));
        ++checked;
      }
    }
    play_choice(game, pick);
  }
  EXPECT_GT(checked, 100u);
}

}  // namespace
}  // namespace velmar::self_play
