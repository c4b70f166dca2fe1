#pragma once
// Test helpers: a slow, straightforward reference for the contact rules and
// the move generator, written from the shapes alone, and whole-game equality.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "game.h"

namespace velmar {

inline void PrintTo(const Placement& p, std::ostream* os) {
  *os << "{piece " << p.piece << ", variant " << p.variant << ", origin " << p.origin << "}";
}

namespace ref {

inline constexpr int kSide = 20;

inline std::string shape_string(const Shape& shape) {
  std::string s;
  for (std::size_t r = 0; r < shape.size(); ++r) {
    if (r > 0) s += '/';
    for (bool b : shape[r]) s += b ? '1' : '0';
  }
  return s;
}

inline Shape parse_shape(const std::string& text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == '1');
    }
  }
  return shape;
}

inline uint32_t owner_of(const Board& b, int cell) {
  return b.cells[cell] & 0x0F;
}

// Up to four neighbouring cells.
struct Neighbours {
  std::array<int, 4> cells{};
  int n = 0;
  const int* begin() const { return cells.data(); }
  const int* end() const { return cells.data() + n; }
};

// Edge neighbours of a cell, without wrapping across the side edges.
inline Neighbours edge_neighbours(int cell) {
  const int r = cell / kSide, c = cell % kSide;
  Neighbours out;
  if (c > 0) out.cells[out.n++] = cell - 1;
  if (c < kSide - 1) out.cells[out.n++] = cell + 1;
  if (r > 0) out.cells[out.n++] = cell - kSide;
  if (r < kSide - 1) out.cells[out.n++] = cell + kSide;
  return out;
}

// Diagonal neighbours of a cell, on the board and without wrapping.
inline Neighbours diagonal_neighbours(int cell) {
  const int r = cell / kSide, c = cell % kSide;
  Neighbours out;
  for (int dr : {-1, 1}) {
    for (int dc : {-1, 1}) {
      const int nr = r + dr, nc = c + dc;
      if (nr >= 0 && nr < kSide && nc >= 0 && nc < kSide) out.cells[out.n++] = nr * kSide + nc;
    }
  }
  return out;
}

// Per cell, whether player p may put a square there, and whether the cell is
// one of p's corner cells, derived from who owns which cell only.
struct ContactMaps {
  std::array<bool, kNumCells> free{};
  std::array<bool, kNumCells> corner{};
};

// Per cell, bit p set when a square of player p lies next to it along an edge
// (edge) or at a corner (diag).
struct OwnerContacts {
  std::array<uint8_t, kNumCells> edge{};
  std::array<uint8_t, kNumCells> diag{};
};

inline OwnerContacts owner_contacts(const Board& b) {
  OwnerContacts oc;
  for (int x = 0; x < static_cast<int>(kNumCells); ++x) {
    const uint32_t o = owner_of(b, x);
    if (o == 0) continue;
    const uint8_t bit = static_cast<uint8_t>(1u << (o - 1));
    for (int n : edge_neighbours(x)) oc.edge[n] |= bit;
    for (int n : diagonal_neighbours(x)) oc.diag[n] |= bit;
  }
  return oc;
}

inline ContactMaps contact_from_owners(const Board& b, const OwnerContacts& oc, uint32_t p) {
  ContactMaps m;
  for (uint32_t x = 0; x < kNumCells; ++x) {
    if (owner_of(b, static_cast<int>(x)) != 0 || ((oc.edge[x] >> p) & 1)) continue;
    m.free[x] = true;
    m.corner[x] = x == kStartCorners[p] || ((oc.diag[x] >> p) & 1);
  }
  return m;
}

inline ContactMaps contact_from_owners(const Board& b, uint32_t p) {
  return contact_from_owners(b, owner_contacts(b), p);
}

// The same maps taken from the board's own bookkeeping (blocked bits and
// corner set), for positions built by editing the board directly.
inline ContactMaps contact_from_bookkeeping(const Board& b, uint32_t p) {
  ContactMaps m;
  for (uint32_t x = 0; x < kNumCells; ++x) {
    m.free[x] = (b.cells[x] & blocked_bit(p)) == 0;
    m.corner[x] = b.corners[p].contains(x);
  }
  return m;
}

struct RefPlacement {
  Placement placement;
  std::array<uint32_t, 5> cells{};  // ascending, the first n in use
  uint32_t n = 0;

  const uint32_t* begin() const { return cells.data(); }
  const uint32_t* end() const { return cells.data() + n; }
  bool covers(uint32_t x) const { return std::find(begin(), end(), x) != end(); }
};

// Every legal placement: every remaining piece, every orientation, every
// position of its bounding box on the board.
inline std::vector<RefPlacement> reference_moves(const Board& b, uint32_t p, const ContactMaps& m) {
  std::vector<RefPlacement> out;
  // Corner cells counted over rectangles, so that a bounding box without any
  // corner cell is passed over at once.
  std::array<std::array<int, kSide + 1>, kSide + 1> sum{};
  for (int r = 0; r < kSide; ++r) {
    for (int c = 0; c < kSide; ++c) {
      sum[r + 1][c + 1] = sum[r][c + 1] + sum[r + 1][c] - sum[r][c] + m.corner[r * kSide + c];
    }
  }
  const PieceList& list = b.pieces[p];
  for (uint32_t i = 0; i < list.size(); ++i) {
    const Piece& piece = list[i];
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      const Shape& s = piece.variants[v].shape;
      const int rows = static_cast<int>(s.size()), cols = static_cast<int>(s[0].size());
      std::vector<int> squares;  // offsets from the top-left cell, row-major
      for (int sr = 0; sr < rows; ++sr) {
        for (int sc = 0; sc < cols; ++sc) {
          if (s[sr][sc]) squares.push_back(sr * kSide + sc);
        }
      }
      for (int r = 0; r + rows <= kSide; ++r) {
        for (int c = 0; c + cols <= kSide; ++c) {
          if (sum[r + rows][c + cols] - sum[r][c + cols] - sum[r + rows][c] + sum[r][c] == 0)
            continue;
          const int origin = r * kSide + c;
          RefPlacement rp;
          bool ok = true, touches = false;
          for (int d : squares) {
            const int x = origin + d;
            if (!m.free[x]) {
              ok = false;
              break;
            }
            touches |= m.corner[x];
            rp.cells[rp.n++] = static_cast<uint32_t>(x);
          }
          if (ok && touches) {
            rp.placement = {i, v, static_cast<uint32_t>(origin)};
            out.push_back(rp);
          }
        }
      }
    }
  }
  return out;
}

inline std::vector<Placement> placements_of(const std::vector<RefPlacement>& ref) {
  std::vector<Placement> out;
  for (const RefPlacement& r : ref) out.push_back(r.placement);
  std::sort(out.begin(), out.end());
  return out;
}

// The candidates of a tile-move map, sorted, duplicates kept.
inline std::vector<Placement> candidate_placements(const TileMoves& moves) {
  std::vector<Placement> out;
  for (const CandidatePlacement& c : moves.candidates()) out.push_back(c.placement());
  std::sort(out.begin(), out.end());
  return out;
}

inline std::vector<uint32_t> sorted(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

inline std::vector<Placement> sorted(std::vector<Placement> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Whole-state equality of two games.
inline ::testing::AssertionResult same_game(const Game& a, const Game& b) {
  if (a.board.cells != b.board.cells) return ::testing::AssertionFailure() << "cells differ";
  for (uint32_t p = 0; p < kNumPlayers; ++p) {
    if (!(a.board.corners[p] == b.board.corners[p]))
      return ::testing::AssertionFailure() << "corners of player " << p << " differ";
    if (!(a.board.pieces[p] == b.board.pieces[p]))
      return ::testing::AssertionFailure() << "pieces of player " << p << " differ";
  }
  if (!(a.tile_moves.keys() == b.tile_moves.keys()))
    return ::testing::AssertionFailure() << "tile-move keys differ";
  if (candidate_placements(a.tile_moves) != candidate_placements(b.tile_moves))
    return ::testing::AssertionFailure() << "candidates differ";
  if (a.last_sizes != b.last_sizes) return ::testing::AssertionFailure() << "last_sizes differ";
  if (!(a.history == b.history)) return ::testing::AssertionFailure() << "history differs";
  if (!(a.players == b.players)) return ::testing::AssertionFailure() << "players differ";
  if (a.current != b.current) return ::testing::AssertionFailure() << "current differs";
  return ::testing::AssertionSuccess();
}

}  // namespace ref
}  // namespace velmar
