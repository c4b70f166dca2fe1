#include "reused_trees.h"

#include <algorithm>
#include <utility>

namespace velmar::rules_py {

using self_play::SearchNode;

std::optional<SearchNode> ReusedTrees::take(int32_t id, const velmar::Game& game) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return std::nullopt;
  Entry entry = std::move(it->second);
  entries_.erase(it);
  const auto& now = game.history;
  if (entry.history.size() > now.size() ||
      !std::equal(entry.history.begin(), entry.history.end(), now.begin())) {
    return std::nullopt;
  }
  SearchNode node = std::move(entry.tree);
  for (std::size_t i = entry.history.size(); i < now.size(); ++i) {
    SearchNode* child = node.children.find(static_cast<uint32_t>(now[i].cell));
    if (!child) return std::nullopt;
    SearchNode next = std::move(*child);
    node = std::move(next);
  }
  return node;
}

void ReusedTrees::keep(int32_t id, const velmar::Game& game, uint32_t tile,
                       std::optional<SearchNode> tree) {
  if (!tree) {
    entries_.erase(id);
    return;
  }
  Entry entry{{game.history.begin(), game.history.end()}, std::move(*tree)};
  const auto player = game.current_player();
  entry.history.push_back({static_cast<int32_t>(player.value_or(0)), static_cast<int32_t>(tile)});
  entries_[id] = std::move(entry);
}

ReusedTrees& reused_trees() {
  thread_local ReusedTrees trees;
  return trees;
}

}  // namespace velmar::rules_py
