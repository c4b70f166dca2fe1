#include "game.h"

#include <bit>
#include <cstring>

namespace velmar {

namespace {

using Words = CellSet::Words;
constexpr uint32_t kWords = CellSet::kWords;

// Cell words with two spare zero words above them: room for masks shifted up
// by an origin, and for reads shifted down by an offset.
using PaddedWords = std::array<uint64_t, kWords + 2>;

// ORs an orientation's mask, shifted up by the origin w * 64 + r (r < 64),
// into `cells`: the cells of the placement at that origin. The origin comes
// as word and bit because the move generator walks origins that way.
inline void add_shifted_mask(PaddedWords& cells, std::array<uint64_t, 2> mask, uint32_t w,
                             uint32_t r) {
  // (x >> 1) >> (63 - r) is x >> (64 - r), and 0 when r is 0.
  cells[w] |= mask[0] << r;
  cells[w + 1] |= (mask[0] >> 1) >> (63 - r) | mask[1] << r;
  cells[w + 2] |= (mask[1] >> 1) >> (63 - r);
}

CellSet without_padding(const PaddedWords& cells) {
  Words words;
  for (uint32_t w = 0; w < kWords; ++w) words[w] = cells[w];
  return CellSet::from_words(words);
}

}  // namespace

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
  PaddedWords covered{};  // the cells of the kept candidates
  for (const CandidatePlacement& c : candidates_) {
    const Orientation& o = c.shape();
    if (!o.covers_offset(static_cast<int32_t>(tile) - static_cast<int32_t>(c.origin))) continue;
    candidates_[kept++] = c;
    add_shifted_mask(covered, o.mask_bits, c.origin >> 6, c.origin & 63);
  }
  candidates_.resize(kept);
  keys_.erase(tile);
  keys_ &= without_padding(covered);
}

namespace {

// An orientation's offsets are r * 20 + c with r, c in 0..4; slot r * 5 + c.
constexpr uint32_t kSlots = 25;
constexpr uint32_t slot_of(uint32_t offset) {
  return offset / kBoardSide * 5 + offset % kBoardSide;
}
constexpr uint32_t offset_of(uint32_t slot) {
  return slot / 5 * kBoardSide + slot % 5;
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

// The words lo..hi that can hold the origin of a placement touching a corner
// cell: from the lowest corner cell less the largest offset to the highest
// corner cell. `corners` is not empty.
struct WordRange {
  uint32_t lo = 0;
  uint32_t hi = 0;
};

WordRange origin_words(const CellSet& corners) {
  constexpr uint32_t kMaxOffset = 4 * kBoardSide + 4;
  uint32_t low_cell = kNumCells;
  uint32_t high_cell = 0;
  for (uint32_t w = 0; w < kWords; ++w) {
    const uint64_t bits = corners.words()[w];
    if (bits == 0) continue;
    if (low_cell == kNumCells) low_cell = w * 64 + static_cast<uint32_t>(std::countr_zero(bits));
    high_cell = w * 64 + 63 - static_cast<uint32_t>(std::countl_zero(bits));
  }
  return {(low_cell > kMaxOffset ? low_cell - kMaxOffset : 0) >> 6, high_cell >> 6};
}

// The offset slots used by the orientations of the pieces in `list`.
uint32_t slots_used(const PieceList& list) {
  uint32_t slots = 0;
  for (uint32_t i = 0; i < list.size(); ++i) slots |= kGeneratorTables.slots[list.kind(i)];
  return slots;
}

// Per offset slot, words lo..hi of the free and the corner cells shifted down
// by the slot's offset: bit o is set when cell o + offset is free (a corner).
// Only the slots in use are filled.
struct ShiftedCells {
  std::array<Words, kSlots> free_at;
  std::array<Words, kSlots> corner_at;
};

void shift_cells(const Board& board, uint32_t player, uint32_t slots, WordRange range,
                 ShiftedCells& out) {
  PaddedWords free{};
  PaddedWords corner{};
  const Words free_words = free_cells(board.cells, player);
  for (uint32_t w = 0; w < kWords; ++w) {
    free[w] = free_words[w];
    corner[w] = board.corners[player].words()[w];
  }
  for (uint32_t s = 0; s < kSlots; ++s) {
    if (!(slots >> s & 1u)) continue;
    const uint32_t q = offset_of(s) >> 6;
    const uint32_t r = offset_of(s) & 63;
    for (uint32_t w = range.lo; w <= range.hi; ++w) {
      // (x << 1) << (63 - r) is x << (64 - r), and 0 when r is 0.
      out.free_at[s][w] = free[w + q] >> r | (free[w + q + 1] << 1) << (63 - r);
      out.corner_at[s][w] = corner[w + q] >> r | (corner[w + q + 1] << 1) << (63 - r);
    }
  }
}

// Words lo..hi of the legal origins of orientation `id` with N squares: on
// the board, every square free, some square on a corner cell. Returns whether
// there is any.
template <uint32_t N>
bool legal_origins(uint32_t id, const ShiftedCells& cells, WordRange range, Words& legal) {
  const auto& slot = kGeneratorTables.offset_slots[id];
  uint64_t any = 0;
  for (uint32_t w = range.lo; w <= range.hi; ++w) {
    uint64_t l = kGeneratorTables.on_board[id][w];
    uint64_t t = 0;
    for (uint32_t s = 0; s < N; ++s) {
      l &= cells.free_at[slot[s]][w];
      t |= cells.corner_at[slot[s]][w];
    }
    legal[w] = l & t;
    any |= legal[w];
  }
  return any != 0;
}

bool legal_origins(uint32_t id, const ShiftedCells& cells, WordRange range, Words& legal) {
  switch (all_orientations()[id].size) {
    case 1:
      return legal_origins<1>(id, cells, range, legal);
    case 2:
      return legal_origins<2>(id, cells, range, legal);
    case 3:
      return legal_origins<3>(id, cells, range, legal);
    case 4:
      return legal_origins<4>(id, cells, range, legal);
    default:
      return legal_origins<5>(id, cells, range, legal);
  }
}

// The orientations of the remaining pieces that have a legal origin, with
// those origins (words lo..hi).
struct FoundOrientation {
  Words origins;
  uint8_t id;
  uint8_t piece;  // position in the player's remaining-piece list
};

struct Found {
  std::array<FoundOrientation, kNumOrientations> orientations;
  uint32_t count = 0;
  std::size_t origins = 0;  // over all of them
};

void find_orientations(const PieceList& list, const ShiftedCells& cells, WordRange range,
                       Found& found) {
  // Counted in locals: stores to the origin words could alias the members.
  uint32_t count = 0;
  std::size_t origins = 0;
  for (uint32_t i = 0; i < list.size(); ++i) {
    const uint32_t kind = list.kind(i);
    const uint32_t first = detail::kOrientationTable.first[kind];
    const uint32_t last = first + detail::kOrientationTable.count[kind];
    for (uint32_t id = first; id < last; ++id) {
      FoundOrientation& fd = found.orientations[count];
      if (!legal_origins(id, cells, range, fd.origins)) continue;
      fd.id = static_cast<uint8_t>(id);
      fd.piece = static_cast<uint8_t>(i);
      ++count;
      for (uint32_t w = range.lo; w <= range.hi; ++w) origins += popcount64(fd.origins[w]);
    }
  }
  found.count = count;
  found.origins = origins;
}

// One candidate per legal origin, and the cells they cover as the keys.
void list_candidates(const Found& found, WordRange range, std::vector<CandidatePlacement>& out,
                     CellSet& keys) {
  out.resize(found.origins);
  CandidatePlacement* next = out.data();
  PaddedWords covered{};
  for (uint32_t f = 0; f < found.count; ++f) {
    const FoundOrientation& fd = found.orientations[f];
    const std::array<uint64_t, 2> mask = all_orientations()[fd.id].mask_bits;
    for (uint32_t w = range.lo; w <= range.hi; ++w) {
      for (uint64_t bits = fd.origins[w]; bits != 0; bits &= bits - 1) {
        const uint32_t r = static_cast<uint32_t>(std::countr_zero(bits));
        *next++ = {static_cast<uint16_t>(w * 64 + r), fd.id, fd.piece};
        add_shifted_mask(covered, mask, w, r);
      }
    }
  }
  keys = without_padding(covered);
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
  if (list.empty() || board.corners[player].empty()) return moves;

  const WordRange range = origin_words(board.corners[player]);
  ShiftedCells cells;
  shift_cells(board, player, slots_used(list), range, cells);
  Found found;
  find_orientations(list, cells, range, found);
  list_candidates(found, range, moves.candidates_, moves.keys_);
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
