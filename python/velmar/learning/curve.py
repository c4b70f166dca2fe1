"""The learning curve of a loop run: each generation's win shares against
its opponents, with their intervals, and the final arena's."""

from velmar.common.files import atomic_file

OPPONENTS = ("uniform", "heuristic", "previous", "greedy")
DEFAULT_OPPONENTS = OPPONENTS[:3]


def plot(state, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    laddered = ladder_points(state)
    recs = [r for r in state["iterations"] if r.get("arena")]
    if laddered and not recs and not state.get("final"):  # ladders only: one panel
        fig, lax = plt.subplots(figsize=(6.4, 4.0), dpi=80)
        rating_panel(lax, laddered)
        return _save(plt, fig, lax, path)
    if laddered:
        fig, (ax, lax) = plt.subplots(1, 2, figsize=(11.0, 4.0), dpi=80)
        rating_panel(lax, laddered)
    else:
        fig, ax = plt.subplots(figsize=(6.4, 4.0), dpi=80)
    for k, o in enumerate(OPPONENTS):
        pts = [(r["generation"], r["arena"][o]) for r in recs if o in r["arena"]]
        if not pts:
            continue
        x = [p[0] + 0.08 * (k - 1.5) for p in pts]
        y = [p[1]["win_share"] for p in pts]
        err = [[v - p[1]["interval"][0] for v, p in zip(y, pts)],
               [p[1]["interval"][1] - v for v, p in zip(y, pts)]]
        ax.errorbar(x, y, yerr=err, marker="o", capsize=3, label="vs 3 x %s" % o)
    fin = state.get("final")
    for o, r in ((fin or {}).get("results") or {}).items():
        v = r["win_share"]
        ax.errorbar([fin["generation"] + 0.25], [v], yerr=[[v - r["interval"][0]],
                                                          [r["interval"][1] - v]],
                    marker="s", color="k", capsize=3)
        ax.annotate("final %s (%d games)" % (o, r["games"]), (fin["generation"] + 0.3, v),
                    fontsize=7)
    ax.axhline(0.25, color="grey", linestyle="--", label="par 0.25")
    ax.set_xlabel("generation")
    ax.set_ylabel("win share")
    ax.set_ylim(0, 1)
    return _save(plt, fig, ax, path)


def _save(plt, fig, ax, path):
    ax.legend(fontsize=8)
    fig.tight_layout()
    try:
        with atomic_file(path, "wb") as f:
            fig.savefig(f, format="png")
    finally:
        plt.close(fig)


def ladder_points(state):
    """(hours of the run when the ladder finished, generation, ladder record)
    for every generation that played a ladder against greedy."""
    out, seconds = [], 0.0
    for r in state["iterations"]:
        seconds += sum(r.get(k) or 0.0 for k in
                       ("selfplay_seconds", "train_seconds", "arena_seconds", "ladder_seconds"))
        if r.get("ladder"):
            out.append((seconds / 3600.0, r["generation"], r["ladder"]))
    return out


def rating_panel(ax, points):
    x = [p[0] for p in points]
    y = [p[2]["rating"] for p in points]
    if all(p[2].get("interval") for p in points):
        err = [[v - p[2]["interval"][0] for v, p in zip(y, points)],
               [p[2]["interval"][1] - v for v, p in zip(y, points)]]
    else:
        err = None
    ax.errorbar(x, y, yerr=err, marker="o", capsize=3, label="generation vs greedy")
    ax.axhline(0.0, color="grey", linestyle="--", label="greedy (0)")
    ax.set_xlabel("hours of the run")
    ax.set_ylabel("rating against greedy (Elo)")
    ax.legend(fontsize=8)
