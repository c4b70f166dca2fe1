"""Files that exist whole or not at all.

Every file the package writes for a reader to pick up (shards, weights,
summaries, arena results, charts, the loop's state) goes through
``atomic_file``: the content is written to a hidden temporary name beside
the target (``.NAME.tmp-PID``, which no shard pattern matches), flushed and
synced, then renamed over the target. A reader sees the old file or the new
one, never a part; a failure leaves the old file as it was and no temporary
file behind.
"""

import contextlib
import json
import os


def temporary_name(path):
    """The hidden name beside ``path`` that ``atomic_file`` writes first."""
    directory = os.path.dirname(os.path.abspath(path))
    return os.path.join(directory, ".%s.tmp-%d" % (os.path.basename(path), os.getpid()))


@contextlib.contextmanager
def atomic_file(path, mode="w", sync=True):
    """Yields a file open for writing; on a clean exit its content replaces
    ``path`` in one rename (synced to disk first unless ``sync`` is False),
    on an exception it is removed and the exception goes on."""
    tmp = temporary_name(path)
    try:
        with open(tmp, mode) as f:
            yield f
            f.flush()
            if sync:
                os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    if sync:
        _sync_directory(os.path.dirname(os.path.abspath(path)))


def _sync_directory(directory):
    """Makes the rename itself durable, where the file system allows."""
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def write_json(path, obj, indent=2):
    """Writes ``obj`` as JSON (and a final newline) with ``atomic_file``."""
    with atomic_file(path) as f:
        json.dump(obj, f, indent=indent)
        f.write("\n")


def read_json(path):
    """The JSON in ``path``, or None where it is missing or unreadable."""
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None
