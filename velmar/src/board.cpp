#include "board.h"

namespace velmar {

PieceList PieceList::full() {
  PieceList list;
  for (uint32_t k = 0; k < kNumKinds; ++k) list.kinds_.push_back(static_cast<uint8_t>(k));
  return list;
}

Board::Board() {
  const PieceList all = PieceList::full();
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    pieces[p] = all;
    corners[p].insert(kStartCorners[p]);
  }
}

void Board::place_tile(uint32_t cell, uint32_t player) {
  if (cell >= kNumCells) fail_index(kNumCells, cell);
  if (player >= kNumPlayers) fail_index(kNumPlayers, player);
  cells[cell] = static_cast<uint8_t>(0xF0 | (player + 1));
  for (CellSet& set : corners) set.erase(cell);

  const uint8_t b = blocked_bit(player);
  const uint32_t column = cell % kBoardSide;
  CellSet& own = corners[player];
  auto block = [&](uint32_t n) {
    cells[n] |= b;
    own.erase(n);
  };
  if (column != 0) block(cell - 1);
  if (column != kBoardSide - 1) block(cell + 1);
  if (cell >= kBoardSide) block(cell - kBoardSide);
  if (cell < kNumCells - kBoardSide) block(cell + kBoardSide);

  // Diagonals; one across the left or right edge wraps into another row and is skipped.
  const int32_t c = static_cast<int32_t>(cell);
  for (int32_t d : {21, -21, -19, 19}) {
    const int32_t n = c + d;
    if (n < 0 || n >= static_cast<int32_t>(kNumCells)) continue;
    if (cells[n] & b) continue;
    const uint32_t ncol = static_cast<uint32_t>(n) % kBoardSide;
    if (column == 0 && ncol == kBoardSide - 1) continue;
    if (column == kBoardSide - 1 && ncol == 0) continue;
    own.insert(static_cast<uint32_t>(n));
  }
}

std::array<int32_t, kNumPlayers> Board::get_score(
    const std::array<uint32_t, kNumPlayers>& last_sizes) const {
  std::array<int32_t, kNumPlayers> covered{};
  for (uint8_t byte : cells) {
    const uint32_t owner = byte & 0x0F;
    if (owner == 0) continue;
    if (owner > kNumPlayers) fail_index(kNumPlayers, owner - 1);
    ++covered[owner - 1];
  }
  std::array<int32_t, kNumPlayers> scores{};
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    const int32_t all = static_cast<int32_t>(kSquaresPerPlayer);
    if (!pieces[p].empty()) {
      scores[p] = covered[p] - all;
    } else if (last_sizes[p] == 1) {
      scores[p] = covered[p] - all + 20;
    } else {
      scores[p] = covered[p] - all + 15;
    }
  }
  return scores;
}

}  // namespace velmar
