"""Sensor simulator: capture sets with known truth, for demos and tests.

A `SensorModel` holds what a calibration should recover (black level per cell
position and gain, read noise, dark shading, defects). Each capture kind is a
module `kind_<word>.py` in this package with a `KIND` word and a
`write(model, folder, captures_per_condition, capture_format=None)` function;
`write_captures` finds them by kind word, so a new kind is added as a new
file; a kind module with `DEFAULT = False` is written only when asked for. Captures are raw16 unless a tuning.common.CaptureFormat says otherwise
(any sample layout, or DNG with the model's levels and the condition).
"""
import importlib
import pkgutil

from .capture_files import capture_file_name, write_raw_u16  # noqa: F401
from .photon import ElectronModel  # noqa: F401
from .sensor import SensorModel  # noqa: F401


def capture_kinds():
    """Kind word -> writer module, for every kind module of the package."""
    kinds = {}
    for info in pkgutil.iter_modules(__path__):
        if info.name.startswith("kind_"):
            module = importlib.import_module(f"{__name__}.{info.name}")
            kinds[module.KIND] = module
    return kinds


def default_kinds():
    """The kind words a set holds when none are named."""
    return sorted(k for k, module in capture_kinds().items() if getattr(module, "DEFAULT", True))


def write_captures(model, kind, folder, captures_per_condition=4, capture_format=None):
    """Writes the capture set of one kind into folder; returns the paths written."""
    kinds = capture_kinds()
    if kind not in kinds:
        raise ValueError(f"unknown capture kind {kind!r}; known kinds: {sorted(kinds)}")
    return kinds[kind].write(model, folder, captures_per_condition, capture_format)
