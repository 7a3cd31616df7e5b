# Type stubs of tuning.common (compiled): enumerations, base records, raw capture helpers.
from enum import Enum
from typing import Callable, Optional

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
    width: int = 0  # frame width in pixels
    height: int = 0  # frame height in rows
    bits: int = 0  # significant bits per sample
    cfa_type: CFAType = CFAType.RGGB
    sensor_mode: SensorMode = SensorMode.LCG

class TuningParam(BaseModel):
    module: str = ""

class TuningResult(BaseModel):
    module: str = ""

def read_raw_u16(path: str) -> npt.NDArray[np.uint16]:
    """A headerless capture as a flat array of unsigned 16-bit samples (raw DN)."""

def split_bayer4(frame: npt.ArrayLike) -> npt.NDArray[np.generic]:
    """H x W frame to (H/2) x (W/2) x 4: channel c of cell (i, j) is frame[2i + c // 2, 2j + c % 2]."""

def set_progress_hook(hook: Optional[Callable[[str, int, int], object]]) -> None:
    """Installs hook(condition, done, total), called as each capture condition finishes; None removes it."""
