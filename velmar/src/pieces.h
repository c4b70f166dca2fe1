#pragma once
// The 21 polyomino pieces and their distinct orientations.
//
// Orientations are laid out with the board's row stride of 20 cells, so an
// orientation's offsets are board offsets from its top-left corner.
#include <array>
#include <cstdint>
#include <vector>

namespace velmar {

inline constexpr uint32_t kBoardSide = 20;
inline constexpr uint32_t kNumKinds = 21;
inline constexpr uint32_t kNumOrientations = 91;
inline constexpr uint32_t kSquaresPerPlayer = 89;

// Rows from top to bottom; element 0 of a row is its leftmost column.
using Shape = std::vector<std::vector<bool>>;

// One distinct orientation of a piece.
struct PieceVariant {
  std::vector<uint32_t> offsets;  // ascending positions k where mask[k] is true
  std::vector<bool> mask;         // rows joined with (20 - width) gaps between them
  Shape shape;
  uint32_t width = 0;

  // Derives mask, offsets and width from a shape with at least one row and
  // rows of equal length.
  explicit PieceVariant(Shape shape);
};

// One piece kind with its orientations in generation order.
struct Piece {
  Shape shape;
  std::vector<PieceVariant> variants;
  uint32_t kind = 0;
  uint32_t size = 0;

  // Builds kind 0..20 with its distinct orientations.
  explicit Piece(uint32_t kind);

  // A quarter turn clockwise: result row j, element k = source row R-1-k, element j.
  static Shape rotate(Shape shape);
  // The left-right mirror image: every row reversed.
  static Shape flip(Shape shape);
};

// The base shape of a kind, as a table row string such as "11/01".
Shape base_shape(uint32_t kind);

// A compact copy of one orientation, for move generation and narrowing.
struct Orientation {
  uint8_t kind = 0;
  uint8_t variant = 0;
  uint8_t size = 0;
  uint8_t width = 0;
  uint16_t mask_len = 0;
  std::array<uint16_t, 5> offsets{};
  std::array<uint64_t, 2> mask_bits{};  // bit k set when mask[k] is true

  // Whether the square at offset d (which may be negative) is part of the orientation.
  bool covers_offset(int32_t d) const {
    return d >= 0 && d < mask_len && ((mask_bits[d >> 6] >> (d & 63)) & 1u);
  }
};

// The process-wide, read-only piece set, built once on first use.
const std::array<Piece, kNumKinds>& all_pieces();
// All 91 orientations: kind 0's variants first, then kind 1's, and so on.
const std::array<Orientation, kNumOrientations>& all_orientations();
// Index into all_orientations() of variant 0 of a kind.
uint32_t first_orientation(uint32_t kind);

}  // namespace velmar
