"""In-process stand-ins for the inference server and the checks of a game record.

A `Server` offers both `put` and `recv`, so one object serves as the
inference queue and as the pipe. `check_record` replays a returned record
with velmar.rules and checks it position by position.
"""

import math
import struct

CELLS = 400
PLANES = 5
LEGAL_PLANE = 4
SUMMARY_PREFIX = "Game finished with payoff: "
PANIC_UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def f32(x):
    """x rounded to single precision and widened back."""
    return struct.unpack("f", struct.pack("f", x))[0]


class Config:
    """The search settings as plain attributes; every field may be overridden."""

    def __init__(self, sims_per_move=2, sample_moves=0, c_base=19652.0, c_init=1.25,
                 dirichlet_alpha=0.3, exploration_fraction=0.25, **extra):
        self.sims_per_move = sims_per_move
        self.sample_moves = sample_moves
        self.c_base = c_base
        self.c_init = c_init
        self.dirichlet_alpha = dirichlet_alpha
        self.exploration_fraction = exploration_fraction
        for name, value in extra.items():
            setattr(self, name, value)

    def __repr__(self):
        return "Config(%r)" % (vars(self),)


def uniform_answer(request):
    """Equal logits on all 400 cells and equal values."""
    return ([0.0] * CELLS, [0.25] * 4)


def legal_cells(request):
    """The cells marked in the request's legal-tile plane."""
    return {x for x, v in enumerate(request[1][LEGAL_PLANE]) if v == 1.0}


class Server:
    """An inference server in the caller's thread.

    `put` keeps the request, `recv` answers the latest one with
    answer(request). `fail_put` / `fail_recv` name the 1-based call that
    raises `error` instead (an exception, or a callable making a fresh one
    for every raise); `calls` records the order of the calls.
    """

    def __init__(self, answer=uniform_answer, fail_put=None, fail_recv=None, error=None,
                 keep=True):
        self.answer = answer
        self.fail_put = fail_put
        self.fail_recv = fail_recv
        self.error = error if error is not None else RuntimeError("server down")
        self.keep = keep
        self.requests = []
        self.latest = None
        self.calls = []
        self.puts = 0
        self.recvs = 0

    def put(self, request):
        self.puts += 1
        self.calls.append("put")
        if self.puts == self.fail_put:
            raise self._error()
        self.latest = request
        if self.keep:
            self.requests.append(request)

    def _error(self):
        return self.error if isinstance(self.error, BaseException) else self.error()

    def recv(self):
        self.recvs += 1
        self.calls.append("recv")
        if self.recvs == self.fail_recv:
            raise self._error()
        return self.answer(self.latest)


def visit_counts(policy, sims):
    """The visit counts behind the shares of one policies entry, or None
    when some share is not count / sims in single precision."""
    table = {f32(k / sims): k for k in range(sims + 1)}
    counts = [table.get(share) for _, share in policy]
    return None if None in counts else counts


def float32_text(x):
    """The shortest decimal that reads back as the same 32-bit float, always
    with a fractional part."""
    for digits in range(1, 10):
        text = "%.*g" % (digits, x)
        if f32(float(text)) == x:
            break
    if "." not in text and "e" not in text:
        text += ".0"
    return text


def summary_line(payoff, score):
    return "%s[%s] and score: [%s]" % (SUMMARY_PREFIX, ", ".join(map(float32_text, payoff)),
                                       ", ".join(str(s) for s in score))


def check_record(record, rules, config, children=None):
    """Replays `record` and checks it against the rules and the settings.

    children(game) gives the cells expected in a policies entry (default:
    every legal tile). Returns the final game and the list of positions
    (a copy of the game before every tile).
    """
    assert type(record) is tuple and len(record) == 3
    history, policies, payoffs = record
    assert type(history) is list and type(policies) is list and type(payoffs) is list
    assert len(history) == len(policies) > 0
    sims = config.sims_per_move
    game = rules.Game()
    positions = []
    for i, (entry, policy) in enumerate(zip(history, policies)):
        assert type(entry) is tuple and len(entry) == 2
        player, cell = entry
        assert type(player) is int and type(cell) is int
        assert player == game.current_player(), "tile %d taken by the wrong player" % i
        assert type(policy) is list
        for pair in policy:
            assert type(pair) is tuple and len(pair) == 2
            assert type(pair[0]) is int and type(pair[1]) is float
        cells = [c for c, _ in policy]
        assert len(set(cells)) == len(cells), "a cell listed twice"
        expected = set(game.legal_tiles()) if children is None else set(children(game))
        assert set(cells) == expected, "position %d" % i
        assert cell in cells
        shares = [s for _, s in policy]
        for s in shares:
            assert math.isnan(s) or f32(s) == s, "not a widened 32-bit float"
        if sims == 0:
            assert all(math.isnan(s) for s in shares)
            assert cell == cells[-1], "with no visits the last candidate is taken"
        else:
            counts = visit_counts(policy, sims)
            assert counts is not None, "shares are not counts / %d: %r" % (sims, shares)
            assert sum(counts) == sims
            chosen = counts[cells.index(cell)]
            if i + 1 >= config.sample_moves:
                best = max(counts)
                last_best = max(j for j, k in enumerate(counts) if k == best)
                assert cells[last_best] == cell, "position %d: not the most visited tile" % i
            else:
                assert chosen > 0, "position %d: a tile without visits was drawn" % i
        positions.append(game.copy())
        game.apply(cell)
    assert game.is_over
    assert game.history == history
    assert payoffs == list(game.get_payoff())
    for p in payoffs:
        assert type(p) is float
    return game, positions
