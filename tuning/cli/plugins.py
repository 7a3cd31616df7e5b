"""Finds the calibration plug-ins (`cmd_<name>.py` files of this package)."""
import importlib
import pkgutil
from typing import Dict

from tuning import cli

PLUGIN_PREFIX = "cmd_"


def all_calibrations() -> Dict[str, "cli.calibration.Calibration"]:
    """Subcommand name -> calibration, in `all` order, for every plug-in file."""
    found = []
    for info in pkgutil.iter_modules(cli.__path__):
        if info.name.startswith(PLUGIN_PREFIX):
            found.append(importlib.import_module(f"{cli.__name__}.{info.name}").CALIBRATION)
    found.sort(key=lambda c: c.order)
    return {c.name: c for c in found}


def available_calibrations():
    """The plug-ins whose routine this build of the library carries."""
    return {name: c for name, c in all_calibrations().items() if c.compiled() is not None}
