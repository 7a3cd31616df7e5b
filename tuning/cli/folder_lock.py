"""One run at a time per output folder: an advisory lock file that names the process holding it.

The lock is an flock on OUT/.tunekit.lock, so the system releases it when its holder ends in any way;
a lock file left behind by a killed run is simply taken over by the next one. The file's text (process,
host, command, start time) is only there to name the holder to a run that is refused.
"""
import contextlib
import os
import socket
import sys
import time

from tuning.cli.errors import CalibrationFailed

LOCK_FILE = ".tunekit.lock"


class FolderBusy(CalibrationFailed):
    """Another run is writing into the same output folder."""



@contextlib.contextmanager
def holding(folder: str, what: str):
    """Holds the lock on folder (created if needed) for the block; raises FolderBusy naming the holder."""
    created = not os.path.isdir(folder)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError:
        # Nothing can be written there, so nothing can be mixed: the run names the folder itself.
        yield
        return
    path = os.path.join(folder, LOCK_FILE)
    fd = _lock(path)
    try:
        holder = (f"process {os.getpid()} on {socket.gethostname()}: {what}, "
                  f"since {time.strftime('%Y-%m-%d %H:%M:%S')}\n")
        with contextlib.suppress(OSError):  # a full disk: the lock holds all the same, only unnamed
            os.ftruncate(fd, 0)
            os.pwrite(fd, holder.encode("utf-8", "backslashreplace"), 0)  # argv as the system gave it
        yield
    finally:
        # Removed while still held: a run that opened the old file finds it gone and starts over.
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(fd)
        if created:  # a run that wrote nothing leaves no empty folder behind
            with contextlib.suppress(OSError):
                os.rmdir(folder)


def _lock(path: str) -> int:
    import fcntl

    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
        except OSError as error:
            raise CalibrationFailed(f"cannot create the lock file {path}: {error.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = _read(fd)
            os.close(fd)
            raise FolderBusy(f"the output folder {os.path.dirname(path)} is in use by another run "
                             f"({holder or 'holder unknown'}; lock file {path}); "
                             "wait for it to end or choose another folder") from None
        except OSError as error:
            os.close(fd)
            raise CalibrationFailed(f"cannot lock {path}: {error.strerror}") from None
        try:
            same = os.path.samestat(os.fstat(fd), os.stat(path))
        except FileNotFoundError:
            same = False
        if same:
            return fd
        os.close(fd)  # its holder removed it between our open and our lock: take the new one


def _read(fd: int) -> str:
    try:
        return os.pread(fd, 4096, 0).decode("utf-8", "replace").strip()
    except OSError:
        return ""


def describe_command() -> str:
    return "tunekit " + " ".join(sys.argv[1:])[:200]
