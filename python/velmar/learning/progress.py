"""The training's progress line."""

import sys
import time


class Progress:
    """One line on stderr: redrawn in place on a terminal (at most ten times
    a second), otherwise written at every tenth of the run."""

    def __init__(self, steps, stream=None, enabled=True):
        self.steps = steps
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.tty = self.stream.isatty()
        self.last = 0.0
        self.next_tenth = 1
        self.t0 = time.perf_counter()

    def update(self, step, running, batch_size, force=False):
        if not self.enabled:
            return
        now = time.perf_counter()
        tenth = step * 10 >= self.next_tenth * self.steps
        if not force and (now - self.last < 0.1 if self.tty else not tenth):
            return
        while step * 10 >= self.next_tenth * self.steps:
            self.next_tenth += 1
        self.last = now
        rate = step * batch_size / max(now - self.t0, 1e-9)
        bar = "#" * (20 * step // self.steps)
        line = ("train %*d/%d [%-20s] loss %.3f  policy %.3f  value %.3f  l2 %.4f  %.0f pos/s"
                % (len(str(self.steps)), step, self.steps, bar, running["loss"],
                   running["policy"], running["value"], running["l2"], rate))
        if self.tty:
            self.stream.write("\r" + line)
            if step == self.steps:
                self.stream.write("\n")
        else:
            self.stream.write(line + "\n")
        self.stream.flush()
