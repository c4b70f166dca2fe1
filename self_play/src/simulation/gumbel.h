#pragma once
// Gumbel search ("Policy improvement by planning with Gumbel", Danihelka et
// al., ICLR 2022): completed Q-values, the improved policy, sequential
// halving at the root and the deterministic choice below it. Values are
// payoff shares in [0, 1], used without rescaling.
#include <cstdint>
#include <vector>

#include "search_node.h"

namespace velmar::self_play {

inline constexpr float kGumbelCVisit = 50.0f;
inline constexpr float kGumbelCScale = 1.0f;

// The considered visit count of each simulation of sequential halving over
// m actions with n simulations: the root child to visit is one whose count
// equals it.
std::vector<uint32_t> considered_visits(uint32_t m, uint32_t n);

// sigma(completed Q) per child in walk order: a visited child's mean value,
// an unvisited one the mixed value of the node's own value and its visited
// children's Q weighted by prior; scaled by (c_visit + max visits) * c_scale.
std::vector<float> completed_sigma(const SearchNode& node);

// softmax(log prior + sigma(completed Q)) per child in walk order.
std::vector<float> improved_policy(const SearchNode& node);

// Below the root: the child maximising improved policy - N(a) / (1 + sum N);
// the first in walk order among equals.
uint32_t gumbel_interior_child(const SearchNode& node);

// At the root: among the children whose visit count is `considered`, the one
// maximising g + log prior + sigma(completed Q), with `gumbel` the g of each
// child in walk order. Where none has that count, among all children.
uint32_t halving_child(const SearchNode& root, const std::vector<float>& gumbel,
                       uint32_t considered);

// g per root child: Gumbel(0, 1) draws from the thread's generator, or 0
// without noise.
std::vector<float> gumbel_draws(const SearchNode& root, bool noise);

}  // namespace velmar::self_play
