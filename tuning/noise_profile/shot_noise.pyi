# Type stubs of tuning.noise_profile.shot_noise (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Shot noise calibration: variance growth with signal per cell position, as a line of the analog gain."""

from typing import Any, Dict, List, Optional, Tuple, Union

from pydantic import BaseModel

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

class ShotNoiseFileParam(FileParam):
    """A set of repeated noise captures at several analog gains."""

    module: str = "shot_noise"  # calibration module short name
    again_list: List[Union[int, float]] = []  # analog gains, in processing order
    # exposure times; carried, not used (the exposure tag is matched by a wildcard)
    exp_time_list: List[Union[int, float]] = []

class Rect(BaseModel):
    """A region of the frame whose pixels are measured."""

    top: int = 0  # first row (full-resolution pixels)
    left: int = 0  # first column (full-resolution pixels)
    bottom: int = 0  # row after the last row (full-resolution pixels)
    right: int = 0  # column after the last column (full-resolution pixels)

class ShotNoiseTuningParam(TuningParam):
    """Levels, threshold and regions of the shot noise calibration."""

    module: str = "shot_noise"  # calibration module short name
    # black level per cell position (raw DN); the zero default is a placeholder
    black_level: List[Union[int, float]] = [0.0, 0.0, 0.0, 0.0]
    # white level per cell position (raw DN); the zero default is a placeholder
    white_level: List[Union[int, float]] = [0.0, 0.0, 0.0, 0.0]
    # least samples (pixels x captures) a signal level needs to enter the fit; empty levels never do
    freq_threshold: int = 100
    ROIs: List[Rect] = []  # regions to measure; empty: the whole frame

class ShotNoiseProfile(TuningResult):
    """Shot noise factor model."""

    module: str = "shot_noise"  # calibration module short name
    # per cell position (a1, a0) of the shot noise factor a1 g + a0 (raw DN^2 per DN, g the analog gain)
    coeffs: List[Tuple[float, float]] = [(0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]
    # the same in 256-scale units (black to white level spans 256)
    coeffs_256: List[Tuple[float, float]] = [(0.0, 0.0), (0.0, 0.0), (0.0, 0.0), (0.0, 0.0)]

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
def calibrate_shot_noise(
    file_param: FileParam, tuning_param: ShotNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> ShotNoiseProfile: ...
def main() -> None: ...
def measure_shot_noise(
    file_param: FileParam, tuning_param: ShotNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> List[Dict[str, Any]]:
    """Per gain with captures: analog_gain and, per cell position, the level fit (min_value, max_value, values,
    variances, freqs, k, k256) calibrate_shot_noise builds on."""
