# Type stubs of tuning.noise_profile.read_noise (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Read noise calibration: dark-frame variance per cell position as a quadratic of the analog gain."""

from typing import Dict, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

class ReadNoiseFileParam(FileParam):
    """A dark capture set at several analog gains."""

    module: str = "read_noise"  # calibration module short name
    again_list: List[Union[int, float]] = []  # analog gains, in processing order
    # exposure times; carried, not used (the exposure tag is matched by a wildcard)
    exp_time_list: List[Union[int, float]] = []

class ReadNoiseTuningParam(TuningParam):
    """Levels that define the 256-scale of the read noise model."""

    module: str = "read_noise"  # calibration module short name
    black_level: List[Union[int, float]] = []  # black level per cell position (raw DN)
    white_level: List[Union[int, float]] = []  # white level per cell position (raw DN)

class ReadNoiseProfile(TuningResult):
    """Read noise variance model; empty lists when no gain had dark captures."""

    module: str = "read_noise"  # calibration module short name
    # per cell position (a2, a1, a0) of the variance a2 g^2 + a1 g + a0 (raw DN^2, g the analog gain)
    coeffs: List[Tuple[float, float, float]] = [(0.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 0.0)]
    # the same in 256-scale units^2 (black to white level spans 256)
    coeffs_256: List[Tuple[float, float, float]] = [(0.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.0, 0.0, 0.0)]

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
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
