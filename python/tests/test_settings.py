"""The settings record, the evaluator specification and the server options:
the ranges the module reads them in, their wording, and the command line."""

import argparse
import dataclasses
import math
import pickle
import random

import pytest

from velmar.common.settings import (OPTION_FLAGS, SEARCH_FLAGS, EvaluatorSpec, SearchSettings,
                                    ServerOptions, SettingsError, add_search_arguments,
                                    search_flags)

from selfplay_helpers import need_extension

U32 = 2**32 - 1
# (setting, value, accepted): every bound on both sides, and values that are
# no longer what was given once stored as the module's 32-bit floats.
CASES = [
    ("sims_per_move", 0, False), ("sims_per_move", 1, True), ("sims_per_move", U32, True),
    ("sims_per_move", U32 + 1, False), ("sims_per_move", 1.5, False),
    ("sims_per_move", True, False),
    ("sample_moves", -1, False), ("sample_moves", 0, True), ("sample_moves", U32, True),
    ("sample_moves", U32 + 1, False),
    ("c_base", 0.0, False), ("c_base", 1e-50, False), ("c_base", 1e-30, True),
    ("c_base", 3.4e38, True), ("c_base", 1e39, False), ("c_base", math.inf, False),
    ("c_base", math.nan, False), ("c_base", -1.0, False),
    ("c_init", -1e-9, False), ("c_init", 0.0, True), ("c_init", 3.0, True),
    ("c_init", math.inf, False), ("c_init", math.nan, False),
    ("dirichlet_alpha", 0.0, False), ("dirichlet_alpha", 1e-50, False),
    ("dirichlet_alpha", 0.03, True), ("dirichlet_alpha", math.nan, False),
    ("exploration_fraction", -0.1, False), ("exploration_fraction", 0.0, True),
    ("exploration_fraction", 1.0, True), ("exploration_fraction", 1.01, False),
    ("exploration_fraction", math.nan, False), ("exploration_fraction", "0.5", False),
]


@pytest.mark.parametrize("name,value,ok", CASES, ids=["%s=%r" % c[:2] for c in CASES])
def test_search_settings_check_their_ranges(name, value, ok):
    if ok:
        s = SearchSettings(**{name: value})
        assert getattr(s, name) == value and getattr(s.config(), name) == value
        return
    with pytest.raises(SettingsError) as info:
        SearchSettings(**{name: value})
    e = info.value
    assert e.field == name and e.value is value
    assert e.named(SEARCH_FLAGS).startswith("%s must be " % SEARCH_FLAGS[name])
    # replacing a field of a good record checks it as well
    with pytest.raises(SettingsError):
        dataclasses.replace(SearchSettings(), **{name: value})


def test_search_settings_are_frozen_and_own_their_options():
    given = {"fpu_reduction": 0.3}
    s = SearchSettings(options=given)
    given["fpu_reduction"] = 0.9
    assert s.call_options() == {"options": {"fpu_reduction": 0.3}}
    with pytest.raises(TypeError):
        s.options["fpu_reduction"] = 0.9
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.sims_per_move = 2
    assert SearchSettings().call_options() == {} == SearchSettings(options={}).call_options()
    with pytest.raises(SettingsError):
        SearchSettings(options=[("fpu_reduction", 0.3)])
    # what records, workers and clusters do with a record keeps its options
    assert pickle.loads(pickle.dumps(s)) == s
    assert dataclasses.asdict(s)["options"] == {"fpu_reduction": 0.3}
    # switches that are off are left out: every option off is the plain search
    off = SearchSettings(options={"reuse_tree": False, "skip_forced": False})
    assert off.options is None and off.call_options() == {} and off == SearchSettings()


def parser():
    ap = argparse.ArgumentParser()
    add_search_arguments(ap)
    return ap


@pytest.mark.parametrize("seed", range(5))
def test_the_command_line_gives_back_the_settings(seed):
    rng = random.Random(seed)
    s = SearchSettings(sims_per_move=rng.randint(1, U32), sample_moves=rng.randint(0, U32),
                       c_base=rng.uniform(1e-3, 1e5), c_init=rng.uniform(0, 10),
                       dirichlet_alpha=rng.uniform(1e-3, 2),
                       exploration_fraction=rng.random())
    assert SearchSettings.from_args(parser().parse_args(s.command_line())) == s


@pytest.mark.parametrize("argv,sample,flag", [
    ([], 30, "--sample-tiles"),
    (["--sample-tiles", "4"], 4, "--sample-tiles"),
    (["--sample-moves", "5"], 5, "--sample-moves"),  # the former spelling
    (["--sample-moves", "5", "--sample-tiles", "6"], 6, "--sample-tiles"),
])
def test_sample_tiles_and_its_former_spelling(argv, sample, flag):
    args = parser().parse_args(argv)
    assert SearchSettings.from_args(args).sample_moves == sample
    assert search_flags(args)["sample_moves"] == flag
    bad = parser().parse_args([flag, "-1"])
    with pytest.raises(SettingsError) as info:
        SearchSettings.from_args(bad)
    assert info.value.named(search_flags(bad)).startswith(flag + " must be ")


# (options, accepted here, accepted by the module): bounds, wrong types,
# keys that need or exclude each other. The record is stricter where the
# module would store an infinite or zero 32-bit float, or a fast search
# larger than the full one.
T, F = True, False
OPTION_CASES = [
    ({"fpu_reduction": 0}, T, T), ({"fpu_reduction": -0.01}, F, F),
    ({"fpu_reduction": 1e39}, F, T), ({"fpu_reduction": True}, F, F),
    ({"canonical_order": 1}, F, F), ({"skip_forced": T, "reuse_tree": T}, T, T),
    ({"fast_sims": 8, "full_share": 1}, T, T), ({"fast_sims": 0, "full_share": 0.5}, F, F),
    ({"fast_sims": 2.0, "full_share": 0.5}, F, F), ({"fast_sims": 9, "full_share": 0.5}, F, T),
    ({"fast_sims": 2, "full_share": 1.01}, F, F), ({"fast_sims": 2, "full_share": 1e-50}, F, T),
    ({"fast_sims": 2}, F, F), ({"full_share": 0.5}, F, F), ({"gumbel": T, "gumbel_m": 4}, T, T),
    ({"gumbel": F, "gumbel_m": 4}, F, F), ({"gumbel": T, "reuse_tree": T}, F, F),
    ({"rollout_weight": 0.5}, T, T), ({"rollout_weight": 0}, F, F),
    ({"rollout_weight": 1.2}, F, F), ({"rollout_weight": 1e-50}, F, T),
    ({"virtual_loss": 1}, F, F),
]


class Started(Exception):
    """Raised by the first request: the module got past its checks."""


class StartingServer:
    def put(self, request):
        raise Started


@pytest.mark.parametrize("options,ok,module_ok", OPTION_CASES,
                         ids=[repr(c[0]) for c in OPTION_CASES])
def test_search_options_are_checked_as_the_module_checks_them(options, ok, module_ok):
    need_extension()
    from velmar import rules
    if ok:
        assert SearchSettings(8, options=options).call_options() == {"options": options}
    else:
        with pytest.raises(SettingsError) as info:
            SearchSettings(8, options=options)
        text = info.value.named(dict(SEARCH_FLAGS, **OPTION_FLAGS))
        assert text.startswith("--") or "unknown search option" in text, text
    server = StartingServer()
    with pytest.raises(Started if module_ok else (TypeError, ValueError)):
        rules.search(rules.Game(), SearchSettings(8).config(), server, server, options=options)


@pytest.mark.parametrize("text,kind,arg,weights", [
    ("uniform", "uniform", None, None),
    ("sleep:2.5", "sleep", "2.5", None),
    ("heuristic", "heuristic", None, None),
    ("heuristic:3:0.5", "heuristic", "3:0.5", None),
    ("numpy", "numpy", None, None),
    ("numpy:gen-0003.npz", "numpy", "gen-0003.npz", "gen-0003.npz"),
    ("torch:/w/a:b.pt", "torch", "/w/a:b.pt", "/w/a:b.pt"),
    ("pkg.mod.factory:ARG", "factory", "ARG", None),
])
def test_evaluator_specs_parse(text, kind, arg, weights):
    spec = EvaluatorSpec.parse(text)
    assert (spec.kind, spec.arg, spec.weights_file, str(spec)) == (kind, arg, weights, text)
    assert spec.free == (kind == "uniform")
    assert EvaluatorSpec.parse(spec) is spec


@pytest.mark.parametrize("text,words", [
    ("nonsense", "unknown evaluator"), ("", "unknown evaluator"),
    ("uniform:x", "takes no argument"), ("sleep", "needs its latency"),
])
def test_evaluator_specs_refuse(text, words):
    with pytest.raises(ValueError, match=words):
        EvaluatorSpec.parse(text)


@pytest.mark.parametrize("kw,ok", [
    (dict(max_batch=1), True), (dict(max_batch=65536), True), (dict(max_batch=0), False),
    (dict(max_batch=65537), False), (dict(batch_wait_ms=0.0), True),
    (dict(batch_wait_ms=-1.0), False), (dict(batch_wait_ms=math.nan), False),
    (dict(batch_wait_ms=math.inf), False),
])
def test_server_options_check_their_ranges(kw, ok):
    if ok:
        ServerOptions(**kw)
    else:
        with pytest.raises(SettingsError):
            ServerOptions(**kw)
