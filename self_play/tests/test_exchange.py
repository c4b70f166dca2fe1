"""The exchange with the inference server: the request's form, the reply forms
that are accepted, and what every kind of failed exchange turns into."""

import array
import re
import signal
import sys

import pytest

from conftest import PYPY
from self_play_fakes import (CELLS, LEGAL_PLANE, PANIC_UNWRAP, PLANES, Config, Server,
                             check_record, legal_cells, uniform_answer)

DEBUG_RE = (r"PyErr \{ type: (?P<type><class '[\w.]+'>), value: (?P<value>.*), "
            r"traceback: (?P<tb>None|Some\(<traceback object at 0x[0-9a-fA-F]+>\)) \}")


def ranked_answer(request):
    """Logits rising with the cell index, all values 0.0: with no noise in the
    priors every search visits, and then takes, the highest legal cell."""
    return ([x / 100.0 for x in range(CELLS)], [0.0] * 4)


RANKED = dict(sims_per_move=1, sample_moves=0, dirichlet_alpha=1.0, exploration_fraction=0.0)


def assert_request_form(request, id_value):
    assert type(request) is tuple and len(request) == 2
    assert type(request[0]) is int and request[0] == id_value
    planes = request[1]
    assert type(planes) is list and len(planes) == PLANES
    for plane in planes:
        assert type(plane) is list and len(plane) == CELLS
        for v in plane:
            assert type(v) is float and (v == 0.0 or v == 1.0)


def test_first_request_is_the_empty_board(sp, rules, capsys):
    server = Server(fail_recv=1)
    with pytest.raises(Exception):
        sp.generate_game_data(42, Config(), server, server)
    capsys.readouterr()
    assert len(server.requests) == 1
    request = server.requests[0]
    assert_request_form(request, 42)
    assert request[1] == rules.Game().representation()
    assert sum(map(sum, request[1][:LEGAL_PLANE])) == 0.0
    assert legal_cells(request) == {r * 20 + c for r in range(5) for c in range(5) if r + c <= 4}


def test_requests_and_replies_alternate(sp, rules, quiet):
    server = Server(answer=ranked_answer)
    record = sp.generate_game_data(-1, Config(**RANKED), server, server)
    check_record(record, rules, Config(**RANKED))
    n = len(server.requests)
    assert server.calls == ["put", "recv"] * n
    for request in server.requests:
        assert_request_form(request, -1)
    # One root request per tile and at most one more per simulation.
    assert len(record[0]) <= n <= 2 * len(record[0])


# --- reply forms ----------------------------------------------------------------

class Seq:
    """A read-only sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


class Endless:
    """A sequence whose __getitem__ never raises IndexError."""

    def __init__(self, value):
        self.value = value
        self.reads = 0

    def __getitem__(self, i):
        self.reads += 1
        return self.value


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexOnly:
    """A number with only __index__: a float on both interpreters."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def reply_forms():
    def mapping(policy, values):
        return {0: policy, 1: values, 2: "ignored"}

    slow = pytest.mark.slow
    return [
        pytest.param(lambda p, v: (p, v), id="tuple-of-lists"),
        pytest.param(lambda p, v: [p, v], id="list-of-lists", marks=slow),
        pytest.param(lambda p, v: (tuple(p), tuple(v)), id="tuple-of-tuples", marks=slow),
        pytest.param(mapping, id="mapping"),
        pytest.param(lambda p, v: (Seq(p), Seq(v)), id="custom-sequences", marks=slow),
        pytest.param(lambda p, v: (p, v + [5.0, -3.0]), id="six-values", marks=slow),
        pytest.param(lambda p, v: (p, v, "third item ignored"), id="three-items", marks=slow),
        pytest.param(lambda p, v: ([Number(x) for x in p], [int(x) for x in v]),
                     id="float-protocol-and-ints", marks=slow),
        # Logits 0, 1, 2, ... rank the cells as x / 100 does.
        pytest.param(lambda p, v: ([IndexOnly(x) for x in range(CELLS)], [IndexOnly(0)] * 4),
                     id="index-protocol"),
        pytest.param(lambda p, v: (p, Endless(0.0)), id="endless-values"),
        # Members are read up to their 401st item; values need only 4.
        pytest.param(lambda p, v: (p, v + [0.0] * (CELLS - 3) + ["never read"]),
                     id="values-past-401-unread"),
    ]


@pytest.mark.parametrize("form", reply_forms())
def test_reply_forms_accepted(sp, rules, quiet, form):
    def answer(request):
        policy, values = ranked_answer(request)
        return form(policy, values)

    server = Server(answer=answer)
    config = Config(**RANKED)
    record = sp.generate_game_data(3, config, server, server)
    game, positions = check_record(record, rules, config)
    # The policy was read as item 0: every tile is the highest legal cell.
    for (player, cell), position in zip(record[0], positions):
        assert cell == max(position.legal_tiles())


def test_numpy_reply_accepted(sp, rules, quiet):
    np = pytest.importorskip("numpy")

    def answer(request):
        return (np.arange(CELLS, dtype=np.float32) / 100, np.zeros(4, dtype=np.float64))

    server = Server(answer=answer)
    config = Config(**RANKED)
    record = sp.generate_game_data(3, config, server, server)
    game, positions = check_record(record, rules, config)
    for (player, cell), position in zip(record[0], positions):
        assert cell == max(position.legal_tiles())


def test_short_policy_leaves_high_cells_out(sp, rules, quiet):
    """A policy of 350 entries: cells from 350 on get no child; while every
    legal cell lies there the server sends all 400."""
    short = 350

    def answer(request):
        if min(legal_cells(request)) < short:
            return ([0.0] * short, [0.25] * 4)
        return uniform_answer(request)

    def children(game):
        legal = game.legal_tiles()
        low = [x for x in legal if x < short]
        return low or legal

    server = Server(answer=answer)
    config = Config(sims_per_move=2)
    check_record(sp.generate_game_data(0, config, server, server), rules, config,
                 children=children)


def test_single_child_root_gets_no_noise(sp, rules, quiet):
    """A policy that covers only the lowest legal cell gives every root one
    child: no noise is drawn, so any dirichlet_alpha is accepted, and that
    child takes every visit."""
    def answer(request):
        return ([0.0] * (min(legal_cells(request)) + 1), [0.25] * 4)

    config = Config(sims_per_move=3, sample_moves=0, dirichlet_alpha=0.0)
    server = Server(answer=answer)
    record = sp.generate_game_data(0, config, server, server)
    check_record(record, rules, config, children=lambda g: [min(g.legal_tiles())])
    assert all(policy == [(cell, 1.0)] for (_, cell), policy in zip(*record[:2]))


def test_policy_covering_no_legal_tile_aborts(sp, quiet):
    server = Server(answer=lambda r: ([], [0.25] * 4))
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(0, Config(sims_per_move=2), server, server)
    assert type(info.value).__name__ == "PanicException"


# --- failures -------------------------------------------------------------------

class Failing:
    """What goes wrong in one exchange."""

    def __init__(self, name, server_kw, cause, value=None, from_python=True):
        self.name = name
        self.server_kw = server_kw
        self.cause = cause
        self.value = value
        self.from_python = from_python


def bad_reply(reply):
    return {"answer": lambda r: reply}


def failures():
    ok_policy, ok_values = [0.0] * CELLS, [0.25] * 4

    class Unsubscriptable:
        def __getitem__(self, i):
            raise LookupError("no item %d" % i)

    return [
        Failing("put-raises", {"fail_put": True}, RuntimeError, "RuntimeError('server down')"),
        Failing("recv-raises", {"fail_recv": True}, RuntimeError, "RuntimeError('server down')"),
        Failing("policy-str", bad_reply(("0" * CELLS, ok_values)), TypeError,
                'TypeError("Can\'t extract `str` to `Vec`")', from_python=False),
        Failing("values-str", bad_reply((ok_policy, "0000")), TypeError,
                'TypeError("Can\'t extract `str` to `Vec`")', from_python=False),
        Failing("policy-int", bad_reply((5, ok_values)), TypeError,
                "TypeError(\"'int' object cannot be converted to 'Sequence'\")", from_python=False),
        Failing("policy-dict", bad_reply(({x: 0.0 for x in range(CELLS)}, ok_values)), TypeError,
                "TypeError(\"'dict' object cannot be converted to 'Sequence'\")",
                from_python=False),
        Failing("values-set", bad_reply((ok_policy, {0.25})), TypeError, from_python=False),
        Failing("policy-item-none", bad_reply(([0.0] * 10 + [None], ok_values)), TypeError,
                from_python=False),
        Failing("values-item-str", bad_reply((ok_policy, [0.25, "x", 0.25, 0.25])), TypeError,
                from_python=False),
        Failing("reply-none", bad_reply(None), TypeError, from_python=False),
        Failing("reply-one-item", bad_reply([ok_policy]), IndexError, from_python=False),
        Failing("reply-lookup-raises", bad_reply(Unsubscriptable()), LookupError,
                "LookupError('no item 0')"),
    ]


FAILURES = failures()


def run_failing(sp, failing, call, sims):
    kw = dict(failing.server_kw)
    for key in ("fail_put", "fail_recv"):
        if kw.get(key) is True:
            kw[key] = call
    if "answer" in kw:
        bad = kw["answer"]
        count = [0]

        def answer(request):
            count[0] += 1
            return bad(request) if count[0] == call else uniform_answer(request)
        kw["answer"] = answer
    server = Server(**kw)
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(5, Config(sims_per_move=sims), server, server)
    return server, info.value


def check_debug(text, failing, cause):
    m = re.fullmatch(DEBUG_RE, text)
    assert m, text
    assert m.group("type") == repr(failing.cause)
    assert m.group("value") == repr(cause)
    if failing.value is not None:
        assert m.group("value") == failing.value
    assert (m.group("tb") != "None") == failing.from_python


@pytest.mark.parametrize("failing", FAILURES, ids=[f.name for f in FAILURES])
def test_root_failure(sp, capsys, failing):
    server, exc = run_failing(sp, failing, call=1, sims=2)
    assert type(exc) is Exception
    assert exc.args == ('"Error running MCTS"',)
    assert str(exc) == '"Error running MCTS"'
    cause = exc.__cause__
    assert type(cause) is failing.cause
    if "fail_put" in failing.server_kw or "fail_recv" in failing.server_kw:
        assert cause is server.error
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert out.endswith("\n") and len(lines) == 2, out
    first, second = "Error evaluating root node: ", "Error running MCTS: "
    assert lines[0].startswith(first) and lines[1].startswith(second)
    debug = lines[0][len(first):]
    assert lines[1][len(second):] == debug
    check_debug(debug, failing, cause)
    assert err == "", "the progress bar is not finished after a failure"


@pytest.mark.parametrize("failing", FAILURES, ids=[f.name for f in FAILURES])
def test_leaf_failure(sp, capsys, failing):
    # Call 2 is the first simulation's leaf of the first search.
    server, exc = run_failing(sp, failing, call=2, sims=2)
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    message = str(exc)
    assert message.startswith(PANIC_UNWRAP), message
    cause = exc.__cause__
    assert type(cause) is failing.cause
    if "fail_put" in failing.server_kw or "fail_recv" in failing.server_kw:
        assert cause is server.error
    check_debug(message[len(PANIC_UNWRAP):], failing, cause)
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("call", [1, 2, 9], ids=["root", "leaf", "later-root-or-leaf"])
@pytest.mark.parametrize("reply, message", [
    ((([0.0] * CELLS), [0.25] * 3), "index out of bounds: the len is 3 but the index is 3"),
    ((([0.0] * CELLS), []), "index out of bounds: the len is 0 but the index is 0"),
    ((([0.0] * (CELLS + 1)), [0.25] * 4), "index out of bounds: the len is 400 but the index is 400"),
    ((([0.0] * (CELLS + 50)), [0.25] * 4), "index out of bounds: the len is 400 but the index is 400"),
    ((Endless(0.0), [0.25] * 4), "index out of bounds: the len is 400 but the index is 400"),
    ((([0.0] * (CELLS + 1) + ["never read"]), [0.25] * 4),
     "index out of bounds: the len is 400 but the index is 400"),
    ((([0.0] * CELLS), array.array("f")), "index out of bounds: the len is 0 but the index is 0"),
    ((([0.0] * CELLS), array.array("d")), "index out of bounds: the len is 0 but the index is 0"),
], ids=["three-values", "no-values", "401-logits", "450-logits", "endless-logits",
        "logits-past-401-unread", "empty-float-array-values", "empty-double-array-values"])
def test_broken_reply_aborts(sp, capsys, call, reply, message):
    failing = Failing("x", bad_reply(reply), None)
    server, exc = run_failing(sp, failing, call=call, sims=2)
    assert type(exc).__name__ == "PanicException"
    assert str(exc) == message
    assert exc.__cause__ is None
    assert capsys.readouterr() == ("", "")


def test_endless_policy_read_no_further_than_401_items(sp, capsys):
    endless = Endless(0.0)
    server = Server(answer=lambda r: (endless, [0.25] * 4))
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(0, Config(), server, server)
    assert type(info.value).__name__ == "PanicException"
    assert endless.reads == CELLS + 1
    capsys.readouterr()


def empty_buffers():
    forms = [("array-f", lambda: array.array("f")), ("array-d", lambda: array.array("d"))]
    try:
        import numpy as np
    except ImportError:
        return forms
    return forms + [("numpy-f32", lambda: np.zeros(0, np.float32)),
                    ("numpy-f64", lambda: np.zeros(0, np.float64)),
                    ("numpy-f32-slice", lambda: np.zeros(5, np.float32)[5:])]


@pytest.mark.parametrize("make", [m for _, m in empty_buffers()],
                         ids=[n for n, _ in empty_buffers()])
@pytest.mark.parametrize("member", ["policy", "values"])
def test_empty_float_buffer_reply_member(sp, capsys, make, member):
    """An empty buffer may have no storage at all; read as no numbers: no
    legal tile is scored (policy) or no value is given (values)."""
    reply = (make(), [0.25] * 4) if member == "policy" else ([0.0] * CELLS, make())
    server = Server(answer=lambda r: reply)
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(0, Config(), server, server)
    assert type(info.value).__name__ == "PanicException"
    if member == "values":
        assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
        assert server.calls == ["put", "recv"]
    capsys.readouterr()


@pytest.mark.parametrize("alpha", [0.0, -0.0, -1.0, float("nan"), 1e-50])
def test_alpha_not_positive_aborts(sp, capsys, alpha):
    server = Server()
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(5, Config(dirichlet_alpha=alpha), server, server)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert str(exc) == PANIC_UNWRAP + "AlphaTooSmall"
    # Found after the root's evaluation, before any simulation.
    assert server.calls == ["put", "recv"]
    assert capsys.readouterr() == ("", "")


class Stop(BaseException):
    """An interrupt that is not one of the interpreter's own."""


INTERRUPTS = [KeyboardInterrupt, SystemExit, Stop]


@pytest.mark.parametrize("where", ["fail_put", "fail_recv"])
@pytest.mark.parametrize("kind", INTERRUPTS, ids=lambda k: k.__name__)
def test_interrupt_at_root_raised_as_is(sp, capsys, kind, where):
    error = kind("stop now")
    server = Server(error=error, **{where: 1})
    with pytest.raises(kind) as info:
        sp.generate_game_data(5, Config(), server, server)
    assert info.value is error
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith("Error evaluating root node: PyErr { type: %r" % kind)
    assert lines[1].startswith("Error running MCTS: PyErr { type: %r" % kind)
    assert err == ""


@pytest.mark.parametrize("where", ["fail_put", "fail_recv"])
@pytest.mark.parametrize("kind", INTERRUPTS, ids=lambda k: k.__name__)
def test_interrupt_at_leaf_raised_as_is(sp, capsys, kind, where):
    error = kind("stop now")
    server = Server(error=error, **{where: 2})
    with pytest.raises(kind) as info:
        sp.generate_game_data(5, Config(), server, server)
    assert info.value is error
    assert capsys.readouterr() == ("", "")


def test_interrupt_in_reply_conversion_raised_as_is(sp, capsys):
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt("while converting")

    server = Server(answer=lambda r: ([0.0, Interrupting()], [0.25] * 4), fail_recv=None)
    with pytest.raises(KeyboardInterrupt, match="while converting"):
        sp.generate_game_data(5, Config(), server, server)
    capsys.readouterr()


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_signal_during_a_search_with_c_level_server(sp, capsys):
    """A server made of C-level callables never runs signal handlers; the
    module does, before each exchange, so Ctrl-C stops the game mid-way."""
    import collections
    import itertools

    class Queue:
        put = staticmethod(collections.deque(maxlen=0).append)

    class Pipe:
        recv = staticmethod(itertools.repeat(([0.0] * CELLS, [0.25] * 4)).__next__)

    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(KeyboardInterrupt):
            # Hundreds of thousands of simulations: far longer than the alarm.
            sp.generate_game_data(0, Config(sims_per_move=1000), Queue(), Pipe())
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert "Game finished" not in capsys.readouterr().out


def test_failure_in_later_search(sp, capsys):
    """A root failure after some tiles have been taken still ends the call
    with Exception, without a summary line."""
    server = Server(fail_recv=7)
    with pytest.raises(Exception) as info:
        sp.generate_game_data(5, Config(sims_per_move=0), server, server)
    assert type(info.value) is Exception
    out, err = capsys.readouterr()
    assert len(out.splitlines()) == 2 and "Game finished" not in out
    assert len(server.requests) == 7  # six answered, the seventh put but not answered
    assert err == ""


# --- references -----------------------------------------------------------------

@pytest.mark.skipif(PYPY, reason="reference counts are CPython's")
class TestNoReferenceLeaked:
    def counts(self, *objs):
        return [sys.getrefcount(o) for o in objs]

    def run(self, sp, server, config, id_value, times=3):
        for _ in range(times):
            try:
                sp.generate_game_data(id_value, config, server, server)
            except BaseException:
                pass

    def test_successful_games(self, sp, quiet):
        policy, values = [0.0] * CELLS, [0.25] * 4
        reply = (policy, values)
        server = Server(answer=lambda r: reply, keep=False)
        config = Config(sims_per_move=1)
        id_value = 10 ** 6 + 1  # not a cached small integer
        objs = (reply, policy, values, server, config, id_value, config.c_base)
        before = self.counts(*objs)
        self.run(sp, server, config, id_value, times=2)
        assert self.counts(*objs) == before

    @pytest.mark.parametrize("kind", ["root", "leaf", "bad-values", "bad-policy", "str-policy",
                                      "interrupt-root", "interrupt-leaf", "alpha"])
    def test_failures(self, sp, capsys, kind):
        policy, values = [0.0] * CELLS, [0.25] * 4
        reply = (policy, values)
        # A fresh exception for every raise: raising one instance again would
        # lengthen its traceback, which holds the server's frames.
        error = RuntimeError
        config = Config(sims_per_move=2)
        if kind == "root":
            server = Server(answer=lambda r: reply, fail_recv=1, error=error, keep=False)
        elif kind == "leaf":
            server = Server(answer=lambda r: reply, fail_recv=2, error=error, keep=False)
        elif kind == "bad-values":
            reply = (policy, values[:3])
            server = Server(answer=lambda r: reply, keep=False)
        elif kind == "bad-policy":
            reply = (policy + [0.0], values)
            server = Server(answer=lambda r: reply, keep=False)
        elif kind == "str-policy":
            reply = ("policy", values)
            server = Server(answer=lambda r: reply, keep=False)
        elif kind == "interrupt-root":
            error = KeyboardInterrupt
            server = Server(answer=lambda r: reply, fail_put=1, error=error, keep=False)
        elif kind == "interrupt-leaf":
            error = KeyboardInterrupt
            server = Server(answer=lambda r: reply, fail_recv=2, error=error, keep=False)
        else:
            server = Server(answer=lambda r: reply, keep=False)
            config.dirichlet_alpha = 0.0
        objs = (reply, policy, values, server, config)
        self.run(sp, server, config, 7, times=1)
        server.puts = server.recvs = 0
        before = self.counts(*objs)
        for _ in range(3):
            self.run(sp, server, config, 7, times=1)
            server.puts = server.recvs = 0
        after = self.counts(*objs)
        capsys.readouterr()
        assert after == before
