"""Writing result files whole or not at all."""
import os
import stat

PARTIAL_SUFFIX = ".partial"


def write_text_atomically(path: str, text: str) -> None:
    """Writes text beside path and renames it into place: readers never see half a file.

    The text is written to .NAME.<pid>-<random>.partial beside it first (hidden: no listing of
    captures picks it up). Partial files of the same path left by a
    process that no longer runs (a killed run) are removed. A file that is rewritten keeps its mode; a
    new one gets the mode the umask allows."""
    import tempfile  # loaded on first write: it costs more start-up time than the rest of the tool

    folder = os.path.dirname(os.path.abspath(path))
    name = os.path.basename(path)
    _remove_stale_partials(folder, name)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    fd, partial = tempfile.mkstemp(prefix=f".{name}.{os.getpid()}-", suffix=PARTIAL_SUFFIX, dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())  # whole on disk before the rename makes it the result
        os.chmod(partial, mode)
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise


def _remove_stale_partials(folder: str, name: str) -> None:
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
        try:
            os.unlink(os.path.join(folder, entry))
        except OSError:
            pass


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


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
