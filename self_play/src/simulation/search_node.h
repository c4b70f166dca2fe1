#pragma once
// The record of the search tree. A node owns its children by value; a
// descent remembers its way down as a list of cells.
#include <cstdint>
#include <utility>
#include <vector>

namespace velmar::self_play {

struct SearchNode;

// The children of a node by cell. The walk order is the order of insertion,
// which the expansion shuffles, so it differs between nodes and between runs.
class ChildMap {
 public:
  using Entry = std::pair<uint32_t, SearchNode>;

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  // The child under `cell`, or null.
  SearchNode* find(uint32_t cell);
  const SearchNode* find(uint32_t cell) const;
  // Inserts a child; one already under the same cell is replaced with its subtree.
  void insert(uint32_t cell, SearchNode child);
  // Appends a child under a cell known not to be present.
  void append(uint32_t cell, SearchNode child);
  void reserve(std::size_t n) { entries_.reserve(n); }
  std::vector<Entry>& entries() { return entries_; }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
};

struct SearchNode {
  ChildMap children;
  uint32_t player = 0;       // player to move here, written when expanded
  float value_sum = 0.0f;    // sum of the values the backups added
  uint32_t visit_count = 0;  // backups through this node (+1 at an evaluated root)
  float prior = 0.0f;        // prior of the tile leading here
  float value = 0.0f;        // the evaluation's value for the player to move, kept by the
                             // searches with options (first-play value, completed Q-values)
};

inline SearchNode* ChildMap::find(uint32_t cell) {
  for (Entry& e : entries_) {
    if (e.first == cell) return &e.second;
  }
  return nullptr;
}
inline const SearchNode* ChildMap::find(uint32_t cell) const {
  for (const Entry& e : entries_) {
    if (e.first == cell) return &e.second;
  }
  return nullptr;
}
inline void ChildMap::insert(uint32_t cell, SearchNode child) {
  if (SearchNode* existing = find(cell)) {
    *existing = std::move(child);
  } else {
    append(cell, std::move(child));
  }
}
inline void ChildMap::append(uint32_t cell, SearchNode child) {
  entries_.emplace_back(cell, std::move(child));
}

}  // namespace velmar::self_play
