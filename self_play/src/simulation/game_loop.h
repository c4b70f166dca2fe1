#pragma once
// One whole self-play game: a search per tile, the visit shares recorded, the
// tile drawn by visits in the opening and the most visited one afterwards.
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "config.h"
#include "console.h"
#include "evaluate.h"
#include "module_contract_texts.h"
#include "progress_bar.h"

namespace velmar::self_play {

// (cell, share of the root's visits), in the root's walk order.
using Policy = std::vector<std::pair<int32_t, float>>;

struct GameRecord {
  std::vector<HistoryEntry> history;  // every tile taken, with its player
  std::vector<Policy> policies;       // one per tile taken
  std::array<float, kNumPlayers> payoffs{};
  // Per tile, whether it had a full search (playout caps); filled only by
  // the loop with options.
  std::vector<bool> full_search;
};

// A game ended early by a failed root evaluation.
struct GameError {
  std::string text;  // kMctsError
  EvalError cause;
};

using GameResult = std::variant<GameRecord, GameError>;

GameResult play_game(const Config& config, Evaluator& evaluator, Console& console);

// The record of a finished game: its history, the policies and the payoff;
// writes the summary line and finishes the bar.
GameRecord finish_game(const Game& game, std::vector<Policy> policies, ProgressBar& bar,
                       Console& console);

// (cell, visit count) in the root's walk order, at least one entry.
using Candidates = std::vector<std::pair<uint32_t, uint32_t>>;

// Draws in proportion to visits while fewer than `sample_moves` policies have
// been recorded (counting the current one), else takes the most visited
// candidate, the last one among equal counts.
uint32_t choose_move(const Candidates& candidates, std::size_t num_policies, uint32_t sample_moves);

// The shortest decimal that reads back as the same float, always with a
// fractional part: 0.0, 0.25, 0.33333334.
std::string format_float(float value);

// "Game finished with payoff: [...] and score: [...]".
std::string summary_line(const std::array<float, kNumPlayers>& payoff,
                         const std::array<int32_t, kNumPlayers>& score);

}  // namespace velmar::self_play
