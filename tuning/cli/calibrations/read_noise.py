"""tunekit read-noise: dark-frame variance per cell position as a quadratic of the analog gain."""
from typing import Dict, List

from tuning.cli import library
from tuning.cli.calibration import RunContext, Section, TruthRow
from tuning.cli.calibrations._noise import coefficient_rows, noise_calibration

KIND = "dark"
MODULE = "tuning.noise_profile.read_noise"


def section(context: RunContext) -> Section:
    from tuning.cli.figures import noise

    points = None
    if context.result.coeffs:
        points = library.module(MODULE).measure_read_noise(context.file_param, context.tuning_param,
                                                           **context.routine_kwargs())
    return noise.read_noise_section(context, points)


def compare(context: RunContext) -> List[TruthRow]:
    """The fitted a2, a1, a0 beside the simulator's temporal noise (with the 1/12 DN^2 of rounding in a0); the
    variance of a whole dark plane also holds its fixed pattern, which the truth leaves out."""
    from tuning.sim.kind_noise import QUANTISATION_VARIANCE

    c0, c1, c2 = context.truth.read_noise_coeffs
    return coefficient_rows(context.result.coeffs, ("a2", "a1", "a0"), "DN^2",
                            (c2, c1, c0 + QUANTISATION_VARIANCE),
                            ", temporal truth; the planes' fixed pattern adds to the result")


def key_figures(result) -> Dict[str, str]:
    if not result.coeffs:
        return {"gains": "0"}
    at_gain_1 = sum(sum(row) for row in result.coeffs) / len(result.coeffs)
    return {"variance at gain 1 (DN^2)": f"{at_gain_1:.4f}"}


CALIBRATION = noise_calibration(
    "read-noise", "read noise variance per cell position as a quadratic of the analog gain (dark captures)",
    order=50, kind=KIND, module=MODULE, record_stem="ReadNoise", routine="calibrate_read_noise",
    report=section, key_figures=key_figures, compare=compare)
