#include "pieces.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "reference.h"

using namespace velmar;
using ref::parse_shape;
using ref::shape_string;

namespace {

struct KindRow {
  uint32_t size;
  std::string base;
  std::vector<std::string> variants;  // generation order
};

// Every kind's orientations in the order the generator must produce them.
const std::vector<KindRow> kTable = {
    {1, "1", {"1"}},
    {2, "11", {"11", "1/1"}},
    {3, "11/01", {"11/01", "01/11", "10/11", "11/10"}},
    {3, "111", {"111", "1/1/1"}},
    {4, "1111", {"1111", "1/1/1/1"}},
    {4,
     "11/10/10",
     {"11/10/10", "111/001", "01/01/11", "100/111", "11/01/01", "001/111", "10/10/11", "111/100"}},
    {4, "111/010", {"111/010", "01/11/01", "010/111", "10/11/10"}},
    {4, "11/11", {"11/11"}},
    {4, "110/011", {"110/011", "01/11/10", "011/110", "10/11/01"}},
    {5, "11111", {"11111", "1/1/1/1/1"}},
    {5,
     "1111/1000",
     {"1111/1000", "11/01/01/01", "0001/1111", "10/10/10/11", "1111/0001", "01/01/01/11",
      "1000/1111", "11/10/10/10"}},
    {5,
     "1110/0011",
     {"1110/0011", "01/01/11/10", "1100/0111", "01/11/10/10", "0111/1100", "10/11/01/01",
      "0011/1110", "10/10/11/01"}},
    {5,
     "111/110",
     {"111/110", "11/11/01", "011/111", "10/11/11", "111/011", "01/11/11", "110/111", "11/11/10"}},
    {5, "111/100/100", {"111/100/100", "111/001/001", "001/001/111", "100/100/111"}},
    {5, "110/011/001", {"110/011/001", "001/011/110", "100/110/011", "011/110/100"}},
    {5, "110/010/011", {"110/010/011", "001/111/100", "011/010/110", "100/111/001"}},
    {5, "111/101", {"111/101", "11/01/11", "101/111", "11/10/11"}},
    {5,
     "1111/0100",
     {"1111/0100", "01/11/01/01", "0010/1111", "10/10/11/10", "1111/0010", "01/01/11/01",
      "0100/1111", "10/11/10/10"}},
    {5, "010/111/010", {"010/111/010"}},
    {5,
     "010/111/100",
     {"010/111/100", "110/011/010", "001/111/010", "010/110/011", "010/111/001", "010/011/110",
      "100/111/010", "011/110/010"}},
    {5, "111/010/010", {"111/010/010", "001/111/001", "010/010/111", "100/111/100"}},
};

class PieceKind : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PieceKind, MatchesTheOrientationTable) {
  const uint32_t kind = GetParam();
  const KindRow& row = kTable[kind];
  const Piece piece(kind);
  EXPECT_EQ(piece.kind, kind);
  EXPECT_EQ(piece.size, row.size);
  EXPECT_EQ(shape_string(piece.shape), row.base);
  EXPECT_EQ(shape_string(base_shape(kind)), row.base);
  std::vector<std::string> got;
  for (const PieceVariant& v : piece.variants) got.push_back(shape_string(v.shape));
  EXPECT_EQ(got, row.variants);
}

TEST_P(PieceKind, VariantLayoutFollowsTheBoardStride) {
  const uint32_t kind = GetParam();
  const Piece piece(kind);
  for (std::size_t vi = 0; vi < piece.variants.size(); ++vi) {
    SCOPED_TRACE("variant " + std::to_string(vi));
    const PieceVariant& v = piece.variants[vi];
    const std::size_t rows = v.shape.size();
    ASSERT_GE(rows, 1u);
    EXPECT_EQ(v.width, v.shape[0].size());
    ASSERT_EQ(v.mask.size(), (rows - 1) * 20 + v.width);
    // Every mask position is either a shape square or a gap at the row's end.
    std::vector<uint32_t> expected_offsets;
    for (uint32_t k = 0; k < v.mask.size(); ++k) {
      const uint32_t r = k / 20, c = k % 20;
      const bool square = c < v.width && v.shape[r][c];
      EXPECT_EQ(v.mask[k], square) << "mask position " << k;
      if (square) expected_offsets.push_back(k);
    }
    EXPECT_EQ(v.offsets, expected_offsets);
    EXPECT_EQ(v.offsets.size(), piece.size);
    // The last element is a square or the bottom row ends with a gap.
    EXPECT_EQ(v.mask.back(), static_cast<bool>(v.shape.back().back()));
  }
}

TEST_P(PieceKind, CompactOrientationsAgreeWithTheVariants) {
  const uint32_t kind = GetParam();
  const Piece& piece = all_pieces()[kind];
  EXPECT_EQ(piece.kind, kind);
  const uint32_t first = first_orientation(kind);
  for (uint32_t v = 0; v < piece.variants.size(); ++v) {
    SCOPED_TRACE("variant " + std::to_string(v));
    const PieceVariant& pv = piece.variants[v];
    const Orientation& o = all_orientations()[first + v];
    EXPECT_EQ(o.kind, kind);
    EXPECT_EQ(o.variant, v);
    EXPECT_EQ(o.size, piece.size);
    EXPECT_EQ(o.width, pv.width);
    EXPECT_EQ(o.mask_len, pv.mask.size());
    for (uint32_t i = 0; i < o.size; ++i) EXPECT_EQ(o.offsets[i], pv.offsets[i]);
    for (int32_t d = -30; d < static_cast<int32_t>(pv.mask.size()) + 30; ++d) {
      const bool inside = d >= 0 && d < static_cast<int32_t>(pv.mask.size());
      EXPECT_EQ(o.covers_offset(d), inside && pv.mask[d]) << "offset " << d;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, PieceKind, ::testing::Range(0u, kNumKinds));

TEST(PieceSet, TotalsAndOrientationOrder) {
  uint32_t squares = 0, variants = 0;
  for (uint32_t k = 0; k < kNumKinds; ++k) {
    squares += Piece(k).size;
    variants += static_cast<uint32_t>(Piece(k).variants.size());
  }
  EXPECT_EQ(squares, 89u);
  EXPECT_EQ(variants, 91u);
  EXPECT_EQ(kSquaresPerPlayer, 89u);
  EXPECT_EQ(kNumOrientations, 91u);
  // Orientations are grouped by kind in kind order.
  uint32_t expected_first = 0;
  for (uint32_t k = 0; k < kNumKinds; ++k) {
    EXPECT_EQ(first_orientation(k), expected_first) << "kind " << k;
    expected_first += static_cast<uint32_t>(all_pieces()[k].variants.size());
  }
  EXPECT_THROW(first_orientation(kNumKinds), InvariantError);
  EXPECT_THROW(base_shape(kNumKinds), InvariantError);
}

TEST(PieceSet, WorkedVariants) {
  const PieceVariant& v = all_pieces()[2].variants[0];
  EXPECT_EQ(v.mask.size(), 22u);
  std::vector<bool> mask(22, false);
  mask[0] = mask[1] = mask[21] = true;
  EXPECT_EQ(v.mask, mask);
  EXPECT_EQ(v.offsets, (std::vector<uint32_t>{0, 1, 21}));
  EXPECT_EQ(v.width, 2u);

  const PieceVariant& plus = all_pieces()[18].variants[0];
  EXPECT_EQ(plus.mask.size(), 43u);
  EXPECT_EQ(plus.offsets, (std::vector<uint32_t>{1, 20, 21, 22, 41}));
  EXPECT_EQ(plus.width, 3u);

  // A single row: the mask length is the width.
  const PieceVariant& five = all_pieces()[9].variants[0];
  EXPECT_EQ(five.mask.size(), 5u);
  EXPECT_EQ(five.offsets, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
  const PieceVariant& upright = all_pieces()[9].variants[1];
  EXPECT_EQ(upright.mask.size(), 81u);
  EXPECT_EQ(upright.offsets, (std::vector<uint32_t>{0, 20, 40, 60, 80}));
  EXPECT_EQ(upright.width, 1u);
  // Bottom row 010: the mask ends with a gap.
  const PieceVariant& t = all_pieces()[6].variants[0];
  EXPECT_EQ(t.mask.size(), 23u);
  EXPECT_FALSE(t.mask.back());
  EXPECT_EQ(t.offsets, (std::vector<uint32_t>{0, 1, 2, 21}));
}

struct ShapeCase {
  std::string in;
  std::string rotated;
  std::string flipped;
};

class ShapeOps : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeOps, RotateAndFlip) {
  const ShapeCase& c = GetParam();
  EXPECT_EQ(shape_string(Piece::rotate(parse_shape(c.in))), c.rotated);
  EXPECT_EQ(shape_string(Piece::flip(parse_shape(c.in))), c.flipped);
  // Four quarter turns and two mirrors are the identity.
  Shape s = parse_shape(c.in);
  for (int i = 0; i < 4; ++i) s = Piece::rotate(std::move(s));
  EXPECT_EQ(shape_string(s), c.in);
  EXPECT_EQ(shape_string(Piece::flip(Piece::flip(parse_shape(c.in)))), c.in);
}

INSTANTIATE_TEST_SUITE_P(Examples, ShapeOps,
                         ::testing::Values(ShapeCase{"11/01", "01/11", "11/10"},
                                           ShapeCase{"11/10/10", "111/001", "11/01/01"},
                                           ShapeCase{"110/011", "01/11/10", "011/110"},
                                           ShapeCase{"1111/1000", "11/01/01/01", "1111/0001"},
                                           ShapeCase{"11111", "1/1/1/1/1", "11111"},
                                           ShapeCase{"1", "1", "1"}));

TEST(PieceVariantNew, RejectsMalformedShapes) {
  EXPECT_THROW(PieceVariant(Shape{}), InvariantError);
  EXPECT_THROW(PieceVariant(Shape{{true, true}, {true}}), InvariantError);
}

}  // namespace
