# Type stubs of tuning.common (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Shared model of the tuning package: enumerations, base records, raw capture helpers."""

from enum import Enum
from os import PathLike
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
from pydantic import BaseModel

class SensorMode(Enum):
    """Conversion gain mode of a capture; its name is the capture file tag."""

    LCG = "LCG"
    HCG = "HCG"

class CFAType(str, Enum):
    """Colour filter layout; the member GRGB has the value text "GRBG"."""

    RGGB = "RGGB"
    BGGR = "BGGR"
    GBRG = "GBRG"
    GRGB = "GRBG"
    def __new__(cls, value: str) -> CFAType: ...

class FileParam(BaseModel):
    """Description of one capture set."""

    inp_file_dir: str = ""  # folder holding the raw capture files
    out_file_dir: str = ""  # folder receiving result files
    width: int = 0  # frame width in pixels (samples per row)
    height: int = 0  # frame height in rows
    bits: int = 0  # significant bits per sample
    cfa_type: CFAType = CFAType.RGGB  # colour filter layout
    sensor_mode: SensorMode = SensorMode.LCG  # conversion gain mode of the captures

class TuningParam(BaseModel):
    """Tuning parameters of a calibration routine."""

    module: str = ""  # calibration module short name

class TuningResult(BaseModel):
    """Result of a calibration routine."""

    module: str = ""  # calibration module short name

class SampleLayout(str, Enum):
    """How a capture file stores its samples: raw16 (headerless little-endian 16-bit), raw16be (big-endian 16-bit),
    raw16msb (little-endian 16-bit, data in the top bits: value = sample >> shift), raw8, raw10p / raw12p / raw14p
    (MIPI CSI-2 packed), dng (uncompressed CFA DNG)."""

    raw16 = "raw16"
    raw16be = "raw16be"
    raw16msb = "raw16msb"
    raw8 = "raw8"
    raw10p = "raw10p"
    raw12p = "raw12p"
    raw14p = "raw14p"
    dng = "dng"
    def __new__(cls, value: str) -> SampleLayout: ...

class CaptureFormat(BaseModel):
    """How the capture files of a set store their frames; the default reads today's raw16 files."""

    layout: SampleLayout = SampleLayout.raw16  # sample layout of the capture files
    stride: int = 0  # bytes per row including padding, in bytes; 0 = rows packed tight
    header: int = 0  # bytes skipped at the start of each file, in bytes
    shift: int = 0  # right shift of each sample, in bits (raw16msb)

class CaptureName(BaseModel):
    """The parts of a capture file name."""

    prefix: str = ""  # text before the kind
    kind: str = ""  # capture kind (dark, flat, ...), letters only
    mode: SensorMode = SensorMode.LCG  # conversion gain mode
    exposure: str = ""  # exposure time as written in the name
    gain: str = ""  # analog gain as written in the name
    suffix: str = ""  # text after the gain, before the extension
    extension: str = ".raw"  # ".raw" or ".dng"

class DngInfo(BaseModel):
    """What a DNG capture says about its raw image."""

    width: int = 0  # frame width in pixels
    height: int = 0  # frame height in rows
    bits: int = 16  # BitsPerSample of the raw image, in bits
    cfa_type: CFAType = CFAType.RGGB  # colour filter layout (CFAPattern)
    black_level: List[float] = []  # BlackLevel in DN, row-major over black_level_repeat_dim
    black_level_repeat_dim: List[int] = []  # BlackLevelRepeatDim as [rows, cols]
    white_level: int = 0  # WhiteLevel in DN
    exposure_time: Optional[float] = None  # ExposureTime in seconds, None when absent
    iso: Optional[float] = None  # ISOSpeedRatings, None when absent
    analog_gain: Optional[float] = None  # analog gain in times, None when absent

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
_Path = Union[str, PathLike[str]]
_Format = Union[CaptureFormat, SampleLayout, str, Dict[str, object], None]
_Number = Union[int, float, str]

def read_raw_u16(path: str) -> npt.NDArray[np.uint16]:
    """A headerless capture as a flat array of unsigned 16-bit samples (raw DN)."""

def split_bayer4(frame: npt.ArrayLike) -> npt.NDArray[np.generic]:
    """H x W frame to (H/2) x (W/2) x 4: channel c of cell (i, j) is frame[2i + c // 2, 2j + c % 2]."""

def set_progress_hook(hook: Optional[Callable[[str, int, int], object]]) -> None:
    """Installs hook(condition, done, total), called as each capture condition finishes; None removes it."""

def read_capture(path: _Path, width: int, height: int, *, capture_format: _Format = None) -> npt.NDArray[np.uint16]:
    """The frame of one capture as a height x width uint16 array of raw DN."""

def capture_file_size(width: int, height: int, *, capture_format: _Format = None) -> int:
    """Exact size in bytes of a capture file of this format (ValueError for dng, whose size is not fixed)."""

def write_capture(path: _Path, frame: npt.ArrayLike, *, capture_format: _Format = None) -> None:
    """Packs a 2-D frame into the format, written aside then renamed (never a partial file)."""

def capture_name(prefix: str, kind: str, mode: Union[SensorMode, str], exposure: _Number, gain: _Number, suffix: str,
                 *, capture_format: _Format = None) -> str:
    """<prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>.raw (.dng for dng)."""

def parse_capture_name(name: _Path) -> Optional[CaptureName]:
    """The parts of a capture file name (its folder is ignored), or None when it follows no convention."""

def capture_pattern(folder: _Path, kind: str, mode: Union[SensorMode, str], exposure: _Number, gain: _Number,
                    *, capture_format: _Format = None) -> str:
    """The glob the routines use for the captures of one condition; exposure or gain may be "*"."""

def read_dng(path: _Path) -> Tuple[npt.NDArray[np.uint16], DngInfo]:
    """(samples, DngInfo) of an uncompressed CFA DNG; samples are a height x width uint16 array in raw DN."""

def write_dng(path: _Path, frame: npt.ArrayLike, *, cfa_type: Union[CFAType, str], bits: int,
              black_level: Union[float, Sequence[float]], white_level: int, exposure_time: Optional[float] = None,
              iso: Optional[float] = None, analog_gain: Optional[float] = None,
              extra_tags: Optional[Sequence[Tuple[int, int, int, bytes]]] = None) -> None:
    """Writes an uncompressed 16-bit-container CFA DNG (DNGVersion 1.4) aside, then renames it into place."""
