#pragma once
// Test helpers for the search and the game loop: evaluators that answer
// without an inference server, and small positions built from the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "evaluate.h"
#include "game.h"
#include "search_node.h"
#include "state_repr.h"

namespace velmar::self_play::fakes {

// An evaluator whose replies come from a function; it counts the exchanges
// and keeps every representation it was sent.
class FakeEvaluator : public Evaluator {
 public:
  using Answer = std::function<std::optional<EvalError>(const Representation&, Reply&)>;
  explicit FakeEvaluator(Answer answer) : answer_(std::move(answer)) {}

  std::optional<EvalError> exchange(const Representation& repr, Reply& reply) override {
    ++calls;
    if (keep_requests) requests.push_back(repr);
    return answer_(repr, reply);
  }

  int calls = 0;
  bool keep_requests = false;
  std::vector<Representation> requests;

 private:
  Answer answer_;
};

inline EvalError make_error(const std::string& debug) {
  return EvalError{debug, nullptr};
}

// Logits of 0.0 on all 400 cells and the given values.
inline FakeEvaluator::Answer uniform_answer(Values values = {0.1f, 0.2f, 0.3f, 0.4f}) {
  return [values](const Representation&, Reply& reply) -> std::optional<EvalError> {
    reply.policy.assign(kNumCells, 0.0f);
    reply.values.assign(values.begin(), values.end());
    return std::nullopt;
  };
}

// Answers like uniform_answer, except that exchange number `fail_at`
// (counting from 1) fails with `debug`.
inline FakeEvaluator::Answer failing_answer(int fail_at, std::string debug) {
  auto ok = uniform_answer();
  auto count = std::make_shared<int>(0);
  return [=](const Representation& repr, Reply& reply) -> std::optional<EvalError> {
    if (++*count == fail_at) return make_error(debug);
    return ok(repr, reply);
  };
}

// A fixed reply: these logits and values whatever the position.
inline FakeEvaluator::Answer fixed_answer(std::vector<float> policy, std::vector<float> values) {
  return [=](const Representation&, Reply& reply) -> std::optional<EvalError> {
    reply.policy = policy;
    reply.values = values;
    return std::nullopt;
  };
}

// Leaves player p only the piece of kind `keep`.
inline void keep_only(Game& g, uint32_t p, uint32_t keep) {
  while (g.board.pieces[p].size() > 1) g.board.pieces[p].erase(g.board.pieces[p].kind(0) == keep);
}

// A new board on which only `players` take part, each with only the single
// square when `monomino_only` lists it; players[0] is to move.
inline Game custom_game(std::initializer_list<uint32_t> players,
                        std::initializer_list<uint32_t> monomino_only) {
  Game g = Game::reset();
  g.players.clear();
  for (uint32_t p : players) g.players.push_back(p);
  for (uint32_t p : monomino_only) keep_only(g, p, 0);
  g.current = 0;
  g.tile_moves = get_tile_moves(g.board, g.players[0]);
  return g;
}

inline std::vector<uint32_t> sorted(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

inline std::vector<uint32_t> child_cells(const SearchNode& node) {
  std::vector<uint32_t> out;
  for (const auto& [cell, child] : node.children) out.push_back(cell);
  return out;
}

}  // namespace velmar::self_play::fakes
