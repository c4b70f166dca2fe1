#pragma once
// The game state, move generation and taking tiles.
//
// The unit of action is a tile: a cell the player to move takes as the next
// square of the piece it is placing. The tile-move map holds the player's
// candidate placements grouped by the cells they cover; taking a tile keeps
// the candidates that cover it, and the piece is complete when no candidate
// covers a further cell.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "board.h"
#include "contract_texts.h"

namespace velmar {

// One legal way to put one of the player's remaining pieces on the board.
struct Placement {
  uint32_t piece = 0;    // position in the player's remaining-piece list
  uint32_t variant = 0;  // position in that piece's variants
  uint32_t origin = 0;   // cell under the orientation's top-left corner
  friend bool operator==(const Placement&, const Placement&) = default;
  friend auto operator<=>(const Placement&, const Placement&) = default;
};

// A candidate placement packed into four bytes.
struct CandidatePlacement {
  uint16_t origin = 0;
  uint8_t orientation = 0;  // index into all_orientations()
  uint8_t piece = 0;        // position in the player's remaining-piece list

  const Orientation& shape() const { return all_orientations()[orientation]; }
  bool covers(uint32_t cell) const {
    return shape().covers_offset(static_cast<int32_t>(cell) - static_cast<int32_t>(origin));
  }
  Placement placement() const { return {piece, shape().variant, origin}; }
  template <typename F>
  void for_each_cell(F&& f) const {
    const Orientation& o = shape();
    for (uint32_t i = 0; i < o.size; ++i) f(static_cast<uint32_t>(origin + o.offsets[i]));
  }
};

// The tile-move map: for every key cell, the candidates that cover it. The
// candidates are kept once each, with the set of key cells beside them; the
// set of a key is the candidates that cover it, which is never empty.
class TileMoves {
 public:
  bool empty() const { return keys_.empty(); }
  // Number of keys.
  uint32_t size() const { return keys_.size(); }
  bool contains(uint32_t cell) const { return keys_.contains(cell); }
  const CellSet& keys() const { return keys_; }
  const std::vector<CandidatePlacement>& candidates() const { return candidates_; }
  // The set of a cell: the placements covering it; empty when it is not a key.
  std::vector<Placement> at(uint32_t cell) const;

  // Takes a key cell: drops it and keeps only the candidates covering it,
  // removing every key no kept candidate covers. The caller checks contains().
  void take(uint32_t tile);

 private:
  friend TileMoves get_tile_moves(const Board& board, uint32_t player);

  std::vector<CandidatePlacement> candidates_;
  CellSet keys_;
};

// Every legal placement of `player` on `board`, grouped by covered cell.
TileMoves get_tile_moves(const Board& board, uint32_t player);

struct HistoryEntry {
  int32_t player = 0;
  int32_t cell = 0;
  friend bool operator==(const HistoryEntry&, const HistoryEntry&) = default;
};

struct ApplyResult {
  std::string_view error;  // empty on success, else kNoCurrentPlayer or kInvalidMove
  bool ok() const { return error.empty(); }
};

struct Game {
  Board board;
  TileMoves tile_moves;
  std::array<uint32_t, kNumPlayers> last_sizes{};
  FixedVec<HistoryEntry, kNumCells> history;  // every tile covers a new cell
  FixedVec<uint32_t, kNumPlayers> players;
  uint32_t current = 0;

  // A new game with player 0 to move.
  static Game reset();

  // The player to move, or none once the game is over.
  std::optional<uint32_t> current_player() const;
  // The cells the player to move may take next; empty once the game is over.
  std::vector<uint32_t> legal_tiles() const { return tile_moves.keys().to_vector(); }

  // Takes `tile` for the player to move. With `piece` the move is completed
  // after this tile with that piece. A rejected tile changes nothing.
  ApplyResult apply(uint32_t tile, std::optional<uint32_t> piece = std::nullopt);
  // Passes the turn to the next player with a legal placement, removing
  // players who have none. Returns the player to move, or none when over.
  std::optional<uint32_t> advance_player();

  std::array<int32_t, kNumPlayers> get_score() const { return board.get_score(last_sizes); }
  // 1.0 shared equally by the players with the highest score.
  std::array<float, kNumPlayers> get_payoff() const;
};

}  // namespace velmar
