"""The self-contained HTML page of ``velmar show --html``: the game replayed
with a slider and the arrow keys (no network access, no library)."""

import html
import json


PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>%(title)s</title>
<style>
body { font-family: sans-serif; margin: 16px; }
#controls { margin: 8px 0; display: flex; gap: 8px; align-items: center; }
#slider { width: 420px; }
.sw { display: inline-block; width: 12px; height: 12px; margin: 0 4px 0 12px; }
</style></head>
<body>
<h3 id="caption"></h3>
<div id="scores"></div>
<div id="controls">
<button id="prev" title="previous tile (left arrow)">&#9664;</button>
<input id="slider" type="range" min="0" value="0" step="1">
<button id="next" title="next tile (right arrow)">&#9654;</button>
<span id="tile"></span>
</div>
<svg id="board" xmlns="http://www.w3.org/2000/svg" width="%(size)d" height="%(size)d"></svg>
<p>Arrow keys step one tile, Page Up/Down ten, Home/End jump to the start/end.</p>
<script>
const GAME = %(data)s;
const N = GAME.history.length, CELL = %(cell)d, EMPTY = "%(empty)s", GRID = "%(grid)s";
const svg = document.getElementById("board"), slider = document.getElementById("slider");
slider.max = N;
const NS = "http://www.w3.org/2000/svg";
const rects = [];
for (let c = 0; c < 400; c++) {
  const r = document.createElementNS(NS, "rect");
  r.setAttribute("x", (c %% 20) * CELL); r.setAttribute("y", Math.floor(c / 20) * CELL);
  r.setAttribute("width", CELL); r.setAttribute("height", CELL);
  r.setAttribute("stroke", GRID); svg.appendChild(r); rects.push(r);
}
const edges = document.createElementNS(NS, "path");
edges.setAttribute("stroke", "%(edge)s"); edges.setAttribute("stroke-width", 1.5);
edges.setAttribute("fill", "none"); edges.setAttribute("stroke-linecap", "square");
svg.appendChild(edges);
const outline = document.createElementNS(NS, "path");
outline.setAttribute("stroke", "black"); outline.setAttribute("stroke-width", 3);
outline.setAttribute("fill", "none"); outline.setAttribute("stroke-linecap", "square");
svg.appendChild(outline);
window.velmar = { tile: 0, N: N };
function show(t) {
  t = Math.max(0, Math.min(N, t));
  window.velmar.tile = t; slider.value = t;
  const owner = new Array(400).fill(-1);
  for (let i = 0; i < t; i++) owner[GAME.history[i][1]] = GAME.history[i][0];
  for (let c = 0; c < 400; c++)
    rects[c].setAttribute("fill", owner[c] >= 0 ? GAME.colours[owner[c]] : EMPTY);
  const piece = new Array(400).fill(-1);
  for (let i = 0; i < t; i++) piece[GAME.history[i][1]] = GAME.piece[i];
  let e = "";
  const edge = (x0, y0, x1, y1) => { e += `M${x0 * CELL} ${y0 * CELL}L${x1 * CELL} ${y1 * CELL}`; };
  for (let c = 0; c < 400; c++) {
    const k = piece[c];
    if (k < 0) continue;
    const r = Math.floor(c / 20), col = c %% 20;
    if (r === 0 || piece[c - 20] !== k) edge(col, r, col + 1, r);
    if (r === 19 || piece[c + 20] !== k) edge(col, r + 1, col + 1, r + 1);
    if (col === 0 || piece[c - 1] !== k) edge(col, r, col, r + 1);
    if (col === 19 || piece[c + 1] !== k) edge(col + 1, r, col + 1, r + 1);
  }
  edges.setAttribute("d", e || "M0 0");
  let d = "";
  if (t > 0) {
    const k = GAME.piece[t - 1], cells = new Set();
    for (let i = 0; i < t; i++) if (GAME.piece[i] === k) cells.add(GAME.history[i][1]);
    const seg = (x0, y0, x1, y1) => {
      d += `M${x0 * CELL} ${y0 * CELL}L${x1 * CELL} ${y1 * CELL}`;
    };
    for (const c of cells) {
      const r = Math.floor(c / 20), col = c %% 20;
      if (r === 0 || !cells.has(c - 20)) seg(col, r, col + 1, r);
      if (r === 19 || !cells.has(c + 20)) seg(col, r + 1, col + 1, r + 1);
      if (col === 0 || !cells.has(c - 1)) seg(col, r, col, r + 1);
      if (col === 19 || !cells.has(c + 1)) seg(col + 1, r, col + 1, r + 1);
    }
  }
  outline.setAttribute("d", d || "M0 0");
  let cap = `tile ${t} / ${N}`;
  if (t > 0) cap += ` (${GAME.names[GAME.history[t - 1][0]]} took cell ${GAME.history[t - 1][1]})`;
  if (t === N && GAME.payoffs) cap += " final";
  document.getElementById("caption").textContent = (GAME.title ? GAME.title + ": " : "") + cap;
  document.getElementById("tile").textContent = `${t} / ${N}`;
  const sc = document.getElementById("scores"); sc.textContent = "";
  for (let p = 0; p < 4; p++) {
    const sw = document.createElement("span"); sw.className = "sw";
    sw.style.background = GAME.colours[p]; sc.appendChild(sw);
    let label = `${GAME.names[p]} ${GAME.scores[t][p]}`;
    if (t === N && GAME.payoffs) label += ` (payoff ${GAME.payoffs[p]})`;
    sc.appendChild(document.createTextNode(label));
  }
}
slider.addEventListener("input", () => show(parseInt(slider.value, 10)));
document.getElementById("prev").onclick = () => show(window.velmar.tile - 1);
document.getElementById("next").onclick = () => show(window.velmar.tile + 1);
document.addEventListener("keydown", (e) => {
  const step = { ArrowRight: 1, ArrowLeft: -1, PageDown: 10, PageUp: -10 }[e.key];
  if (step !== undefined) { show(window.velmar.tile + step); e.preventDefault(); }
  else if (e.key === "Home") { show(0); e.preventDefault(); }
  else if (e.key === "End") { show(N); e.preventDefault(); }
});
const start = parseInt((location.hash.match(/tile=(\\d+)/) || [])[1], 10);
show(Number.isNaN(start) ? N : start);
</script>
</body></html>
"""


def render_html(rep, cell, empty, grid, edge):
    """The page of a ``Replay``, its board drawn in cells of ``cell`` pixels
    with the colours of the empty cells, the grid and the pieces' edges."""
    data = json.dumps(rep.to_json(), separators=(",", ":")).replace("</", "<\\/")
    return PAGE % {"title": html.escape(rep.title or "velmar game"), "data": data,
                   "size": 20 * cell, "cell": cell, "empty": empty, "grid": grid,
                   "edge": edge}
