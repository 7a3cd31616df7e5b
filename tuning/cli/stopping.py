"""Orderly stops: Ctrl-C and SIGTERM end a run between capture conditions, with one line and no result.

Ctrl-C raises KeyboardInterrupt in the main thread; SIGTERM is made to raise Terminated, a kind of
KeyboardInterrupt, so that both take the same way out. The calibration cores call the progress hook
after each capture condition, with the interpreter's lock held: a pending stop is raised there and
leaves the routine as the same exception, so one is always installed (a silent one when no progress is
shown).
"""
import signal

EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_TERMINATED = 128 + signal.SIGTERM
EXIT_BROKEN_PIPE = 128 + getattr(signal, "SIGPIPE", 13)


class Terminated(KeyboardInterrupt):
    """SIGTERM, stopping the run the way Ctrl-C does."""


# Set once SIGTERM arrived: a calibration core that stops on a pending signal hands it back as a plain
# KeyboardInterrupt, and the run must still end as terminated.
_terminated = False


def _raise_terminated(signum, frame):
    global _terminated
    _terminated = True
    raise Terminated()


def install() -> None:
    """Turns SIGTERM into Terminated, unless someone chose to ignore it."""
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _raise_terminated)


def terminated(stop: KeyboardInterrupt) -> bool:
    """Whether the stop came from SIGTERM rather than Ctrl-C."""
    return isinstance(stop, Terminated) or _terminated


def exit_status(stop: KeyboardInterrupt) -> int:
    return EXIT_TERMINATED if terminated(stop) else EXIT_INTERRUPTED


def checkpoint(condition: str, done: int, total: int) -> None:
    """The silent progress hook: running it lets a pending stop be raised between conditions."""
