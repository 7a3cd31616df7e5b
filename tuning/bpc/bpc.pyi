# Type stubs of tuning.bpc.bpc (compiled): static bad pixel records and routines.
from enum import Enum
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from pydantic import Field

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

_Number = Union[int, float]
_Position = Tuple[int, int]  # (row, column) in full-frame coordinates

class BPType(Enum):
    """Which detection a capture set is for: Hot (dark frames) or Cold (lit frames)."""

    Hot = "Hot"
    Cold = "Cold"

class BPCFileParam(FileParam):
    again_list: List[_Number] = Field(default_factory=list)  # analog gains, in processing order
    exp_time_list: List[_Number] = Field(default_factory=list)  # carried, not read (every exposure is taken)
    bp_type: BPType = BPType.Hot

class BPCTuningParam(TuningParam):
    module: str = "bpc"
    dark_thr_ratio: float = 0.0  # hot: brighter than black level x (1 + ratio)
    light_thr_ratio: float = 0.0  # cold: multiplies the neighbourhood spread

class BPCTuningResult(TuningResult):
    module: str = "bpc"
    static_loc: Dict[str, List[_Position]] = Field(default_factory=dict)  # gain text -> bad pixel positions
    static_info: List[str] = Field(default_factory=list)  # packed table, "0x" + 8 hex digits per 32-bit word

def winAve(img: npt.ArrayLike) -> Tuple[npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
def getDarkBad(img: npt.ArrayLike, cold_bad_ratio: float) -> Tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]: ...
def gen_bpc_param(
    file_param: BPCFileParam, tuning_param: BPCTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> BPCTuningResult: ...
def encode_axis_u32(bp_locations: Sequence[_Position]) -> List[str]: ...
def main() -> None: ...
