#pragma once
// The search settings of one call, read from Python's config object.
#include <cstdint>

namespace velmar::self_play {

struct Config {
  uint32_t sims_per_move = 0;  // simulations per tile
  uint32_t sample_moves = 0;   // tiles are drawn by chance while fewer have been recorded
  float c_base = 0.0f;         // exploration coefficient constants
  float c_init = 0.0f;
  float dirichlet_alpha = 0.0f;       // concentration of the root noise
  float exploration_fraction = 0.0f;  // weight of the root noise
};

}  // namespace velmar::self_play
