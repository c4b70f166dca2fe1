"""Tests of python3 -m velmar show: SVG, PNG and the replay page."""

import json
import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from velmar.game import data, show

from headless_browser import Browser, decode_png, find_chromium
from selfplay_helpers import REPO, need_extension, random_game, velmar_env

SVG = "{http://www.w3.org/2000/svg}"


@pytest.fixture(scope="module")
def game():
    need_extension()
    return random_game(21)


def test_replay_splits_the_tiles_into_pieces(game):
    from velmar import rules
    history, _, payoffs = game
    rep = show.Replay(history)
    assert rep.payoffs == payoffs
    final = rules.Game()
    for _, c in history:
        final.apply(c)
    pieces = {}
    for (p, c), k in zip(history, rep.piece):
        pieces.setdefault(k, []).append(p)
    assert sorted(pieces) == list(range(len(pieces)))
    for k, players in pieces.items():
        assert 1 <= len(players) <= 5 and len(set(players)) == 1
    for p in range(4):
        placed = sum(1 for players in pieces.values() if players[0] == p)
        assert placed == 21 - len(final.pieces[p])
    assert rep.scores[-1] == list(final.get_score()) and rep.scores[0] == [-89] * 4


@pytest.mark.parametrize("cells,count", [([0], 4), ([0, 1], 6), ([0, 1, 20, 21], 8),
                                         ([0, 21], 8), ([5, 6, 7, 27], 10)])
def test_outline_segments(cells, count):
    segs = show.outline_segments(cells)
    assert len(segs) == count
    assert all(abs(a[0] - b[0]) + abs(a[1] - b[1]) == 1 for a, b in segs)


def svg_summary(text):
    root = ET.fromstring(text)
    fills = [r.get("fill") for r in root.iter(SVG + "rect")]
    board = [f for f in fills if f in show.COLOURS][4:]  # after the four legend swatches
    paths = list(root.iter(SVG + "path"))
    texts = " ".join(t.text or "" for t in root.iter(SVG + "text"))
    return board, paths, texts


@pytest.mark.parametrize("t", [0, 1, 7, None])
def test_svg_shows_the_position(game, t):
    history = game[0]
    rep = show.Replay(history)
    board, paths, texts = svg_summary(show.render_svg(rep, t))
    n = len(history) if t is None else t
    assert len(board) == len({c for _, c in history[:n]}) == n
    for p in range(4):
        assert board.count(show.COLOURS[p]) == sum(1 for q, _ in history[:n] if q == p)
    assert ("tile %d / %d" % (n, len(history))) in texts
    for p in range(4):
        assert "%s %d" % (show.NAMES[p], rep.scores[n][p]) in texts
    if n == 0:
        assert paths == []
    else:
        k = rep.piece[n - 1]
        cells = [c for (_, c), pk in zip(history[:n], rep.piece) if pk == k]
        assert len(paths) == 2  # every piece's edges, then the last piece's outline
        assert paths[1].get("d").count("M") == len(show.outline_segments(cells))
        edges = set(show.piece_segments(rep.pieces_at(n)))
        assert paths[0].get("d").count("M") == len(show.piece_segments(rep.pieces_at(n)))
        assert set(show.outline_segments(cells)) <= edges
        for k in set(rep.piece[:n]):  # every piece is edged all round
            own = [c for (_, c), pk in zip(history[:n], rep.piece) if pk == k]
            assert set(show.outline_segments(own)) <= edges


def run_show(*args):
    return subprocess.run([sys.executable, "-m", "velmar", "show", *map(str, args)],
                          env=velmar_env(), cwd=REPO, capture_output=True, text=True, timeout=60)


@pytest.mark.subprocess
def test_show_command_from_data_and_from_a_record(game, tmp_path):
    history, policies, payoffs = game
    other = random_game(22)
    data.write_shard(data.shard_name(str(tmp_path), 0),
                     [data.game_rows(3, *game), data.game_rows(4, *other)])
    res = run_show(tmp_path, "--html")
    assert res.returncode == 0, res.stderr
    svg = tmp_path / "game-4.svg"  # the last game by default
    board, _, texts = svg_summary(svg.read_text())
    assert len(board) == len(other[0]) and "game 4" in texts
    assert (tmp_path / "game-4.html").exists()
    res = run_show(tmp_path, "--game", 3, "--tile", 10, "--svg", tmp_path / "g3.svg")
    assert res.returncode == 0, res.stderr
    board, _, texts = svg_summary((tmp_path / "g3.svg").read_text())
    assert len(board) == 10 and "tile 10 / %d" % len(history) in texts
    png = tmp_path / "g3.png"
    try:
        from PIL import Image
        Image.new("RGB", (1, 1))
    except ImportError:  # neither is Pillow usable in the command's interpreter
        assert "png:  not written" in res.stdout or "matplotlib" in res.stdout
    else:
        assert "png:  %s (Pillow)" % png in res.stdout
        raw = png.read_bytes()
        assert raw[:8] == b"\x89PNG\r\n\x1a\n"
        assert struct.unpack(">II", raw[16:24]) == show.size()
    rec = tmp_path / "record.json"
    rec.write_text(json.dumps({"history": history, "payoffs": payoffs}))
    res = run_show(rec)
    assert res.returncode == 0, res.stderr
    board, _, texts = svg_summary((tmp_path / "record.svg").read_text())
    assert len(board) == len(history) and "final" in texts
    res = run_show(tmp_path, "--game", 99)
    assert res.returncode != 0 and "game 99" in res.stderr


def board_pixels(browser):
    box = browser.evaluate("(() => { const r = document.getElementById('board')"
                           ".getBoundingClientRect(); return [r.x, r.y, r.width, r.height]; })()")
    png = browser.call("Page.captureScreenshot", {
        "format": "png", "clip": {"x": box[0], "y": box[1], "width": box[2], "height": box[3],
                                  "scale": 0.5}})["data"]
    import base64
    _, _, rows = decode_png(base64.b64decode(png))
    colours = [tuple(int(c[i:i + 2], 16) for i in (1, 3, 5)) for c in show.COLOURS]
    counts = [0] * 4
    for row in rows:
        for px in row:
            if px in colours:
                counts[colours.index(px)] += 1
    return counts


@pytest.mark.subprocess
@pytest.mark.slow
def test_replay_page_in_headless_chromium(game, tmp_path):
    if sys.implementation.name != "cpython":
        pytest.skip("the page and the browser do not depend on the interpreter: checked once, "
                    "under CPython")
    exe = find_chromium()
    if exe is None:
        pytest.skip("chromium is not installed (scripts/setup.sh installs it)")
    history = game[0]
    page = tmp_path / "game.html"
    page.write_text(show.render_html(show.Replay(history, title="test game")))
    b = Browser(exe)
    try:
        b.open("file://%s#tile=0" % page)
        assert b.evaluate("window.velmar.tile") == 0
        assert b.evaluate("window.velmar.N") == len(history)
        empty = board_pixels(b)
        assert empty == [0, 0, 0, 0]
        first = b.screenshot()
        for _ in range(5):
            b.key("ArrowRight", 39)
        assert b.evaluate("window.velmar.tile") == 5
        assert "tile 5 / %d" % len(history) in b.evaluate("document.getElementById('caption')"
                                                          ".textContent")
        five = board_pixels(b)
        movers = [p for p, _ in history[:5]]
        for p in range(4):
            assert (five[p] > 0) == (p in movers)
        assert b.screenshot() != first
        b.key("ArrowLeft", 37)
        assert b.evaluate("window.velmar.tile") == 4
        b.key("End", 35)
        assert b.evaluate("window.velmar.tile") == len(history)
        full = board_pixels(b)
        assert all(full[p] > five[p] for p in range(4))
        b.evaluate("(() => { const s = document.getElementById('slider'); s.value = 2; "
                   "s.dispatchEvent(new Event('input')); })()")
        assert b.evaluate("window.velmar.tile") == 2
        b.key("Home", 36)
        assert b.evaluate("window.velmar.tile") == 0
        assert board_pixels(b) == empty
        filled = b.evaluate("Array.from(document.querySelectorAll('#board rect'))"
                            ".filter(r => r.getAttribute('fill') !== '%s').length" % show.EMPTY)
        assert filled == 0
        shot = tmp_path / "page.png"
        shot.write_bytes(b.screenshot())
        assert decode_png(shot.read_bytes())[0] > 0
    finally:
        b.close()
    assert os.path.getsize(str(shot)) > 1000


# --- unusable input -------------------------------------------------------------

def one_error_line(capsys, code, expected_code, *words):
    out, err = capsys.readouterr()
    assert code == expected_code, (out, err)
    assert err.startswith("show: ") and err.count("\n") == 1, err
    for w in words:
        assert w in err, err
    return err


def damaged_cases():
    from test_data import DAMAGE
    return [pytest.param(what, change, id=name) for name, what, change, _, py in DAMAGE if py]


@pytest.fixture(scope="module")
def two_games(game):
    return [game, random_game(12)]


@pytest.mark.parametrize("what, change", damaged_cases())
def test_show_of_a_damaged_shard_says_which_file(two_games, tmp_path, capsys, what, change):
    from test_data import damaged_shard
    path = damaged_shard(two_games, tmp_path, what, change)
    one_error_line(capsys, show.main([str(tmp_path)]), 2, path)
    one_error_line(capsys, show.main([path]), 2, path)


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


@pytest.mark.parametrize("text, words", [
    (None, ["cannot read"]),
    ("{not json", ["not a JSON game record"]),
    ('"a string"', ["not a game record"]),
    ('{"moves": []}', ["not a game record"]),
    ('{"history": 5}', ["not a list"]),
    ('{"history": [[0, 0], [1]]}', ["tile 1", "pair"]),
    ('{"history": [[0, 0.5]]}', ["tile 0", "pair"]),
    ('{"history": [[4, 0]]}', ["tile 0", "out of range"]),
    ('{"history": [[0, 400]]}', ["tile 0", "out of range"]),
    ('{"history": [[0, 0], [0, 399]]}', ["tile 1", "cell 399 is not a legal tile"]),
    ('{"history": [[1, 0]]}', ["tile 0", "player 0 to move"]),
    ('{"history": [[0, 0]], "payoffs": [1, 2]}', ["payoffs"]),
], ids=["missing", "not-json", "string", "no-history", "history-not-list", "short-pair",
        "float-cell", "player-4", "cell-400", "illegal-tile", "wrong-player", "payoffs"])
def test_show_of_a_bad_record_says_what_is_wrong(tmp_path, capsys, text, words):
    need_extension()
    path = str(tmp_path / "rec.json") if text is None else write(tmp_path, "rec.json", text)
    one_error_line(capsys, show.main([path]), 2, path, *words)
    assert not (tmp_path / "rec.svg").exists()


def test_show_into_a_missing_directory_fails_in_one_line(game, tmp_path, capsys):
    path = write(tmp_path, "rec.json", json.dumps({"history": game[0]}))
    one_error_line(capsys, show.main([path, "--svg", str(tmp_path / "no" / "g.svg")]), 1,
                   "cannot write", "g.svg")
