"""Reading the capture that `tunekit tonemap` maps: the one place the command touches capture files."""
import os

import numpy as np

from tuning.cli.errors import ToolError

LAYOUTS = ("raw16", "raw16be", "raw16msb", "raw8", "raw10p", "raw12p", "raw14p", "dng")
READABLE = ("raw16",)


def read_capture(path: str, width, height, *, layout: str = "raw16", stride: int = 0, header: int = 0) -> np.ndarray:
    """The capture as a (height, width) uint16 array: a `.npy` file (its own shape, which width and
    height, when given, must match) or headerless-by-default little-endian 16-bit samples; `stride`
    bytes per row (0: tight) after `header` bytes."""
    if not os.path.isfile(path):
        raise ToolError(f"capture {path} {'is not a file' if os.path.exists(path) else 'does not exist'}")
    if path.endswith(".npy"):
        return _read_npy(path, width, height)
    if layout not in LAYOUTS:
        raise ToolError(f"--format: expected one of {', '.join(LAYOUTS)}, found {layout!r}")
    if layout not in READABLE:
        raise ToolError(f"capture {path}: layout {layout} cannot be read by tonemap yet (it reads "
                        f"{', '.join(READABLE)} and .npy)")
    if not width or not height:
        raise ToolError(f"capture {path}: give --width and --height for a raw capture")
    row = stride or 2 * width
    if row < 2 * width:
        raise ToolError(f"--stride: expected at least {2 * width} bytes (width {width} x 2), found {stride}")
    if header < 0:
        raise ToolError(f"--header: expected a byte count >= 0, found {header}")
    expected = header + row * height
    size = os.path.getsize(path)
    if size != expected:
        layout_text = f"{header} header bytes + " if header else ""
        raise ToolError(f"capture {path} holds {size} bytes, expected {expected} ({layout_text}{height} rows of "
                        f"{row} bytes for {width} x {height} raw16)")
    raw = np.fromfile(path, dtype=np.uint8)[header:].reshape(height, row)[:, :2 * width]
    return np.ascontiguousarray(raw).view("<u2").astype(np.uint16)


def _read_npy(path, width, height) -> np.ndarray:
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as error:
        raise ToolError(f"cannot read capture {path}: {error}") from None
    if data.ndim != 2 or not np.issubdtype(data.dtype, np.integer):
        raise ToolError(f"capture {path}: expected a 2-D integer array, found {data.ndim}-D {data.dtype}")
    if data.min(initial=0) < 0 or data.max(initial=0) > 0xFFFF:
        raise ToolError(f"capture {path}: expected samples from 0 to 65535, found {data.min()} to {data.max()}")
    if (width and width != data.shape[1]) or (height and height != data.shape[0]):
        raise ToolError(f"capture {path} is {data.shape[1]} x {data.shape[0]}, expected {width or data.shape[1]} x "
                        f"{height or data.shape[0]} (--width x --height)")
    return data.astype(np.uint16)
