"""velmar.rules.search: the module's search run from any position."""

import sys
from types import SimpleNamespace

import pytest

from selfplay_helpers import need_extension

need_extension()
import velmar_self_play  # noqa: E402
from velmar import rules  # noqa: E402

CELLS = 400


def config(sims, noise=0.0, sample_moves=0):
    return SimpleNamespace(sims_per_move=sims, sample_moves=sample_moves, c_base=19652.0,
                           c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=noise)


class Server:
    """Answers every request from its planes alone, the same way whoever
    asks: logits rising with the cell (distinct priors, so no ties) and
    values that follow the squares on each plane. Records every request."""

    def __init__(self, fail_at=None, error=None):
        self.requests = []
        self.fail_at, self.error = fail_at, error
        self._reply = None

    def put(self, request):
        self.requests.append(request)
        if len(self.requests) == self.fail_at:
            raise self.error
        planes = request[1]
        values = [0.1 + sum(planes[k]) / 400.0 for k in range(4)]
        self._reply = ([x / 50.0 for x in range(CELLS)], values)

    def recv(self):
        return self._reply


@pytest.mark.parametrize("sims", [1, 8, 24])
def test_search_agrees_with_the_module(sims, capsys):
    """Every visit distribution of a module game, times the simulations,
    is what search() counts from the same position with the same server
    and no noise."""
    cfg = config(sims)
    module_server = Server()
    record = velmar_self_play.generate_game_data(0, cfg, module_server, module_server)
    capsys.readouterr()
    game = rules.Game()
    for (player, tile), policy in zip(record[0], record[1]):
        server = Server()
        counts = rules.search(game, cfg, server, server, id=3)
        assert sum(c for _, c in counts) == sims
        assert {c: n for c, n in counts} == {c: round(share * sims) for c, share in policy}
        assert len(server.requests) <= sims + 1 and {r[0] for r in server.requests} == {3}
        game.apply(tile)
    assert game.is_over
    assert capsys.readouterr() == ("", "")


def test_visits_spread_with_noise_and_id_is_sent():
    server = Server()
    counts = rules.search(rules.Game(), config(64, noise=0.25), server, server, id=7)
    assert sum(c for _, c in counts) == 64
    assert sum(c > 0 for _, c in counts) >= 3
    assert len(server.requests) == 65 and {r[0] for r in server.requests} == {7}


@pytest.mark.parametrize("fail_at", [1, 2, 5])
@pytest.mark.parametrize("error", [ValueError("bad reply"), KeyboardInterrupt()])
def test_failed_exchange_raises_the_servers_exception(fail_at, error, capsys):
    server = Server(fail_at=fail_at, error=error)
    with pytest.raises(type(error)) as info:
        rules.search(rules.Game(), config(8), server, server)
    assert info.value is error
    assert capsys.readouterr() == ("", "")


def test_refusals():
    server = Server()
    with pytest.raises(TypeError, match="velmar.rules.Game"):
        rules.search(object(), config(1), server, server)
    over = rules.Game()
    while not over.is_over:
        over.apply(over.legal_tiles()[0])
    with pytest.raises(ValueError, match="the game is over"):
        rules.search(over, config(1), server, server)
    with pytest.raises(AttributeError):
        rules.search(rules.Game(), SimpleNamespace(sims_per_move=1), server, server)
    with pytest.raises(OverflowError):
        rules.search(rules.Game(), config(1), server, server, id=2**40)
    assert server.requests == []


@pytest.mark.skipif(sys.implementation.name == "pypy", reason="reference counts are CPython's")
@pytest.mark.usefixtures("collect_garbage")
def test_search_leaves_no_references():
    server, cfg, game = Server(), config(4), rules.Game()
    before = [sys.getrefcount(x) for x in (server, cfg, game)]
    for _ in range(3):
        rules.search(game, cfg, server, server)
    assert [sys.getrefcount(x) for x in (server, cfg, game)] == before
