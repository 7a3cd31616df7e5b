# Type stubs of tuning.noise_profile.read_noise (compiled): read noise records and routine.
from typing import List, Union

from pydantic import Field

from tuning.common import FileParam, TuningParam, TuningResult

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

def calibrate_read_noise(file_param: FileParam, tuning_param: ReadNoiseTuningParam) -> ReadNoiseProfile: ...
def main() -> None: ...
