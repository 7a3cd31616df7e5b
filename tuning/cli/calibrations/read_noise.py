"""tunekit read-noise: dark-frame variance per cell position as a quadratic of the analog gain."""
from typing import Dict

from tuning.cli import library
from tuning.cli.calibration import RunContext, Section
from tuning.cli.calibrations._noise import noise_calibration

KIND = "dark"
MODULE = "tuning.noise_profile.read_noise"


def section(context: RunContext) -> Section:
    from tuning.cli.figures import noise

    points = None
    if context.result.coeffs:
        points = library.module(MODULE).measure_read_noise(context.file_param, context.tuning_param,
                                                           **context.routine_kwargs())
    return noise.read_noise_section(context, points)


def key_figures(result) -> Dict[str, str]:
    if not result.coeffs:
        return {"gains": "0"}
    at_gain_1 = sum(sum(row) for row in result.coeffs) / len(result.coeffs)
    return {"variance at gain 1 (DN^2)": f"{at_gain_1:.4f}"}


CALIBRATION = noise_calibration(
    "read-noise", "read noise variance per cell position as a quadratic of the analog gain (dark captures)",
    order=50, kind=KIND, module=MODULE, record_stem="ReadNoise", routine="calibrate_read_noise",
    report=section, key_figures=key_figures)
