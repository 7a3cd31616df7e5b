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
