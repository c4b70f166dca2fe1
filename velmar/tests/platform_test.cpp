// Checks that hold on every platform the library is built for, 32-bit ARM as
// well as x86-64: record layouts, 64-bit words on all 400 cells, index errors
// with values beyond 32 bits, and games that must come out bit for bit the
// same everywhere.
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "game.h"

using namespace velmar;

namespace {

std::string error_text(void (*f)()) {
  try {
    f();
  } catch (const InvariantError& e) {
    return e.what();
  }
  return "no error";
}

// A fixed 32-bit generator, so choices do not depend on the library's engines.
struct XorShift32 {
  uint32_t state;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

struct Fnv1a64 {
  uint64_t hash = 0xcbf29ce484222325ull;
  void add(uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      hash ^= (v >> (8 * i)) & 0xFF;
      hash *= 0x100000001b3ull;
    }
  }
};

}  // namespace

TEST(Platform, PackedRecordSizes) {
  EXPECT_EQ(sizeof(CandidatePlacement), 4u);
  EXPECT_EQ(sizeof(HistoryEntry), 8u);
  EXPECT_EQ(CellSet::kWords, 7u);
  EXPECT_EQ(sizeof(CellSet), 56u);
  EXPECT_EQ(sizeof(Orientation), 32u);
  EXPECT_EQ(alignof(Orientation), alignof(uint64_t));
  EXPECT_EQ(CellSet::kLastWordMask, 0xFFFFull);
  EXPECT_TRUE(std::is_trivially_copyable_v<CellSet>);
  EXPECT_TRUE(std::is_trivially_copyable_v<CandidatePlacement>);
}

TEST(Platform, CellSetSingleCellsUseTheirOwn64BitWord) {
  for (uint32_t c = 0; c < kNumCells; ++c) {
    CellSet s;
    s.insert(c);
    ASSERT_TRUE(s.contains(c)) << c;
    ASSERT_EQ(s.size(), 1u) << c;
    ASSERT_EQ(s.nth(0), c);
    for (uint32_t w = 0; w < CellSet::kWords; ++w) {
      const uint64_t expected = w == c / 64 ? uint64_t{1} << (c % 64) : 0;
      ASSERT_EQ(s.words()[w], expected) << "cell " << c << " word " << w;
    }
    if (c > 0) {
      EXPECT_FALSE(s.contains(c - 1));
    }
    if (c + 1 < kNumCells) {
      EXPECT_FALSE(s.contains(c + 1));
    }
    s.erase(c);
    ASSERT_TRUE(s.empty()) << c;
  }
}

TEST(Platform, CellSetHoldsAll400Cells) {
  CellSet s;
  for (uint32_t c = 0; c < kNumCells; ++c) {
    s.insert(c);
    ASSERT_EQ(s.size(), c + 1);
  }
  for (uint32_t k = 0; k < kNumCells; ++k) ASSERT_EQ(s.nth(k), k);
  const std::vector<uint32_t> all = s.to_vector();
  ASSERT_EQ(all.size(), kNumCells);
  for (uint32_t k = 0; k < kNumCells; ++k) ASSERT_EQ(all[k], k);
  uint32_t next = 0;
  s.for_each([&](uint32_t c) { EXPECT_EQ(c, next++); });
  EXPECT_EQ(next, kNumCells);
  for (uint32_t w = 0; w + 1 < CellSet::kWords; ++w) EXPECT_EQ(s.words()[w], ~uint64_t{0});
  EXPECT_EQ(s.words()[CellSet::kWords - 1], CellSet::kLastWordMask);

  EXPECT_FALSE(s.contains(kNumCells));
  EXPECT_FALSE(s.contains(std::numeric_limits<uint32_t>::max()));

  // Every odd cell removed: the walk keeps the even ones across word borders.
  for (uint32_t c = 1; c < kNumCells; c += 2) s.erase(c);
  EXPECT_EQ(s.size(), kNumCells / 2);
  for (uint32_t k = 0; k < kNumCells / 2; ++k) ASSERT_EQ(s.nth(k), 2 * k);
}

TEST(Platform, CellSetFromWordsDropsCellsPastTheBoard) {
  CellSet::Words words;
  words.fill(~uint64_t{0});
  const CellSet s = CellSet::from_words(words);
  EXPECT_EQ(s.size(), kNumCells);
  EXPECT_EQ(s.nth(kNumCells - 1), kNumCells - 1);
}

TEST(Platform, IndexErrorsPrintFullWidthValues) {
  EXPECT_EQ(error_text([] { CellSet().insert(std::numeric_limits<uint32_t>::max()); }),
            "index out of bounds: the len is 400 but the index is 4294967295");
  EXPECT_EQ(error_text([] { CellSet().nth(0); }),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_EQ(error_text([] { fail_index(4294967296ull, 18446744073709551615ull); }),
            "index out of bounds: the len is 4294967296 but the index is "
            "18446744073709551615");
  EXPECT_EQ(error_text([] {
              FixedVec<uint32_t, 4> v;
              (void)v[std::numeric_limits<std::size_t>::max()];
            }),
            "index out of bounds: the len is 0 but the index is " +
                std::to_string(std::numeric_limits<std::size_t>::max()));
  EXPECT_EQ(error_text([] { Board().place_tile(std::numeric_limits<uint32_t>::max(), 0); }),
            "index out of bounds: the len is 400 but the index is 4294967295");
}

TEST(Platform, FullBoardScores) {
  Board b;
  for (uint32_t c = 0; c < kNumCells; ++c) b.place_tile(c, c % kNumPlayers);
  for (uint8_t byte : b.cells) ASSERT_EQ(byte & 0xF0, 0xF0);
  const auto scores = b.get_score({0, 0, 0, 0});
  for (uint32_t p = 0; p < kNumPlayers; ++p) EXPECT_EQ(scores[p], 100 - 89) << p;
}

// Games whose tiles are drawn by a fixed generator. The hash covers every
// history entry, score and payoff; it was taken on x86-64 and must come out
// the same on every platform (it changes only with the rules themselves).
TEST(Platform, DrawnGamesAreTheSameEverywhere) {
  XorShift32 rng{12345};
  Fnv1a64 fnv;
  uint32_t tiles_taken = 0;
  for (int n = 0; n < 20; ++n) {
    Game g = Game::reset();
    Game copy_at_40 = g;
    while (!g.players.empty()) {
      const std::vector<uint32_t> tiles = g.legal_tiles();
      ASSERT_FALSE(tiles.empty());
      ASSERT_TRUE(g.apply(tiles[rng.next() % tiles.size()]).ok());
      if (g.history.size() == 40) copy_at_40 = g;
    }
    ASSERT_LE(g.history.size(), kNumCells);
    uint32_t covered = 0;
    for (uint8_t byte : g.board.cells) covered += (byte & 0x0F) != 0;
    EXPECT_EQ(covered, g.history.size());
    for (const HistoryEntry& e : g.history) {
      fnv.add(static_cast<uint32_t>(e.player));
      fnv.add(static_cast<uint32_t>(e.cell));
    }
    for (int32_t s : g.get_score()) fnv.add(static_cast<uint32_t>(s));
    for (float f : g.get_payoff()) fnv.add(std::bit_cast<uint32_t>(f));
    tiles_taken += static_cast<uint32_t>(g.history.size());

    // A copy taken part way replays the same game from there.
    ASSERT_EQ(copy_at_40.history.size(), 40u);
    for (std::size_t i = 40; i < g.history.size(); ++i) {
      ASSERT_TRUE(copy_at_40.apply(static_cast<uint32_t>(g.history[i].cell)).ok());
    }
    EXPECT_EQ(copy_at_40.history, g.history);
    EXPECT_EQ(copy_at_40.get_score(), g.get_score());
  }
  EXPECT_EQ(tiles_taken, 5372u);
  EXPECT_EQ(fnv.hash, 10262520087826235797ull);
}
