"""Randomized cases of the module's boundary, run in a child process.

A case is a plain description (JSON): the form of `id`, of every config
field, the number of simulations, the reply form the server gives until the
exchange `at`, and what goes wrong at that exchange (put or recv raises, an
odd reply, or the server's own stop, `Done`). Every case ends within the
first search, so its outcome is known in advance: `expected` gives it, and
`run_case` compares it with what the call raised and, under CPython, checks
that no reference to the caller's objects was kept.

Run as a script, it reads {"cases": [...], "refs": bool} on stdin and writes
"start N" before case N and "done N <problems as JSON>" after it, so that the
parent can tell which case a crash happened in.
"""

import array
import gc
import json
import sys

CELLS = 400
FIELDS = ("sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha",
          "exploration_fraction")
COUNTS = FIELDS[:2]
PANIC_UNWRAP = "called `Result::unwrap()` on an `Err` value: "
MCTS = '"Error running MCTS"'

try:
    import numpy as np
except ImportError:
    np = None


class Stop(BaseException):
    """An interrupt that is not one of the interpreter's own."""


class Done(Exception):
    """The server ends the case."""


INTERRUPTS = {"KeyboardInterrupt": KeyboardInterrupt, "SystemExit": SystemExit, "Stop": Stop}
ERRORS = dict(INTERRUPTS, RuntimeError=RuntimeError, ValueError=ValueError, OSError=OSError)


def is_interrupt(name):
    return name in INTERRUPTS


# --- numbers of every kind ----------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    """A number whose __index__ and __float__ raise `kind`."""

    def __init__(self, kind):
        self.kind = kind

    def __index__(self):
        raise self.kind("from __index__")

    def __float__(self):
        raise self.kind("from __float__")


class SubFloat(float):
    pass


# value form -> (builder of the value from a good default, the error it raises
# when converted to a count, the error it raises when converted to a float);
# None where it is accepted.
def _number_forms():
    forms = {
        "plain": (lambda v: v, None, None),
        "index-only": (lambda v: Index(int(v)), None, None),
        "float-protocol": (lambda v: Float(float(v)), "TypeError", None),
        "float-subclass": (lambda v: SubFloat(v), "TypeError", None),
        "bool": (lambda v: bool(v), None, None),
        "str": (lambda v: str(v), "TypeError", "TypeError"),
        "none": (lambda v: None, "TypeError", "TypeError"),
        "list": (lambda v: [v], "TypeError", "TypeError"),
        "negative": (lambda v: -1, "OverflowError", None),
        "too-big": (lambda v: 2**32, "OverflowError", None),
        "huge": (lambda v: 10**400, "OverflowError", "OverflowError"),
    }
    for name in ERRORS:
        forms["raises-" + name] = (lambda v, k=ERRORS[name]: Raising(k), name, name)
    return forms


NUMBER_FORMS = _number_forms()
GOOD = {"sims_per_move": None, "sample_moves": 0, "c_base": 19652.0, "c_init": 1.25,
        "dirichlet_alpha": 0.3, "exploration_fraction": 0.25}
# Forms that give every field a usable value (a count stays the same, a
# float stays positive): the case goes on to the exchanges.
GOOD_FORMS = {f: ["plain", "index-only", "bool"] if f in COUNTS
              else ["plain", "index-only", "float-protocol", "float-subclass"] for f in FIELDS}
GOOD_FORMS["sample_moves"] = ["plain", "index-only"]
GOOD_FORMS["c_init"] = ["plain", "float-protocol", "float-subclass"]  # int(1.25) would change it
GOOD_FORMS["dirichlet_alpha"] = ["plain", "float-protocol", "float-subclass"]
GOOD_FORMS["exploration_fraction"] = ["plain", "float-protocol", "float-subclass"]
BAD_FORMS = {f: [n for n, (_, ci, fl) in NUMBER_FORMS.items() if (ci if f in COUNTS else fl)]
             + ["missing", "lookup-raises"] for f in FIELDS}
ID_FORMS = ["plain", "index-only", "bool", "min", "max", "min-1", "max+1", "float", "str",
            "none"] + ["raises-" + n for n in ERRORS]


def make_id(form):
    if form in ("plain", "index-only", "bool") or form.startswith("raises-"):
        return NUMBER_FORMS[form][0](7 if form != "bool" else True)
    return {"min": -2**31, "max": 2**31 - 1, "min-1": -2**31 - 1, "max+1": 2**31, "float": 7.0,
            "str": "7", "none": None}[form]


def id_error(form):
    if form in ("min-1", "max+1"):
        return "OverflowError"
    if form in ("float", "str", "none"):
        return "TypeError"
    if form.startswith("raises-"):
        name = form[len("raises-"):]
        return name
    return None


def make_config(case):
    """A config object of a class of its own (a field may be a property)."""
    cls = type("Config", (), {})
    config = cls()
    for field in FIELDS:
        form = case["config"][field]
        default = case["sims"] if field == "sims_per_move" else GOOD[field]
        if form == "missing":
            break
        if form == "lookup-raises":
            def prop(self, field=field):
                raise LookupError("no " + field)
            setattr(cls, field, property(prop))
            continue
        if form == "bool" and field == "sims_per_move" and default != 1:
            form = "plain"
        setattr(config, field, NUMBER_FORMS[form][0](default))
    return config


def config_error(case):
    """(kind, type) of the first unusable field: kind "raw" for an interrupt
    raised as it is, "panic-attr" for a failed lookup, "panic-convert" for a
    failed conversion; None when every field is usable."""
    for field in FIELDS:
        form = case["config"][field]
        if form == "missing":
            return ("panic-attr", "AttributeError")
        if form == "lookup-raises":
            return ("panic-attr", "LookupError")
        _, count_error, float_error = NUMBER_FORMS[form]
        error = count_error if field in COUNTS else float_error
        if error:
            return ("raw", error) if is_interrupt(error) else ("panic-convert", error)
    return None


# --- replies -----------------------------------------------------------------------

class Seq:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Endless:
    def __getitem__(self, i):
        return 0.0


class Container:
    def __init__(self, policy, values):
        self.members = (policy, values)

    def __getitem__(self, i):
        return self.members[i]


class RaisingContainer:
    def __init__(self, kind):
        self.kind = kind

    def __getitem__(self, i):
        raise self.kind("no item %d" % i)


def logits():
    return [(x % 7) / 10.0 for x in range(CELLS)]


# member form -> (builder of k items, the error its conversion raises, the
# index of the item that raises it)
def _member_forms():
    forms = {
        "list": (lambda k: [0.25] * k, None, None),
        "tuple": (lambda k: tuple([0.25] * k), None, None),
        "seq": (lambda k: Seq([0.25] * k), None, None),
        "array-f": (lambda k: array.array("f", [0.25] * k), None, None),
        "array-d": (lambda k: array.array("d", [0.25] * k), None, None),
        "index-items": (lambda k: [Index(1)] * k, None, None),
        "float-items": (lambda k: [Float(0.5)] * k, None, None),
        "bool-items": (lambda k: [True] * k, None, None),
        "int-items": (lambda k: [3] * k, None, None),
        "bytes": (lambda k: bytes(k), None, None),
        "none-last": (lambda k: [0.0] * (k - 1) + [None], "TypeError", lambda k: k - 1),
        "str-first": (lambda k: ["x"] + [0.0] * (k - 1), "TypeError", lambda k: 0),
        "huge-items": (lambda k: [10**400] * k, "OverflowError", lambda k: 0),
    }
    for name in ERRORS:
        forms["raising-second-" + name] = (
            lambda k, e=ERRORS[name]: [0.0, Raising(e)] + [0.0] * (k - 2), name, lambda k: 1)
    if np is not None:
        forms.update({
            "numpy-f32": (lambda k: np.full(k, 0.25, np.float32), None, None),
            "numpy-f64": (lambda k: np.full(k, 0.25, np.float64), None, None),
            "numpy-i64": (lambda k: np.ones(k, np.int64), None, None),
            "numpy-strided": (lambda k: np.full(2 * k, 0.25, np.float32)[::2], None, None),
            "numpy-2d": (lambda k: np.zeros((1, k), np.float32), "TypeError", lambda k: 0),
        })
    return forms


MEMBER_FORMS = _member_forms()
# Whole members that are not sequences of numbers at all.
NON_SEQUENCES = {"str": lambda: "0" * CELLS, "int": lambda: 5, "none": lambda: None,
                 "dict": lambda: {0: 0.0}, "set": lambda: {0.25}}
LENGTHS = {"policy": [CELLS, CELLS + 1, 1000, "endless"], "values": [4, 6, 3, 0, 1000, "endless"]}
REPLY_KINDS = ["tuple", "list", "dict", "container", "none", "one-item"] + \
    ["raising-" + n for n in ("LookupError", "KeyboardInterrupt", "Stop")]


def _length(spec):
    """The number of items a member is built with: an endless member of a
    form that raises is built 401 items long instead, and one too short to
    hold the raising item is plain numbers (None)."""
    _, form, length = spec
    if length == "endless":
        return None if MEMBER_FORMS[form][1] is None else CELLS + 1
    return length if length >= 2 or MEMBER_FORMS[form][1] is None else None


def make_member(spec):
    """spec: ["seq-form", form, length] or ["non-sequence", name]."""
    if spec[0] == "non-sequence":
        return NON_SEQUENCES[spec[1]]()
    k = _length(spec)
    if k is None:
        return Endless() if spec[2] == "endless" else [0.25] * spec[2]
    return MEMBER_FORMS[spec[1]][0](k)


def member_outcome(spec):
    """(conversion error or None, number of items read): no item past the
    401st is read."""
    if spec[0] == "non-sequence":
        return "TypeError", 0
    k = _length(spec)
    n = CELLS + 1 if spec[2] == "endless" else min(spec[2], CELLS + 1)
    if k is None:
        return None, n
    _, error, where = MEMBER_FORMS[spec[1]]
    if error and where(k) <= CELLS:
        return error, n
    return None, n


def make_reply(kind, policy, values):
    if kind == "tuple":
        return (policy, values)
    if kind == "list":
        return [policy, values]
    if kind == "dict":
        return {0: policy, 1: values}
    if kind == "container":
        return Container(policy, values)
    if kind == "none":
        return None
    if kind == "one-item":
        return [policy]
    return RaisingContainer({"LookupError": LookupError, **INTERRUPTS}[kind[len("raising-"):]])


def reply_error(kind, policy_spec, values_spec):
    """What a reply does to the exchange: None when it is usable, else
    ("error", type) for a Python error, ("size", message) for a member of the
    wrong length."""
    container = {"none": "TypeError", "one-item": None}.get(kind)
    if kind.startswith("raising-"):
        return ("error", kind[len("raising-"):])
    if container:
        return ("error", container)
    perr, pn = member_outcome(policy_spec)
    if perr:
        return ("error", perr)
    if kind == "one-item":
        return ("error", "IndexError")
    verr, vn = member_outcome(values_spec)
    if verr:
        return ("error", verr)
    if pn > CELLS:
        return ("size", "index out of bounds: the len is 400 but the index is 400")
    if vn < 4:
        return ("size", "index out of bounds: the len is %d but the index is %d" % (vn, vn))
    return None


GOOD_REPLY = ["tuple", ["seq-form", "list", CELLS], ["seq-form", "list", 4]]


# --- the server ----------------------------------------------------------------------

class Server:
    """put and recv for one case: good replies until exchange `at`, where the
    failure happens (or Done is raised by recv)."""

    def __init__(self, case):
        self.at = case["at"]
        self.failure = case["failure"]
        kind, p, v = case["good"]
        self.good = make_reply(kind, make_member(p), make_member(v))
        self.bad = None
        if self.failure[0] == "reply":
            _, kind, p, v = self.failure
            self.bad = make_reply(kind, make_member(p), make_member(v))
        self.puts = self.recvs = 0

    def put(self, request):
        self.puts += 1
        if self.puts == self.at and self.failure[0] == "put":
            raise ERRORS[self.failure[1]]("put fails")

    def recv(self):
        self.recvs += 1
        if self.recvs < self.at:
            return self.good
        failure = self.failure
        if failure[0] == "recv":
            raise ERRORS[failure[1]]("recv fails")
        if failure[0] == "reply":
            return self.bad
        raise Done("that will do")


def expected(case):
    """The outcome: ("raw", type name), ("mcts", cause type name),
    ("panic", cause type name or None, message or None)."""
    error = id_error(case["id"])
    if error:
        return ("raw", error)
    error = config_error(case)
    if error:
        kind, name = error
        return ("raw", name) if kind == "raw" else ("panic", name if kind == "panic-attr"
                                                    else "TypeError", None)
    failure = case["failure"]
    root = case["at"] == 1
    if failure[0] in ("put", "recv"):
        name = failure[1]
    elif failure[0] == "reply":
        outcome = reply_error(*failure[1:])
        if outcome is None:
            raise ValueError("the reply is usable: not a failure")
        if outcome[0] == "size":
            return ("panic", None, outcome[1])
        name = outcome[1]
    else:
        name = "Done"
    if is_interrupt(name):
        return ("raw", name)
    return ("mcts", name) if root else ("panic", name, None)


def observed(exc):
    if exc is None:
        return ("returned",)
    name = type(exc).__name__
    if name == "PanicException":
        cause = exc.__cause__
        message = str(exc)
        if cause is not None and not message.startswith(PANIC_UNWRAP):
            return ("panic-unwrapped", type(cause).__name__, message)
        return ("panic", type(cause).__name__ if cause is not None else None,
                None if cause is not None else message)
    if type(exc) is Exception and exc.args == (MCTS,):
        return ("mcts", type(exc.__cause__).__name__ if exc.__cause__ is not None else None)
    return ("raw", name)


def _call(sp, case, objs):
    ident, config, server = objs[:3]
    try:
        sp.generate_game_data(ident, config, server, server)
    except BaseException as e:  # noqa: B902 - every outcome is compared
        result = observed(e)
        detail = _detail(case, e)
        del e
        return result, detail
    return observed(None), None


def _detail(case, e):
    """What else must hold of the exception, as a message when it does not."""
    error = config_error(case) if not id_error(case["id"]) else None
    if id_error(case["id"]) == "TypeError" and not str(e).startswith("argument 'id': "):
        return "id TypeError without the argument's name: %r" % e
    if error and error[0] == "panic-convert":
        outer = e.__cause__
        inner = getattr(outer, "__cause__", None)
        if type(inner).__name__ != error[1]:
            return "conversion cause %r, expected %s" % (inner, error[1])
    return None


SHARED = (int, bool, float, str, type(None))  # cached or shared across the interpreter


def tracked(objs):
    """The caller's objects whose reference counts a call must leave as it
    found them: id, config and its values, server, replies and members."""
    config, server = objs[1], objs[2]
    found = list(objs) + list(vars(config).values()) + [server.good, server.bad]
    for reply in (server.good, server.bad):
        if isinstance(reply, (tuple, list)):
            found.extend(reply)
        elif isinstance(reply, dict):
            found.extend(reply.values())
        elif isinstance(reply, Container):
            found.extend(reply.members)
    return [o for o in found if type(o) not in SHARED]


def run_case(sp, case, refs):
    """Problems found with one case (an empty list when it behaved)."""
    problems = []
    objs = (make_id(case["id"]), make_config(case), Server(case))
    want = expected(case)
    counts = None
    for attempt in range(2 if refs else 1):
        objs[2].puts = objs[2].recvs = 0
        got, detail = _call(sp, case, objs)
        gc.collect()
        if got != want:
            problems.append("raised %r, expected %r" % (got, want))
        if detail:
            problems.append(detail)
        if refs:
            now = [sys.getrefcount(o) for o in tracked(objs)]
            if counts is not None and now != counts:
                problems.append("reference counts changed: %s -> %s" % (counts, now))
            counts = now
        if problems:
            break
    return problems


def main():
    import io
    import velmar_self_play as sp
    job = json.load(sys.stdin)
    out = sys.stdout
    for i, case in enumerate(job["cases"]):
        out.write("start %d\n" % i)
        out.flush()
        sys.stdout = sys.stderr = io.StringIO()  # the module's error lines and progress bar
        try:
            problems = run_case(sp, case, job["refs"])
        finally:
            sys.stdout, sys.stderr = out, sys.__stderr__
        out.write("done %d %s\n" % (i, json.dumps(problems)))
        out.flush()


if __name__ == "__main__":
    main()
