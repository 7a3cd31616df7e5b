"""Progress of a calibration, one line per finished capture condition, on standard error.

Shown only when standard error is a terminal (or when forced): a log or a
pipe stays as quiet as the routines alone. The routines' own lines go to
standard output and are left as they are.
"""
import contextlib
import sys
import time

from tuning.cli import library


class ConditionProgress:
    def __init__(self, name: str, conditions: int, files: int, stream=None, clock=time.monotonic):
        self.name = name
        self.conditions = conditions
        self.files = files
        self.stream = stream or sys.stderr
        self.clock = clock
        self.started = clock()
        self.conditions_done = 0
        self.files_done = 0

    def __call__(self, condition: str, done: int, total: int) -> None:
        self.conditions_done += 1
        self.files_done += done
        elapsed = self.clock() - self.started
        rate = self.files_done / elapsed if elapsed > 0 else 0.0
        conditions = f"{self.conditions_done}/{self.conditions}" if self.conditions else f"{self.conditions_done}"
        files = f"{self.files_done}/{self.files}" if self.files else f"{self.files_done}"
        self.stream.write(f"{self.name}: {conditions} conditions, {files} files, {elapsed:.1f} s, "
                          f"{rate:.1f} files/s ({condition}: {done} of {total})\n")
        self.stream.flush()


class Recorder:
    """Keeps the label of every condition a routine reports, in its order, and passes the report on."""

    def __init__(self, hook):
        self.hook = hook
        self.read = []

    def __call__(self, condition: str, done: int, total: int) -> None:
        self.read.append(condition)
        self.hook(condition, done, total)


def wanted(mode: str, stream=None) -> bool:
    """mode: "auto" (a terminal only), "always" or "never"."""
    if mode == "auto":
        stream = stream or sys.stderr
        return hasattr(stream, "isatty") and stream.isatty()
    return mode == "always"


@contextlib.contextmanager
def reporting(hook):
    """Installs hook as the cores' progress hook for the duration of the block (None: none)."""
    if hook is None:
        yield
        return
    common = library.module("tuning.common")
    common.set_progress_hook(hook)
    try:
        yield
    finally:
        common.set_progress_hook(None)
