# Type stubs of tuning.noise_profile.shot_noise (compiled): shot noise records and routine.
from typing import Any, Dict, List, Optional, Union

from pydantic import BaseModel, Field

from tuning.common import CaptureFormat, FileParam, TuningParam, TuningResult

_Number = Union[int, float]
_ShotNoiseCoeff = List[float]  # (a1, a0) of a1 g + a0, slope first

class ShotNoiseFileParam(FileParam):
    module: str = "shot_noise"
    again_list: List[_Number] = Field(default_factory=list)  # analog gains, in processing order
    exp_time_list: List[_Number] = Field(default_factory=list)  # carried, not read

class Rect(BaseModel):
    """A region of the full frame: rows top..bottom-1, columns left..right-1."""

    top: int = 0
    left: int = 0
    bottom: int = 0
    right: int = 0

class ShotNoiseTuningParam(TuningParam):
    module: str = "shot_noise"
    black_level: List[_Number] = Field(default_factory=list)  # per cell position (raw DN)
    white_level: List[_Number] = Field(default_factory=list)  # per cell position (raw DN)
    freq_threshold: int = 100  # least samples a level needs to enter the fit
    ROIs: List[Rect] = Field(default_factory=list)  # regions measured; empty: the whole frame

class ShotNoiseProfile(TuningResult):
    module: str = "shot_noise"
    coeffs: List[_ShotNoiseCoeff] = Field(default_factory=list)  # shot noise factor over gain, raw DN
    coeffs_256: List[_ShotNoiseCoeff] = ...  # the same on the 256-scale

def calibrate_shot_noise(
    file_param: FileParam, tuning_param: ShotNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> ShotNoiseProfile: ...
def main() -> None: ...
def measure_shot_noise(
    file_param: FileParam, tuning_param: ShotNoiseTuningParam, *, capture_format: Optional[CaptureFormat] = None
) -> List[Dict[str, Any]]:
    """Per gain with captures: analog_gain and, per cell position, the level fit (min_value, max_value, values,
    variances, freqs, k, k256) calibrate_shot_noise builds on."""
