"""The cost of the derived inputs: the NumPy forward of a batch of positions
with and without them, and the derivation alone (medians; reports only).

    PYTHONPATH=build/python:python /usr/bin/python3 bench/derived_bench.py \
        [--data SHARD] [--batch 16] [--repeat 40] [--size 2x32]

Positions: evenly spaced rows of --data (a shard or a directory of them),
else of three random games.
"""

import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # as the server runs NumPy

import numpy as np  # noqa: E402

from velmar.net import derived, network  # noqa: E402

network.keep_freed_memory()


def positions(data_dir, n):
    if data_dir:
        from velmar.game import data
        planes = data.load(data_dir)["planes"]
    else:
        from velmar import rules
        import random
        rng, out = random.Random(1), []
        for _ in range(3):
            g = rules.Game()
            while not g.is_over:
                out.append(np.array(g.representation(), np.float32).reshape(5, 20, 20))
                g.apply(rng.choice(g.legal_tiles()))
        planes = np.stack(out)
    return planes[np.linspace(0, len(planes) - 1, n).astype(int)].astype(np.float32)


def medians_ms(fns, repeat):
    """The median time of each function, called in turn (so that a change of
    the machine's load falls on all of them alike)."""
    times = [[] for _ in fns]
    for fn in fns:
        fn()
    for _ in range(repeat):
        for fn, out in zip(fns, times):
            t = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t)
    return [1e3 * statistics.median(t) for t in times]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default=None)
    ap.add_argument("--batch", type=int, default=16)
    ap.add_argument("--repeat", type=int, default=40)
    ap.add_argument("--size", default="2x32", help="BLOCKSxCHANNELS")
    args = ap.parse_args(argv)
    blocks, channels = (int(v) for v in args.size.split("x"))
    batches = positions(args.data, 64 * args.batch).reshape(64, args.batch, 5, 20, 20)
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    k = iter(range(1 << 30))

    def each(fn):  # a different batch every call
        return lambda: fn(batches[next(k) % len(batches)])
    nets = [network.NumpyNet(network.init_weights(network.Architecture(
        blocks, channels, derived=on), 1)) for on in (False, True)]
    plain, with_derived, alone = medians_ms([each(nets[0]), each(nets[1]),
                                             each(derived.derive)], args.repeat)
    print("%s forward of %d: plain %.2f ms, derived inputs %.2f ms; the derivation alone "
          "%.2f ms" % (args.size, args.batch, plain, with_derived, alone))
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    return 0


if __name__ == "__main__":
    sys.exit(main())
