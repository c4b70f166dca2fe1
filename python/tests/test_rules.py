"""Tests of velmar.rules, the Python view of the game rules."""

import copy
import gc
import itertools
import random
import struct
import sys

import pytest

from velmar import rules
from velmar.rules import Game

SIDE = 20
CELLS = 400
FIRST_TILES = sorted(r * SIDE + c for r in range(SIDE) for c in range(SIDE) if r + c <= 4)
# Player 1's first tiles: the triangle at the top-right corner.
PLAYER1_FIRST_TILES = sorted(r * SIDE + c for r in range(SIDE) for c in range(SIDE)
                             if r + (SIDE - 1 - c) <= 4)
STRAIGHT_FIVE = 9  # kind of the straight piece of five squares


def f32(x):
    """x rounded to single precision and widened back."""
    return struct.unpack("f", struct.pack("f", x))[0]


def snapshot(game):
    return (game.current_player(), game.legal_tiles(), game.players, game.history, game.cells,
            game.last_sizes, game.pieces, game.is_over)


def owner(byte):
    """The owner of a cell byte, or None for an empty cell."""
    return (byte & 0x0F) - 1 if byte & 0x0F else None


def expected_representation(game):
    """The encoding computed from the exposed state."""
    current = game.current_player()
    planes = [[0.0] * CELLS for _ in range(5)]
    for x, b in enumerate(game.cells):
        if b & 0x0F:
            planes[(b - current) % 4][x] = 1.0
    for x in game.legal_tiles():
        planes[4][x] = 1.0
    return planes


def play_random(seed, stop=None):
    """Plays random legal tiles until the game is over or stop(game) holds."""
    rng = random.Random(seed)
    game = Game()
    while not game.is_over and not (stop and stop(game)):
        game.apply(rng.choice(game.legal_tiles()))
    return game


def test_module_constants():
    assert rules.NUM_CELLS == 400
    assert rules.BOARD_SIDE == 20
    assert rules.NUM_PLAYERS == 4
    assert rules.START_CORNERS == [0, 19, 399, 380]
    assert rules.PIECE_SIZES == [1, 2, 3, 3] + [4] * 5 + [5] * 12
    assert sum(rules.PIECE_SIZES) == 89
    assert Game.__module__ == "velmar.rules"


def test_fresh_game():
    game = Game()
    assert game.current_player() == 0
    assert not game.is_over
    assert game.players == [0, 1, 2, 3]
    assert game.history == []
    assert game.cells == bytes(CELLS)
    assert isinstance(game.cells, bytes)
    assert game.last_sizes == [0, 0, 0, 0]
    assert game.pieces == [list(range(21))] * 4
    assert game.legal_tiles() == FIRST_TILES
    assert len(FIRST_TILES) == 15
    assert game.get_score() == [-89] * 4
    assert game.get_payoff() == [0.25] * 4

    planes = game.representation()
    assert isinstance(planes, list) and len(planes) == 5
    assert all(isinstance(p, list) and len(p) == CELLS for p in planes)
    assert all(type(v) is float and v in (0.0, 1.0) for p in planes for v in p)
    assert all(sum(p) == 0.0 for p in planes[:4])
    assert sum(planes[4]) == 15.0
    assert [x for x in range(CELLS) if planes[4][x]] == FIRST_TILES


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"seed": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        Game(*args, **kwargs)


@pytest.mark.parametrize("order", list(itertools.permutations([20, 40, 60])))
def test_straight_five_completes_on_its_last_tile(order):
    game = Game()
    game.apply(0)
    assert game.current_player() == 0
    assert game.legal_tiles() == [x for x in FIRST_TILES if x != 0]
    game.apply(80)
    assert game.legal_tiles() == [20, 40, 60]
    game.apply(order[0])
    game.apply(order[1])
    assert game.current_player() == 0
    assert game.legal_tiles() == [order[2]]
    assert game.pieces[0] == list(range(21))
    game.apply(order[2])

    assert game.current_player() == 1
    assert STRAIGHT_FIVE not in game.pieces[0]
    assert len(game.pieces[0]) == 20
    assert game.pieces[1:] == [list(range(21))] * 3
    assert game.last_sizes == [5, 0, 0, 0]
    assert game.history == [(0, 0), (0, 80), (0, order[0]), (0, order[1]), (0, order[2])]
    for x in (0, 20, 40, 60, 80):
        assert game.cells[x] == 0xF1
    assert game.legal_tiles() == PLAYER1_FIRST_TILES
    # Player 0's blocked bit: its 5 squares and the 6 empty cells beside them.
    assert sum(1 for x in range(CELLS) if game.cells[x] & 0x10) == 5 + 6
    assert game.get_score() == [5 - 89, -89, -89, -89]
    assert game.get_payoff() == [1.0, 0.0, 0.0, 0.0]


def refused_setups():
    fresh = Game()
    started = Game()
    started.apply(0)
    return {"fresh": fresh, "started": started}


@pytest.mark.parametrize("setup", ["fresh", "started"])
@pytest.mark.parametrize("tile", [399, 19, 100, -1, 400, 1000, 2**70, -(2**70)])
def test_refused_tile_is_invalid_move_and_changes_nothing(setup, tile):
    game = refused_setups()[setup]
    before = snapshot(game)
    with pytest.raises(ValueError) as info:
        game.apply(tile)
    assert str(info.value) == "Invalid move"
    assert snapshot(game) == before


def test_taking_a_tile_twice_is_invalid_move():
    game = Game()
    game.apply(0)
    before = snapshot(game)
    with pytest.raises(ValueError, match="^Invalid move$"):
        game.apply(0)
    assert snapshot(game) == before


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("tile", ["0", 0.0, None, [0], (0, 0)])
def test_non_integer_tile_is_type_error(tile):
    game = Game()
    before = snapshot(game)
    with pytest.raises(TypeError):
        game.apply(tile)
    assert snapshot(game) == before


def test_tile_through_the_index_protocol():
    game = Game()
    game.apply(Index(80))
    assert game.history == [(0, 80)]
    with pytest.raises(ValueError, match="^Invalid move$"):
        game.apply(Index(400))


@pytest.fixture(scope="module")
def finished_games():
    return [play_random(seed) for seed in (1, 2, 3)]


def test_finished_game_has_no_current_player(finished_games):
    for game in finished_games:
        assert game.is_over
        assert game.current_player() is None
        assert game.players == []
        assert game.legal_tiles() == []
        before = snapshot(game)
        for tile in (0, 399, 1000, -5):
            with pytest.raises(ValueError) as info:
                game.apply(tile)
            assert str(info.value) == "No current player"
        with pytest.raises(ValueError) as info:
            game.representation()
        assert str(info.value) == "No current player"
        assert snapshot(game) == before
        assert "over" in repr(game)


@pytest.mark.parametrize("make_copy", [Game.copy, copy.copy, copy.deepcopy],
                         ids=["copy", "copy.copy", "copy.deepcopy"])
def test_copies_are_independent(make_copy):
    game = Game()
    game.apply(0)
    dup = make_copy(game)
    assert type(dup) is Game and dup is not game
    assert snapshot(dup) == snapshot(game)

    before = snapshot(game)
    dup.apply(80)
    assert snapshot(game) == before
    assert dup.legal_tiles() == [20, 40, 60]

    dup_before = snapshot(dup)
    game.apply(1)
    assert snapshot(dup) == dup_before
    assert game.history == [(0, 0), (0, 1)]


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_game_is_consistent(seed):
    rng = random.Random(seed)
    game = Game()
    move_tiles = 0
    while not game.is_over:
        player = game.current_player()
        assert player in game.players
        players_before = game.players
        legal = game.legal_tiles()
        assert legal == sorted(set(legal)) and legal
        assert all(game.cells[x] & 0x0F == 0 for x in legal)
        assert game.representation() == expected_representation(game)
        pieces_before = game.pieces
        tile = rng.choice(legal)
        game.apply(tile)
        move_tiles += 1
        assert game.history[-1] == (player, tile)
        assert owner(game.cells[tile]) == player
        assert game.cells[tile] == 0xF0 | (player + 1)
        if game.current_player() == player and game.pieces == pieces_before:
            continue  # the move goes on
        # The piece is complete: it left the player's hand and set last_sizes.
        removed = [k for k in pieces_before[player] if k not in game.pieces[player]]
        assert len(removed) == 1
        assert len(game.pieces[player]) == len(pieces_before[player]) - 1
        assert rules.PIECE_SIZES[removed[0]] == move_tiles == game.last_sizes[player]
        move_tiles = 0
        # Players only leave; those left keep their turn order.
        assert game.players == [q for q in players_before if q in game.players]
    assert move_tiles == 0

    covered = [owner(b) for b in game.cells if b & 0x0F]
    assert len(game.history) == len(covered)
    scores = game.get_score()
    for p in range(4):
        squares = covered.count(p)
        assert squares == sum(1 for q, _ in game.history if q == p)
        assert squares == 89 - sum(rules.PIECE_SIZES[k] for k in game.pieces[p])
        bonus = 0
        if not game.pieces[p]:
            bonus = 20 if game.last_sizes[p] == 1 else 15
        assert scores[p] == squares - 89 + bonus

    payoff = game.get_payoff()
    leaders = [p for p in range(4) if scores[p] == max(scores)]
    assert payoff == [f32(1.0 / len(leaders)) if p in leaders else 0.0 for p in range(4)]
    assert sum(payoff) == pytest.approx(1.0, abs=1e-6)


def test_payoffs_are_the_single_precision_share_of_the_leaders():
    for seed in range(11, 31):
        game = play_random(seed)
        scores = game.get_score()
        n = scores.count(max(scores))
        for v in game.get_payoff():
            assert v in (0.0, f32(1.0 / n))


def relative_seat_position(seed):
    """A random game stopped with player 2 to move at turn start and every
    player's squares on the board."""
    def stop(game):
        owners = {owner(b) for b in game.cells if b & 0x0F}
        if game.current_player() != 2 or owners != {0, 1, 2, 3}:
            return False
        return all(q != 2 for q, _ in game.history[-1:])
    return play_random(seed, stop)


@pytest.mark.parametrize("seed", [5, 6])
def test_representation_planes_are_relative_to_the_player_to_move(seed):
    game = relative_seat_position(seed)
    assert game.current_player() == 2
    planes = game.representation()
    plane_of_owner = {1: 0, 2: 1, 3: 2, 0: 3}
    for x, b in enumerate(game.cells):
        o = owner(b)
        column = [planes[k][x] for k in range(4)]
        if o is None:
            assert column == [0.0] * 4  # blocked bits alone contribute nothing
        else:
            assert column == [1.0 if k == plane_of_owner[o] else 0.0 for k in range(4)]
            assert planes[4][x] == 0.0
    assert [x for x in range(CELLS) if planes[4][x]] == game.legal_tiles()
    assert any(b & 0xF0 and not b & 0x0F for b in game.cells)  # blocked empty cells exist


def test_representation_after_first_piece_and_mid_move():
    game = Game()
    game.apply(0)
    planes = game.representation()
    assert planes[1][0] == 1.0  # player 0's own square, mid-move
    assert sum(sum(p) for p in planes[:4]) == 1.0
    for x in (80, 20, 40, 60):
        game.apply(x)
    planes = game.representation()
    assert game.current_player() == 1
    assert [x for x in range(CELLS) if planes[0][x]] == [0, 20, 40, 60, 80]
    assert all(sum(p) == 0.0 for p in planes[1:4])
    assert [x for x in range(CELLS) if planes[4][x]] == PLAYER1_FIRST_TILES
    assert game.representation() == expected_representation(game)


@pytest.mark.parametrize("seed", [7, 8])
def test_replay_round_trip(seed):
    game = play_random(seed)
    for history in (game.history, [cell for _, cell in game.history],
                    [list(e) if i % 2 else e[1] for i, e in enumerate(game.history)],
                    iter(game.history)):
        again = Game.replay(history)
        assert type(again) is Game
        assert snapshot(again) == snapshot(game)
        assert again.get_score() == game.get_score()
    partial = Game.replay(game.history[:37])
    assert partial.history == game.history[:37]
    assert Game.replay([]).history == []


def test_replay_refusals():
    with pytest.raises(ValueError, match="player"):
        Game.replay([(1, 0)])
    with pytest.raises(ValueError, match="player"):
        Game.replay([(0, 0), (0, 80), (0, 20), (0, 40), (0, 60), (0, 1)])
    with pytest.raises(ValueError, match="^Invalid move$"):
        Game.replay([0, 0])
    with pytest.raises(ValueError, match="^Invalid move$"):
        Game.replay([(0, 400)])
    with pytest.raises(ValueError):
        Game.replay([(0,)])
    with pytest.raises(ValueError):
        Game.replay([(0, 0, 0)])
    with pytest.raises(TypeError):
        Game.replay([0.5])
    with pytest.raises(TypeError):
        Game.replay(5)
    finished = play_random(9)
    with pytest.raises(ValueError, match="^No current player$"):
        Game.replay(finished.history + [(0, 0)])
    with pytest.raises(ValueError, match="^No current player$"):
        Game.replay(finished.history + [0])


refcount = pytest.mark.skipif(not hasattr(sys, "getrefcount"),
                              reason="reference counts are a CPython notion")


@refcount
@pytest.mark.usefixtures("collect_garbage")
def test_arguments_are_not_leaked():
    tile = 10**6  # an int object of its own
    pair = (0, 80)
    history = [(0, 0), pair]
    seen = (sys.getrefcount(tile), sys.getrefcount(pair), sys.getrefcount(history),
            sys.getrefcount(Game))
    for _ in range(100):
        game = Game()
        with pytest.raises(ValueError):
            game.apply(tile)
        Game.replay(history)
        with pytest.raises(ValueError):
            Game.replay([pair, tile])
        copy.deepcopy(game)
        del game
    gc.collect()
    assert (sys.getrefcount(tile), sys.getrefcount(pair), sys.getrefcount(history),
            sys.getrefcount(Game)) == seen


@refcount
@pytest.mark.usefixtures("collect_garbage")
@pytest.mark.parametrize("call", [
    lambda g: g.legal_tiles(), lambda g: g.representation(), lambda g: g.history,
    lambda g: g.players, lambda g: g.cells, lambda g: g.pieces, lambda g: g.last_sizes,
    lambda g: g.get_score(), lambda g: g.get_payoff(), lambda g: g.copy(),
    lambda g: g.current_player(), lambda g: repr(g),
    lambda g: Game.replay(g.history), lambda g: g.greedy_choices(),
], ids=["legal_tiles", "representation", "history", "players", "cells", "pieces",
        "last_sizes", "get_score", "get_payoff", "copy", "current_player", "repr", "replay",
        "greedy_choices"])
def test_results_are_released(call):
    import tracemalloc  # CPython only

    game = play_random(10, stop=lambda g: len(g.history) >= 60)
    tracemalloc.start()
    try:
        for _ in range(20):
            call(game)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            call(game)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # One leaked int (28 bytes) per call would add 28 kB.
    assert grown < 10_000


def test_greedy_playout_takes_a_best_placement_every_move():
    """play_greedy is repeatable from its seed and every move it makes is a
    best-scored choice of greedy_choices (the scores are checked against a
    NumPy reference with the greedy player's tests)."""
    game = Game()
    game.play_greedy(11)
    again = Game()
    again.play_greedy(11)
    assert again.history == game.history and game.is_over
    replay, i, moves = Game(), 0, 0
    while not replay.is_over:
        p = replay.current_player()
        _, choices = replay.greedy_choices()
        before = len(replay.pieces[p])
        move = []
        while replay.current_player() == p and len(replay.pieces[p]) == before:
            move.append(game.history[i][1])
            replay.apply(game.history[i][1])
            i += 1
        assert {tuple(c): s for s, c in choices}[tuple(sorted(move))] == choices[0][0]
        moves += 1
    assert i == len(game.history) and moves > 60
