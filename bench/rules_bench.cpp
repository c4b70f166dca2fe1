// Benchmarks of the rules library, single-threaded and with fixed seeds:
//   - random playouts from Game::reset to the end, a uniformly random legal
//     tile at every step;
//   - get_tile_moves on turn-start positions taken from random games;
//   - copying a game early, in the middle and late in a game;
//   - copying a game and taking 1 to 5 random legal tiles on the copy, the
//     core of one search simulation;
//   - the greedy rule: its choice at turn starts of random games, and whole
//     games of four greedy players (a value playout).
// Each figure is the median over repeated timed runs, timed in thread CPU time.
//
// Usage: rules_bench [--quick] [--reps N] [--min-time SECONDS] [--only NAME]
// where NAME is one of playout, movegen, copy, take, greedy.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "game.h"
#include "greedy.h"

namespace {

using velmar::Board;
using velmar::Game;

// xorshift64*: cheap and good enough to pick moves.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull | 1) {}
  uint64_t next() {
    s_ ^= s_ >> 12;
    s_ ^= s_ << 25;
    s_ ^= s_ >> 27;
    return s_ * 0x2545F4914F6CDD1Dull;
  }
  // Uniform in [0, n) for n > 0.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }

 private:
  uint64_t s_;
};

// Keeps the compiler from discarding work whose result is otherwise unused.
template <typename T>
inline void keep(T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "rules_bench: %s\n", what);
  std::exit(1);
}

// The k-th legal tile in ascending order, as legal_tiles()[k] would give it,
// without building the list.
uint32_t random_tile(const Game& game, Rng& rng) {
  const velmar::CellSet& keys = game.tile_moves.keys();
  return keys.nth(rng.below(keys.size()));
}

void take_random_tile(Game& game, Rng& rng) {
  if (!game.apply(random_tile(game, rng)).ok()) die("a legal tile was refused");
}

uint32_t pieces_placed(const Game& game) {
  uint32_t n = 0;
  for (const velmar::PieceList& list : game.board.pieces)
    n += velmar::kNumKinds - static_cast<uint32_t>(list.size());
  return n;
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  if (!(in >> a >> b >> c)) return "unknown";
  return a + " " + b + " " + c;
}

// ---------------------------------------------------------------------------
// Timing: a run repeats a chunk of work until min_time has passed; the chunk
// size is calibrated so that reading the clock costs nothing noticeable.

struct Counts {
  uint64_t ops = 0;     // the unit the rate is given in
  uint64_t extra = 0;   // a second count (tiles for playouts)
  uint64_t pieces = 0;  // pieces completed, where counted
};

struct Run {
  double seconds = 0;
  Counts counts;
};

// The thread's CPU time: on a shared machine it leaves out the time the
// benchmark waits for a core, so figures stay comparable under load.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double seconds_since(double start) {
  return cpu_seconds() - start;
}

template <typename Chunk>
std::vector<Run> time_runs(Chunk&& chunk, int reps, double min_time) {
  // Calibrate: grow the chunk until one takes about a millisecond.
  uint64_t size = 1;
  for (;;) {
    Counts scratch;
    const double start = cpu_seconds();
    chunk(size, scratch);
    if (seconds_since(start) > 1e-3 || size >= (uint64_t{1} << 30)) break;
    size *= 2;
  }
  std::vector<Run> runs;
  for (int r = 0; r < reps; ++r) {
    Run run;
    const double start = cpu_seconds();
    do {
      chunk(size, run.counts);
      run.seconds = seconds_since(start);
    } while (run.seconds < min_time);
    runs.push_back(run);
  }
  return runs;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  if (n == 0) return 0;
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double median_rate(const std::vector<Run>& runs, bool extra = false) {
  std::vector<double> rates;
  for (const Run& r : runs)
    rates.push_back(static_cast<double>(extra ? r.counts.extra : r.counts.ops) / r.seconds);
  return median(rates);
}

// ---------------------------------------------------------------------------
// Positions sampled from random games.

// Every turn-start position (board and player to move) of `games` random games.
std::vector<std::pair<Board, uint32_t>> turn_starts(uint32_t games, uint64_t seed) {
  std::vector<std::pair<Board, uint32_t>> out;
  Rng rng(seed);
  for (uint32_t n = 0; n < games; ++n) {
    Game game = Game::reset();
    bool at_start = true;
    while (!game.tile_moves.empty()) {
      const uint32_t p = *game.current_player();
      if (at_start) out.emplace_back(game.board, p);
      const std::size_t before = game.board.pieces[p].size();
      take_random_tile(game, rng);
      at_start = game.board.pieces[p].size() != before;
    }
  }
  return out;
}

// Up to `count` positions at exactly `tile` tiles into a random game, from
// games that last that long.
std::vector<Game> positions_at(uint32_t tile, uint32_t count, uint64_t seed) {
  std::vector<Game> out;
  Rng rng(seed);
  for (uint32_t tries = 0; out.size() < count && tries < 50 * count; ++tries) {
    Game game = Game::reset();
    while (!game.tile_moves.empty() && game.history.size() < tile) take_random_tile(game, rng);
    if (game.history.size() == tile && !game.tile_moves.empty()) out.push_back(game);
  }
  if (out.empty()) die("no random game lasted long enough");
  return out;
}

// `count` positions at a uniformly random point of random games, the game
// not over; about half are in the middle of a move.
std::vector<Game> positions_anywhere(uint32_t count, uint64_t seed) {
  std::vector<Game> out;
  Rng rng(seed);
  while (out.size() < count) {
    Game game = Game::reset();
    std::vector<Game> seen;
    while (!game.tile_moves.empty()) {
      seen.push_back(game);
      take_random_tile(game, rng);
    }
    out.push_back(seen[rng.below(static_cast<uint32_t>(seen.size()))]);
  }
  return out;
}

// ---------------------------------------------------------------------------

struct Row {
  std::string name;
  double value;
  std::string unit;
  std::string target;
};

void print_runs(const char* name, const std::vector<Run>& runs, double scale, const char* unit) {
  std::vector<double> v;
  for (const Run& r : runs) v.push_back(static_cast<double>(r.counts.ops) / r.seconds * scale);
  std::sort(v.begin(), v.end());
  std::printf("%-34s median %12.4g %-8s (min %.4g, max %.4g, %zu runs)\n", name, median(v), unit,
              v.front(), v.back(), v.size());
}

int run(int argc, char** argv) {
  int reps = 7;
  double min_time = 0.3;
  bool quick = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--min-time" && i + 1 < argc) {
      min_time = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--reps N] [--min-time SECONDS] [--only NAME]\n",
                   argv[0]);
      return 2;
    }
  }
  if (quick) {
    reps = 1;
    min_time = 0.01;
  }
  std::printf("rules_bench: %d runs of at least %.2f s each; load average %s\n", reps, min_time,
              load_average().c_str());
  std::vector<Row> rows;
  auto wanted = [&](const char* name) { return only.empty() || only == name; };

  // Random playouts.
  if (wanted("playout")) {
    Rng rng(1);
    auto chunk = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        Game game = Game::reset();
        while (!game.tile_moves.empty()) take_random_tile(game, rng);
        c.ops += 1;
        c.extra += game.history.size();
        if (!game.players.empty()) die("a finished game still has players");
      }
    };
    const auto runs = time_runs(chunk, reps, min_time);
    uint64_t games = 0, tiles = 0;
    for (const Run& r : runs) {
      games += r.counts.ops;
      tiles += r.counts.extra;
    }
    print_runs("random playout", runs, 1.0, "games/s");
    const double game_rate = median_rate(runs);
    const double tile_rate = median_rate(runs, true);
    const double mean_tiles = static_cast<double>(tiles) / static_cast<double>(games);
    std::printf("%-34s median %12.4g tiles/s; %.1f tiles per game over %llu games\n", "", tile_rate,
                mean_tiles, static_cast<unsigned long long>(games));
    rows.push_back({"random games", game_rate, "games/s", ">= 2,000"});
    rows.push_back({"random-game tiles", tile_rate, "tiles/s", ""});
    rows.push_back({"tiles per random game (mean)", mean_tiles, "tiles", ""});
    // Pieces per game on a fixed sample of games.
    Rng sample_rng(2);
    uint64_t sample_pieces = 0;
    const uint32_t sample_games = quick ? 20 : 1000;
    for (uint32_t i = 0; i < sample_games; ++i) {
      Game game = Game::reset();
      while (!game.tile_moves.empty()) take_random_tile(game, sample_rng);
      sample_pieces += pieces_placed(game);
    }
    rows.push_back({"pieces per random game (mean)",
                    static_cast<double>(sample_pieces) / sample_games, "pieces", ""});
  }

  // Move generation at turn start.
  if (wanted("movegen")) {
    const auto positions = turn_starts(quick ? 4 : 40, 3);
    std::size_t next = 0;
    uint64_t candidates = 0;
    auto chunk = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        const auto& [board, player] = positions[next];
        next = next + 1 == positions.size() ? 0 : next + 1;
        velmar::TileMoves moves = velmar::get_tile_moves(board, player);
        candidates += moves.candidates().size();
        keep(moves);
        c.ops += 1;
      }
    };
    const auto runs = time_runs(chunk, reps, min_time);
    uint64_t total = 0;
    for (const auto& [board, player] : positions)
      total += velmar::get_tile_moves(board, player).candidates().size();
    print_runs("get_tile_moves (turn starts)", runs, 1.0, "calls/s");
    std::printf("%-34s %zu positions, %.1f candidates per call on average\n", "", positions.size(),
                static_cast<double>(total) / static_cast<double>(positions.size()));
    rows.push_back({"get_tile_moves (turn start)", median_rate(runs), "calls/s", ""});
    keep(candidates);
  }

  // Game copies.
  for (const auto& [tile, label, target] :
       {std::tuple{40u, "early", ""}, std::tuple{150u, "middle", "< 0.5"},
        std::tuple{280u, "late", ""}}) {
    if (!wanted("copy")) break;
    const auto sources = positions_at(tile, quick ? 4 : 64, 4 + tile);
    std::size_t next = 0;
    auto chunk = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        Game copy = sources[next];
        next = next + 1 == sources.size() ? 0 : next + 1;
        keep(copy);
        c.ops += 1;
      }
    };
    const auto runs = time_runs(chunk, reps, min_time);
    double candidates = 0;
    for (const Game& g : sources)
      candidates += static_cast<double>(g.tile_moves.candidates().size());
    const std::string name =
        std::string("copy game, ") + label + " (tile " + std::to_string(tile) + ")";
    print_runs(name.c_str(), runs, 1.0, "copies/s");
    std::printf("%-34s %zu positions, %.1f candidates on average\n", "", sources.size(),
                candidates / static_cast<double>(sources.size()));
    rows.push_back({name, 1e6 / median_rate(runs), "us/copy", target});
  }

  // Copy, then take 1 to 5 random legal tiles on the copy.
  if (wanted("take")) {
    const auto sources = positions_anywhere(quick ? 8 : 256, 5);
    Rng rng(6);
    std::size_t next = 0;
    auto chunk = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        const Game& source = sources[next];
        next = next + 1 == sources.size() ? 0 : next + 1;
        Game copy = source;
        const uint32_t steps = 1 + rng.below(5);
        for (uint32_t s = 0; s < steps && !copy.tile_moves.empty(); ++s) {
          take_random_tile(copy, rng);
          c.extra += 1;
        }
        keep(copy);
        c.pieces += pieces_placed(copy) - pieces_placed(source);
        c.ops += 1;
      }
    };
    const auto runs = time_runs(chunk, reps, min_time);
    print_runs("copy + take 1-5 tiles", runs, 1.0, "ops/s");
    uint64_t ops = 0, tiles = 0, pieces = 0;
    for (const Run& r : runs) {
      ops += r.counts.ops;
      tiles += r.counts.extra;
      pieces += r.counts.pieces;
    }
    std::printf("%-34s %zu positions; per op on average %.2f tiles taken, %.2f pieces completed\n",
                "", sources.size(), static_cast<double>(tiles) / static_cast<double>(ops),
                static_cast<double>(pieces) / static_cast<double>(ops));
    rows.push_back({"copy + take 1-5 tiles", 1e6 / median_rate(runs), "us/op", "< 3"});
  }

  // The greedy rule: one choice at a turn start, and a whole greedy game.
  if (wanted("greedy")) {
    std::vector<Game> starts;
    Rng pick(7);
    for (uint32_t n = 0; n < (quick ? 2u : 20u); ++n) {
      Game game = Game::reset();
      velmar::self_play::Rng tie(n);
      while (velmar::self_play::play_greedy_move(game, tie))
        if (pick.below(4) == 0) starts.push_back(game);
    }
    std::size_t next = 0;
    auto choose = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        auto found = velmar::self_play::greedy_choices(starts[next]);
        next = next + 1 == starts.size() ? 0 : next + 1;
        keep(found);
        c.ops += 1;
      }
    };
    const auto choices = time_runs(choose, reps, min_time);
    print_runs("greedy choice (turn starts)", choices, 1.0, "calls/s");
    rows.push_back({"greedy choice (turn start)", 1e6 / median_rate(choices), "us/call", ""});
    velmar::self_play::Rng tie(11);
    auto games = [&](uint64_t n, Counts& c) {
      for (uint64_t i = 0; i < n; ++i) {
        Game game = Game::reset();
        velmar::self_play::play_greedy_to_end(game, tie);
        c.ops += 1;
      }
    };
    const auto runs = time_runs(games, reps, min_time);
    print_runs("greedy game", runs, 1.0, "games/s");
    rows.push_back({"greedy game", 1e3 / median_rate(runs), "ms/game", ""});
  }

  std::printf("\nSummary (median of %d runs; load average now %s)\n", reps, load_average().c_str());
  std::printf("| %-32s | %14s | %-8s | %-9s |\n", "benchmark", "measured", "unit", "target");
  std::printf("|%s|%s|%s|%s|\n", std::string(34, '-').c_str(), std::string(16, '-').c_str(),
              std::string(10, '-').c_str(), std::string(11, '-').c_str());
  for (const Row& r : rows) {
    std::printf("| %-32s | %14.4g | %-8s | %-9s |\n", r.name.c_str(), r.value, r.unit.c_str(),
                r.target.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rules_bench: %s\n", e.what());
    return 1;
  }
}
