"""tunekit shot-noise: shot noise factor per cell position as a line of the analog gain (noise captures)."""
from typing import Dict

from tuning.cli import library
from tuning.cli.calibration import RunContext, Section
from tuning.cli.calibrations._noise import noise_calibration

KIND = "noise"
MODULE = "tuning.noise_profile.shot_noise"


def section(context: RunContext) -> Section:
    from tuning.cli.figures import noise

    fits = library.module(MODULE).measure_shot_noise(context.file_param, context.tuning_param,
                                                     **context.routine_kwargs())
    return noise.shot_noise_section(context, fits)


def key_figures(result) -> Dict[str, str]:
    slope = sum(row[0] for row in result.coeffs) / len(result.coeffs)
    offset = sum(row[1] for row in result.coeffs) / len(result.coeffs)
    return {"factor slope (DN)": f"{slope:.5f}", "factor offset (DN)": f"{offset:.5f}"}


CALIBRATION = noise_calibration(
    "shot-noise", "shot noise factor per cell position as a line of the analog gain (noise captures)",
    order=60, kind=KIND, module=MODULE, record_stem="ShotNoise", routine="calibrate_shot_noise",
    report=section, key_figures=key_figures)
