"""Faults found by a hostile run: a server whose parent is gone, weight
files that are not real numbers."""

import json
import os
import subprocess
import sys

import pytest

from selfplay_helpers import need_extension, run_play, velmar_env


def _start_server(stdout_fd, request_r, reply_w):
    return subprocess.Popen(
        [sys.executable, "-m", "velmar.serving.server", "--request-fd", str(request_r),
         "--reply-fds", str(reply_w), "--evaluator", "uniform"],
        pass_fds=[request_r, reply_w], stdin=subprocess.DEVNULL, stdout=stdout_fd,
        stderr=subprocess.PIPE, env=velmar_env())


@pytest.mark.subprocess
@pytest.mark.parametrize("gone", ["before the ready line", "while serving"])
def test_server_whose_reader_is_gone_exits_quietly(gone):
    """The server's parent reads its standard output; once the parent is
    killed (SIGKILL), the server's next line meets a closed pipe. It ends
    without a traceback: 3 when it could not say it was ready, 0 after
    serving (its end of the request pipe closed, as when the workers die)."""
    request_r, request_w = os.pipe()
    reply_r, reply_w = os.pipe()
    out_r, out_w = os.pipe()
    try:
        if gone == "before the ready line":
            os.close(out_r)
            out_r = None
        proc = _start_server(out_w, request_r, reply_w)
        os.close(out_w)
        os.close(request_r)
        os.close(reply_w)
        if out_r is not None:
            with os.fdopen(out_r) as out:
                out_r = None
                assert json.loads(out.readline())["ready"]
        os.close(request_w)  # the server finishes serving and writes its stats
        request_w = None
        _, err = proc.communicate(timeout=60)
        assert err.decode() == ""
        assert proc.returncode == (3 if gone == "before the ready line" else 0)
    finally:
        for fd in (out_r, request_w, reply_r):
            if fd is not None:
                os.close(fd)


@pytest.mark.parametrize("dtype", ["complex64", "complex128", "U8", "bool"])
def test_weights_that_are_not_real_numbers_are_refused(tmp_path, dtype):
    np = pytest.importorskip("numpy")
    from velmar.net import network
    w = network.init_weights(network.Architecture(0, 4), 0)
    members = dict(w.params)
    members["value_fc1.bias"] = (members["value_fc1.bias"] + 1j).astype(dtype)
    path = str(tmp_path / "w.npz")
    np.savez(path, **members)
    with pytest.raises(network.WeightsError) as e:
        network.load_weights(path)
    assert str(e.value) == "%s: value_fc1.bias holds %s, not real numbers" % (
        path, np.dtype(dtype))
    # whole numbers are real: a file of integer arrays still loads
    members = {k: np.round(v * 10).astype(np.int16) for k, v in w.params.items()}
    np.savez(path, **members)
    loaded = network.load_weights(path)
    assert loaded.params["stem.weight"].dtype == np.float32
    assert np.array_equal(loaded.params["stem.weight"], members["stem.weight"])


@pytest.mark.subprocess
def test_play_refuses_complex_weights_with_one_line(tmp_path):
    np = pytest.importorskip("numpy")
    need_extension()
    from velmar.net import network
    w = network.init_weights(network.Architecture(0, 4), 0)
    members = dict(w.params, **{"stem.weight": w.params["stem.weight"] * (1 + 0.5j)})
    path = str(tmp_path / "complex.npz")
    np.savez(path, **members)
    res = run_play(tmp_path / "out", "--games", 1, "--sims", 2, "--workers", 1,
                   "--evaluator", "numpy:" + path)
    assert res.returncode == 2
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1
    assert "stem.weight holds complex64, not real numbers" in lines[0]
    assert not os.path.exists(tmp_path / "out" / "shard-00000.npz")
