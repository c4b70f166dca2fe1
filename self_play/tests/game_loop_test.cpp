#include "game_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "fake_evaluator.h"
#include "progress_bar.h"
#include "search.h"

using namespace velmar;
using namespace velmar::self_play;
using namespace velmar::self_play::fakes;

namespace {

Config loop_config(uint32_t sims, uint32_t sample_moves) {
  Config c;
  c.sims_per_move = sims;
  c.sample_moves = sample_moves;
  c.c_base = 19652.0f;
  c.c_init = 1.25f;
  c.dirichlet_alpha = 0.3f;
  c.exploration_fraction = 0.25f;
  return c;
}

std::vector<uint32_t> policy_cells(const Policy& p) {
  std::vector<uint32_t> out;
  for (const auto& [cell, share] : p) out.push_back(static_cast<uint32_t>(cell));
  return out;
}

// The cell the rule for the later tiles takes: the highest share, the last
// among equal shares (equal shares are equal counts: they share a divisor).
uint32_t most_visited_last(const Policy& p) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < p.size(); ++i) {
    if (p[i].second >= p[best].second) best = i;
  }
  return static_cast<uint32_t>(p[best].first);
}

// Replays a record from a new game: every policy lists exactly the legal
// tiles of its position, every tile taken is one of them and is taken by
// the player to move, and the game ends with the recorded payoffs. Returns
// the final game.
Game replay(const GameRecord& rec) {
  Game g = Game::reset();
  EXPECT_EQ(rec.history.size(), rec.policies.size());
  for (std::size_t i = 0; i < rec.history.size() && i < rec.policies.size(); ++i) {
    const std::vector<uint32_t> cells = policy_cells(rec.policies[i]);
    EXPECT_EQ(sorted(cells), sorted(g.legal_tiles())) << "tile " << i;
    const HistoryEntry& h = rec.history[i];
    EXPECT_EQ(g.current_player(), std::optional<uint32_t>(static_cast<uint32_t>(h.player)))
        << "tile " << i;
    EXPECT_NE(std::find(cells.begin(), cells.end(), static_cast<uint32_t>(h.cell)), cells.end())
        << "tile " << i;
    EXPECT_TRUE(g.apply(static_cast<uint32_t>(h.cell)).ok()) << "tile " << i;
  }
  EXPECT_TRUE(g.players.empty());
  EXPECT_EQ(rec.payoffs, g.get_payoff());
  return g;
}

// ------------------------------------------------------------------ play_game

struct LoopCase {
  uint32_t sims;
  uint32_t sample_moves;
  bool terminal;
};

class GameLoopPlays : public ::testing::TestWithParam<LoopCase> {};

TEST_P(GameLoopPlays, RecordIsConsistent) {
  const LoopCase& c = GetParam();
  FakeEvaluator ev(uniform_answer());
  MemoryConsole console;
  console.terminal = c.terminal;
  GameResult result = play_game(loop_config(c.sims, c.sample_moves), ev, console);
  ASSERT_TRUE(std::holds_alternative<GameRecord>(result));
  const GameRecord& rec = std::get<GameRecord>(result);
  ASSERT_FALSE(rec.history.empty());
  const Game end = replay(rec);

  for (std::size_t i = 0; i < rec.policies.size(); ++i) {
    const Policy& p = rec.policies[i];
    if (c.sims == 0) {
      for (const auto& [cell, share] : p) EXPECT_TRUE(std::isnan(share)) << i;
      // Every count is 0: the last candidate, in the opening and after.
      EXPECT_EQ(static_cast<uint32_t>(rec.history[i].cell), policy_cells(p).back()) << i;
      continue;
    }
    uint32_t visits = 0;
    for (const auto& [cell, share] : p) {
      const float count = share * static_cast<float>(c.sims);
      EXPECT_EQ(count, std::round(count)) << "tile " << i << " cell " << cell;
      visits += static_cast<uint32_t>(std::lround(count));
    }
    EXPECT_EQ(visits, c.sims) << "tile " << i;
    if (i + 1 >= c.sample_moves) {
      EXPECT_EQ(static_cast<uint32_t>(rec.history[i].cell), most_visited_last(p)) << "tile " << i;
    }
  }
  // The evaluator saw one root per tile and one leaf per simulation, less
  // the simulations that ended in a finished game.
  EXPECT_LE(ev.calls, static_cast<int>(rec.history.size() * (c.sims + 1)));
  EXPECT_GE(ev.calls, static_cast<int>(rec.history.size()));

  EXPECT_EQ(console.out, summary_line(end.get_payoff(), end.get_score()) + "\n");
  const std::string full = ProgressBar::render(400, 400) + "\n";
  ASSERT_TRUE(full.ends_with("400/400\n"));
  if (!c.terminal) {
    EXPECT_EQ(console.err, full);
  } else {
    ASSERT_TRUE(console.err.ends_with("\r" + full)) << console.err;
    // Every redraw starts with a carriage return; only the last one ends the line.
    EXPECT_EQ(std::count(console.err.begin(), console.err.end(), '\n'), 1);
    // The first tile is always drawn.
    EXPECT_TRUE(console.err.starts_with("\r" + ProgressBar::render(1, 400) + "\r")) << console.err;
  }
}

INSTANTIATE_TEST_SUITE_P(GameConfigs, GameLoopPlays,
                         ::testing::Values(LoopCase{2, 0, false}, LoopCase{3, 4, false},
                                           LoopCase{0, 10, false}, LoopCase{1, 1, true}));

TEST(GameLoopFailure, RootFailureEndsTheGame) {
  const std::string debug = "PyErr { type: <class 'OSError'>, value: OSError(9), traceback: None }";
  // With one simulation per tile, exchange 5 is the root of the third search.
  FakeEvaluator ev(failing_answer(5, debug));
  MemoryConsole console;
  GameResult result = play_game(loop_config(1, 0), ev, console);
  ASSERT_TRUE(std::holds_alternative<GameError>(result));
  const GameError& e = std::get<GameError>(result);
  EXPECT_EQ(e.text, "Error running MCTS");
  EXPECT_EQ(e.cause.debug, debug);
  EXPECT_EQ(console.out,
            "Error evaluating root node: " + debug + "\nError running MCTS: " + debug + "\n");
  EXPECT_TRUE(console.err.empty());  // the bar is not finished
  EXPECT_EQ(ev.calls, 5);
}

TEST(GameLoopFailure, LeafFailureAbortsTheCall) {
  const std::string debug =
      "PyErr { type: <class 'EOFError'>, value: EOFError(), traceback: None }";
  FakeEvaluator ev(failing_answer(4, debug));
  MemoryConsole console;
  try {
    play_game(loop_config(1, 0), ev, console);
    FAIL() << "no abort";
  } catch (const EvalAbort& e) {
    EXPECT_EQ(std::string(e.what()), "called `Result::unwrap()` on an `Err` value: " + debug);
  }
  EXPECT_TRUE(console.out.empty());
}

// ---------------------------------------------------------------- choose_move

struct ChooseCase {
  const char* name;
  Candidates candidates;
  std::size_t num_policies;
  uint32_t sample_moves;
  uint32_t want;
};

class ChooseMoveBest : public ::testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseMoveBest, MostVisitedLastAmongEqual) {
  const ChooseCase& c = GetParam();
  // Repeated: a draw by chance would show up as a different answer.
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(choose_move(c.candidates, c.num_policies, c.sample_moves), c.want);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ChooseCases, ChooseMoveBest,
    ::testing::Values(ChooseCase{"sample0", {{4, 1}, {9, 7}, {2, 3}}, 1, 0, 9},
                      ChooseCase{"sample1", {{4, 1}, {9, 7}, {2, 3}}, 1, 1, 9},
                      ChooseCase{"tie_last", {{4, 5}, {9, 5}, {2, 3}}, 1, 0, 9},
                      ChooseCase{"tie_last_of_three", {{11, 2}, {3, 2}, {30, 2}}, 7, 1, 30},
                      ChooseCase{"sample_reached", {{5, 50}, {6, 50}}, 3, 3, 6},
                      ChooseCase{"sample_passed", {{5, 60}, {6, 40}}, 9, 3, 5},
                      ChooseCase{"zeros_after_opening", {{8, 0}, {1, 0}, {3, 0}}, 5, 2, 3},
                      ChooseCase{"zeros_in_opening", {{8, 0}, {1, 0}, {3, 0}}, 1, 2, 3},
                      ChooseCase{"single_in_opening", {{42, 6}}, 1, 30, 42},
                      ChooseCase{"zero_weight_first_in_opening", {{12, 0}, {13, 4}}, 1, 30, 13}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChooseMoveDraw, OpeningDrawIsProportionalToVisits) {
  const Candidates c = {{7, 1}, {8, 3}, {9, 0}, {10, 4}};
  const int kDraws = 8000;
  std::map<uint32_t, int> seen;
  for (int i = 0; i < kDraws; ++i) ++seen[choose_move(c, 1, 2)];
  EXPECT_EQ(seen.count(9), 0u);
  EXPECT_EQ(seen[7] + seen[8] + seen[10], kDraws);
  // Standard deviations of the shares are below 0.006.
  EXPECT_NEAR(seen[7] / double{kDraws}, 1.0 / 8.0, 0.03);
  EXPECT_NEAR(seen[8] / double{kDraws}, 3.0 / 8.0, 0.03);
  EXPECT_NEAR(seen[10] / double{kDraws}, 4.0 / 8.0, 0.03);
}

TEST(ChooseMoveDraw, DrawnOnlyWhileFewerPoliciesThanSampleMoves) {
  const Candidates c = {{5, 50}, {6, 50}};
  int first = 0;
  for (int i = 0; i < 200; ++i) first += choose_move(c, 2, 3) == 5;
  EXPECT_GT(first, 0);  // drawn: each half the time
  EXPECT_LT(first, 200);
}

TEST(ChooseMove, NoCandidatesIsAnInvariantFailure) {
  EXPECT_THROW(choose_move({}, 1, 0), InvariantError);
  EXPECT_THROW(choose_move({}, 1, 5), InvariantError);
}

// ------------------------------------------------------ format_float, summary

struct FloatCase {
  float value;
  const char* text;
};

class GameFormatFloat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(GameFormatFloat, ShortestWithFraction) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
  EXPECT_EQ(std::stof(format_float(GetParam().value)), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(GameFloats, GameFormatFloat,
                         ::testing::Values(FloatCase{0.0f, "0.0"}, FloatCase{1.0f, "1.0"},
                                           FloatCase{0.5f, "0.5"}, FloatCase{0.25f, "0.25"},
                                           FloatCase{1.0f / 3.0f, "0.33333334"},
                                           FloatCase{0.1f, "0.1"}, FloatCase{2.0f, "2.0"},
                                           FloatCase{-0.75f, "-0.75"}));

TEST(GameFormatFloatReadBack, ReadsBackAsTheSameFloat) {
  for (float v : {0.2f, 0.3f, 2.0f / 3.0f, 1.0f / 7.0f, 123.456f, 16777216.0f, 1e-3f, 1e-10f, 3e20f,
                  -2.5e-7f}) {
    const std::string text = format_float(v);
    float back = 0.0f;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(res.ec, std::errc()) << text;
    EXPECT_EQ(res.ptr, text.data() + text.size()) << "not all of " << text << " is the number";
    EXPECT_EQ(back, v) << text;
    EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
  }
}

TEST(GameSummaryLine, PayoffAndScoreLists) {
  EXPECT_EQ(summary_line({0.5f, 0.0f, 0.5f, 0.0f}, {-12, -30, -12, -89}),
            "Game finished with payoff: [0.5, 0.0, 0.5, 0.0] and score: [-12, -30, -12, -89]");
  EXPECT_EQ(summary_line({0.0f, 1.0f, 0.0f, 0.0f}, {0, 35, -1, 7}),
            "Game finished with payoff: [0.0, 1.0, 0.0, 0.0] and score: [0, 35, -1, 7]");
  const float third = 1.0f / 3.0f;
  EXPECT_EQ(summary_line({third, third, 0.0f, third}, {2, 2, -5, 2}),
            "Game finished with payoff: [0.33333334, 0.33333334, 0.0, 0.33333334] and score: "
            "[2, 2, -5, 2]");
  EXPECT_EQ(summary_line({0.25f, 0.25f, 0.25f, 0.25f}, {-89, -89, -89, -89}),
            "Game finished with payoff: [0.25, 0.25, 0.25, 0.25] and score: [-89, -89, -89, -89]");
}

// --------------------------------------------------------------- ProgressBar

TEST(ProgressBarRender, WidthFixedAndFilledByPosition) {
  std::size_t last_filled = 0;
  std::size_t width = 0;
  for (uint32_t pos : {0u, 1u, 10u, 100u, 200u, 399u, 400u}) {
    const std::string text = ProgressBar::render(pos, 400);
    const std::string tail = "] " + std::to_string(pos) + "/400";
    ASSERT_TRUE(text.ends_with(tail)) << text;
    ASSERT_EQ(text.front(), '[') << text;
    const std::string inner = text.substr(1, text.size() - tail.size() - 1);
    if (width == 0) width = inner.size();
    EXPECT_EQ(inner.size(), width) << text;
    const std::size_t filled = std::count(inner.begin(), inner.end(), '=');
    EXPECT_GE(filled, last_filled) << text;
    EXPECT_EQ(inner.find_first_not_of('='), pos == 400 ? std::string::npos : filled) << text;
    last_filled = filled;
  }
  EXPECT_EQ(last_filled, width);
}

TEST(ProgressBarDraw, NotATerminalOnlyTheFinishedBar) {
  MemoryConsole console;
  ProgressBar bar(console, 400);
  for (int i = 0; i < 37; ++i) bar.advance();
  EXPECT_EQ(bar.position(), 37u);
  EXPECT_TRUE(console.err.empty());
  bar.finish();
  EXPECT_EQ(bar.position(), 400u);
  EXPECT_EQ(console.err, ProgressBar::render(400, 400) + "\n");
  EXPECT_TRUE(console.out.empty());
}

TEST(ProgressBarDraw, TerminalRedrawsInPlace) {
  MemoryConsole console;
  console.terminal = true;
  ProgressBar bar(console, 400);
  bar.advance();
  EXPECT_EQ(console.err, "\r" + ProgressBar::render(1, 400));
  bar.advance(2);
  EXPECT_EQ(bar.position(), 3u);
  bar.finish();
  EXPECT_TRUE(console.err.ends_with("\r" + ProgressBar::render(400, 400) + "\n"));
  EXPECT_TRUE(console.out.empty());
}

}  // namespace
