"""velmar.rules.search with options: the dict it returns, forced tiles,
reused subtrees and refusals."""

import struct
from types import SimpleNamespace

from selfplay_helpers import need_extension

need_extension()
from velmar import rules  # noqa: E402

CELLS = 400


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def config(sims, sample_moves=0):
    return SimpleNamespace(sims_per_move=sims, sample_moves=sample_moves, c_base=19652.0,
                           c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0)


class Server:
    """Distinct logits, values drawn from the position; records requests."""

    def __init__(self):
        self.requests = []

    def put(self, request):
        self.requests.append(request)
        planes = request[1]
        h = hash(tuple(x for k in range(5) for x in range(CELLS) if planes[k][x])) & 0xFFFFFFFF
        self.reply = ([x / 50.0 for x in range(CELLS)],
                      [((h >> (8 * p)) % 1009) / 1009.0 for p in range(4)])

    def recv(self):
        return self.reply


def forced_positions(n):
    """Games at positions with a single legal tile, from games of first tiles."""
    out, g = [], rules.Game()
    while not g.is_over and len(out) < n:
        legal = g.legal_tiles()
        if len(legal) == 1:
            out.append(g.copy())
        g.apply(legal[len(legal) // 2])
    return out


def test_a_decision_with_options():
    server = Server()
    d = rules.search(rules.Game(), config(6), server, server, options={"fpu_reduction": 0.2})
    assert set(d) == {"visits", "policy", "tile", "full_search"}
    assert sum(n for _, n in d["visits"]) == 6 and d["full_search"] is True
    assert {c for c, _ in d["visits"]} == set(rules.Game().legal_tiles())
    assert sorted(d["policy"]) == sorted((c, f32(n / 6)) for c, n in d["visits"])
    best = max(n for _, n in d["visits"])
    assert dict(d["visits"])[d["tile"]] == best


def test_forced_tiles_make_no_request():
    positions = forced_positions(5)
    assert positions
    for game in positions:
        server = Server()
        d = rules.search(game, config(8), server, server, options={"skip_forced": True})
        tile = game.legal_tiles()[0]
        assert server.requests == []
        assert d == {"visits": [(tile, 0)], "policy": [(tile, 1.0)], "tile": tile,
                     "full_search": False}


def test_reused_subtree_saves_its_visits():
    """The second search from the position after the chosen tile starts from
    the kept subtree: it sends sims + 1 - (the tile's visits) requests and
    its root children's visits still add up to sims."""
    sims, game, server = 12, rules.Game(), Server()
    opts = {"reuse_tree": True}
    first = rules.search(game, config(sims), server, server, id=9, options=opts)
    kept = dict(first["visits"])[first["tile"]]
    assert kept >= 2
    game.apply(first["tile"])
    server.requests.clear()
    second = rules.search(game, config(sims), server, server, id=9, options=opts)
    assert len(server.requests) == sims + 1 - kept
    assert sum(n for _, n in second["visits"]) == sims
    # Another id has no tree: a full search.
    other = Server()
    rules.search(game, config(sims), other, other, id=10, options=opts)
    assert len(other.requests) == sims + 1
    # A position the kept tree does not continue: a full search too.
    fresh = Server()
    rules.search(rules.Game(), config(sims), fresh, fresh, id=9, options=opts)
    assert len(fresh.requests) == sims + 1
