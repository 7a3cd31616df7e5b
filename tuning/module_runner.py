"""`python3 -m tuning.<folder>`: runs a calibration module's `main` on its built-in settings.

The modules live in the compiled library, which the host cannot start with -m; each folder's
__main__.py hands its package name to run(). A folder carrying one module runs it; a folder
carrying several takes the module's short name as its one argument. Which modules a folder
carries, and what each calibrates, comes from the library's module list.
"""
import importlib

import tuning.tunekit

# What a calibration's main may fail with on bad settings or captures: reported in one line.
FAILURES = (OSError, RuntimeError, ZeroDivisionError, ValueError, IndexError, AssertionError)


def runnable_modules(package):
    """(short name, full name, what it calibrates) of each module of package that has a main."""
    return [(short, full, runs) for short, full, _, runs in tuning.tunekit.MODULES
            if runs is not None and full.rsplit(".", 1)[0] == package]


def run(package, argv):
    """The exit status (0) or the message sys.exit shows for one run."""
    modules = runnable_modules(package)
    if len(modules) == 1:
        short, full, runs = modules[0]
    else:
        chosen = [m for m in modules if argv[:1] == [m[0]]]
        if len(argv) != 1 or not chosen:
            return "usage: python3 -m {} {{{}}}".format(package, "|".join(m[0] for m in modules))
        short, full, runs = chosen[0]
    tuning.tunekit.bootstrap_cython_submodules()
    module = importlib.import_module(full)
    try:
        module.main()
    except FAILURES as error:
        return "{} calibration failed: {}: {}".format(runs, type(error).__name__, error)
    return 0
