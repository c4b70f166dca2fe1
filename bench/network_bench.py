"""Network sizes on this machine: forward positions/s (NumPy and PyTorch,
one thread, as the inference server runs them) at several batch sizes, and
PyTorch training positions/s (a full step: forward, backward, Adam).

    PYTHONPATH=python /usr/bin/python3 bench/network_bench.py [--sizes 0x16,2x32] \
        [--train-threads 2]

Prints a table; reports only, never fails. Times are the median of repeated
runs. Rates are given by CPU time (the process's own, unaffected by other
jobs waiting for the same cores) and, in brackets, by the wall clock.
"""

import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # as the server runs NumPy
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # as velmar train runs torch

import numpy as np  # noqa: E402

from velmar.net import network  # noqa: E402

network.keep_freed_memory()  # as the evaluators and the trainer run


def _median_time(fn, repeat, min_seconds=0.3):
    fn()  # warm up
    walls, cpus = [], []
    t_end = time.perf_counter() + min_seconds
    while len(walls) < repeat or time.perf_counter() < t_end:
        w, c = time.perf_counter(), time.process_time()
        fn()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
        if len(walls) >= 50 * repeat:
            break
    return statistics.median(walls), statistics.median(cpus)


def random_planes(n, seed=0):
    rng = np.random.RandomState(seed)
    planes = (rng.random_sample((n, 5, 20, 20)) < 0.15).astype(np.float32)
    return planes


def bench_forward(arch, batches, torch=None):
    weights = network.init_weights(arch, seed=1)
    out = {}
    numpy_net = network.NumpyNet(weights)
    if torch is not None:
        from velmar.net import torch_net
        module = torch_net.to_module(weights).eval()
    for b in batches:
        x = random_planes(b)
        out[("numpy", b)] = _median_time(lambda: numpy_net(x), 5)
        if torch is not None:
            tx = torch.from_numpy(x)

            def run():
                with torch.no_grad():
                    logits, v = module(tx)
                    torch.softmax(v, dim=1).numpy()
                    logits.numpy()
            out[("torch", b)] = _median_time(run, 5)
    return out


def bench_train(arch, torch, batch=256, steps=6):
    from velmar.net import torch_net
    from velmar.learning import train
    weights = network.init_weights(arch, seed=1)
    module = torch_net.to_module(weights)
    opt = torch.optim.Adam(module.parameters(), lr=1e-3)
    x = torch.from_numpy(random_planes(batch))
    legal = x[:, 4].flatten(1) > 0
    target = legal.float() / legal.float().sum(1, keepdim=True).clamp(min=1)
    payoff = torch.full((batch, 4), 0.25)

    def step():
        losses = train.losses(module, x, legal, target, payoff, 1e-4)
        opt.zero_grad()
        losses["loss"].backward()
        opt.step()
    return _median_time(step, steps, min_seconds=1.0)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="0x16,0x32,1x16,1x32,2x16,2x32,4x32",
                    help="BLOCKSxCHANNELS, comma separated")
    ap.add_argument("--batches", default="1,2,8,64")
    ap.add_argument("--train-batch", type=int, default=256)
    ap.add_argument("--train-threads", type=int, default=os.cpu_count() or 1)
    args = ap.parse_args(argv)
    try:
        import torch
    except ImportError:
        torch = None
    batches = [int(b) for b in args.batches.split(",")]
    print("load average %.2f %.2f %.2f; %s" % (os.getloadavg() + (sys.version.split()[0],)))
    print("positions/s by CPU time [by wall clock] and CPU ms per batch; forward on one thread")
    for size in args.sizes.split(","):
        blocks, channels = (int(v) for v in size.split("x"))
        arch = network.Architecture(blocks, channels)
        if torch is not None:
            torch.set_num_threads(1)
        fwd = bench_forward(arch, batches, torch)
        cells = []
        for kind in ("numpy", "torch"):
            for b in batches:
                if (kind, b) in fwd:
                    wall, cpu = fwd[(kind, b)]
                    cells.append("%s@%d %.0f/s [%.0f] %.2f ms"
                                 % (kind, b, b / cpu, b / wall, cpu * 1e3))
        line = "%-5s %s" % (size, "; ".join(cells))
        if torch is not None:
            torch.set_num_threads(1)
            wall, cpu = bench_train(arch, torch, args.train_batch)
            line += "; train@%d 1 thread %.0f/s [%.0f]" % (args.train_batch, args.train_batch / cpu,
                                                           args.train_batch / wall)
            if args.train_threads > 1:
                torch.set_num_threads(args.train_threads)
                wall, cpu = bench_train(arch, torch, args.train_batch)
                line += ", %d threads [%.0f]" % (args.train_threads, args.train_batch / wall)
        print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
