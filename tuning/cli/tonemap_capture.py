"""Reading the capture that `tunekit tonemap` maps, and writing the mapped frame as a capture.

Raw captures in every layout and DNG come through the library's capture layer (the
same reader the calibrations use); a `.npy` array is read with numpy."""
import os

import numpy as np

from tuning.cli import capture_format as formats
from tuning.cli.errors import ToolError


def read_capture(path: str, width, height, capture_format=None) -> np.ndarray:
    """The capture as a (height, width) uint16 array: a `.npy` file (its own shape, which width and
    height, when given, must match), a DNG (its own size) or raw samples of capture_format."""
    if not os.path.isfile(path):
        raise ToolError(f"capture {path} {'is not a file' if os.path.exists(path) else 'does not exist'}")
    if path.endswith(".npy"):
        return _read_npy(path, width, height)
    lib = formats.common()
    try:
        if formats.is_dng(capture_format) or path.lower().endswith(".dng"):
            frame, _ = lib.read_dng(path)
            _check_size(path, frame, width, height)
            return frame
        if not width or not height:
            raise ToolError(f"capture {path}: give --width and --height for a raw capture")
        return lib.read_capture(path, width, height, capture_format=capture_format)
    except ValueError as error:  # the layer's message names the file, the expected and the found size
        raise ToolError(str(error)) from None
    except OSError as error:
        raise ToolError(f"cannot read capture {path}: {error.strerror or error}") from None


def write_dng(path: str, frame: np.ndarray, bits: int) -> None:
    """The mapped frame as a DNG of bits-bit samples (no black level: the output is display-referred)."""
    lib = formats.common()
    lib.write_dng(path, np.ascontiguousarray(frame, dtype=np.uint16), cfa_type=lib.CFAType.RGGB, bits=bits,
                  black_level=[0.0], white_level=(1 << bits) - 1)


def _check_size(path, frame, width, height):
    if (width and width != frame.shape[1]) or (height and height != frame.shape[0]):
        raise ToolError(f"capture {path} is {frame.shape[1]} x {frame.shape[0]}, expected {width or frame.shape[1]} "
                        f"x {height or frame.shape[0]} (--width x --height)")


def _read_npy(path, width, height) -> np.ndarray:
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as error:
        raise ToolError(f"cannot read capture {path}: {error}") from None
    if data.ndim != 2 or not np.issubdtype(data.dtype, np.integer):
        raise ToolError(f"capture {path}: expected a 2-D integer array, found {data.ndim}-D {data.dtype}")
    if data.min(initial=0) < 0 or data.max(initial=0) > 0xFFFF:
        raise ToolError(f"capture {path}: expected samples from 0 to 65535, found {data.min()} to {data.max()}")
    _check_size(path, data, width, height)
    return data.astype(np.uint16)
