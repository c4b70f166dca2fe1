#pragma once
// The board: cell bytes, each player's corner cells and remaining pieces.
//
// Cell byte: the low nibble is 0 for an empty cell or owner + 1; bit 4 + p is
// set when player p may not place a square there. A covered cell holds all
// four blocked bits, 0xF0 | (owner + 1).
#include <array>
#include <cstdint>

#include "cell_set.h"
#include "fixed_vec.h"
#include "pieces.h"

namespace velmar {

inline constexpr uint32_t kNumPlayers = 4;
inline constexpr std::array<uint32_t, kNumPlayers> kStartCorners = {0, 19, 399, 380};

inline constexpr uint8_t blocked_bit(uint32_t player) {
  return static_cast<uint8_t>(1u << (4 + player));
}

// A player's remaining pieces, in kind order. It refers to the shared piece
// set by kind, so copying it copies 22 bytes and no shapes.
class PieceList {
 public:
  // All 21 pieces, kinds 0..20.
  static PieceList full();

  std::size_t size() const { return kinds_.size(); }
  bool empty() const { return kinds_.empty(); }
  uint32_t kind(std::size_t i) const { return kinds_[i]; }
  const Piece& operator[](std::size_t i) const { return all_pieces()[kinds_[i]]; }
  // Removes the piece at position i; later pieces move down one position.
  void erase(std::size_t i) { kinds_.erase(i); }
  friend bool operator==(const PieceList&, const PieceList&) = default;

 private:
  FixedVec<uint8_t, kNumKinds> kinds_;
};

struct Board {
  std::array<PieceList, kNumPlayers> pieces;
  std::array<CellSet, kNumPlayers> corners;
  std::array<uint8_t, kNumCells> cells{};

  // The starting board: empty cells, 21 pieces each, each player's corner set
  // holding only its starting corner.
  Board();

  // Puts a square of `player` on `cell` and updates blocked bits and corner
  // sets. The caller guarantees the square is legal; only the indices are checked.
  void place_tile(uint32_t cell, uint32_t player);

  // Per player: covered cells - 89, +15 with every piece placed, +20 when the
  // last one was the single square.
  std::array<int32_t, kNumPlayers> get_score(
      const std::array<uint32_t, kNumPlayers>& last_sizes) const;
};

}  // namespace velmar
