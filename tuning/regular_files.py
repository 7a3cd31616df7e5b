"""Reading the small side files a run is given (configs, truth, lists, maps, presets, results).

Only regular files are read: a FIFO, a device or a socket named where a file is expected would
block the run or feed it without end, so it is refused before a byte is read. The refusal is an
OSError whose strerror says what was found, so the readers' own OSError messages name it.
"""
import errno
import os
import stat

_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


def file_kind(mode: int) -> str:
    """What a non-regular directory entry is, in a user's words."""
    for test, words in _KINDS:
        if test(mode):
            return words
    return "not a regular file"


class NotRegularFile(OSError):
    """A path that names something other than a regular file."""

    def __init__(self, path: str, mode: int):
        super().__init__(errno.EINVAL, f"expected a regular file, found {file_kind(mode)}", path)


def read_bytes(path: str) -> bytes:
    """The whole content of the regular file at path (links followed); NotRegularFile otherwise.

    The file is opened without waiting (opening a FIFO for reading would wait for a writer) and
    checked on the open descriptor, so what is read is what was checked."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotRegularFile(path, mode)
        os.set_blocking(fd, True)
        with os.fdopen(fd, "rb") as f:
            fd = -1
            return f.read()
    finally:
        if fd >= 0:
            os.close(fd)


def read_text(path: str, encoding: str = "utf-8") -> str:
    """read_bytes decoded; UnicodeDecodeError carries the bytes and the offset of the first bad one."""
    return read_bytes(path).decode(encoding)
