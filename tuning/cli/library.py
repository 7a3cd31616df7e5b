"""Loads the compiled library once per process and imports its modules."""
import contextlib
import importlib
import io

_loaded = False


def load():
    """Bootstraps the calibration modules (quietly: its line is not the tool's output)."""
    global _loaded
    if not _loaded:
        import tuning.tunekit

        with contextlib.redirect_stdout(io.StringIO()):
            tuning.tunekit.bootstrap_cython_submodules()
        _loaded = True


def module(name):
    """The compiled module of that dotted name, or None when this build does not carry it."""
    load()
    try:
        return importlib.import_module(name)
    except ImportError:
        return None
