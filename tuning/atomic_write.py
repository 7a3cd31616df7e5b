"""Writing files whole or not at all: the one way the package's Python code writes what it produces.

The data goes into a hidden file beside the target, which is renamed into
place once complete, so a reader (a calibration listing the folder, another
tool, a user) never sees half a file; a failure or Ctrl-C leaves the old file
as it was and removes the hidden one.
"""
import contextlib
import os
import stat

PARTIAL_SUFFIX = ".partial"


@contextlib.contextmanager
def atomic_output(path: str, mode: str = "wb", encoding=None):
    """A file object to fill; it takes the place of path when the block ends without an error.

    mode: "wb" or "w" (text, with encoding, default UTF-8)."""
    import tempfile  # loaded on first write: it costs more start-up time than the rest of the tool

    if mode not in ("wb", "w"):
        raise ValueError(f"atomic_output: expected mode 'wb' or 'w', found {mode!r}")
    folder = os.path.dirname(os.path.abspath(path))
    name = os.path.basename(path)
    remove_stale_partials(folder, name)
    try:  # a rewritten file keeps its mode; mkstemp makes the file private
        keep = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        keep = 0o666 & ~current_umask()
    # Hidden and ending in .partial: no capture pattern and no listing of captures picks it up; the
    # writer's process id lets a later write tell a partial file of a killed run from one in progress.
    fd, partial = tempfile.mkstemp(prefix=f".{name}.{os.getpid()}-", suffix=PARTIAL_SUFFIX, dir=folder)
    try:
        text = {"encoding": encoding or "utf-8"} if mode == "w" else {}
        with os.fdopen(fd, mode, **text) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())  # whole on disk before the rename makes it the result
        os.chmod(partial, keep)
        os.replace(partial, path)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(partial)
        if isinstance(error, OSError) and not error.filename and error.errno:
            # A failed write (a full disk) names no file: name the one being written.
            raise OSError(error.errno, error.strerror or str(error), path) from None
        raise


def write_bytes_atomically(path: str, data) -> None:
    """Writes bytes (or any buffer, such as a numpy array) beside path and renames it into place."""
    with atomic_output(path, "wb") as f:
        f.write(data)


def write_text_atomically(path: str, text: str) -> None:
    """Writes text (UTF-8) beside path and renames it into place."""
    with atomic_output(path, "w") as f:
        f.write(text)


def remove_stale_partials(folder: str, name: str) -> None:
    """Removes the partial files of folder/name that a process no longer running left behind."""
    prefix = f".{name}."
    try:
        entries = os.listdir(folder)
    except OSError:
        return  # the write itself reports the folder
    for entry in entries:
        if not (entry.startswith(prefix) and entry.endswith(PARTIAL_SUFFIX)):
            continue
        owner = entry[len(prefix):-len(PARTIAL_SUFFIX)].split("-", 1)[0]
        if owner.isdigit() and _running(int(owner)):
            continue  # another process is writing it right now
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(folder, entry))


def _running(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # someone else's process
    return True


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def staged_folder(final: str, prefix: str, before_landing=None):
    """A hidden folder to write a set of files into; they land in final when the block ends without
    an error, so a reader never sees part of a set.

    A missing final is the staging folder renamed; an existing one receives the files by name (other
    files in it stay). Ctrl-C and SIGTERM wait while the files land, and before_landing (if given)
    runs first in the same shelter: what must go before the new set is seen, such as files that
    describe the old one. On an error or a stop the staging folder goes and final is as it was. An
    OSError about a staged file names the file under final, where the user looks for it."""
    import shutil
    import tempfile

    new_folder = not os.path.isdir(final)
    parent = os.path.dirname(os.path.abspath(final)) if new_folder else final
    staging = tempfile.mkdtemp(prefix=prefix, dir=parent)
    try:
        try:
            yield staging
        except OSError as error:
            if isinstance(error.filename, str) and error.filename.startswith(staging + os.sep):
                error.filename = os.path.join(final, error.filename[len(staging) + 1:])
            raise
        with _signals_held():
            if before_landing is not None:
                before_landing()
            if new_folder:
                os.chmod(staging, 0o777 & ~current_umask())
                os.rename(staging, final)
                staging = None
            else:
                for name in sorted(os.listdir(staging)):
                    os.replace(os.path.join(staging, name), os.path.join(final, name))
    finally:
        if staging:
            shutil.rmtree(staging, ignore_errors=True)


@contextlib.contextmanager
def _signals_held():
    """Holds back SIGINT and SIGTERM in the block (where the platform can); they arrive after it."""
    import signal
    import threading

    held = {signal.SIGINT, signal.SIGTERM}
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
