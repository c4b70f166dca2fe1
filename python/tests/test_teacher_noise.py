"""scripts/teacher_noise.py: two searches of recorded positions."""

import json
import os
import runpy
from types import SimpleNamespace

import pytest

from selfplay_helpers import REPO, need_extension, random_game

need_extension()
np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
from velmar.game import data  # noqa: E402
from velmar.game.planes import pack_planes  # noqa: E402

teacher_noise = SimpleNamespace(**runpy.run_path(os.path.join(REPO, "scripts", "teacher_noise.py")))


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    d = tmp_path_factory.mktemp("shards")
    games = [data.game_rows(k, *random_game(100 + k)) for k in range(3)]
    data.write_shard(data.shard_name(str(d), 0), games)
    return str(d)


def test_the_positions_are_the_recorded_ones(shards):
    d = data.load(shards)
    seen = 0
    for game, r in teacher_noise.positions(d, 50, 8, np.random.default_rng(1)):
        assert bytes(pack_planes(game.representation())) == d["planes_bits"][r].tobytes()
        assert len(game.legal_tiles()) >= 2 and d["tile"][r] >= 8
        seen += 1
    assert seen == 50


def test_a_one_simulation_teacher_is_the_prior_end_to_end(shards, tmp_path, capsys):
    # one simulation visits the prior's top tile only: both teachers take it
    out = tmp_path / "noise.json"
    assert teacher_noise.main(["--data", shards, "--player", "p=numpy,sims=1,skip=1",
                               "--positions", "12", "--repeats", "2", "--json", str(out)]) == 0
    figures = json.loads(out.read_text())
    assert figures["positions"] == 12
    assert (figures["agree"], figures["prior_top"], figures["left"]) == (1.0, 1.0, 0.0)
    assert figures["entropy"] == 0.0 and figures["left_agree"] is None
    assert "two teachers agree 1.000" in capsys.readouterr().out


@pytest.mark.parametrize("player", ["g=greedy", "p=numpy,sims=0"])
def test_a_player_without_a_search_is_refused(shards, player):
    with pytest.raises(SystemExit) as e:
        teacher_noise.main(["--data", shards, "--player", player])
    assert e.value.code == 2
