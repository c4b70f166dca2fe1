"""A small headless-Chromium driver for the page tests: the DevTools
protocol over a pipe (no network), and a PNG decoder, standard library only."""

import base64
import fcntl
import json
import os
import select
import shutil
import struct
import subprocess
import tempfile
import time
import zlib


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def _high(fd):
    high = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return high


class Browser:
    def __init__(self, exe, width=600, height=720):
        self.profile = tempfile.mkdtemp(prefix="velmar-chromium-")
        to_r, self._to_w = os.pipe()     # our commands: chromium reads fd 3
        self._from_r, from_w = os.pipe()  # its answers: chromium writes fd 4
        to_r, from_w = _high(to_r), _high(from_w)  # numbers that 3 and 4 cannot clash with
        cmd = ('exec "$0" "$@" 3<&%d 4>&%d %d<&- %d>&-' % (to_r, from_w, to_r, from_w))
        args = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--hide-scrollbars", "--user-data-dir=" + self.profile,
                "--window-size=%d,%d" % (width, height), "about:blank"]
        self.proc = subprocess.Popen(["bash", "-c", cmd] + args, pass_fds=(to_r, from_w),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self._buf = b""
        self._id = 0
        self.session = None
        self.events = []

    def _read_message(self, deadline):
        while b"\0" not in self._buf:
            left = deadline - time.time()
            if left <= 0:
                raise TimeoutError("no answer from chromium")
            r, _, _ = select.select([self._from_r], [], [], left)
            if r:
                chunk = os.read(self._from_r, 1 << 20)
                if not chunk:
                    raise EOFError("chromium closed the pipe")
                self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg.decode("utf-8"))

    def call(self, method, params=None, session=True, timeout=30):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params or {}}
        if session and self.session:
            msg["sessionId"] = self.session
        os.write(self._to_w, json.dumps(msg).encode("utf-8") + b"\0")
        deadline = time.time() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get("id") == self._id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            self.events.append(answer)

    def open(self, url):
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target["targetId"], "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.enable")
        self.call("Page.navigate", {"url": url})
        deadline = time.time() + 30
        while self.evaluate("document.readyState") != "complete":
            if time.time() > deadline:
                raise TimeoutError("the page did not load")
            time.sleep(0.05)

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in r:
            raise RuntimeError("page error: %s" % r["exceptionDetails"])
        return r["result"].get("value")

    def key(self, key, code):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", {"type": kind, "key": key, "code": key,
                                                 "windowsVirtualKeyCode": code})

    def screenshot(self):
        data = self.call("Page.captureScreenshot", {"format": "png"})["data"]
        return base64.b64decode(data)

    def close(self):
        try:
            self.call("Browser.close", session=False, timeout=5)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_w)
        os.close(self._from_r)
        shutil.rmtree(self.profile, ignore_errors=True)


def decode_png(data):
    """(width, height, rows of RGB tuples) of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    prev = bytearray(stride)
    rows = []
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if f == 1:
                line[x] = (line[x] + a) & 255
            elif f == 2:
                line[x] = (line[x] + b) & 255
            elif f == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 255
        rows.append([tuple(line[i:i + 3]) for i in range(0, stride, bpp)])
        prev = line
    return width, height, rows
