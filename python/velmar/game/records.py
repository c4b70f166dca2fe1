"""A game's record turned into training rows, checked against the rules
(the rows ``velmar.game.data`` writes as shards)."""

import array

from velmar.game.planes import CELLS, pack_planes


class RecordError(ValueError):
    """A game record that the rules do not confirm."""


def game_rows(game_index, history, policies, payoffs, rules=None, full_search=None,
              values=None):
    """Replays one game record with the rules and returns its rows as a dict
    of ``array.array`` (plus the game's scores), checking the record on the
    way: each tile is the mover's and legal, each policy covers legal tiles
    only, and the payoffs are those of the final position. ``full_search``
    (a bool per tile, from a run with playout caps) becomes that member.
    ``values`` (four payoffs in seat order per tile, each in [0, 1]) are the
    rows' value targets instead of the game's payoffs."""
    if rules is None:
        from velmar import rules
    if len(history) != len(policies):
        raise RecordError("%d tiles but %d policies" % (len(history), len(policies)))
    if full_search is not None and len(full_search) != len(history):
        raise RecordError("%d tiles but %d full_search flags" % (len(history), len(full_search)))
    g = rules.Game()
    n = len(history)
    bits = bytearray()
    player = array.array("b")
    cell = array.array("h")
    policy = array.array("f", bytes(4 * CELLS * n))
    for i, ((p, c), pol) in enumerate(zip(history, policies)):
        if g.current_player() != p:
            raise RecordError("tile %d: player %s recorded, %s to move"
                              % (i, p, g.current_player()))
        rep = g.representation()
        legal = rep[4]
        bits += pack_planes(rep)
        base = i * CELLS
        for x, share in pol:
            if not legal[x]:
                raise RecordError("tile %d: the policy names cell %d, not a legal tile" % (i, x))
            policy[base + x] = share
        player.append(p)
        cell.append(c)
        g.apply(c)
    if not g.is_over:
        raise RecordError("the game is not over after its %d tiles" % n)
    final = [float(x) for x in g.get_payoff()]
    if [float(x) for x in payoffs] != final:
        raise RecordError("payoffs %s differ from the final position's %s" % (list(payoffs), final))
    targets = _value_targets(values, final, n)
    payoff = array.array("f", [x for v in targets for x in v])
    mover = array.array("f")
    for p, v in zip(player, targets):
        mover.extend(v[(p + j) % 4] for j in range(4))
    rows = {
        "planes_bits": array.array("B", bytes(bits)),
        "player": player,
        "cell": cell,
        "policy": policy,
        "payoff": payoff,
        "payoff_mover": mover,
        "game": array.array("i", [game_index] * n),
        "tile": array.array("h", range(n)),
        "games": array.array("i", [game_index]),
        "scores": array.array("h", [int(s) for s in g.get_score()]),
        "tiles": array.array("h", [n]),
    }
    if full_search is not None:
        rows["full_search"] = array.array("B", [bool(x) for x in full_search])
    return rows


def _value_targets(values, final, n):
    """Each tile's four value targets: the game's payoffs, or ``values``."""
    if values is None:
        return [final] * n
    if len(values) != n:
        raise RecordError("%d tiles but %d value targets" % (n, len(values)))
    out = [[float(x) for x in v] for v in values]
    if any(len(v) != 4 or not all(0.0 <= x <= 1.0 for x in v) for v in out):
        raise RecordError("a value target is four payoffs in [0, 1]")
    return out
