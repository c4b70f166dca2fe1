"""The module's surface, the binding of generate_game_data's arguments, the
conversion of `id` and the reading of the search settings from `config`."""

import itertools
import operator

import pytest

from conftest import PYPY
from self_play_fakes import PANIC_UNWRAP, Config, Server

ARG_NAMES = ("id", "config", "inference_queue", "pipe")


def root_failure():
    """A server whose first reply fails: the call ends right after the first request."""
    return Server(fail_recv=1, error=RuntimeError("no network"))


def call_until_root(sp, id_value=7, config=None, **kw):
    """Calls with a server that fails at the root; returns the server and the
    raised exception (the call cannot return a record)."""
    server = root_failure()
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(id_value, config or Config(**kw), server, server)
    return server, info.value


def assert_reached_root(server, exc):
    assert type(exc) is Exception and exc.args == ('"Error running MCTS"',)
    assert server.calls == ["put", "recv"]


# --- module surface ---------------------------------------------------------

def test_module_surface(sp):
    assert sp.__name__ == "velmar_self_play"
    assert sp.__doc__ == ""
    assert sp.__all__ == ["generate_game_data"]
    public = {n for n in dir(sp) if not n.startswith("__")}
    assert public == {"generate_game_data"}
    assert not hasattr(sp, "PanicException")
    fn = sp.generate_game_data
    assert type(fn).__name__ in ("builtin_function_or_method", "builtin_function")
    assert fn.__text_signature__ == "(id, config, inference_queue, pipe, *, options=None)"
    assert fn.__name__ == "generate_game_data"


def test_reimport_gives_same_module(sp):
    import importlib
    again = importlib.import_module("velmar_self_play")
    assert again is sp


# --- binding ----------------------------------------------------------------

@pytest.mark.parametrize("order", list(itertools.permutations(range(4)))[::5])
def test_all_keywords_in_any_order(sp, order):
    server = root_failure()
    values = (-5, Config(), server, server)
    kwargs = {ARG_NAMES[i]: values[i] for i in order}
    with pytest.raises(Exception) as info:
        sp.generate_game_data(**kwargs)
    assert_reached_root(server, info.value)
    assert server.requests[0][0] == -5


@pytest.mark.parametrize("npos", [0, 1, 2, 3])
def test_positional_then_keywords(sp, npos):
    server = root_failure()
    values = (11, Config(), server, server)
    kwargs = {ARG_NAMES[i]: values[i] for i in range(npos, 4)}
    with pytest.raises(Exception) as info:
        sp.generate_game_data(*values[:npos], **kwargs)
    assert_reached_root(server, info.value)
    assert server.requests[0][0] == 11


def binding_cases():
    s = Server()
    c = Config()
    return [
        pytest.param((), {}, "missing", id="none"),
        pytest.param((1, c, s), {}, "missing", id="three"),
        pytest.param((1,), {"config": c, "pipe": s}, "missing", id="no-queue"),
        pytest.param((1, c, s, s, s), {}, "positional", id="five"),
        pytest.param((1, c, s, s), {"extra": 1}, "extra", id="unknown-keyword"),
        pytest.param((1, c, s), {"pipe": s, "ids": 1}, "ids", id="misspelt-keyword"),
        pytest.param((1, c, s, s), {"id": 1}, "id", id="duplicate-id"),
        pytest.param((1, c), {"config": c, "inference_queue": s, "pipe": s}, "config",
                     id="duplicate-config"),
    ]


@pytest.mark.parametrize("args, kwargs, word", binding_cases())
def test_binding_errors(sp, capsys, args, kwargs, word):
    with pytest.raises(TypeError) as info:
        sp.generate_game_data(*args, **kwargs)
    message = str(info.value)
    assert type(info.value) is TypeError
    assert message.startswith("generate_game_data()"), message
    assert word in message
    # Nothing started: no request, no output.
    for obj in list(args) + list(kwargs.values()):
        if isinstance(obj, Server):
            assert obj.calls == []
    assert capsys.readouterr() == ("", "")


def test_missing_names_every_parameter(sp):
    with pytest.raises(TypeError) as info:
        sp.generate_game_data()
    for name in ARG_NAMES:
        assert "'%s'" % name in str(info.value)


# --- id -----------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value, expected", [
    (-1, -1), (0, 0), (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (True, 1),
    (Index(12345), 12345), (Index(-7), -7),
], ids=["minus-one", "zero", "max", "min", "bool", "index", "negative-index"])
def test_id_accepted_and_forwarded(sp, capsys, value, expected):
    server, exc = call_until_root(sp, value)
    assert_reached_root(server, exc)
    request = server.requests[0]
    assert type(request[0]) is int and request[0] == expected
    capsys.readouterr()


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**63, Index(2**40)],
                         ids=["2^31", "min-1", "2^63", "index-2^40"])
def test_id_out_of_range(sp, capsys, value):
    server = Server()
    with pytest.raises(OverflowError) as info:
        sp.generate_game_data(value, Config(), server, server)
    assert type(info.value) is OverflowError
    assert server.calls == []
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("value", ["x", 1.5, 3.0, None, [1], object()],
                         ids=["str", "float", "whole-float", "none", "list", "object"])
def test_id_wrong_type(sp, value):
    server = Server()
    with pytest.raises(TypeError) as info:
        sp.generate_game_data(value, Config(), server, server)
    message = str(info.value)
    assert message.startswith("argument 'id': "), message
    # The rest is the text of the index conversion's own TypeError.
    with pytest.raises(TypeError) as plain:
        operator.index(value)
    assert message == "argument 'id': " + str(plain.value)
    assert server.calls == []


def test_id_conversion_error_of_other_kind_passes_through(sp):
    class Broken:
        def __index__(self):
            raise ValueError("no index today")

    server = Server()
    with pytest.raises(ValueError, match="no index today"):
        sp.generate_game_data(Broken(), Config(), server, server)
    assert server.calls == []


def test_id_conversion_type_error_keeps_its_cause(sp):
    class Broken:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("refused") from e

    server = Server()
    with pytest.raises(TypeError) as info:
        sp.generate_game_data(Broken(), Config(), server, server)
    assert str(info.value) == "argument 'id': refused"
    assert type(info.value.__cause__) is KeyError


def test_id_checked_before_config(sp):
    """A bad id is reported even when config is unusable too."""
    with pytest.raises(OverflowError):
        sp.generate_game_data(2**31, object(), None, None)


# --- config -------------------------------------------------------------------

FIELDS = ("sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha",
          "exploration_fraction")


def panic_of(sp, config):
    server = Server()
    with pytest.raises(BaseException) as info:
        sp.generate_game_data(1, config, server, server)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert server.calls == [], "the game started with an unusable config"
    return exc


def test_dict_config_is_refused(sp):
    config = dict(vars(Config()))
    exc = panic_of(sp, config)
    message = str(exc)
    assert message.startswith(PANIC_UNWRAP + "PyErr { type: <class 'AttributeError'>")
    assert "sims_per_move" in message
    assert type(exc.__cause__) is AttributeError


def test_extra_attributes_ignored(sp, capsys):
    config = Config(sims_per_move=1, temperature=3, sims=object(), c_puct="no")
    server, exc = call_until_root(sp, 3, config)
    assert_reached_root(server, exc)
    capsys.readouterr()


class Logged:
    """A config that logs every attribute lookup and every conversion."""

    def __init__(self, log, values):
        self._log = log
        self._values = values

    def __getattr__(self, name):
        self._log.append(("get", name))
        if name not in self._values:
            raise AttributeError(name)
        return Value(self._log, name, self._values[name])


class Value:
    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __index__(self):
        self.log.append(("index", self.name))
        if not isinstance(self.value, int):
            raise TypeError("not an integer")
        return self.value

    def __float__(self):
        self.log.append(("float", self.name))
        return float(self.value)


def expected_log(fields, upto):
    log = []
    for name in fields[:upto]:
        log.append(("get", name))
        log.append(("index" if name in ("sims_per_move", "sample_moves") else "float", name))
    return log


def test_fields_read_in_order_and_missing_last_noticed_last(sp):
    log = []
    values = {name: v for name, v in vars(Config()).items() if name != "exploration_fraction"}
    exc = panic_of(sp, Logged(log, values))
    assert log == expected_log(FIELDS, 5) + [("get", "exploration_fraction")]
    message = str(exc)
    assert message.startswith(PANIC_UNWRAP + "PyErr { type: <class 'AttributeError'>")
    assert "exploration_fraction" in message
    assert type(exc.__cause__) is AttributeError


def test_read_config_accepted_through_protocols(sp, capsys):
    log = []
    config = Logged(log, vars(Config(sims_per_move=1)))
    server, exc = call_until_root(sp, 1, config)
    assert_reached_root(server, exc)
    assert log == expected_log(FIELDS, 6)
    capsys.readouterr()


@pytest.mark.parametrize("field", FIELDS)
def test_first_bad_field_stops_reading(sp, field):
    log = []
    values = dict(vars(Config()))
    values[field] = "bad"
    exc = panic_of(sp, Logged(log, values))
    k = FIELDS.index(field)
    # Every earlier field read and converted, this one looked up and its
    # conversion tried, nothing after it.
    assert log == expected_log(FIELDS, k + 1)
    assert "failed to extract field Config.%s'" % field in str(exc)


BAD_VALUES = [
    ("sims_per_move", -1, OverflowError),
    ("sims_per_move", 3.0, TypeError),
    ("sims_per_move", 2**32, OverflowError),
    ("sims_per_move", 2**64, OverflowError),
    ("sims_per_move", "8", TypeError),
    ("sims_per_move", None, TypeError),
    ("sample_moves", -1, OverflowError),
    ("sample_moves", 2.5, TypeError),
    ("sample_moves", 2**32, OverflowError),
    ("c_base", "19652", TypeError),
    ("c_init", None, TypeError),
    ("dirichlet_alpha", [0.3], TypeError),
    ("exploration_fraction", object(), TypeError),
]


@pytest.mark.parametrize("field, value, cause", BAD_VALUES,
                         ids=["%s=%r" % (f, v) for f, v, _ in BAD_VALUES])
def test_unconvertible_field(sp, field, value, cause):
    exc = panic_of(sp, Config(**{field: value}))
    assert str(exc) == (
        PANIC_UNWRAP + "PyErr { type: <class 'TypeError'>, "
        "value: TypeError('failed to extract field Config.%s'), traceback: None }" % field)
    outer = exc.__cause__
    assert type(outer) is TypeError
    assert str(outer) == "failed to extract field Config.%s" % field
    assert isinstance(outer.__cause__, cause)
    if value == 2**32:
        assert str(outer.__cause__) == "out of range integral type conversion attempted"


def test_panic_type_is_one_type(sp):
    first = panic_of(sp, {})
    second = panic_of(sp, Config(sims_per_move=-1))
    assert type(first) is type(second)
    assert issubclass(type(first), BaseException)
    assert not issubclass(type(first), Exception)


def test_panic_escapes_exception_handlers(sp):
    caught = None
    try:
        try:
            sp.generate_game_data(0, {}, None, None)
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as an Exception")
    except BaseException as e:
        caught = e
    assert type(caught).__name__ == "PanicException"


@pytest.mark.parametrize("field, value", [
    ("sims_per_move", 2**32 - 1), ("sample_moves", 2**32 - 1), ("sims_per_move", Index(3)),
    ("sims_per_move", True), ("c_base", 19652), ("c_init", 1), ("dirichlet_alpha", 2),
    ("exploration_fraction", 0), ("c_base", 1e300), ("exploration_fraction", float("nan")),
    ("c_base", Index(2)), ("dirichlet_alpha", Index(1)), ("exploration_fraction", Index(0)),
], ids=["sims-max", "sample-max", "sims-index", "sims-bool", "c_base-int", "c_init-int",
        "alpha-int", "fraction-int", "c_base-huge", "fraction-nan", "c_base-index-only",
        "alpha-index-only", "fraction-index-only"])
def test_field_values_accepted(sp, capsys, field, value):
    """Accepted values get as far as the root request (where the server fails)."""
    server, exc = call_until_root(sp, 2, Config(**{field: value}))
    assert_reached_root(server, exc)
    capsys.readouterr()


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


def test_float_field_through_float_protocol(sp, capsys):
    server, exc = call_until_root(sp, 2, Config(c_base=Float(19652.0), c_init=Float(1.25),
                                                  dirichlet_alpha=Float(0.5),
                                                  exploration_fraction=Float(0.25)))
    assert_reached_root(server, exc)
    capsys.readouterr()


def test_config_lookup_raising_other_error(sp):
    class Raising:
        sims_per_move = 1
        sample_moves = 0

        @property
        def c_base(self):
            raise LookupError("c_base unavailable")

    exc = panic_of(sp, Raising())
    assert str(exc).startswith(PANIC_UNWRAP + "PyErr { type: <class 'LookupError'>")
    assert "c_base unavailable" in str(exc)
    assert type(exc.__cause__) is LookupError


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_config_lookup_interrupt_raised_as_is(sp, interrupt):
    class Interrupting:
        sims_per_move = 1

        @property
        def sample_moves(self):
            raise interrupt("stop")

    with pytest.raises(interrupt) as info:
        sp.generate_game_data(0, Interrupting(), None, None)
    assert type(info.value) is interrupt


class Interrupting:
    """A number whose conversion raises `kind` (through __index__ and __float__)."""

    def __init__(self, kind):
        self.kind = kind

    def __index__(self):
        raise self.kind("in __index__")

    def __float__(self):
        raise self.kind("in __float__")


class Stop(BaseException):
    """An interrupt that is not one of the interpreter's own."""


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, Stop], ids=lambda k: k.__name__)
def test_conversion_interrupt_raised_as_is(sp, field, kind):
    server = Server()
    with pytest.raises(kind) as info:
        sp.generate_game_data(1, Config(**{field: Interrupting(kind)}), server, server)
    assert type(info.value) is kind
    protocol = "__index__" if field in ("sims_per_move", "sample_moves") else "__float__"
    assert str(info.value) == "in " + protocol
    assert server.calls == []


@pytest.mark.skipif(PYPY, reason="reference counts are CPython's")
def test_config_objects_not_leaked(sp, capsys):
    import sys
    config = Config()
    server = Server()
    before = [sys.getrefcount(o) for o in (config, server)]
    for bad in ({}, Config(sims_per_move=-1)):
        for _ in range(3):
            with pytest.raises(BaseException):
                sp.generate_game_data(1, bad, server, server)
    for _ in range(3):
        with pytest.raises(OverflowError):
            sp.generate_game_data(2**31, config, server, server)
        with pytest.raises(TypeError):
            sp.generate_game_data(1, config, server)
    assert [sys.getrefcount(o) for o in (config, server)] == before
