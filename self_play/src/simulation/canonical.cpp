#include "canonical.h"

#include <algorithm>
#include <array>
#include <vector>

namespace velmar::self_play {
namespace {

// A candidate's cells, ascending.
struct Cells {
  std::array<uint16_t, 5> cell{};
  uint32_t size = 0;
};

Cells cells_of(const CandidatePlacement& c) {
  Cells out;
  // Insertion in order: at most five cells.
  c.for_each_cell([&](uint32_t x) {
    uint32_t i = out.size++;
    for (; i > 0 && out.cell[i - 1] > x; --i) out.cell[i] = out.cell[i - 1];
    out.cell[i] = static_cast<uint16_t>(x);
  });
  return out;
}

// The candidates covering each cell, as ranges of one flat list.
struct CoverIndex {
  std::array<uint32_t, kNumCells + 1> start{};
  std::vector<uint32_t> ids;
};

CoverIndex cover_index(const std::vector<Cells>& cells) {
  CoverIndex index;
  for (const Cells& c : cells) {
    for (uint32_t i = 0; i < c.size; ++i) ++index.start[c.cell[i] + 1];
  }
  for (uint32_t x = 0; x < kNumCells; ++x) index.start[x + 1] += index.start[x];
  index.ids.resize(index.start[kNumCells]);
  std::array<uint32_t, kNumCells> next{};
  std::copy(index.start.begin(), index.start.end() - 1, next.begin());
  for (uint32_t id = 0; id < cells.size(); ++id) {
    for (uint32_t i = 0; i < cells[id].size; ++i) index.ids[next[cells[id].cell[i]]++] = id;
  }
  return index;
}

bool covers_all(const Cells& outer, const Cells& inner) {
  return std::includes(outer.cell.begin(), outer.cell.begin() + outer.size, inner.cell.begin(),
                       inner.cell.begin() + inner.size);
}

// Whether taking exactly the cells of candidate `id` completes a piece.
bool completable(const std::vector<Cells>& cells, const CoverIndex& index, uint32_t id) {
  const Cells& c = cells[id];
  const uint32_t first = c.cell[0];
  for (uint32_t k = index.start[first]; k < index.start[first + 1]; ++k) {
    const Cells& d = cells[index.ids[k]];
    if (d.size > c.size && covers_all(d, c)) return false;
  }
  return true;
}

}  // namespace

TileMask tiles_taken_in_piece(const TileMoves& moves) {
  TileMask taken;
  const auto& candidates = moves.candidates();
  if (candidates.empty()) return taken;
  candidates[0].for_each_cell([&](uint32_t x) {
    if (moves.contains(x)) return;
    const bool everywhere = std::all_of(candidates.begin(), candidates.end(),
                                        [&](const CandidatePlacement& c) { return c.covers(x); });
    if (everywhere) taken.set(x);
  });
  return taken;
}

TileMask canonical_tiles(const Game& game) {
  const TileMoves& moves = game.tile_moves;
  const TileMask taken = tiles_taken_in_piece(moves);
  int32_t last_taken = -1;
  for (uint32_t x = 0; x < kNumCells; ++x) {
    if (taken[x]) last_taken = static_cast<int32_t>(x);
  }
  std::vector<Cells> cells;
  cells.reserve(moves.candidates().size());
  for (const CandidatePlacement& c : moves.candidates()) cells.push_back(cells_of(c));
  const CoverIndex index = cover_index(cells);
  TileMask out;
  for (uint32_t id = 0; id < cells.size(); ++id) {
    const Cells& c = cells[id];
    const uint16_t* next = std::find_if(c.cell.begin(), c.cell.begin() + c.size,
                                        [&](uint16_t x) { return !taken[x]; });
    if (next == c.cell.begin() + c.size || static_cast<int32_t>(*next) <= last_taken) continue;
    if (!out[*next] && completable(cells, index, id)) out.set(*next);
  }
  if (out.none()) {
    for (uint32_t x : game.legal_tiles()) out.set(x);
  }
  return out;
}

}  // namespace velmar::self_play
