"""Tests of the inference server, its transport and the evaluators."""

import os
import random
import threading

import pytest

from velmar.game import planes as planes_mod
from velmar.serving import client as client_mod
from velmar.serving import server as srv
from velmar.serving.evaluators import Evaluator, UniformEvaluator
from velmar.serving.factory import make_evaluator

from selfplay_helpers import need_extension, random_game


def random_planes(rng, density=0.3):
    return [[1.0 if rng.random() < density else 0.0 for _ in range(400)] for _ in range(5)]


@pytest.mark.parametrize("pack", [planes_mod.pack_planes_struct, planes_mod.pack_planes_loop],
                         ids=["struct", "loop"])
@pytest.mark.parametrize("seed", range(4))
def test_pack_round_trip(pack, seed):
    planes = random_planes(random.Random(seed), density=[0.0, 0.05, 0.5, 1.0][seed])
    bits = pack(planes)
    assert len(bits) == planes_mod.BITS_SIZE
    assert planes_mod.unpack_planes_py(bits) == planes
    other = (planes_mod.pack_planes_loop if pack is planes_mod.pack_planes_struct
             else planes_mod.pack_planes_struct)
    assert other(planes) == bits


@pytest.mark.parametrize("seed", range(4))
def test_c_packer_matches_the_python_packers(seed):
    rules = pytest.importorskip("velmar.rules")
    rng = random.Random(seed)
    planes = random_planes(rng, density=[0.0, 0.05, 0.5, 1.0][seed])
    bits = rules.pack_planes(planes)
    assert bits == planes_mod.pack_planes_loop(planes)
    assert planes_mod.unpack_planes_py(bits) == planes
    assert rules.pack_planes(tuple(tuple(p) for p in planes)) == bits
    assert rules.pack_planes([[int(v) for v in p] for p in planes]) == bits


@pytest.mark.parametrize("shape", [(4, 400), (5, 399), (5, 401)])
def test_c_packer_refuses_other_sizes(shape):
    rules = pytest.importorskip("velmar.rules")
    planes, cells = shape
    with pytest.raises(ValueError):
        rules.pack_planes([[0.0] * cells for _ in range(planes)])


def test_client_packer_under_cpython_is_the_c_one():
    pytest.importorskip("velmar.rules")
    if planes_mod.sys.implementation.name == "pypy":
        assert planes_mod.make_packer() is planes_mod.pack_planes_loop
    else:
        from velmar.rules import pack_planes
        assert planes_mod.make_packer() is pack_planes


@pytest.mark.parametrize("plane,cell", [(0, 0), (1, 7), (2, 399), (4, 123), (4, 399)])
def test_pack_bit_layout(plane, cell):
    planes = [[0.0] * 400 for _ in range(5)]
    planes[plane][cell] = 1.0
    bits = planes_mod.pack_planes(planes)
    i = plane * 400 + cell
    assert [b for b in bits if b] == [1 << (i % 8)]
    assert bits[i // 8] == 1 << (i % 8)


def test_reply_round_trip():
    rng = random.Random(5)
    logits = [float(rng.randint(-50, 50)) / 4 for _ in range(400)]
    values = [0.5, 0.25, 0.125, 0.125]
    raw = planes_mod.encode_reply(logits, values)
    assert len(raw) == planes_mod.REPLY_SIZE
    assert planes_mod.decode_reply(raw) == (logits, values)
    with pytest.raises(ValueError):
        planes_mod.encode_reply(logits[:399], values)


class EchoEvaluator(Evaluator):
    """Answers each request with its own plane 4 as logits and its count of
    set bits as the first value; records the batch sizes."""

    name = "echo"

    def __init__(self):
        self.batches = []

    def evaluate_bits(self, bits, n):
        self.batches.append(n)
        out = []
        for k in range(n):
            one = bits[k * planes_mod.BITS_SIZE:(k + 1) * planes_mod.BITS_SIZE]
            planes = planes_mod.unpack_planes_py(one)
            ones = float(sum(bin(b).count("1") for b in one))
            out.append(planes_mod.encode_reply(planes[4], [ones, 0.0, 0.0, 1.0]))
        return out


def expected_reply(planes):
    return planes[4], [float(sum(map(sum, planes))), 0.0, 0.0, 1.0]


class Pipes:
    def __init__(self, n):
        self.request_r, self.request_w = os.pipe()
        self.replies = [os.pipe() for _ in range(n)]

    def clients(self):
        return [client_mod.Client(k, self.request_w, r) for k, (r, _) in enumerate(self.replies)]

    def close(self):
        for fd in [self.request_r, self.request_w] + [fd for p in self.replies for fd in p]:
            try:
                os.close(fd)
            except OSError:
                pass


@pytest.mark.parametrize("max_batch,expected", [(64, [6]), (4, [4, 2]), (1, [1] * 6)])
def test_server_batches_pending_requests(max_batch, expected):
    pipes = Pipes(6)
    try:
        ev = EchoEvaluator()
        server = srv.Server(ev, pipes.request_r, [w for _, w in pipes.replies], max_batch, 0.0)
        rng = random.Random(max_batch)
        clients = pipes.clients()
        sent = []
        for c in clients:  # every request is pending before the server reads
            planes = random_planes(rng)
            c.put((c.channel, planes))
            sent.append(planes)
        client_mod.send_control(pipes.request_w, planes_mod.KIND_STOP)
        server.serve()
        assert ev.batches == expected
        for c, planes in zip(clients, sent):
            assert c.recv() == expected_reply(planes)
        assert server.stats()["requests"] == 6
    finally:
        pipes.close()


@pytest.mark.parametrize("workers,batch_wait", [(2, 0.0), (8, 0.0), (8, 0.002)])
def test_server_answers_each_worker_its_own_reply(workers, batch_wait):
    pipes = Pipes(workers)
    ev = EchoEvaluator()
    server = srv.Server(ev, pipes.request_r, [w for _, w in pipes.replies], 64, batch_wait)
    thread = threading.Thread(target=server.serve)
    thread.start()
    failures = []

    def loop(client):
        rng = random.Random(client.channel)
        for _ in range(40):
            planes = random_planes(rng, density=rng.random())
            client.put((client.channel, planes))
            reply = client.recv()
            if reply != expected_reply(planes):
                failures.append(client.channel)

    try:
        threads = [threading.Thread(target=loop, args=(c,)) for c in pipes.clients()]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        client_mod.send_control(pipes.request_w, planes_mod.KIND_STOP)
        thread.join()
        pipes.close()
    assert failures == []
    assert sum(ev.batches) == 40 * workers
    assert server.stats()["requests"] == 40 * workers


def test_server_drops_a_retired_worker():
    pipes = Pipes(3)
    try:
        ev = EchoEvaluator()
        server = srv.Server(ev, pipes.request_r, [w for _, w in pipes.replies], 64, 0.0)
        c0, c1, c2 = pipes.clients()
        planes = random_planes(random.Random(1))
        client_mod.send_control(pipes.request_w, planes_mod.KIND_CHANNEL_GONE, 1)
        c1.put((1, planes))
        c0.put((0, planes))
        c2.put((2, planes))
        client_mod.send_control(pipes.request_w, planes_mod.KIND_STOP)
        os.close(pipes.replies[1][1])  # the server owns the write ends from here on
        server.serve()
        assert c0.recv() == expected_reply(planes)
        assert c2.recv() == expected_reply(planes)
        with pytest.raises(client_mod.ServerGone):
            c1.recv()
        assert ev.batches == [2]
    finally:
        pipes.close()


class ConstEvaluator(Evaluator):
    """Answers every request with logits all ``level`` and the value 1 for
    seat ``level % 4``; records its batch sizes."""

    def __init__(self, level):
        self.level = level
        self.name = "const:%d" % level
        self.batches = []

    def evaluate_bits(self, bits, n):
        assert len(bits) == n * planes_mod.BITS_SIZE
        self.batches.append(n)
        return [planes_mod.encode_reply(*const_reply(self.level))] * n


def const_reply(level):
    values = [0.0] * 4
    values[level % 4] = 1.0
    return [float(level)] * 400, values


def make_const(arg, seed=0, device=None):
    return ConstEvaluator(int(arg))


@pytest.mark.parametrize("default", [True, False], ids=["with_default", "routes_only"])
def test_server_routes_requests_by_id(default):
    pipes = Pipes(4)
    try:
        echo, one, two = EchoEvaluator(), ConstEvaluator(1), ConstEvaluator(2)
        server = srv.Server(echo if default else None, pipes.request_r,
                            [w for _, w in pipes.replies], 64, 0.0, routes={1: one, 2: two})
        rng = random.Random(7)
        c0, c1, c2, c3 = pipes.clients()
        # one batch of mixed routes; c0 sends two (on the second route first
        # in the batch), so its replies must come back in its own order
        sent = [(c1, 2), (c0, 1), (c2, 1), (c3, 5 if default else 1), (c0, 2)]
        planes = [random_planes(rng) for _ in sent]
        for (c, route), p in zip(sent, planes):
            c.put((route, p))
        client_mod.send_control(pipes.request_w, planes_mod.KIND_STOP)
        server.serve()
        for (c, route), p in zip(sent, planes):
            want = const_reply(route) if route in (1, 2) else expected_reply(p)
            assert c.recv() == want
        # one call per evaluator
        assert one.batches == ([2] if default else [3]) and two.batches == [2]
        assert echo.batches == ([1] if default else [])
        assert server.stats()["batches"] == 1
        assert server.stats()["route_requests"] == ({"1": 2, "2": 2, "5": 1} if default
                                                    else {"1": 3, "2": 2})
    finally:
        pipes.close()


def test_server_closes_the_pipe_of_a_request_with_no_route(capfd):
    pipes = Pipes(2)
    try:
        server = srv.Server(None, pipes.request_r, [w for _, w in pipes.replies], 64, 0.0,
                            routes={3: ConstEvaluator(3)})
        c0, c1 = pipes.clients()
        planes = random_planes(random.Random(8))
        c0.put((4, planes))
        c1.put((3, planes))
        client_mod.send_control(pipes.request_w, planes_mod.KIND_STOP)
        os.close(pipes.replies[0][1])  # the server owns the write ends from here on
        server.serve()
        with pytest.raises(client_mod.ServerGone):
            c0.recv()
        assert c1.recv() == const_reply(3)
        assert server.stats()["bad_messages"] == 1
        assert "route 4, which has no evaluator" in capfd.readouterr().err
    finally:
        pipes.close()


@pytest.mark.parametrize("values,expected", [
    ([], ("uniform", {})),
    (["numpy:w.npz"], ("numpy:w.npz", {})),
    (["0=heuristic:3:1", "uniform", "-2=numpy:a=b.npz"],
     ("uniform", {0: "heuristic:3:1", -2: "numpy:a=b.npz"})),
    (["uniform", "heuristic"], "two default evaluators"),
    (["1=uniform", "1=heuristic"], "two evaluators"),
    (["4294967296=uniform"], "32-bit"),
])
def test_evaluator_options(values, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            srv.parse_evaluator_options(values)
    else:
        assert srv.parse_evaluator_options(values) == expected
        spec = dict(expected[1])
        if expected[0] is not None:
            spec[None] = expected[0]
        assert srv.parse_evaluator_options(srv.evaluator_arguments(spec)[1::2]) == expected


def test_client_reuses_an_unchanged_reply():
    pipes = Pipes(1)
    try:
        (c,) = pipes.clients()
        w = pipes.replies[0][1]
        os.write(w, UniformEvaluator.REPLY)
        os.write(w, UniformEvaluator.REPLY)
        first, second = c.recv(), c.recv()
        assert first == ([0.0] * 400, [0.25] * 4)
        assert second is first
        other = planes_mod.encode_reply([1.0] * 400, [1.0, 0.0, 0.0, 0.0])
        os.write(w, other)
        assert c.recv() == ([1.0] * 400, [1.0, 0.0, 0.0, 0.0])
        os.close(w)
        with pytest.raises(client_mod.ServerGone):
            c.recv()
    finally:
        pipes.close()


@pytest.mark.subprocess
def test_server_process_round_trip_and_stats():
    pipes = Pipes(2)
    proc = srv.start_server("uniform", pipes.request_r, [w for _, w in pipes.replies],
                            pipes.request_w)
    try:
        for fd in [pipes.request_r] + [w for _, w in pipes.replies]:
            os.close(fd)
        assert proc.info["ready"] and proc.info["evaluator"] == "uniform"
        rng = random.Random(3)
        for c in pipes.clients():
            for _ in range(5):
                c.put((c.channel, random_planes(rng)))
                assert c.recv() == ([0.0] * 400, [0.25] * 4)
        stats = proc.stop()
        assert stats["requests"] == 10
        assert proc.popen.returncode == 0
    finally:
        if proc.popen.poll() is None:
            proc.popen.kill()
        for r, _ in pipes.replies:
            os.close(r)
        os.close(pipes.request_w)


@pytest.mark.subprocess
def test_server_process_hosts_several_evaluators():
    pipes = Pipes(1)
    spec = "test_server.make_const:%d"
    proc = srv.start_server({None: "uniform", 5: spec % 5, 6: spec % 6, 9: spec % 5},
                            pipes.request_r, [pipes.replies[0][1]], pipes.request_w)
    try:
        for fd in (pipes.request_r, pipes.replies[0][1]):
            os.close(fd)
        assert proc.info["evaluator"] == "uniform"
        assert proc.info["routes"] == {"5": "const:5", "6": "const:6", "9": "const:5"}
        (c,) = pipes.clients()
        planes = random_planes(random.Random(4))
        for route in (5, 0, 6, 9, 5):
            c.put((route, planes))
            want = {5: const_reply(5), 6: const_reply(6), 9: const_reply(5)}
            assert c.recv() == want.get(route, ([0.0] * 400, [0.25] * 4))
        stats = proc.stop()
        assert stats["requests"] == 5
        assert stats["route_requests"] == {"0": 1, "5": 2, "6": 1, "9": 1}
    finally:
        if proc.popen.poll() is None:
            proc.popen.kill()
        os.close(pipes.replies[0][0])
        os.close(pipes.request_w)


def _running(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


@pytest.mark.subprocess
@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
def test_server_process_ends_after_its_parent():
    """The server blocks reading requests; with the request pipe still open
    elsewhere, only its watch on the parent ends it."""
    import subprocess
    import sys
    import time
    pipes = Pipes(1)
    fds = [pipes.request_r, pipes.request_w, pipes.replies[0][1]]
    code = ("import sys; from velmar.serving import server as srv; "
            "p = srv.start_server('uniform', %d, [%d], %d); "
            "print(p.popen.pid, flush=True)" % (fds[0], fds[2], fds[1]))
    try:
        out = subprocess.run([sys.executable, "-c", code], pass_fds=fds, stdout=subprocess.PIPE,
                             text=True, timeout=60, env=dict(os.environ,
                                                             PYTHONPATH=os.pathsep.join(sys.path)))
        pid = int(out.stdout.split()[0])
        deadline = time.monotonic() + 30.0
        while _running(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not _running(pid)
    finally:
        pipes.close()


@pytest.mark.subprocess
@pytest.mark.parametrize("choice,words", [("nonsense", "unknown evaluator"),
                                        ("numpy:/nonexistent/w.npz", "nonexistent"),
                                        ("uniform:x", "no argument")])
def test_server_start_failure_is_reported(choice, words):
    pipes = Pipes(1)
    try:
        with pytest.raises(srv.ServerStartError) as info:
            srv.start_server(choice, pipes.request_r, [pipes.replies[0][1]], pipes.request_w)
        assert words in str(info.value) or (
            choice.startswith("numpy") and "NumPy is not available" in str(info.value))
    finally:
        pipes.close()


def test_make_evaluator_imports_a_factory():
    ev = make_evaluator("test_server.make_echo:abc", seed=4)
    assert isinstance(ev, EchoEvaluator) and ev.arg == "abc" and ev.seed == 4
    with pytest.raises(ValueError):
        make_evaluator("bogus")


def make_echo(arg, seed=0, device=None):
    ev = EchoEvaluator()
    ev.arg, ev.seed = arg, seed
    return ev


# ---------------------------------------------------------------------------
# Network evaluators (NumPy, and PyTorch where installed)

def replay_planes(seed):
    """(planes as float32 (N, 5, 20, 20), movers) of a random game."""
    np = pytest.importorskip("numpy")
    need_extension()
    from velmar import rules
    history, _, _ = random_game(seed)
    g = rules.Game()
    planes, movers = [], []
    for p, c in history:
        planes.append(g.representation())
        movers.append(p)
        g.apply(c)
    return np.array(planes, np.float32).reshape(-1, 5, 20, 20), np.array(movers)


@pytest.mark.parametrize("seed", [1, 2])
def test_mover_seats_recovers_the_player_to_move(seed):
    from velmar.serving.evaluators import mover_seats
    planes, movers = replay_planes(seed)
    assert (mover_seats(planes) == movers).all()


def test_to_seat_order_rotates_mover_relative_values():
    np = pytest.importorskip("numpy")
    from velmar.serving.evaluators import to_seat_order
    rel = np.array([[1, 2, 3, 4]] * 4, np.float32)
    out = to_seat_order(rel, np.array([0, 1, 2, 3]))
    # the mover (relative entry 0) lands on its own seat
    assert out.tolist() == [[1, 2, 3, 4], [4, 1, 2, 3], [3, 4, 1, 2], [2, 3, 4, 1]]


def test_numpy_evaluator_replies(tmp_path):
    np = pytest.importorskip("numpy")
    from velmar.serving import evaluators as ev
    from velmar.net import network
    planes, movers = replay_planes(3)
    planes = planes[::7]
    movers = movers[::7]
    net = ev.NumpyEvaluator(seed=7)
    logits, values = net.evaluate(planes)
    assert logits.shape == (len(planes), 400) and values.shape == (len(planes), 4)
    assert np.allclose(values.sum(axis=1), 1.0, atol=1e-5)
    _, rel = network.numpy_forward(net.weights, planes)
    assert np.allclose(values[np.arange(len(planes)), movers], rel[:, 0])
    # the packed path gives the same numbers as the direct call
    bits = np.packbits(planes.reshape(len(planes), -1).astype(np.uint8), axis=1,
                       bitorder="little").tobytes()
    replies = net.evaluate_bits(bits, len(planes))
    for k, raw in enumerate(replies):
        lg, val = planes_mod.decode_reply(raw)
        assert np.allclose(lg, logits[k]) and np.allclose(val, values[k])
    # seeded initialisation, saved and loaded
    path = str(tmp_path / "w.npz")
    network.save_weights(network.init_weights(seed=7), path)
    again = make_evaluator("numpy:" + path)
    assert np.array_equal(again.evaluate(planes)[0], logits)
    assert not np.array_equal(ev.NumpyEvaluator(seed=8).evaluate(planes)[0], logits)
    bad = dict(network.init_weights(seed=0).params)
    del bad["stem.bias"]
    np.savez(str(tmp_path / "bad.npz"), **bad)
    with pytest.raises(network.WeightsError):
        make_evaluator("numpy:" + str(tmp_path / "bad.npz"))


def perturbed_weights(arch, seed):
    """Weights with every parameter random (a fresh net's zero biases and
    zero second convolutions would hide a wrong one)."""
    np = pytest.importorskip("numpy")
    from velmar.net import network
    w = network.init_weights(arch, seed)
    rng = np.random.RandomState(seed)
    w.params = {k: (v + rng.standard_normal(v.shape) * 0.1).astype(np.float32)
                for k, v in w.params.items()}
    return w


@pytest.mark.slow
@pytest.mark.parametrize("blocks, channels, canonical", [(0, 16, False), (2, 8, False),
                                                       (2, 8, True)])
def test_torch_evaluator_matches_numpy(tmp_path, blocks, channels, canonical):
    np = pytest.importorskip("numpy")
    torch = pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")
    from velmar.net import network
    from velmar.serving import evaluators as ev
    planes, _ = replay_planes(4)
    planes = planes[::5]
    path = str(tmp_path / "w.npz")
    arch = network.Architecture(blocks, channels, canonical=canonical)
    network.save_weights(perturbed_weights(arch, 9), path)
    ref = make_evaluator("numpy:" + path).evaluate(planes)
    net = make_evaluator("torch:" + path, device="cpu")
    state_path = str(tmp_path / "w.pt")
    torch.save(net.net.state_dict(), state_path)
    for choice in ("torch:" + path, "torch:" + state_path):
        logits, values = make_evaluator(choice, device="cpu").evaluate(planes)
        assert np.abs(logits - ref[0]).max() <= 1e-4 * max(1.0, np.abs(ref[0]).max())
        assert np.allclose(values, ref[1], atol=1e-5)
    # the module reads the seats from the planes where it is not given them
    module, x = make_evaluator("torch:" + path, device="cpu").net, torch.from_numpy(planes)
    with torch.no_grad():
        assert torch.equal(module(x)[0], module(x, torch.from_numpy(ev.mover_seats(planes)))[0])
    # the default nets of the two frameworks are the same seeded net
    assert np.allclose(make_evaluator("torch", seed=3, device="cpu").evaluate(planes)[0],
                       make_evaluator("numpy", seed=3).evaluate(planes)[0], atol=1e-4)


def test_uniform_evaluator_needs_no_numpy():
    ev = make_evaluator("uniform")
    replies = ev.evaluate_bits(bytes(planes_mod.BITS_SIZE * 3), 3)
    assert [planes_mod.decode_reply(r) for r in replies] == [([0.0] * 400, [0.25] * 4)] * 3
    assert ev.batch_wait_ms == 0.0
