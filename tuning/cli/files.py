"""Writing result files whole or not at all."""
import os


def write_text_atomically(path: str, text: str) -> None:
    """Writes text beside path and renames it into place: readers never see half a file."""
    write_bytes_atomically(path, text.encode("utf-8"))


def write_bytes_atomically(path: str, data: bytes) -> None:
    """Writes data beside path and renames it into place: readers never see half a file."""
    import tempfile  # loaded on first write: it costs more start-up time than the rest of the tool

    folder = os.path.dirname(os.path.abspath(path))
    fd, partial = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".partial", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(partial, 0o666 & ~_umask())
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
