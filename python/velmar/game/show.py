"""``python3 -m velmar show``: pictures of a game.

Renders the 20 x 20 board in the four players' colours, every piece edged
thinly and the last one outlined, the tile number and the scores: as SVG
(standard library only), as PNG where Pillow or matplotlib is installed, and with ``--html`` as one
self-contained page that replays the game with a slider and the arrow keys.

The game comes from training data (a directory of shards or one shard; the
last game by default, or ``--game G``) or from a record: a JSON file holding
``{"history": [[player, cell], ...]}`` (the first list that
``generate_game_data`` returns), optionally with ``"payoffs"``.
"""

import argparse
import html
import json
import os
import sys

from velmar.common.files import atomic_file
from velmar.game import data, replay_page

COLOURS = ("#2f6fd0", "#e2b01c", "#d8432f", "#2f9e44")  # seats 0..3
EMPTY = "#f3f3ee"
GRID = "#c9c9c2"
NAMES = ("blue", "yellow", "red", "green")
CELL = 24
MARGIN = 12
TOP = 64


class ShowError(ValueError):
    """Input that cannot be shown; the message says what is wrong with it."""


def _history(history):
    """The (player, cell) pairs of a record, checked for their form and range."""
    if not isinstance(history, (list, tuple)):
        raise ShowError("the history is not a list of [player, cell] pairs")
    out = []
    for t, entry in enumerate(history):
        if (not isinstance(entry, (list, tuple)) or len(entry) != 2
                or not all(isinstance(x, int) and not isinstance(x, bool) for x in entry)):
            raise ShowError("tile %d: %r is not a [player, cell] pair of integers" % (t, entry))
        p, c = int(entry[0]), int(entry[1])
        if not (0 <= p < 4 and 0 <= c < 400):
            raise ShowError("tile %d: player %d, cell %d out of range (0..3, 0..399)" % (t, p, c))
        out.append((p, c))
    return out


def _payoffs(payoffs):
    if payoffs is None:
        return None
    if (not isinstance(payoffs, (list, tuple)) or len(payoffs) != 4
            or not all(isinstance(x, (int, float)) for x in payoffs)):
        raise ShowError("the payoffs are not a list of four numbers")
    return [float(x) for x in payoffs]


class Replay:
    """A game replayed tile by tile: owners, pieces and scores. Raises
    ShowError for a history that is not a sequence of legal tiles."""

    def __init__(self, history, payoffs=None, title=""):
        self.history = _history(history)
        self.title = title
        self.piece = []   # piece number of every tile
        self.scores = []  # scores after 0, 1, ..., N tiles
        self.payoffs = _payoffs(payoffs)
        self._replay()

    def _replay(self):
        try:
            from velmar import rules
        except ImportError:
            rules = None
        piece = -1
        if rules is None:  # without the rules: a piece is a run of one player's tiles
            last = None
            counts = [0] * 4
            self.scores.append([-89] * 4)
            for p, c in self.history:
                if p != last:
                    piece += 1
                    last = p
                counts[p] += 1
                self.piece.append(piece)
                self.scores.append([n - 89 for n in counts])
            return
        g = rules.Game()
        self.scores.append(list(g.get_score()))
        new_piece = True
        for t, (p, c) in enumerate(self.history):
            if g.is_over or g.current_player() != p:
                raise ShowError("tile %d: player %d recorded, %s" % (
                    t, p, "the game is over" if g.is_over else
                    "player %d to move" % g.current_player()))
            if new_piece:
                piece += 1
            before = len(g.pieces[p])
            try:
                g.apply(c)
            except ValueError:
                raise ShowError("tile %d: cell %d is not a legal tile for player %d"
                                % (t, c, p)) from None
            new_piece = len(g.pieces[p]) != before
            self.piece.append(piece)
            self.scores.append(list(g.get_score()))
        if self.payoffs is None and g.is_over:
            self.payoffs = list(g.get_payoff())

    def __len__(self):
        return len(self.history)

    def owners(self, t):
        board = [-1] * 400
        for p, c in self.history[:t]:
            board[c] = p
        return board

    def last_piece(self, t):
        """Cells of the piece that tile t - 1 belongs to (empty for t = 0)."""
        if t <= 0:
            return []
        k = self.piece[t - 1]
        return [c for (p, c), pc in zip(self.history[:t], self.piece[:t]) if pc == k]

    def pieces_at(self, t):
        """Piece number of every cell after t tiles (-1 where empty)."""
        board = [-1] * 400
        for (p, c), k in zip(self.history[:t], self.piece[:t]):
            board[c] = k
        return board

    def to_json(self):
        return {"history": self.history, "piece": self.piece, "scores": self.scores,
                "payoffs": self.payoffs, "title": self.title,
                "colours": COLOURS, "names": NAMES}


def outline_segments(cells):
    """Unit-square edges around a set of cells: ((x0, y0), (x1, y1)) in
    cell coordinates, one for every side not shared by two cells of the set."""
    s = set(cells)
    segs = []
    for c in cells:
        r, col = divmod(c, 20)
        if r == 0 or c - 20 not in s:
            segs.append(((col, r), (col + 1, r)))
        if r == 19 or c + 20 not in s:
            segs.append(((col, r + 1), (col + 1, r + 1)))
        if col == 0 or c - 1 not in s:
            segs.append(((col, r), (col, r + 1)))
        if col == 19 or c + 1 not in s:
            segs.append(((col + 1, r), (col + 1, r + 1)))
    return segs


def piece_segments(pieces):
    """Unit-square edges that separate pieces: every side of an occupied
    cell whose neighbour (or the board's edge) belongs to no piece or to
    another one. ``pieces`` gives each cell's piece number, -1 where empty."""
    segs = []
    for c, k in enumerate(pieces):
        if k < 0:
            continue
        r, col = divmod(c, 20)
        if r == 0 or pieces[c - 20] != k:
            segs.append(((col, r), (col + 1, r)))
        if r == 19 or pieces[c + 20] != k:
            segs.append(((col, r + 1), (col + 1, r + 1)))
        if col == 0 or pieces[c - 1] != k:
            segs.append(((col, r), (col, r + 1)))
        if col == 19 or pieces[c + 1] != k:
            segs.append(((col + 1, r), (col + 1, r + 1)))
    return segs


PIECE_EDGE = "#1e1e1e"


def size():
    return MARGIN * 2 + 20 * CELL, TOP + 20 * CELL + MARGIN


def caption(rep, t):
    n = len(rep)
    head = "tile %d / %d" % (t, n)
    if 0 < t:
        p, c = rep.history[t - 1]
        head += "  (%s took cell %d)" % (NAMES[p], c)
    if t == n and rep.payoffs is not None:
        head += "  final"
    return head


def render_svg(rep, t=None):
    """The position after t tiles (all by default) as an SVG document."""
    n = len(rep)
    t = n if t is None else max(0, min(n, t))
    w, h = size()
    owners = rep.owners(t)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'font-family="sans-serif">' % (w, h, w, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="22" font-size="16">%s</text>'
           % (MARGIN, html.escape((rep.title + "  " if rep.title else "") + caption(rep, t)))]
    x = MARGIN
    for p in range(4):
        label = "%s %d" % (NAMES[p], rep.scores[t][p])
        if t == n and rep.payoffs is not None:
            label += " (%.2g)" % rep.payoffs[p]
        out.append('<rect x="%d" y="36" width="14" height="14" fill="%s"/>' % (x, COLOURS[p]))
        out.append('<text x="%d" y="48" font-size="14">%s</text>' % (x + 18, html.escape(label)))
        x += 118
    for c in range(400):
        r, col = divmod(c, 20)
        fill = COLOURS[owners[c]] if owners[c] >= 0 else EMPTY
        out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s" stroke="%s"/>'
                   % (MARGIN + col * CELL, TOP + r * CELL, CELL, CELL, fill, GRID))
    edges = piece_segments(rep.pieces_at(t))
    if edges:
        d = " ".join("M%d %dL%d %d" % (MARGIN + a[0] * CELL, TOP + a[1] * CELL,
                                         MARGIN + b[0] * CELL, TOP + b[1] * CELL) for a, b in edges)
        out.append('<path d="%s" stroke="%s" stroke-width="1.5" stroke-linecap="square" '
                   'fill="none"/>' % (d, PIECE_EDGE))
    segs = outline_segments(rep.last_piece(t))
    if segs:
        d = " ".join("M%d %dL%d %d" % (MARGIN + a[0] * CELL, TOP + a[1] * CELL,
                                         MARGIN + b[0] * CELL, TOP + b[1] * CELL) for a, b in segs)
        out.append('<path d="%s" stroke="black" stroke-width="3" stroke-linecap="square" '
                   'fill="none"/>' % d)
    out.append("</svg>")
    return "\n".join(out) + "\n"


def render_png(rep, path, t=None):
    """Writes a PNG with Pillow or matplotlib; returns the library used or
    None when neither is installed."""
    n = len(rep)
    t = n if t is None else max(0, min(n, t))
    owners = rep.owners(t)
    segs = outline_segments(rep.last_piece(t))
    edges = piece_segments(rep.pieces_at(t))
    w, h = size()
    try:
        from PIL import Image, ImageDraw
    except ImportError:
        Image = None
    if Image is not None:
        img = Image.new("RGB", (w, h), "white")
        d = ImageDraw.Draw(img)
        d.text((MARGIN, 8), (rep.title + "  " if rep.title else "") + caption(rep, t),
               fill="black")
        x = MARGIN
        for p in range(4):
            d.rectangle([x, 36, x + 14, 50], fill=COLOURS[p])
            d.text((x + 18, 38), "%s %d" % (NAMES[p], rep.scores[t][p]), fill="black")
            x += 118
        for c in range(400):
            r, col = divmod(c, 20)
            x0, y0 = MARGIN + col * CELL, TOP + r * CELL
            d.rectangle([x0, y0, x0 + CELL, y0 + CELL],
                        fill=COLOURS[owners[c]] if owners[c] >= 0 else EMPTY, outline=GRID)
        for a, b in edges:
            d.line([MARGIN + a[0] * CELL, TOP + a[1] * CELL, MARGIN + b[0] * CELL,
                    TOP + b[1] * CELL], fill=PIECE_EDGE, width=1)
        for a, b in segs:
            d.line([MARGIN + a[0] * CELL, TOP + a[1] * CELL, MARGIN + b[0] * CELL,
                    TOP + b[1] * CELL], fill="black", width=3)
        img.save(path)
        return "Pillow"
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.patches import Rectangle
    except ImportError:
        return None
    fig = plt.figure(figsize=(w / 100.0, h / 100.0), dpi=100)
    ax = fig.add_axes([0, 0, 1, 1])
    ax.set_xlim(0, w)
    ax.set_ylim(h, 0)
    ax.axis("off")
    ax.text(MARGIN, 22, caption(rep, t), fontsize=11)
    for c in range(400):
        r, col = divmod(c, 20)
        ax.add_patch(Rectangle((MARGIN + col * CELL, TOP + r * CELL), CELL, CELL,
                               facecolor=COLOURS[owners[c]] if owners[c] >= 0 else EMPTY,
                               edgecolor=GRID))
    for a, b in edges:
        ax.plot([MARGIN + a[0] * CELL, MARGIN + b[0] * CELL],
                [TOP + a[1] * CELL, TOP + b[1] * CELL], color=PIECE_EDGE, linewidth=1)
    for a, b in segs:
        ax.plot([MARGIN + a[0] * CELL, MARGIN + b[0] * CELL],
                [TOP + a[1] * CELL, TOP + b[1] * CELL], color="black", linewidth=3)
    fig.savefig(path)
    plt.close(fig)
    return "matplotlib"


def render_html(rep):
    return replay_page.render_html(rep, CELL, EMPTY, GRID, PIECE_EDGE)


def load_game(source, game=None):
    """(Replay, default output stem) of a game from data or a record file.
    Raises ShowError (or data.ShardError) naming the source for input that
    cannot be shown."""
    if os.path.isdir(source) or source.endswith(".npz"):
        games = data.game_records(source)
        if not games:
            raise ShowError("no games in %s" % source)
        g = max(games) if game is None else game
        if g not in games:
            raise ShowError("game %d is not in %s (games %d..%d)"
                            % (g, source, min(games), max(games)))
        base = source if os.path.isdir(source) else os.path.dirname(source)
        try:
            rep = Replay(games[g]["history"], title="game %d" % g)
        except ShowError as e:
            raise ShowError("%s: game %d: %s" % (source, g, e)) from None
        return rep, os.path.join(base, "game-%d" % g)
    history, payoffs = _read_record(source)
    stem = os.path.splitext(source)[0]
    try:
        rep = Replay(history, payoffs, title=os.path.basename(stem))
    except ShowError as e:
        raise ShowError("%s: %s" % (source, e)) from None
    return rep, stem


def _read_record(path):
    """(history, payoffs) of a JSON game record."""
    try:
        with open(path, encoding="utf-8") as f:
            rec = json.load(f)
    except OSError as e:
        raise ShowError("%s: cannot read it: %s" % (path, e.strerror or e)) from None
    except (ValueError, RecursionError) as e:  # not JSON, or not UTF-8
        raise ShowError("%s: not a JSON game record (%s)" % (path, e)) from None
    if isinstance(rec, list) and rec:  # the (history, policies, payoffs) triple itself
        return rec[0], (rec[2] if len(rec) > 2 else None)
    if isinstance(rec, dict) and "history" in rec:
        return rec["history"], rec.get("payoffs")
    raise ShowError("%s: not a game record (a JSON object with a \"history\" list, or the "
                    "[history, policies, payoffs] triple)" % path)


def _write(path, text):
    with atomic_file(path, "w", sync=False) as f:  # never a half-written picture or page
        f.write(text)


def render_all(args, rep, stem):
    """Writes the SVG, the PNG where a library can, and the page if asked."""
    svg_path = args.svg or stem + ".svg"
    _write(svg_path, render_svg(rep, args.tile))
    print("svg:  %s" % svg_path)
    png_path = args.png or os.path.splitext(svg_path)[0] + ".png"
    lib = render_png(rep, png_path, args.tile)
    if lib:
        print("png:  %s (%s)" % (png_path, lib))
    else:
        print("png:  not written (neither Pillow nor matplotlib is installed)")
    if args.html is not None:
        html_path = args.html or os.path.splitext(svg_path)[0] + ".html"
        _write(html_path, render_html(rep))
        print("html: %s" % html_path)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m velmar show",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("source", help="a directory of shards, one shard, or a JSON game record")
    ap.add_argument("--game", type=int, default=None,
                    help="game index in the data (default: the last)")
    ap.add_argument("--tile", type=int, default=None,
                    help="show the position after this many tiles (default: the end)")
    ap.add_argument("--svg", default=None, help="SVG path (default: <data dir>/game-G.svg)")
    ap.add_argument("--png", default=None,
                    help="PNG path (default: beside the SVG, when Pillow or matplotlib is "
                         "installed)")
    ap.add_argument("--html", nargs="?", const="", default=None,
                    help="also write a self-contained replay page (default path: beside the SVG)")
    args = ap.parse_args(argv)
    try:
        rep, stem = load_game(args.source, args.game)
    except (ShowError, data.ShardError) as e:
        print("show: %s" % e, file=sys.stderr)
        return 2
    try:
        render_all(args, rep, stem)
    except OSError as e:
        print("show: cannot write %s: %s" % (e.filename, e.strerror or e), file=sys.stderr)
        return 1
    except ValueError as e:  # a picture format the library does not know
        print("show: cannot write the picture: %s" % e, file=sys.stderr)
        return 2
    return 0
