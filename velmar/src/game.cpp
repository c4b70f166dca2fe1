#include "game.h"

namespace velmar {

std::vector<Placement> TileMoves::at(uint32_t cell) const {
  std::vector<Placement> out;
  if (!contains(cell)) return out;
  for (const Candidate& c : candidates_) {
    if (c.covers(cell)) out.push_back(c.placement());
  }
  return out;
}

void TileMoves::add(Candidate c) {
  candidates_.push_back(c);
  c.for_each_cell([&](uint32_t x) { keys_.insert(x); });
}

void TileMoves::take(uint32_t tile) {
  std::size_t kept = 0;
  CellSet covered;
  for (const Candidate& c : candidates_) {
    if (!c.covers(tile)) continue;
    candidates_[kept++] = c;
    c.for_each_cell([&](uint32_t x) { covered.insert(x); });
  }
  candidates_.resize(kept);
  keys_.erase(tile);
  keys_ &= covered;
}

TileMoves get_tile_moves(const Board& board, uint32_t player) {
  if (player >= kNumPlayers) fail_index(kNumPlayers, player);
  TileMoves moves;
  const uint8_t b = blocked_bit(player);
  const auto& orientations = all_orientations();
  const PieceList& list = board.pieces[player];
  const CellSet& corners = board.corners[player];
  // A placement touching several corner cells is found once from each of them.
  std::array<uint64_t, (kNumOrientations * kNumCells + 63) / 64> seen{};

  for (uint32_t i = 0; i < list.size(); ++i) {
    const uint32_t kind = list.kind(i);
    const uint32_t first = first_orientation(kind);
    const uint32_t count = static_cast<uint32_t>(all_pieces()[kind].variants.size());
    corners.for_each([&](uint32_t a) {
      for (uint32_t id = first; id < first + count; ++id) {
        const Orientation& o = orientations[id];
        for (uint32_t s = 0; s < o.size; ++s) {
          const uint32_t k = o.offsets[s];
          if (a < k) break;  // offsets ascend
          const uint32_t origin = a - k;
          if (origin + o.mask_len > kNumCells) continue;
          if (origin % kBoardSide + o.width > kBoardSide) continue;
          bool free = true;
          for (uint32_t t = 0; t < o.size && free; ++t)
            free = !(board.cells[origin + o.offsets[t]] & b);
          if (!free) continue;
          const uint32_t key = id * kNumCells + origin;
          uint64_t& word = seen[key >> 6];
          const uint64_t bit = uint64_t{1} << (key & 63);
          if (word & bit) continue;
          word |= bit;
          moves.add(
              {static_cast<uint16_t>(origin), static_cast<uint8_t>(id), static_cast<uint8_t>(i)});
        }
      }
    });
  }
  return moves;
}

Game Game::reset() {
  Game game;
  game.tile_moves = get_tile_moves(game.board, 0);
  game.players = {0, 1, 2, 3};
  return game;
}

std::optional<uint32_t> Game::current_player() const {
  if (current < players.size()) return players[current];
  return std::nullopt;
}

ApplyResult Game::apply(uint32_t tile, std::optional<uint32_t> piece) {
  if (current >= players.size()) return {kNoCurrentPlayer};
  const uint32_t p = players[current];
  if (tile >= kNumCells) fail_index(kNumCells, tile);
  if (!tile_moves.contains(tile)) return {kInvalidMove};
  if (piece && *piece >= board.pieces[p].size()) fail_index(board.pieces[p].size(), *piece);

  board.place_tile(tile, p);
  history.push_back({static_cast<int32_t>(p), static_cast<int32_t>(tile)});
  tile_moves.take(tile);

  if (piece || tile_moves.empty()) {
    uint32_t i = 0;
    if (piece) {
      i = *piece;
    } else {
      // No key left: the tiles taken are exactly one placement.
      if (tile_moves.candidates().size() != 1) fail("a completed move must leave one placement");
      i = tile_moves.candidates()[0].piece;
    }
    last_sizes[p] = board.pieces[p][i].size;
    board.pieces[p].erase(i);
    advance_player();
  }
  return {};
}

std::optional<uint32_t> Game::advance_player() {
  if (players.empty()) fail("no player left to pass the turn to");
  current = static_cast<uint32_t>((current + 1) % players.size());
  for (;;) {
    const uint32_t p = players[current];
    tile_moves = get_tile_moves(board, p);
    if (!tile_moves.empty()) return p;
    players.erase(current);
    if (players.empty()) return std::nullopt;
    current = static_cast<uint32_t>(current % players.size());
  }
}

std::array<float, kNumPlayers> Game::get_payoff() const {
  const auto scores = get_score();
  std::array<float, kNumPlayers> payoff{};
  int32_t best = scores[0];
  FixedVec<uint32_t, kNumPlayers> leaders;
  for (uint32_t j = 0; j < kNumPlayers; ++j) {
    if (scores[j] == best) {
      leaders.push_back(j);
    } else if (scores[j] > best) {
      leaders = {j};
      best = scores[j];
    }
  }
  const float share = 1.0f / static_cast<float>(leaders.size());
  for (uint32_t j : leaders) payoff[j] = share;
  return payoff;
}

}  // namespace velmar
