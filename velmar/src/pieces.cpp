#include "pieces.h"

#include <algorithm>
#include <string_view>

#include "invariant.h"

namespace velmar {
namespace {

template <std::size_t... I>
std::array<Piece, kNumKinds> make_pieces(std::index_sequence<I...>) {
  return {Piece(static_cast<uint32_t>(I))...};
}

// Builds the pieces and checks that the compile-time orientation table lists
// exactly their variants, in the same order.
std::array<Piece, kNumKinds> build_pieces() {
  std::array<Piece, kNumKinds> pieces = make_pieces(std::make_index_sequence<kNumKinds>{});
  const detail::OrientationTable& t = detail::kOrientationTable;
  for (const Piece& piece : pieces) {
    if (piece.variants.size() != t.count[piece.kind]) fail("orientation table: variant count");
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      const PieceVariant& pv = piece.variants[v];
      const Orientation& o = t.orientations[t.first[piece.kind] + v];
      bool same = o.kind == piece.kind && o.variant == v && o.size == piece.size &&
                  o.width == pv.width && o.mask_len == pv.mask.size() &&
                  pv.offsets.size() == piece.size;
      for (uint32_t i = 0; same && i < pv.offsets.size(); ++i) same = o.offsets[i] == pv.offsets[i];
      if (!same) fail("orientation table: variant differs from the piece's");
    }
  }
  return pieces;
}

}  // namespace

Shape base_shape(uint32_t kind) {
  if (kind >= kNumKinds) fail_index(kNumKinds, kind);
  Shape shape(1);
  for (char c : detail::kBaseShapes[kind]) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == '1');
    }
  }
  return shape;
}

PieceVariant::PieceVariant(Shape s) : shape(std::move(s)) {
  if (shape.empty() || shape[0].empty()) fail("a shape needs at least one row and column");
  width = static_cast<uint32_t>(shape[0].size());
  for (std::size_t r = 0; r < shape.size(); ++r) {
    if (shape[r].size() != width) fail("the rows of a shape differ in length");
    mask.insert(mask.end(), shape[r].begin(), shape[r].end());
    if (r + 1 < shape.size()) mask.insert(mask.end(), kBoardSide - width, false);
  }
  for (uint32_t k = 0; k < mask.size(); ++k) {
    if (mask[k]) offsets.push_back(k);
  }
}

Shape Piece::rotate(Shape shape) {
  if (shape.empty()) fail("a shape needs at least one row");
  const std::size_t rows = shape.size();
  const std::size_t cols = shape[0].size();
  Shape out(cols, std::vector<bool>(rows));
  for (std::size_t j = 0; j < cols; ++j) {
    for (std::size_t k = 0; k < rows; ++k) out[j][k] = shape[rows - 1 - k][j];
  }
  return out;
}

Shape Piece::flip(Shape shape) {
  for (auto& row : shape) std::reverse(row.begin(), row.end());
  return shape;
}

Piece::Piece(uint32_t k) : shape(base_shape(k)), kind(k) {
  for (const auto& row : shape)
    size += static_cast<uint32_t>(std::count(row.begin(), row.end(), true));
  Shape candidates[8];
  candidates[0] = shape;
  candidates[4] = flip(shape);
  for (int group : {0, 4}) {
    for (int i = 1; i < 4; ++i) candidates[group + i] = rotate(candidates[group + i - 1]);
  }
  for (Shape& c : candidates) {
    PieceVariant v(std::move(c));
    bool seen = std::any_of(variants.begin(), variants.end(),
                            [&](const PieceVariant& kept) { return kept.mask == v.mask; });
    if (!seen) variants.push_back(std::move(v));
  }
}

const std::array<Piece, kNumKinds>& all_pieces() {
  static const std::array<Piece, kNumKinds> pieces = build_pieces();
  return pieces;
}

uint32_t first_orientation(uint32_t kind) {
  if (kind >= kNumKinds) fail_index(kNumKinds, kind);
  return detail::kOrientationTable.first[kind];
}

uint32_t orientation_count(uint32_t kind) {
  if (kind >= kNumKinds) fail_index(kNumKinds, kind);
  return detail::kOrientationTable.count[kind];
}

}  // namespace velmar
