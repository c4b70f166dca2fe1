"""``python3 -m velmar bench`` measures, and only reports:
- packing a request's planes into 250 bytes in the worker, and decoding a reply;
- the round trip of one request through a running server (uniform evaluator),
  from ``put`` to the end of ``recv``;
- an evaluator on batches of random positions (``--evaluator``, ``--batch``).
"""

import argparse
import os
import random
import sys
import threading
import time

from velmar.game import planes as wire
from velmar.serving import server as srv
from velmar.serving.client import Client
from velmar.serving.factory import make_evaluator


def _random_planes(rng):
    planes = [[0.0] * 400 for _ in range(5)]
    for x in range(400):
        k = rng.randrange(6)
        if k < 4 and rng.random() < 0.5:
            planes[k][x] = 1.0
        elif k == 4 and rng.random() < 0.1:
            planes[4][x] = 1.0
    return planes


def _time(fn, n):
    t = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t) / n


def bench_transport(n=5000):
    rng = random.Random(1)
    planes = _random_planes(rng)
    out = {}
    pack = wire.make_packer()  # what a worker's client uses
    out["pack_us"] = 1e6 * _time(lambda: pack(planes), n)
    reply = wire.encode_reply([rng.random() for _ in range(400)], [0.25] * 4)
    out["decode_us"] = 1e6 * _time(lambda: wire.decode_reply(reply), n)
    return out


def bench_round_trip(n=5000, clients=1, evaluator="uniform"):
    """Mean seconds per request, from put to the reply decoded, with
    ``clients`` threads each doing n requests through one server process."""
    request_r, request_w = os.pipe()
    replies = [os.pipe() for _ in range(clients)]
    proc = srv.start_server(evaluator, request_r, [w for _, w in replies], request_w)
    os.close(request_r)
    for _, w in replies:
        os.close(w)
    planes = _random_planes(random.Random(2))
    times = [0.0] * clients

    def loop(k):
        c = Client(k, request_w, replies[k][0])
        t = time.perf_counter()
        for _ in range(n):
            c.put((k, planes))
            c.recv()
        times[k] = (time.perf_counter() - t) / n

    threads = [threading.Thread(target=loop, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stats = proc.stop()
    for r, _ in replies:
        os.close(r)
    os.close(request_w)
    return sum(times) / clients, stats


def bench_evaluator(choice, batch, repeat=20, seed=0, device=None):
    import numpy as np
    ev = make_evaluator(choice, seed=seed, device=device)
    rng = np.random.RandomState(3)
    planes = (rng.random_sample((batch, 5, 20, 20)) < 0.2).astype(np.float32)
    bits = np.packbits(planes.reshape(batch, -1).astype(np.uint8), axis=1, bitorder="little")
    raw = bits.tobytes()
    ev.evaluate_bits(raw, batch)  # warm up
    t = time.perf_counter()
    c = time.process_time()
    for _ in range(repeat):
        ev.evaluate_bits(raw, batch)
    return ((time.perf_counter() - t) / repeat, (time.process_time() - c) / repeat,
            ev.describe())


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m velmar bench",
                                 description=__doc__.split("\n\n")[0])
    ap.add_argument("--evaluator", default="numpy")
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--device", default=None)
    ap.add_argument("--requests", type=int, default=5000)
    args = ap.parse_args(argv)
    print("interpreter: %s %s" % (sys.implementation.name, sys.version.split()[0]))
    t = bench_transport()
    print("pack planes (worker):      %.1f us per request" % t["pack_us"])
    print("decode reply (worker):     %.1f us per new reply (an unchanged reply costs nothing)"
          % t["decode_us"])
    for k in (1, 2):
        rt, stats = bench_round_trip(args.requests, k)
        print("round trip, uniform, %d client(s): %.1f us per request (mean batch %.2f)"
              % (k, rt * 1e6, stats["mean_batch"] if stats else float("nan")))
    try:
        sec, cpu, desc = bench_evaluator(args.evaluator, args.batch, device=args.device)
    except ImportError as e:
        print("evaluator %s: not measured (%s)" % (args.evaluator, e))
    else:
        print("evaluator %s: batch of %d in %.2f ms (%.2f ms of CPU time; %.1f us per position)"
              % (desc, args.batch, sec * 1e3, cpu * 1e3, sec * 1e6 / args.batch))
    return 0
