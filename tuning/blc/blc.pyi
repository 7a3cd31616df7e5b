# Type stubs of tuning.blc.blc (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Black level calibration from dark captures."""

from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

class BLCFileParam(FileParam):
    """A dark capture set: the base fields plus the gains and exposure times it holds."""

    again_list: List[Union[int, float]] = []  # analog gains, in sweep order
    exp_time_list: List[Union[int, float]] = []  # exposure times, in sweep order

class BLCTuningParam(TuningParam):
    """Black level and dark shading tuning parameters."""

    module: str = "blc"  # calibration module short name
    sbl: List[Union[int, float]] = [0.0, 0.0, 0.0, 0.0]  # static black level per cell position (raw DN)
    with_sbl: int = 1  # nonzero: dark shading tables keep the black level
    fpn_sbl: int = 64  # level removed from the dark shading tables when with_sbl is 0 (raw DN)
    kernel_size: int = 3  # smoothing kernel size, reported only
    mesh_table_h: int = 24  # dark shading mesh rows
    mesh_table_w: int = 24  # dark shading mesh columns

class BLCTuningResult(TuningResult):
    """Black levels per (gain, exposure) pair and the fixed static black level."""

    module: str = "blc"  # calibration module short name
    # again_<gain> -> exp_time_<exposure> -> 4 black levels in cell-position order
    sbl: Dict[str, Dict[str, Tuple[float, float, float, float]]] = {}
    fixed_sbl: Dict[str, float] = {}  # {'fixed_sbl': mean over pairs of the 4-channel mean}, or empty

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
_BlackLevel4 = Tuple[float, float, float, float]  # per cell position, raw DN (8-bit scale for v2)

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
