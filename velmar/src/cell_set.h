#pragma once
// A set of board cells (0..399) as a 400-bit set: membership, insertion and
// removal cost one bit operation, and copying it is a flat 56-byte copy.
// Walks go in ascending cell order.
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "invariant.h"

namespace velmar {

inline constexpr uint32_t kNumCells = 400;

// Number of set bits. Written out so that targets without a population-count
// instruction do not pay for a library call.
inline constexpr uint32_t popcount64(uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<uint32_t>(std::popcount(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
#endif
}

class CellSet {
 public:
  static constexpr uint32_t kWords = (kNumCells + 63) / 64;

  bool contains(uint32_t cell) const {
    return cell < kNumCells && ((words_[cell >> 6] >> (cell & 63)) & 1u);
  }
  void insert(uint32_t cell) {
    if (cell >= kNumCells) fail_index(kNumCells, cell);
    words_[cell >> 6] |= uint64_t{1} << (cell & 63);
  }
  void erase(uint32_t cell) {
    if (cell < kNumCells) words_[cell >> 6] &= ~(uint64_t{1} << (cell & 63));
  }
  void clear() { words_ = {}; }

  using Words = std::array<uint64_t, kWords>;
  // The raw words: cell c is bit (c % 64) of word c / 64.
  const Words& words() const { return words_; }
  // A set from raw words; bits for cells 400 and above are dropped.
  static CellSet from_words(const Words& words) {
    CellSet s;
    s.words_ = words;
    s.words_[kWords - 1] &= kLastWordMask;
    return s;
  }
  static constexpr uint64_t kLastWordMask = (uint64_t{1} << (kNumCells - 64 * (kWords - 1))) - 1;
  bool empty() const {
    uint64_t any = 0;
    for (uint64_t w : words_) any |= w;
    return any == 0;
  }
  uint32_t size() const {
    uint32_t n = 0;
    for (uint64_t w : words_) n += popcount64(w);
    return n;
  }
  // Calls f(cell) for every member, ascending.
  template <typename F>
  void for_each(F&& f) const {
    for (uint32_t i = 0; i < kWords; ++i) {
      for (uint64_t w = words_[i]; w != 0; w &= w - 1) {
        f(i * 64 + static_cast<uint32_t>(std::countr_zero(w)));
      }
    }
  }
  // The member at position k of the ascending walk; k < size().
  uint32_t nth(uint32_t k) const {
    for (uint32_t i = 0; i < kWords; ++i) {
      uint32_t n = popcount64(words_[i]);
      if (k < n) {
        uint64_t w = words_[i];
        for (; k > 0; --k) w &= w - 1;
        return i * 64 + static_cast<uint32_t>(std::countr_zero(w));
      }
      k -= n;
    }
    fail_index(size(), k);
  }
  std::vector<uint32_t> to_vector() const {
    std::vector<uint32_t> out;
    out.reserve(size());
    for_each([&](uint32_t c) { out.push_back(c); });
    return out;
  }
  CellSet& operator&=(const CellSet& o) {
    for (uint32_t i = 0; i < kWords; ++i) words_[i] &= o.words_[i];
    return *this;
  }
  CellSet& operator|=(const CellSet& o) {
    for (uint32_t i = 0; i < kWords; ++i) words_[i] |= o.words_[i];
    return *this;
  }
  friend bool operator==(const CellSet&, const CellSet&) = default;

 private:
  std::array<uint64_t, kWords> words_{};
};

}  // namespace velmar
