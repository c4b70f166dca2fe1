#include "gumbel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "rng.h"

namespace velmar::self_play {

std::vector<uint32_t> considered_visits(uint32_t m, uint32_t n) {
  std::vector<uint32_t> sequence;
  if (m <= 1) {
    for (uint32_t i = 0; i < n; ++i) sequence.push_back(i);
    return sequence;
  }
  const uint32_t log2m = static_cast<uint32_t>(std::ceil(std::log2(static_cast<double>(m))));
  std::vector<uint32_t> visits(m, 0);
  uint32_t considered = m;
  while (sequence.size() < n) {
    const uint32_t extra = std::max<uint32_t>(1, n / (log2m * considered));
    for (uint32_t e = 0; e < extra; ++e) {
      sequence.insert(sequence.end(), visits.begin(), visits.begin() + considered);
      for (uint32_t i = 0; i < considered; ++i) ++visits[i];
    }
    considered = std::max<uint32_t>(2, considered / 2);
  }
  sequence.resize(n);
  return sequence;
}

std::vector<float> completed_sigma(const SearchNode& node) {
  float sum_n = 0.0f, sum_p = 0.0f, sum_pq = 0.0f;
  uint32_t max_n = 0;
  for (const auto& [cell, child] : node.children) {
    if (child.visit_count == 0) continue;
    const float n = static_cast<float>(child.visit_count);
    sum_n += n;
    sum_p += child.prior;
    sum_pq += child.prior * (child.value_sum / n);
    max_n = std::max(max_n, child.visit_count);
  }
  const float weighted = sum_p > 0.0f ? sum_pq / sum_p : 0.0f;
  const float mixed = (node.value + sum_n * weighted) / (sum_n + 1.0f);
  const float scale = (kGumbelCVisit + static_cast<float>(max_n)) * kGumbelCScale;
  std::vector<float> out;
  out.reserve(node.children.size());
  for (const auto& [cell, child] : node.children) {
    const float n = static_cast<float>(child.visit_count);
    out.push_back(scale * (child.visit_count > 0 ? child.value_sum / n : mixed));
  }
  return out;
}

std::vector<float> improved_policy(const SearchNode& node) {
  std::vector<float> logits = completed_sigma(node);
  std::size_t i = 0;
  float top = -std::numeric_limits<float>::infinity();
  for (const auto& [cell, child] : node.children) {
    logits[i] += std::log(child.prior);
    top = std::max(top, logits[i++]);
  }
  float sum = 0.0f;
  for (float& l : logits) sum += (l = std::exp(l - top));
  for (float& l : logits) l /= sum;
  return logits;
}

uint32_t gumbel_interior_child(const SearchNode& node) {
  const std::vector<float> policy = improved_policy(node);
  uint32_t total = 0;
  for (const auto& [cell, child] : node.children) total += child.visit_count;
  const float denominator = 1.0f + static_cast<float>(total);
  uint32_t best_cell = 0;
  float best = 0.0f;
  std::size_t i = 0;
  for (const auto& [cell, child] : node.children) {
    const float score = policy[i] - static_cast<float>(child.visit_count) / denominator;
    if (i++ == 0 || score > best) {
      best = score;
      best_cell = cell;
    }
  }
  return best_cell;
}

uint32_t halving_child(const SearchNode& root, const std::vector<float>& gumbel,
                       uint32_t considered) {
  const std::vector<float> sigma = completed_sigma(root);
  const bool any = std::any_of(root.children.begin(), root.children.end(),
                               [&](const auto& e) { return e.second.visit_count == considered; });
  uint32_t best_cell = 0;
  float best = 0.0f;
  bool first = true;
  std::size_t i = 0;
  for (const auto& [cell, child] : root.children) {
    const std::size_t k = i++;
    if (any && child.visit_count != considered) continue;
    const float score = (gumbel[k] + std::log(child.prior)) + sigma[k];
    if (first || score > best) {
      best = score;
      best_cell = cell;
      first = false;
    }
  }
  return best_cell;
}

std::vector<float> gumbel_draws(const SearchNode& root, bool noise) {
  std::vector<float> g(root.children.size(), 0.0f);
  if (!noise) return g;
  Rng& rng = thread_rng();
  for (float& x : g) {
    const float u = (static_cast<float>(rng() >> 8) + 0.5f) * 0x1.0p-24f;  // in (0, 1)
    x = -std::log(-std::log(u));
  }
  return g;
}

}  // namespace velmar::self_play
