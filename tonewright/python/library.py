"""Loading the tone-mapping library and calling its export on numpy frames."""
import ctypes
import os
import threading
from typing import List, Optional, Tuple

import numpy as np

from tonewright.python import params as P

LIBRARY_ENV = "TONEWRIGHT_LIBRARY"
LIBRARY_NAME = "libtonewright.so"
STATUS_CAPACITY = 1024
STATUS_NAMES = {0: "no call", 1: "ok", 2: "invalid input", 3: "out of memory", 4: "internal error"}
STATUS_OK = 1
_HERE = os.path.dirname(os.path.abspath(__file__))

# The export's parameters in order, with the C type of each slot: "i" int32, "d" double,
# "p" int32 pointer, "u" uint32 pointer.
SLOTS: List[Tuple[str, str]] = (
    [("image", "p"), ("height", "i"), ("width", "i"), ("block_size_code", "i"), ("cfa_pattern", "i"),
     ("mesh_rows", "i"), ("mesh_cols", "i"), ("mesh_step_x", "i"), ("mesh_step_y", "i"), ("mesh_start_x", "i"),
     ("mesh_start_y", "i"), ("reserved_11", "i"), ("reserved_12", "i"), ("mesh_off", "i"),
     ("mesh_values", "p"), ("global_lut_mode", "i"), ("bins", "i"), ("tm_strength", "i"), ("log_floor", "i"),
     ("out_max", "i"), ("use_corrected_input", "i")]
    + [(f"wb_gain_{c}", "i") for c in "rgb"]
    + [(f"ccm_{k}", "i") for k in range(9)]
    + [(f"luma_w_{c}", "i") for c in ("r", "g", "b", "max")]
    + [(n, "i") for n in ("noise_bits", "noise_shift", "noise_signed", "noise_on", "noise_taps_0", "noise_taps_1",
                          "noise_width_0", "noise_width_1", "noise_seed_0", "noise_seed_1")]
    + [slot for lut in P.LUT_NAMES for slot in ((f"{lut}_knots", "p"), (f"{lut}_seg_end", "u"),
                                                (f"{lut}_seg_shift", "u"), (f"{lut}_seg_count", "i"),
                                                (f"{lut}_knot_count", "i"))]
    + [("hist_power", "i"), ("clip_limit", "d"), ("fixed_curve", "i"), ("fixed_curve_gain", "d"),
       ("global_blend", "d"), ("log_offset", "d")])
_CTYPES = {"i": ctypes.c_int32, "d": ctypes.c_double, "p": ctypes.POINTER(ctypes.c_int32),
           "u": ctypes.POINTER(ctypes.c_uint32)}


class ToneMapError(RuntimeError):
    """The library refused the call; the frame was not mapped. `status` is its code, `reason` its text."""

    def __init__(self, status: int, reason: str):
        super().__init__(f"tone mapping refused ({STATUS_NAMES.get(status, status)}): {reason}")
        self.status = status
        self.reason = reason


def candidate_paths() -> List[str]:
    """Where the library is looked for: $TONEWRIGHT_LIBRARY, beside this package (installed), the build
    tree of this checkout."""
    found = [os.environ[LIBRARY_ENV]] if os.environ.get(LIBRARY_ENV) else []
    root = os.path.dirname(os.path.dirname(_HERE))
    return found + [os.path.join(_HERE, LIBRARY_NAME), os.path.join(root, "build", "tonewright", LIBRARY_NAME)]


class Library:
    """One loaded copy of the library. Calls are serialised: the library keeps one status, that
    of the call that finished last, so a call and the status read after it must not interleave
    with another call."""

    def __init__(self, path: Optional[str] = None):
        if path is None:
            tried = candidate_paths()
            path = next((p for p in tried if os.path.exists(p)), None)
            if path is None:
                raise OSError(f"tone-mapping library not found; looked for {', '.join(tried)} "
                              f"(build it, or set {LIBRARY_ENV})")
        try:
            self._dll = ctypes.CDLL(path)
        except OSError as error:
            raise OSError(f"cannot load the tone-mapping library {path}: {error}") from None
        self.path = path
        self._call = self._dll.tmo_v3_bayer
        self._call.argtypes = [_CTYPES[kind] for _, kind in SLOTS]
        self._call.restype = None
        self._status = self._dll.tmo_v3_bayer_status
        self._status.argtypes = [ctypes.c_char_p, ctypes.c_int32]
        self._status.restype = ctypes.c_int32
        self._lock = threading.Lock()

    def status(self) -> Tuple[int, str]:
        buffer = ctypes.create_string_buffer(STATUS_CAPACITY)
        code = self._status(buffer, STATUS_CAPACITY)
        return code, buffer.value.decode("utf-8", "replace")

    def tone_map(self, frame: np.ndarray, params) -> np.ndarray:
        """The tone-mapped copy of frame (20-bit linear values, height x width); frame is left as it is.
        Raises ToneMapError with the library's reason when it refuses the input."""
        frame = np.asarray(frame)
        if frame.ndim != 2:
            raise ValueError(f"frame: expected a 2-D array (height x width), found shape {frame.shape}")
        if not np.issubdtype(frame.dtype, np.integer):
            raise ValueError(f"frame: expected integer samples, found {frame.dtype}")
        if not np.can_cast(frame.dtype, np.int32) and frame.size:
            # The library takes 32-bit samples: a wider one would be cut to its low bits, another value.
            low, high = int(frame.min()), int(frame.max())
            limits = np.iinfo(np.int32)
            if low < limits.min or high > limits.max:
                raise ValueError(f"frame: expected samples that fit 32-bit integers ({limits.min} to {limits.max}), "
                                 f"found {low} to {high}")
        image = np.array(frame, dtype=np.int32, order="C", copy=True)
        if not isinstance(params, P.ToneParams):
            params = P.ToneParams.parse_obj(params)
        keep, args = _arguments(image, params)
        with self._lock:
            self._call(*args)
            code, reason = self.status()
        del keep
        if code != STATUS_OK:
            raise ToneMapError(code, reason)
        return image


def _array(values, dtype) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=dtype)


def _pointer(array: np.ndarray, kind: str):
    return array.ctypes.data_as(_CTYPES[kind])


def _arguments(image: np.ndarray, p) -> Tuple[list, list]:
    """The 68 call arguments, and the arrays they point into (kept alive for the call)."""
    values = {"image": image, "height": image.shape[0], "width": image.shape[1]}
    values["mesh_values"] = None if p.mesh_off else _array(p.mesh_values, np.int32)
    for name in P.LUT_NAMES:
        lut = getattr(p, name)
        values[f"{name}_knots"] = _array(lut.knots, np.int32)
        values[f"{name}_seg_end"] = _array(lut.seg_end, np.uint32)
        values[f"{name}_seg_shift"] = _array(lut.seg_shift, np.uint32)
        values[f"{name}_seg_count"] = len(lut.seg_shift)
        values[f"{name}_knot_count"] = len(lut.knots)
    keep, args = [], []
    for name, kind in SLOTS:
        v = values[name] if name in values else getattr(p, name)
        if kind in "pu":
            keep.append(v)
            args.append(None if v is None else _pointer(v, kind))
        else:
            args.append(int(v) if kind == "i" else float(v))
    return keep, args


_default: Optional[Library] = None


def default_library() -> Library:
    global _default
    if _default is None:
        _default = Library()
    return _default


def tone_map(frame: np.ndarray, params, *, library: Optional[Library] = None) -> np.ndarray:
    """tone_map(frame, params) -> frame, with the library found by default_library()."""
    return (library or default_library()).tone_map(frame, params)
