"""Finds the calibration plug-ins: every module of tuning.cli.calibrations whose name does not start with "_"."""
import importlib
import pkgutil
from typing import Dict

from tuning.cli import calibrations


def all_calibrations(package=calibrations) -> Dict[str, "calibration.Calibration"]:  # noqa: F821
    """Subcommand name -> calibration, in `all` order (their `order`), for every plug-in file of package."""
    found = []
    for info in pkgutil.iter_modules(package.__path__):
        if info.name.startswith("_"):  # helpers the plug-ins share
            continue
        module = importlib.import_module(f"{package.__name__}.{info.name}")
        if not hasattr(module, "CALIBRATION"):
            raise ImportError(f"calibration plug-in {module.__file__} defines no CALIBRATION")
        found.append(module.CALIBRATION)
    found.sort(key=lambda c: c.order)
    names = [c.name for c in found]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise ImportError(f"two calibration plug-ins in {package.__path__[0]} name the command {twice[0]}")
    return {c.name: c for c in found}


def available_calibrations():
    """The plug-ins whose routine this build of the library carries."""
    return {name: c for name, c in all_calibrations().items() if c.compiled() is not None}
