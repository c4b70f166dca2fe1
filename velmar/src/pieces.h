#pragma once
// The 21 polyomino pieces and their distinct orientations.
//
// Orientations are laid out with the board's row stride of 20 cells, so an
// orientation's offsets are board offsets from its top-left corner.
#include <array>
#include <cstdint>
#include <string_view>
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

namespace detail {

// Base shapes as table rows: '1' a square, '0' a gap, '/' between rows.
inline constexpr std::array<std::string_view, kNumKinds> kBaseShapes = {
    "1",           "11",          "11/01",       "111",         "1111",      "11/10/10",
    "111/010",     "11/11",       "110/011",     "11111",       "1111/1000", "1110/0011",
    "111/110",     "111/100/100", "110/011/001", "110/010/011", "111/101",   "1111/0100",
    "010/111/010", "010/111/100", "111/010/010",
};

// A shape of at most 5 x 5 squares, for building the orientation table at
// compile time with the same turns, mirroring and de-duplication as Piece.
struct SmallShape {
  uint32_t rows = 0;
  uint32_t cols = 0;
  std::array<std::array<bool, 5>, 5> at{};
  friend constexpr bool operator==(const SmallShape&, const SmallShape&) = default;
};

constexpr SmallShape parse_shape(std::string_view text) {
  SmallShape s;
  s.rows = 1;
  uint32_t col = 0;
  for (char c : text) {
    if (c == '/') {
      ++s.rows;
      col = 0;
    } else {
      s.at[s.rows - 1][col++] = c == '1';
      s.cols = col;
    }
  }
  return s;
}

constexpr SmallShape rotate_shape(const SmallShape& s) {
  SmallShape out;
  out.rows = s.cols;
  out.cols = s.rows;
  for (uint32_t j = 0; j < out.rows; ++j)
    for (uint32_t k = 0; k < out.cols; ++k) out.at[j][k] = s.at[s.rows - 1 - k][j];
  return out;
}

constexpr SmallShape flip_shape(const SmallShape& s) {
  SmallShape out = s;
  for (uint32_t j = 0; j < s.rows; ++j)
    for (uint32_t k = 0; k < s.cols; ++k) out.at[j][k] = s.at[j][s.cols - 1 - k];
  return out;
}

struct OrientationTable {
  std::array<Orientation, kNumOrientations> orientations{};
  std::array<uint8_t, kNumKinds> first{};  // index of a kind's variant 0
  std::array<uint8_t, kNumKinds> count{};  // number of distinct orientations of a kind
};

constexpr OrientationTable build_orientation_table() {
  OrientationTable t;
  uint32_t id = 0;
  for (uint32_t kind = 0; kind < kNumKinds; ++kind) {
    std::array<SmallShape, 8> candidates{};
    candidates[0] = parse_shape(kBaseShapes[kind]);
    candidates[4] = flip_shape(candidates[0]);
    for (uint32_t group : {0u, 4u})
      for (uint32_t i = 1; i < 4; ++i)
        candidates[group + i] = rotate_shape(candidates[group + i - 1]);
    t.first[kind] = static_cast<uint8_t>(id);
    std::array<SmallShape, 8> kept{};
    uint32_t n = 0;
    for (const SmallShape& c : candidates) {
      bool seen = false;
      for (uint32_t i = 0; i < n; ++i) seen = seen || kept[i] == c;
      if (seen) continue;
      kept[n] = c;
      Orientation& o = t.orientations[id++];
      o.kind = static_cast<uint8_t>(kind);
      o.variant = static_cast<uint8_t>(n++);
      o.width = static_cast<uint8_t>(c.cols);
      o.mask_len = static_cast<uint16_t>((c.rows - 1) * kBoardSide + c.cols);
      for (uint32_t r = 0; r < c.rows; ++r) {
        for (uint32_t col = 0; col < c.cols; ++col) {
          if (!c.at[r][col]) continue;
          const uint32_t k = r * kBoardSide + col;
          o.offsets[o.size++] = static_cast<uint16_t>(k);
          o.mask_bits[k >> 6] |= uint64_t{1} << (k & 63);
        }
      }
    }
    t.count[kind] = static_cast<uint8_t>(n);
  }
  return t;
}

inline constexpr OrientationTable kOrientationTable = build_orientation_table();
static_assert(kOrientationTable.first[kNumKinds - 1] + kOrientationTable.count[kNumKinds - 1] ==
              kNumOrientations);

}  // namespace detail

// The process-wide, read-only piece set, built once on first use.
const std::array<Piece, kNumKinds>& all_pieces();
// All 91 orientations: kind 0's variants first, then kind 1's, and so on, each
// kind's in the order of its Piece::variants.
inline const std::array<Orientation, kNumOrientations>& all_orientations() {
  return detail::kOrientationTable.orientations;
}
// Index into all_orientations() of variant 0 of a kind.
uint32_t first_orientation(uint32_t kind);
// Number of distinct orientations of a kind.
uint32_t orientation_count(uint32_t kind);

}  // namespace velmar
