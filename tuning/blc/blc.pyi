# Type stubs of tuning.blc.blc (compiled): black level records and routines.
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from pydantic import Field

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

_Number = Union[int, float]
_BlackLevel4 = Tuple[float, float, float, float]  # per cell position, raw DN (8-bit scale for v2)

class BLCFileParam(FileParam):
    """A dark capture set: the base fields plus the gains and exposure times it holds."""

    again_list: List[_Number] = Field(default_factory=list)  # analog gains, in sweep order
    exp_time_list: List[_Number] = Field(default_factory=list)  # exposure times, in sweep order

class BLCTuningParam(TuningParam):
    module: str = "blc"
    sbl: List[_Number] = Field(default_factory=list)  # static black level per cell position (raw DN)
    with_sbl: int = 1  # nonzero: dark shading tables keep the black level
    fpn_sbl: int = 64  # level removed from the dark shading tables when with_sbl is 0 (raw DN)
    kernel_size: int = 3
    mesh_table_h: int = 24
    mesh_table_w: int = 24

class BLCTuningResult(TuningResult):
    module: str = "blc"
    # again_<gain> -> exp_time_<exposure> -> levels
    sbl: Dict[str, Dict[str, _BlackLevel4]] = Field(default_factory=dict)
    fixed_sbl: Dict[str, float] = Field(default_factory=dict)  # {"fixed_sbl": level} or empty

def gen_blc_param(
    file_param: BLCFileParam, tuning_param: BLCTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> BLCTuningResult: ...
def gen_blc_param_v2(
    file_param: BLCFileParam, tuning_param: BLCTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> BLCTuningResult: ...
def count_sbl_list(img_list: Sequence[npt.ArrayLike], *, capture_format: Optional[CaptureFormat] = None) -> _BlackLevel4: ...
def count_sbl_list_v2(
    file_list: List[str], file_param: FileParam, *, capture_format: Optional[CaptureFormat] = None
) -> _BlackLevel4: ...
def main() -> None: ...
def dark_shading_tuning(
    file_param: BLCFileParam, tuning_param: BLCTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> Dict[str, List[npt.NDArray[np.float64]]]:
    """{'mesh_table': [mesh_table_h x mesh_table_w tables, raw DN]}, one per (gain, exposure) pair with captures."""

def check_tuning_quality_in_dark_img(
    mesh_table: npt.ArrayLike, testraw: npt.ArrayLike, with_sbl: int, name: str, path: str
) -> None:
    """Writes <path>/tmp/<name>_before.png and <name>_after.png, 8 x 8 block-mean previews on one 0..255 scale."""
