#include "game.h"

#include <bit>
#include <cstring>

namespace velmar {

std::vector<Placement> TileMoves::at(uint32_t cell) const {
  std::vector<Placement> out;
  if (!contains(cell)) return out;
  for (const CandidatePlacement& c : candidates_) {
    if (c.covers(cell)) out.push_back(c.placement());
  }
  return out;
}

void TileMoves::take(uint32_t tile) {
  std::size_t kept = 0;
  // The cells of the kept candidates: each one's mask shifted up by its origin,
  // with two spare words for the shift.
  std::array<uint64_t, CellSet::kWords + 2> covered{};
  for (const CandidatePlacement& c : candidates_) {
    const Orientation& o = c.shape();
    if (!o.covers_offset(static_cast<int32_t>(tile) - static_cast<int32_t>(c.origin))) continue;
    candidates_[kept++] = c;
    const uint32_t w = c.origin >> 6;
    const uint32_t r = c.origin & 63;
    // (x >> 1) >> (63 - r) is x >> (64 - r), and 0 when r is 0.
    covered[w] |= o.mask_bits[0] << r;
    covered[w + 1] |= (o.mask_bits[0] >> 1) >> (63 - r) | o.mask_bits[1] << r;
    covered[w + 2] |= (o.mask_bits[1] >> 1) >> (63 - r);
  }
  candidates_.resize(kept);
  CellSet::Words words;
  for (uint32_t i = 0; i < CellSet::kWords; ++i) words[i] = covered[i];
  keys_.erase(tile);
  keys_ &= CellSet::from_words(words);
}

namespace {

using Words = CellSet::Words;
constexpr uint32_t kWords = CellSet::kWords;

// An orientation's offsets are r * 20 + c with r, c in 0..4; slot r * 5 + c.
constexpr uint32_t kSlots = 25;
constexpr uint32_t slot_of(uint32_t offset) {
  return offset / kBoardSide * 5 + offset % kBoardSide;
}

struct GeneratorTables {
  // Per orientation, the origins at which it lies wholly on the board:
  // origin + mask length <= 400 and origin % 20 + width <= 20.
  std::array<Words, kNumOrientations> on_board{};
  // Per orientation, the slot of each offset.
  std::array<std::array<uint8_t, 5>, kNumOrientations> offset_slots{};
  // Per kind, the offset slots its orientations use.
  std::array<uint32_t, kNumKinds> slots{};
};

constexpr GeneratorTables build_generator_tables() {
  GeneratorTables t;
  const auto& table = detail::kOrientationTable;
  for (uint32_t id = 0; id < kNumOrientations; ++id) {
    const Orientation& o = table.orientations[id];
    for (uint32_t origin = 0; origin + o.mask_len <= kNumCells; ++origin) {
      if (origin % kBoardSide + o.width > kBoardSide) continue;
      t.on_board[id][origin >> 6] |= uint64_t{1} << (origin & 63);
    }
    for (uint32_t s = 0; s < o.size; ++s) {
      t.offset_slots[id][s] = static_cast<uint8_t>(slot_of(o.offsets[s]));
      t.slots[o.kind] |= 1u << slot_of(o.offsets[s]);
    }
  }
  return t;
}

constexpr GeneratorTables kGeneratorTables = build_generator_tables();

// The cells free of `player`'s blocked bit.
Words free_cells(const std::array<uint8_t, kNumCells>& cells, uint32_t player) {
  Words free{};
  const uint32_t shift = 4 + player;
  for (uint32_t g = 0; g < kNumCells / 8; ++g) {
    uint64_t bytes = 0;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(&bytes, cells.data() + g * 8, 8);
    } else {
      for (uint32_t j = 0; j < 8; ++j) bytes |= uint64_t{cells[g * 8 + j]} << (8 * j);
    }
    // One bit per byte at the byte's lowest bit, then gathered into 8 bits.
    const uint64_t blocked = (bytes >> shift) & 0x0101010101010101ull;
    const uint64_t gathered = (blocked * 0x0102040810204080ull) >> 56;
    free[g >> 3] |= (~gathered & 0xFF) << (8 * (g & 7));
  }
  return free;
}

}  // namespace

// Word-parallel form of the search from the corner cells: for an orientation,
// the origins whose squares are all free are the AND over its offsets k of the
// free cells shifted down by k, and those touching a corner cell the OR of the
// corner cells shifted down by k. Each legal placement comes out exactly once,
// so no duplicates need removing. Only the words that can hold an origin of a
// placement touching a corner cell are worked on.
TileMoves get_tile_moves(const Board& board, uint32_t player) {
  if (player >= kNumPlayers) fail_index(kNumPlayers, player);
  TileMoves moves;
  const PieceList& list = board.pieces[player];
  const CellSet& corners = board.corners[player];
  if (list.empty() || corners.empty()) return moves;

  // Origins lie between the lowest corner cell less the largest offset and
  // the highest corner cell: words lo..hi.
  constexpr uint32_t kMaxOffset = 4 * kBoardSide + 4;
  uint32_t low_cell = kNumCells;
  uint32_t high_cell = 0;
  for (uint32_t w = 0; w < kWords; ++w) {
    const uint64_t bits = corners.words()[w];
    if (bits == 0) continue;
    if (low_cell == kNumCells) low_cell = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
    high_cell = w * 64 + 63 - static_cast<uint32_t>(std::countl_zero(bits));
  }
  const uint32_t lo = (low_cell > kMaxOffset ? low_cell - kMaxOffset : 0) >> 6;
  const uint32_t hi = high_cell >> 6;

  // The free and corner cells, padded with zero words so that shifted reads
  // never leave the array.
  std::array<uint64_t, kWords + 2> free{};
  std::array<uint64_t, kWords + 2> corner{};
  const Words free_words = free_cells(board.cells, player);
  for (uint32_t w = 0; w < kWords; ++w) {
    free[w] = free_words[w];
    corner[w] = corners.words()[w];
  }
  // free_at[slot][w]: word w of the free cells shifted down by the slot's offset.
  uint32_t slots = 0;
  for (uint32_t i = 0; i < list.size(); ++i) slots |= kGeneratorTables.slots[list.kind(i)];
  std::array<Words, kSlots> free_at;
  std::array<Words, kSlots> corner_at;
  for (uint32_t s = 0; s < kSlots; ++s) {
    if (!(slots >> s & 1u)) continue;
    const uint32_t offset = s / 5 * kBoardSide + s % 5;
    const uint32_t q = offset >> 6;
    const uint32_t r = offset & 63;
    for (uint32_t w = lo; w <= hi; ++w) {
      // (x << 1) << (63 - r) is x << (64 - r), and 0 when r is 0.
      free_at[s][w] = free[w + q] >> r | (free[w + q + 1] << 1) << (63 - r);
      corner_at[s][w] = corner[w + q] >> r | (corner[w + q + 1] << 1) << (63 - r);
    }
  }

  // First pass: the legal origins of every remaining orientation.
  struct Found {
    Words origins;
    uint8_t id;
    uint8_t piece;
  };
  std::array<Found, kNumOrientations> found;
  uint32_t nfound = 0;
  std::size_t total = 0;
  const auto& orientations = all_orientations();
  // The origins of orientation `id` with N squares, words lo..hi.
  auto legal_origins = [&]<uint32_t N>(uint32_t id, Words& legal) {
    const auto& slot = kGeneratorTables.offset_slots[id];
    uint64_t any = 0;
    for (uint32_t w = lo; w <= hi; ++w) {
      uint64_t l = kGeneratorTables.on_board[id][w];
      uint64_t t = 0;
      for (uint32_t s = 0; s < N; ++s) {
        l &= free_at[slot[s]][w];
        t |= corner_at[slot[s]][w];
      }
      legal[w] = l & t;
      any |= legal[w];
    }
    return any != 0;
  };
  for (uint32_t i = 0; i < list.size(); ++i) {
    const uint32_t kind = list.kind(i);
    const uint32_t first = detail::kOrientationTable.first[kind];
    const uint32_t last = first + detail::kOrientationTable.count[kind];
    for (uint32_t id = first; id < last; ++id) {
      Found& fd = found[nfound];
      bool any = false;
      switch (orientations[id].size) {
        case 1:
          any = legal_origins.template operator()<1>(id, fd.origins);
          break;
        case 2:
          any = legal_origins.template operator()<2>(id, fd.origins);
          break;
        case 3:
          any = legal_origins.template operator()<3>(id, fd.origins);
          break;
        case 4:
          any = legal_origins.template operator()<4>(id, fd.origins);
          break;
        default:
          any = legal_origins.template operator()<5>(id, fd.origins);
          break;
      }
      if (!any) continue;
      fd.id = static_cast<uint8_t>(id);
      fd.piece = static_cast<uint8_t>(i);
      ++nfound;
      for (uint32_t w = lo; w <= hi; ++w) total += popcount64(fd.origins[w]);
    }
  }

  // Second pass: the candidates, and the cells they cover as keys.
  moves.candidates_.resize(total);
  CandidatePlacement* out = moves.candidates_.data();
  std::array<uint64_t, kWords + 2> keys{};  // two spare words for the shifted masks
  for (uint32_t f = 0; f < nfound; ++f) {
    const Found& fd = found[f];
    const Orientation& o = orientations[fd.id];
    const uint64_t m0 = o.mask_bits[0];
    const uint64_t m1 = o.mask_bits[1];
    for (uint32_t w = lo; w <= hi; ++w) {
      for (uint64_t bits = fd.origins[w]; bits != 0; bits &= bits - 1) {
        const uint32_t r = static_cast<uint32_t>(std::countr_zero(bits));
        *out++ = {static_cast<uint16_t>(w * 64 + r), fd.id, fd.piece};
        // The covered cells: the mask shifted up by the origin ((x >> 1) >> (63 - r)
        // is x >> (64 - r), and 0 when r is 0).
        keys[w] |= m0 << r;
        keys[w + 1] |= (m0 >> 1) >> (63 - r) | m1 << r;
        keys[w + 2] |= (m1 >> 1) >> (63 - r);
      }
    }
  }
  Words key_words{};
  for (uint32_t w = 0; w < kWords; ++w) key_words[w] = keys[w];
  moves.keys_ = CellSet::from_words(key_words);
  return moves;
}

Game Game::reset() {
  Game game;
  game.tile_moves = get_tile_moves(game.board, 0);
  game.players = {0, 1, 2, 3};
  return game;
}

std::optional<uint32_t> Game::current_player() const {
  if (current < players.size()) return players[current];
  return std::nullopt;
}

ApplyResult Game::apply(uint32_t tile, std::optional<uint32_t> piece) {
  if (current >= players.size()) return {kNoCurrentPlayer};
  const uint32_t p = players[current];
  if (tile >= kNumCells) fail_index(kNumCells, tile);
  if (!tile_moves.contains(tile)) return {kInvalidMove};
  if (piece && *piece >= board.pieces[p].size()) fail_index(board.pieces[p].size(), *piece);

  board.place_tile(tile, p);
  history.push_back({static_cast<int32_t>(p), static_cast<int32_t>(tile)});
  tile_moves.take(tile);

  if (piece || tile_moves.empty()) {
    uint32_t i = 0;
    if (piece) {
      i = *piece;
    } else {
      // No key left: the tiles taken are exactly one placement.
      if (tile_moves.candidates().size() != 1) fail("a completed move must leave one placement");
      i = tile_moves.candidates()[0].piece;
    }
    last_sizes[p] = board.pieces[p][i].size;
    board.pieces[p].erase(i);
    advance_player();
  }
  return {};
}

std::optional<uint32_t> Game::advance_player() {
  if (players.empty()) fail("no player left to pass the turn to");
  current = static_cast<uint32_t>((current + 1) % players.size());
  for (;;) {
    const uint32_t p = players[current];
    tile_moves = get_tile_moves(board, p);
    if (!tile_moves.empty()) return p;
    players.erase(current);
    if (players.empty()) return std::nullopt;
    current = static_cast<uint32_t>(current % players.size());
  }
}

std::array<float, kNumPlayers> Game::get_payoff() const {
  const auto scores = get_score();
  std::array<float, kNumPlayers> payoff{};
  int32_t best = scores[0];
  FixedVec<uint32_t, kNumPlayers> leaders;
  for (uint32_t j = 0; j < kNumPlayers; ++j) {
    if (scores[j] == best) {
      leaders.push_back(j);
    } else if (scores[j] > best) {
      leaders = {j};
      best = scores[j];
    }
  }
  const float share = 1.0f / static_cast<float>(leaders.size());
  for (uint32_t j : leaders) payoff[j] = share;
  return payoff;
}

}  // namespace velmar
