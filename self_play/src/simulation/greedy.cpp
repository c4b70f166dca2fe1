#include "greedy.h"

#include <algorithm>

#include "invariant.h"

namespace velmar::self_play {
namespace {

constexpr int32_t kSide = static_cast<int32_t>(kBoardSide);

// Per orientation, the cells sharing an edge with it and those touching it
// only at a corner, as (row, column) steps from its top-left corner.
struct Surroundings {
  std::vector<std::array<int8_t, 2>> edges;
  std::vector<std::array<int8_t, 2>> diagonals;
};

std::vector<Surroundings> build_surroundings() {
  std::vector<Surroundings> out(kNumOrientations);
  for (uint32_t i = 0; i < kNumOrientations; ++i) {
    const Orientation& o = all_orientations()[i];
    std::array<std::array<uint8_t, 9>, 9> mark{};  // 1 under a square, two cells of margin
    for (uint32_t k = 0; k < o.size; ++k)
      mark[o.offsets[k] / kSide + 2][o.offsets[k] % kSide + 2] = 1;
    for (int r = 1; r < 8; ++r) {
      for (int c = 1; c < 8; ++c) {
        if (mark[r][c] == 1) continue;
        bool edge = false, diagonal = false;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc)
            if ((dr || dc) && mark[r + dr][c + dc] == 1) (dr && dc ? diagonal : edge) = true;
        auto step = std::array<int8_t, 2>{static_cast<int8_t>(r - 2), static_cast<int8_t>(c - 2)};
        if (edge)
          out[i].edges.push_back(step);
        else if (diagonal)
          out[i].diagonals.push_back(step);
      }
    }
  }
  return out;
}

const std::vector<Surroundings>& surroundings() {
  static const std::vector<Surroundings> table = build_surroundings();
  return table;
}

// The cell `step` away from `origin`, or -1 off the board.
int32_t cell_at(uint32_t origin, const std::array<int8_t, 2>& step) {
  const int32_t r = static_cast<int32_t>(origin) / kSide + step[0];
  const int32_t c = static_cast<int32_t>(origin) % kSide + step[1];
  if (r < 0 || r >= kSide || c < 0 || c >= kSide) return -1;
  return r * kSide + c;
}

GreedyChoice choice_of(const CandidatePlacement& c) {
  GreedyChoice out;
  c.for_each_cell([&](uint32_t x) { out.cells[out.size++] = static_cast<uint16_t>(x); });
  return out;  // orientation offsets ascend, so the cells do
}

// Whether every cell of `small` is a cell of `large`.
bool inside(const GreedyChoice& small, const CandidatePlacement& large) {
  for (uint32_t i = 0; i < small.size; ++i)
    if (!large.covers(small.cells[i])) return false;
  return true;
}

// The positions in `cand` of the candidates no larger candidate contains.
std::vector<uint32_t> maximal(const std::vector<CandidatePlacement>& cand) {
  // The candidates covering each cell; kept per thread to reuse the storage.
  thread_local std::array<std::vector<uint32_t>, kNumCells> by_cell;
  for (auto& list : by_cell) list.clear();
  for (uint32_t i = 0; i < cand.size(); ++i)
    cand[i].for_each_cell([&](uint32_t x) { by_cell[x].push_back(i); });
  std::vector<uint32_t> out;
  out.reserve(cand.size());
  for (uint32_t i = 0; i < cand.size(); ++i) {
    const GreedyChoice ch = choice_of(cand[i]);
    const bool contained =
        ch.size < 5 &&
        std::any_of(by_cell[ch.cells[0]].begin(), by_cell[ch.cells[0]].end(), [&](uint32_t j) {
          return cand[j].shape().size > ch.size && inside(ch, cand[j]);
        });
    if (!contained) out.push_back(i);
  }
  return out;
}

// Twice the score of placing `c` for `player`.
int32_t score2(const Board& board, uint32_t player, const CandidatePlacement& c) {
  const CellSet& own = board.corners[player];
  const Surroundings& s = surroundings()[c.orientation];
  int32_t own_after = static_cast<int32_t>(own.size());
  c.for_each_cell([&](uint32_t x) { own_after -= own.contains(x); });
  for (const auto& step : s.edges) {
    const int32_t x = cell_at(c.origin, step);
    if (x >= 0) own_after -= own.contains(static_cast<uint32_t>(x));
  }
  for (const auto& step : s.diagonals) {
    const int32_t x = cell_at(c.origin, step);
    if (x < 0 || own.contains(static_cast<uint32_t>(x))) continue;
    const uint8_t byte = board.cells[static_cast<uint32_t>(x)];
    own_after += (byte & 0x0F) == 0 && (byte & blocked_bit(player)) == 0;
  }
  int32_t others = 0;
  for (uint32_t q = 0; q < kNumPlayers; ++q) {
    if (q == player) continue;
    others += static_cast<int32_t>(board.corners[q].size());
    c.for_each_cell([&](uint32_t x) { others -= board.corners[q].contains(x); });
  }
  return 6 * static_cast<int32_t>(c.shape().size) + 2 * own_after - others;
}

// Whether `player` has no square of an unfinished piece on the board.
bool at_turn_start(const Board& board, uint32_t player) {
  uint32_t placed = 0;
  for (uint8_t byte : board.cells) placed += (byte & 0x0F) == player + 1;
  uint32_t held = 0;
  for (std::size_t i = 0; i < board.pieces[player].size(); ++i)
    held += board.pieces[player][i].size;
  return placed + held == kSquaresPerPlayer;
}

}  // namespace

GreedyChoices greedy_choices(const Game& game, MidMove mid) {
  GreedyChoices out;
  const auto player = game.current_player();
  if (!player) return out;
  const auto& cand = game.tile_moves.candidates();
  out.turn_start = at_turn_start(game.board, *player);
  for (uint32_t i : maximal(cand)) {
    GreedyChoice ch = choice_of(cand[i]);
    const bool scored = out.turn_start || mid == MidMove::kScored;
    ch.score2 = scored ? score2(game.board, *player, cand[i]) : 2 * static_cast<int32_t>(ch.size);
    out.choices.push_back(ch);
  }
  std::stable_sort(out.choices.begin(), out.choices.end(),
                   [](const auto& a, const auto& b) { return a.score2 > b.score2; });
  return out;
}

void play_choice(Game& game, const GreedyChoice& choice) {
  for (uint32_t i = 0; i < choice.size; ++i) {
    const uint32_t x = choice.cells[i];
    if ((game.board.cells[x] & 0x0F) != 0) continue;  // taken earlier in the move
    if (!game.apply(x).ok()) fail("the greedy rule chose a tile the rules refuse");
  }
}

bool play_greedy_move(Game& game, Rng& rng, MidMove mid) {
  const GreedyChoices found = greedy_choices(game, mid);
  if (found.choices.empty()) {
    if (game.current_player()) fail("a player to move with no completable placement");
    return false;
  }
  const int32_t best = found.choices.front().score2;
  uint32_t ties = 0;
  while (ties < found.choices.size() && found.choices[ties].score2 == best) ++ties;
  play_choice(game, found.choices[rng.below(ties)]);
  return true;
}

void play_greedy_to_end(Game& game, Rng& rng) {
  while (play_greedy_move(game, rng)) {
  }
}

std::array<float, kNumPlayers> greedy_playout(Game game, Rng& rng) {
  if (play_greedy_move(game, rng, MidMove::kScored)) play_greedy_to_end(game, rng);
  return game.get_payoff();
}

}  // namespace velmar::self_play
