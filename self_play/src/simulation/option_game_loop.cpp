#include "option_game_loop.h"

#include "canonical.h"
#include "gumbel.h"
#include "rng.h"

namespace velmar::self_play {
namespace {

// The subtree under `cell`, kept when trees are reused.
std::optional<SearchNode> subtree(SearchNode& root, uint32_t cell, const SearchOptions& options) {
  if (!options.reuse_tree) return std::nullopt;
  SearchNode* child = root.children.find(cell);
  if (!child) return std::nullopt;
  return std::move(*child);
}

}  // namespace

GameResult play_game(const Config& config, const SearchOptions& options, Evaluator& evaluator,
                     Console& console) {
  Game game = Game::reset();
  std::vector<Policy> policies;
  std::vector<bool> full_search;
  ProgressBar bar(console, kNumCells);
  std::optional<SearchNode> carried;

  while (!game.players.empty()) {
    TileDecision decision;
    if (auto error = decide_tile(game, config, options, policies.size(), carried, evaluator,
                                 console, decision)) {
      console.write_line(std::string(kMctsError) + ": " + error->debug);
      return GameError{std::string(kMctsError), std::move(*error)};
    }
    policies.push_back(std::move(decision.policy));
    full_search.push_back(decision.full_search);
    game.apply(decision.tile);  // a root child is always a legal tile
    bar.advance();
  }
  GameRecord record = finish_game(game, std::move(policies), bar, console);
  record.full_search = std::move(full_search);
  return record;
}

std::optional<EvalError> decide_tile(const Game& game, const Config& config,
                                     const SearchOptions& options, std::size_t num_policies,
                                     std::optional<SearchNode>& carried, Evaluator& evaluator,
                                     Console& console, TileDecision& d) {
  d = TileDecision();
  if (auto forced = options.skip_forced ? forced_tile(game, options) : std::nullopt) {
    d.tile = *forced;
    d.policy = {{static_cast<int32_t>(d.tile), 1.0f}};
    d.visits = {{d.tile, 0}};
    carried = carried ? subtree(*carried, d.tile, options) : std::nullopt;
    return std::nullopt;
  }
  d.full_search = draw_full_search(options);
  const SearchRun run{d.full_search ? config.sims_per_move : options.fast_sims.value_or(0),
                      d.full_search};
  OptionSearchResult searched =
      search_with_options(game, config, options, run, std::move(carried), evaluator, console);
  carried.reset();
  if (auto* error = std::get_if<EvalError>(&searched)) return std::move(*error);
  OptionSearch& search = std::get<OptionSearch>(searched);
  d.policy = recorded_policy(search.root, options);
  for (const auto& [cell, child] : search.root.children)
    d.visits.emplace_back(cell, child.visit_count);
  d.tile = tile_after_search(search, num_policies + 1, config.sample_moves);
  carried = subtree(search.root, d.tile, options);
  return std::nullopt;
}

Policy recorded_policy(const SearchNode& root, const SearchOptions& options) {
  Policy policy;
  policy.reserve(root.children.size());
  if (options.gumbel) {
    const std::vector<float> improved = improved_policy(root);
    std::size_t i = 0;
    for (const auto& [cell, child] : root.children) {
      policy.emplace_back(static_cast<int32_t>(cell), improved[i++]);
    }
    return policy;
  }
  uint32_t total = 0;
  for (const auto& [cell, child] : root.children) total += child.visit_count;
  for (const auto& [cell, child] : root.children) {
    policy.emplace_back(static_cast<int32_t>(cell),
                        static_cast<float>(child.visit_count) / static_cast<float>(total));
  }
  return policy;
}

std::optional<uint32_t> forced_tile(const Game& game, const SearchOptions& options) {
  if (options.canonical_order) {
    const TileMask tiles = canonical_tiles(game);
    if (tiles.count() != 1) return std::nullopt;
    for (uint32_t x = 0; x < kNumCells; ++x) {
      if (tiles[x]) return x;
    }
  }
  if (game.tile_moves.size() != 1) return std::nullopt;
  return game.legal_tiles().front();
}

bool draw_full_search(const SearchOptions& options) {
  if (!options.fast_sims) return true;
  return thread_rng().uniform() < options.full_share;
}

uint32_t tile_after_search(const OptionSearch& search, std::size_t num_policies,
                           uint32_t sample_moves) {
  const SearchNode& root = search.root;
  if (search.winner && num_policies >= sample_moves) return *search.winner;
  Candidates candidates;
  candidates.reserve(root.children.size());
  for (const auto& [cell, child] : root.children) candidates.emplace_back(cell, child.visit_count);
  return choose_move(candidates, num_policies, sample_moves);
}

}  // namespace velmar::self_play
