"""The game's end of the inference transport: ``Client`` (``put`` and
``recv``) and the control messages.

Every game thread writes its requests into one pipe shared by all of them
and reads its replies from a pipe of its own, its reply channel. A request's
header carries the channel its reply goes to and its route (the ``id`` of
the request, which picks the evaluator); the layout is that of
``velmar.game.planes``. A request is written with one atomic ``write``, so
the games share the pipe without a lock.
"""

import os
import time

from velmar.game.planes import (BITS_SIZE, HEADER, KIND_REQUEST, REPLY_SIZE, REQUEST_SIZE,
                                decode_reply, make_packer)


class ServerGone(ConnectionError):
    """The inference server closed the reply channel."""


class Client:
    """A game thread's end of the transport: ``put`` and ``recv``.

    One object serves as both ``inference_queue`` and ``pipe`` for
    ``generate_game_data`` (or ``velmar.rules.search``). ``channel`` is the
    index of its reply pipe at the server; the id of each request
    (``put((id, planes))``) is sent as its route. It keeps the decoded form of the last reply and
    hands it out again when the next reply's bytes are the same (the
    uniform evaluator always answers the same), so a constant reply costs
    no decoding.
    """

    def __init__(self, channel, request_fd, reply_fd):
        self.channel = channel
        self.request_fd = request_fd
        self.reply_fd = reply_fd
        self._last_raw = None
        self._last_reply = None
        self._pack = make_packer()
        self.reset_timers()

    def reset_timers(self):
        self.requests = 0
        self.put_seconds = 0.0     # packing requests
        # writing a request and waiting for its reply: the write wakes the
        # server, and where cores are scarce the worker waits for the server
        # right there, so the two are counted together
        self.wait_seconds = 0.0
        self.decode_seconds = 0.0  # decoding replies

    def put(self, request):
        t0 = time.perf_counter()
        route, planes = request
        msg = HEADER.pack(KIND_REQUEST, self.channel, route) + self._pack(planes)
        t1 = time.perf_counter()
        n = os.write(self.request_fd, msg)
        if n != REQUEST_SIZE:  # cannot happen for a pipe write below PIPE_BUF
            raise OSError("short write of an inference request")
        self.requests += 1
        self.put_seconds += t1 - t0
        self.wait_seconds += time.perf_counter() - t1

    def recv(self):
        t0 = time.perf_counter()
        data = os.read(self.reply_fd, REPLY_SIZE)
        while len(data) < REPLY_SIZE:
            if not data:
                raise ServerGone("the inference server closed the reply pipe")
            more = os.read(self.reply_fd, REPLY_SIZE - len(data))
            if not more:
                raise ServerGone("the inference server closed the reply pipe")
            data += more
        t1 = time.perf_counter()
        self.wait_seconds += t1 - t0
        if data != self._last_raw:
            self._last_reply = decode_reply(data)
            self._last_raw = data
        self.decode_seconds += time.perf_counter() - t1
        return self._last_reply


def send_control(request_fd, kind, channel=0):
    """Writes a control message (a reply channel gone, stop) into the request pipe."""
    os.write(request_fd, HEADER.pack(kind, channel, 0) + bytes(BITS_SIZE))
