#include "rng.h"

#include <cmath>
#include <random>

namespace velmar::self_play {
namespace {

uint64_t splitmix64(uint64_t& x) {
  uint64_t z = (x += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t rotl(uint32_t x, int k) {
  return (x << k) | (x >> (32 - k));
}

}  // namespace

Rng::Rng(uint64_t seed) {
  for (int i = 0; i < 4; i += 2) {
    const uint64_t v = splitmix64(seed);
    s_[i] = static_cast<uint32_t>(v);
    s_[i + 1] = static_cast<uint32_t>(v >> 32);
  }
  if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;
}

Rng::result_type Rng::operator()() {
  const uint32_t result = rotl(s_[1] * 5, 7) * 9;
  const uint32_t t = s_[1] << 9;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 11);
  return result;
}

double Rng::log_gamma(double alpha) {
  if (alpha >= 1.0) return std::log(std::gamma_distribution<double>(alpha, 1.0)(*this));
  // Gamma(alpha) = Gamma(alpha + 1) * U^(1 / alpha), taken in logarithms.
  const double g = std::gamma_distribution<double>(alpha + 1.0, 1.0)(*this);
  const double u = (static_cast<double>((*this)() >> 8) + 0.5) * 0x1.0p-24;  // in (0, 1)
  return std::log(g) + std::log(u) / alpha;
}

Rng& thread_rng() {
  thread_local Rng rng([] {
    std::random_device dev;
    return (uint64_t{dev()} << 32) | dev();
  }());
  return rng;
}

void seed_thread_rng(uint64_t seed) {
  thread_rng() = Rng(seed);
}

}  // namespace velmar::self_play
