#pragma once
// The calling thread's random generator, seeded from the operating system on
// first use. It drives the root noise, the opening draws and the order of a
// node's children.
#include <cstdint>
#include <limits>

namespace velmar::self_play {

// xoshiro128**: small state, 32-bit output, a UniformRandomBitGenerator.
class Rng {
 public:
  using result_type = uint32_t;
  explicit Rng(uint64_t seed);
  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return std::numeric_limits<uint32_t>::max(); }
  result_type operator()();

  // Uniform in [0, 1): one of the 2^23 values k / 2^23.
  float uniform() { return static_cast<float>((*this)() >> 9) * 0x1.0p-23f; }
  // Uniform in [0, n), n > 0.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((uint64_t{(*this)()} * n) >> 32); }
  // The natural logarithm of a Gamma(alpha, 1) variate, alpha > 0. Small
  // alphas give variates far below the smallest float; their logarithms stay
  // finite.
  double log_gamma(double alpha);

 private:
  uint32_t s_[4];
};

Rng& thread_rng();
// Restarts the calling thread's generator from `seed`: runs that must be
// compared draw the same stream.
void seed_thread_rng(uint64_t seed);

}  // namespace velmar::self_play
