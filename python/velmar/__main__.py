"""python3 -m velmar COMMAND: play, arena, ladder, train, loop, greedy-data, show,
init-weights, bench."""

import sys

from velmar.arena import arena
from velmar.game import show
from velmar.learning import bootstrap
from velmar.selfplay import play
from velmar.serving import bench

USAGE = """usage: python3 -m velmar COMMAND [options]

commands:
  play          self-play games with a batched inference server; writes training data
  arena         matches between players (evaluator + search settings); win shares with intervals
  ladder        a fixed field in seat-balanced games; ratings with intervals, JSON and PNG
  train         train the policy/value network on the data (PyTorch); writes weights (.npz)
  loop          self-play, train, arena, repeat (the training loop); resumes in --dir
  greedy-data   training shards from games of four greedy players (the bootstrap data)
  show          render a game (SVG, PNG, HTML page) from the data or from a record
  init-weights  write a seeded random initialisation of the numpy/torch network (.npz)
  bench         measure the transport and the evaluators

python3 -m velmar COMMAND --help describes a command's options.
"""


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0 if argv else 2
    cmd, rest = argv[0], argv[1:]
    commands = {"play": play.main, "arena": arena.main, "show": show.main, "bench": bench.main,
                "greedy-data": bootstrap.main}
    if cmd in commands:
        run = commands[cmd]
    elif cmd == "train":
        try:
            from velmar.learning.train_cli import main as run
        except ImportError as e:
            lines = str(e).strip().splitlines() or [e.__class__.__name__]
            sys.stderr.write("train: needs NumPy and PyTorch (%s); "
                             "run it with /usr/bin/python3\n" % lines[-1])
            return 2
    elif cmd == "ladder":
        try:
            from velmar.ratings.ladder import main as run
        except ImportError as e:
            sys.stderr.write("ladder: needs NumPy (%s); run it with /usr/bin/python3\n" % e)
            return 2
    elif cmd == "loop":
        try:
            from velmar.learning.loop import main as run
        except ImportError as e:
            sys.stderr.write("loop: needs NumPy (%s); run it with /usr/bin/python3\n" % e)
            return 2
    elif cmd == "init-weights":
        try:
            from velmar.net.init_weights import main as run
        except ImportError as e:
            sys.stderr.write("init-weights: needs NumPy (%s); run it with /usr/bin/python3\n" % e)
            return 2
    else:
        sys.stderr.write("unknown command %r\n\n%s" % (cmd, USAGE))
        return 2
    return run(rest)


if __name__ == "__main__":
    sys.exit(main())
