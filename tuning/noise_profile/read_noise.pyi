# Type stubs of tuning.noise_profile.read_noise (compiled): read noise records and routine.
from typing import Dict, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from pydantic import Field

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

_Number = Union[int, float]
_ReadNoiseCoeff = List[float]  # (a2, a1, a0) of a2 g^2 + a1 g + a0, highest power first

class ReadNoiseFileParam(FileParam):
    module: str = "read_noise"
    again_list: List[_Number] = Field(default_factory=list)  # analog gains, in processing order
    exp_time_list: List[_Number] = Field(default_factory=list)  # carried, not read

class ReadNoiseTuningParam(TuningParam):
    module: str = "read_noise"
    black_level: List[_Number] = Field(default_factory=list)  # per cell position (raw DN)
    white_level: List[_Number] = Field(default_factory=list)  # per cell position (raw DN)

class ReadNoiseProfile(TuningResult):
    module: str = "read_noise"
    coeffs: List[_ReadNoiseCoeff] = Field(default_factory=list)  # variance over gain, raw DN^2
    coeffs_256: List[_ReadNoiseCoeff] = ...  # the same on the 256-scale

def calibrate_read_noise(
    file_param: FileParam, tuning_param: ReadNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> ReadNoiseProfile: ...
def main() -> None: ...
def measure_read_noise(
    file_param: FileParam, tuning_param: ReadNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> Dict[str, List]:
    """The points calibrate_read_noise fits: analog_gains, sigmas (raw DN^2), sigmas_256, one row per gain."""

def accumulate_capture_sums(
    files: List[str], height: int, width: int, *, capture_format: Optional[CaptureFormat] = None
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], int]:
    """(sum_arr, square_sum_arr, num): per-pixel sums of the samples and their squares over the captures."""

def fit_polynomial(
    x: npt.ArrayLike, y: npt.ArrayLike, deg: int, w: Optional[npt.ArrayLike] = None
) -> npt.NDArray[np.float64]:
    """Least-squares coefficients, highest power first; one column per column of y."""
