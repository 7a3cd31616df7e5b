# Type stubs of tuning.bpc.bpc (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Static bad pixel calibration: hot pixels from dark captures, cold pixels from lit captures."""

from enum import Enum
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

class BPType(Enum):
    """Which detection a capture set is for: Hot (dark frames) or Cold (lit frames)."""

    Hot = "Hot"
    Cold = "Cold"

class BPCFileParam(FileParam):
    """A bad pixel capture set: the base fields plus its gains and the detection it is for."""

    again_list: List[Union[int, float]] = []  # analog gains, in processing order
    # exposure times; not read: captures of every exposure are taken together
    exp_time_list: List[Union[int, float]] = []
    bp_type: BPType = BPType.Hot  # Hot (dark captures) or Cold (lit captures)

class BPCTuningParam(TuningParam):
    """Bad pixel thresholds."""

    module: str = "bpc"  # calibration module short name
    # hot margin: a pixel is hot above black level x (1 + ratio) (fraction of the black level)
    dark_thr_ratio: float = 0.0
    light_thr_ratio: float = 0.0  # cold factor: multiple of the narrower neighbourhood spread (dimensionless)

class BPCTuningResult(TuningResult):
    """Bad pixels per analog gain and the packed table of their union."""

    module: str = "bpc"  # calibration module short name
    # gain text -> bad pixel positions (row, column) in full-frame pixels, row-major order
    static_loc: Dict[str, List[Tuple[int, int]]] = {}
    static_info: List[str] = []  # packed table: '0x' + 8 hex digits per 32-bit word, rows ascending

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
_Position = Tuple[int, int]  # (row, column) in full-frame coordinates

def winAve(img: npt.ArrayLike) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
def getDarkBad(img: npt.ArrayLike, cold_bad_ratio: float) -> Tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]: ...
def gen_bpc_param(
    file_param: BPCFileParam, tuning_param: BPCTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> BPCTuningResult: ...
def encode_axis_u32(bp_locations: Sequence[_Position]) -> List[str]: ...
def main() -> None: ...
