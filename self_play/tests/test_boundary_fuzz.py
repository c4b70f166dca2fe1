"""A randomized test of the module's boundary: odd ids, configs and replies,
raising put and recv, in batches of cases run in child processes, so that a
crash or a hang is caught and put down to the case that caused it.
`boundary_cases` builds each case and knows its outcome; under CPython it
also checks the reference counts of the caller's objects."""

import json
import os
import subprocess
import sys

import pytest

from conftest import PYPY

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings, strategies as st  # noqa: E402

import boundary_cases as bc  # noqa: E402

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "boundary_cases.py")
# About 2,500 cases under CPython, 1,000 under PyPy (its C-extension layer is slower).
BATCHES = 20 if PYPY else 50
BATCH = (40, 60)

FORMS_OK = sorted(f for f, (_, error, _) in bc.MEMBER_FORMS.items() if error is None)
FORMS_ALL = sorted(bc.MEMBER_FORMS)
CONTAINERS_OK = ["tuple", "list", "dict", "container"]
ID_OK = ["plain", "index-only", "bool", "min", "max"]
ID_BAD = [f for f in bc.ID_FORMS if f not in ID_OK]


def member(draw, which):
    """A reply member: most often a sequence of some form and length."""
    if draw(st.integers(0, 3)) == 0:
        return ["non-sequence", draw(st.sampled_from(sorted(bc.NON_SEQUENCES)))]
    return ["seq-form", draw(st.sampled_from(FORMS_ALL)), draw(st.sampled_from(bc.LENGTHS[which]))]


def bad_reply(draw):
    while True:
        failure = ["reply", draw(st.sampled_from(bc.REPLY_KINDS)), member(draw, "policy"),
                   member(draw, "values")]
        if bc.reply_error(*failure[1:]) is not None:
            return failure


@st.composite
def cases(draw):
    config = {f: draw(st.sampled_from(bc.GOOD_FORMS[f])) for f in bc.FIELDS}
    if draw(st.integers(0, 3)) == 0:  # one or two unusable fields
        for _ in range(draw(st.integers(1, 2))):
            field = draw(st.sampled_from(bc.FIELDS))
            config[field] = draw(st.sampled_from(bc.BAD_FORMS[field]))
    ident = draw(st.sampled_from(ID_OK if draw(st.integers(0, 9)) else ID_BAD))
    sims = draw(st.integers(1, 3))
    good = [draw(st.sampled_from(CONTAINERS_OK)),
            ["seq-form", draw(st.sampled_from(FORMS_OK)), bc.CELLS],
            ["seq-form", draw(st.sampled_from(FORMS_OK)),
             draw(st.sampled_from([4, 6, 1000, "endless"]))]]
    kind = draw(st.sampled_from(["put", "recv", "reply", "reply", "reply", "done"]))
    if kind in ("put", "recv"):
        failure = [kind, draw(st.sampled_from(sorted(bc.ERRORS)))]
    elif kind == "reply":
        failure = bad_reply(draw)
    else:
        failure = ["done"]
    return {"id": ident, "config": config, "sims": sims,
            "at": draw(st.integers(1, sims + 1)), "good": good, "failure": failure}


def run_batch(batch):
    """Runs the cases in one child; returns a description of every failure."""
    job = json.dumps({"cases": batch, "refs": not PYPY})
    try:
        proc = subprocess.run([sys.executable, RUNNER], input=job, capture_output=True,
                              text=True, timeout=300)
        out, err, code = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as e:
        out, err, code = e.stdout or "", e.stderr or "", "a hang (killed after 300 s)"
        out = out.decode() if isinstance(out, bytes) else out
        err = err.decode() if isinstance(err, bytes) else err
    started, problems = -1, {}
    for line in out.splitlines():
        word, _, rest = line.partition(" ")
        if word == "start":
            started = int(rest)
        elif word == "done":
            i, _, found = rest.partition(" ")
            if json.loads(found):
                problems[int(i)] = json.loads(found)
    failures = ["case %d %s: %s" % (i, json.dumps(batch[i]), "; ".join(p))
                for i, p in sorted(problems.items())]
    if code != 0:
        culprit = json.dumps(batch[started]) if started >= 0 else "before the first case"
        failures.append("the child ended with %s in case %d %s:\n%s"
                        % (code, started, culprit, err[-3000:]))
    return failures


@pytest.mark.slow
@pytest.mark.subprocess
@settings(max_examples=BATCHES, deadline=None, derandomize=True, database=None,
          phases=[Phase.explicit, Phase.generate], suppress_health_check=list(HealthCheck),
          print_blob=False)
@given(batch=st.lists(cases(), min_size=BATCH[0], max_size=BATCH[1]))
def test_random_cases_behave_as_documented(sp, batch):
    failures = run_batch(batch)
    assert not failures, "\n".join(failures)


@pytest.mark.subprocess
@pytest.mark.parametrize("failure, at, want", [
    (["put", "KeyboardInterrupt"], 2, ("raw", "KeyboardInterrupt")),
    (["recv", "RuntimeError"], 1, ("mcts", "RuntimeError")),
    (["reply", "one-item", ["seq-form", "list", 400], ["seq-form", "list", 4]], 2,
     ("panic", "IndexError", None)),
    (["reply", "tuple", ["seq-form", "list", "endless"], ["seq-form", "list", 4]], 1,
     ("panic", None, "index out of bounds: the len is 400 but the index is 400")),
    (["reply", "tuple", ["seq-form", "none-last", 1000], ["seq-form", "list", 0]], 1,
     ("panic", None, "index out of bounds: the len is 400 but the index is 400")),
    (["reply", "tuple", ["seq-form", "list", 400], ["seq-form", "array-f", 0]], 2,
     ("panic", None, "index out of bounds: the len is 0 but the index is 0")),
    (["done"], 3, ("panic", "Done", None)),
], ids=["put-interrupt", "recv-error-at-root", "one-item-reply", "endless-policy",
        "bad-item-past-401-unread", "empty-float-array-values", "server-stops-at-a-leaf"])
def test_the_oracle_and_the_runner_agree_on_known_cases(sp, failure, at, want):
    """A few cases whose outcome is written out: the oracle predicts it and a
    child process finds it."""
    case = {"id": "plain", "config": {f: "plain" for f in bc.FIELDS}, "sims": 2, "at": at,
            "good": ["tuple", ["seq-form", "list", 400], ["seq-form", "list", 4]],
            "failure": failure}
    assert bc.expected(case) == want
    assert run_batch([case]) == []
