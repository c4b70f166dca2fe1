#pragma once
// The subtrees velmar.rules.search keeps between calls for reuse_tree: per
// request id, the subtree under the tile the last search chose, with the
// position it belongs to.
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "game.h"
#include "search_node.h"

namespace velmar::rules_py {

class ReusedTrees {
 public:
  // The subtree kept for `id`, descended along the tiles taken since, when
  // `game` continues its position and the subtree holds those tiles; the
  // entry is removed either way.
  std::optional<self_play::SearchNode> take(int32_t id, const velmar::Game& game);
  // Keeps `tree`, the subtree under `tile` taken in `game`, for `id`.
  void keep(int32_t id, const velmar::Game& game, uint32_t tile,
            std::optional<self_play::SearchNode> tree);

 private:
  struct Entry {
    std::vector<velmar::HistoryEntry> history;  // the position of the tree
    self_play::SearchNode tree;
  };
  std::map<int32_t, Entry> entries_;
};

// The calling thread's trees.
ReusedTrees& reused_trees();

}  // namespace velmar::rules_py
