"""Simulated frames as capture files: named by the library's rule, in any sample layout or DNG."""
import contextlib
import io
import os

import numpy as np

from tuning import atomic_write, exposure_units

PREFIX = "sim"
CELL_POSITIONS = 4


def common():
    """tuning.common, bootstrapping the compiled library when no one has yet."""
    try:
        import tuning.common as module
    except ImportError:
        import tuning.tunekit

        with contextlib.redirect_stdout(io.StringIO()):  # its line is not the simulator's output
            tuning.tunekit.bootstrap_cython_submodules()
        import tuning.common as module
    return module


def capture_file_name(kind: str, mode: str, exposure, gain, index: int, capture_format=None) -> str:
    return common().capture_name(PREFIX, kind, mode, exposure, gain, f"{index:03d}", capture_format=capture_format)


def write_raw_u16(path: str, frame: np.ndarray) -> None:
    """Headerless little-endian 16-bit samples, written aside and renamed."""
    atomic_write.write_bytes_atomically(path, memoryview(np.ascontiguousarray(frame, dtype="<u2")).cast("B"))


def sample_bits(capture_format) -> int:
    """How many bits of a sample the layout keeps (16 - shift for data in the top bits); 16 for DNG."""
    lib = common()
    if capture_format is None or capture_format.layout == lib.SampleLayout.dng:
        return 16
    width, height = 8, 2  # a whole number of bytes in every packed layout
    tight = lib.CaptureFormat(layout=capture_format.layout, shift=capture_format.shift)
    return lib.capture_file_size(width, height, capture_format=tight) * 8 // (width * height) - capture_format.shift


def write_frame(model, path: str, frame: np.ndarray, gain, exposure, capture_format=None) -> None:
    """One capture of the model at a condition; a DNG carries the model's levels and the condition
    (exposure as microseconds, gain as analog gain and ISO)."""
    lib = common()
    if capture_format is None or capture_format == lib.CaptureFormat():
        write_raw_u16(path, frame)
    elif capture_format.layout == lib.SampleLayout.dng:
        black = [float(b) for b in model.black_level_at(gain)]
        lib.write_dng(path, np.ascontiguousarray(frame, dtype=np.uint16), cfa_type=lib.CFAType.RGGB,
                      bits=model.bits, black_level=black, white_level=model.white_level,
                      exposure_time=exposure_units.seconds(exposure), iso=gain * exposure_units.BASE_ISO,
                      analog_gain=float(gain))
    else:
        lib.write_capture(path, np.ascontiguousarray(frame, dtype=np.uint16), capture_format=capture_format)


def write_conditions(model, kind, folder, captures_per_condition, capture, capture_format=None, exposures=None):
    """Writes capture(model, gain, exposure, index) for every condition and index; returns the paths. The
    conditions are the model's gains by `exposures` (default: the model's exposure list)."""
    if model.bits > sample_bits(capture_format):
        raise ValueError(f"{model.bits}-bit samples do not fit {capture_format.layout.value} "
                         f"(shift {capture_format.shift}), which keeps {sample_bits(capture_format)} bits: "
                         f"simulate fewer bits")
    os.makedirs(folder, exist_ok=True)
    paths = []
    for gain in model.again_list:
        for exposure in model.exp_time_list if exposures is None else exposures:
            for index in range(captures_per_condition):
                path = os.path.join(folder, capture_file_name(kind, model.sensor_mode, exposure, gain, index,
                                                              capture_format))
                write_frame(model, path, capture(model, gain, exposure, index), gain, exposure, capture_format)
                paths.append(path)
    return paths
