"""The output directory of ``velmar play``, locked for the run."""

import errno
import fcntl
import os

from velmar.selfplay.options import PlayError


def lock_out_dir(out):
    """Creates `out` if needed and locks it for this run; returns the
    descriptor that holds the lock (the kernel lets it go when the process
    ends, however it ends). A second run into the same directory meanwhile
    is refused. The directory itself is locked, so no lock file is left
    behind; where the file system refuses to lock a directory, a lock file
    ``.velmar-play.lock`` in it is locked instead."""
    try:
        os.makedirs(out, exist_ok=True)
        fd = os.open(out, os.O_RDONLY | os.O_DIRECTORY)
    except (FileExistsError, NotADirectoryError):
        raise PlayError("--out %s is not a directory" % out) from None
    except OSError as e:
        raise PlayError("--out %s: %s" % (out, e.strerror or e)) from None
    if _locked(fd, out):
        return fd
    try:
        fd = os.open(os.path.join(out, ".velmar-play.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as e:
        raise PlayError("--out %s: cannot create a lock file: %s"
                        % (out, e.strerror or e)) from None
    if _locked(fd, out):
        return fd
    raise PlayError("--out %s: the file system cannot lock it" % out)


def _locked(fd, out):
    """Locks fd; closes it unless that succeeded."""
    try:
        if _flock(fd, out):
            return True
    except OSError as e:
        os.close(fd)
        raise PlayError("--out %s: cannot lock it: %s" % (out, e.strerror or e)) from None
    except BaseException:
        os.close(fd)
        raise
    os.close(fd)
    return False


def _flock(fd, out):
    """Takes the lock: True, or False where the file system cannot lock
    this file; PlayError while another process holds it."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        raise PlayError("--out %s is in use by another run of velmar play; wait for it to "
                        "end or choose another directory" % out) from None
    except OSError as e:
        if e.errno in (errno.EBADF, errno.ENOLCK, errno.EINVAL, errno.EOPNOTSUPP):
            return False
        raise
