#include "pieces.h"

#include <algorithm>
#include <string_view>

#include "invariant.h"

namespace velmar {
namespace {

constexpr std::array<std::string_view, kNumKinds> kBaseShapes = {
    "1",           "11",          "11/01",       "111",         "1111",      "11/10/10",
    "111/010",     "11/11",       "110/011",     "11111",       "1111/1000", "1110/0011",
    "111/110",     "111/100/100", "110/011/001", "110/010/011", "111/101",   "1111/0100",
    "010/111/010", "010/111/100", "111/010/010",
};

struct Tables {
  std::array<Piece, kNumKinds> pieces;
  std::array<Orientation, kNumOrientations> orientations;
  std::array<uint32_t, kNumKinds> first;
};

template <std::size_t... I>
std::array<Piece, kNumKinds> make_pieces(std::index_sequence<I...>) {
  return {Piece(static_cast<uint32_t>(I))...};
}

Tables build_tables() {
  Tables t{make_pieces(std::make_index_sequence<kNumKinds>{}), {}, {}};
  uint32_t id = 0;
  for (const Piece& piece : t.pieces) {
    t.first[piece.kind] = id;
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      const PieceVariant& pv = piece.variants[v];
      if (id >= kNumOrientations) fail("more orientations than expected");
      Orientation& o = t.orientations[id++];
      o.kind = static_cast<uint8_t>(piece.kind);
      o.variant = static_cast<uint8_t>(v);
      o.size = static_cast<uint8_t>(piece.size);
      o.width = static_cast<uint8_t>(pv.width);
      o.mask_len = static_cast<uint16_t>(pv.mask.size());
      for (uint32_t i = 0; i < pv.offsets.size(); ++i) {
        uint32_t k = pv.offsets[i];
        o.offsets[i] = static_cast<uint16_t>(k);
        o.mask_bits[k >> 6] |= uint64_t{1} << (k & 63);
      }
    }
  }
  if (id != kNumOrientations) fail("fewer orientations than expected");
  return t;
}

const Tables& tables() {
  static const Tables t = build_tables();
  return t;
}

}  // namespace

Shape base_shape(uint32_t kind) {
  if (kind >= kNumKinds) fail_index(kNumKinds, kind);
  Shape shape(1);
  for (char c : kBaseShapes[kind]) {
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
  return tables().pieces;
}

const std::array<Orientation, kNumOrientations>& all_orientations() {
  return tables().orientations;
}

uint32_t first_orientation(uint32_t kind) {
  if (kind >= kNumKinds) fail_index(kNumKinds, kind);
  return tables().first[kind];
}

}  // namespace velmar
