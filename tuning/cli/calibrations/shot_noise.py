"""tunekit shot-noise: shot noise factor per cell position as a line of the analog gain (noise captures)."""
from typing import Dict, List

from tuning.cli import library
from tuning.cli.calibration import RunContext, Section, TruthRow
from tuning.cli.calibrations._noise import coefficient_rows, noise_calibration

KIND = "noise"
MODULE = "tuning.noise_profile.shot_noise"


def section(context: RunContext) -> Section:
    from tuning.cli.figures import noise

    fits = library.module(MODULE).measure_shot_noise(context.file_param, context.tuning_param,
                                                     **context.routine_kwargs())
    return noise.shot_noise_section(context, fits)


def compare(context: RunContext) -> List[TruthRow]:
    """The fitted a1, a0 beside the simulator's conversion gain line. Each level's variance is taken about the
    pixels' own means over the n captures of a gain, which keeps (n - 1) / n of the temporal variance."""
    from tuning.sim.kind_noise import TRUTH

    counts = [len(context.capture_paths(KIND, gain)) for gain in context.file_param.again_list]
    n = min((c for c in counts if c), default=0)
    keep = (n - 1) / n if n > 1 else 1.0
    truth = [v * keep for v in TRUTH.conversion_gain_line]
    return coefficient_rows(context.result.coeffs, ("a1", "a0"), "DN", truth,
                            f", truth x (n-1)/n with n = {n} captures per gain")


def key_figures(result) -> Dict[str, str]:
    slope = sum(row[0] for row in result.coeffs) / len(result.coeffs)
    offset = sum(row[1] for row in result.coeffs) / len(result.coeffs)
    return {"factor slope (DN)": f"{slope:.5f}", "factor offset (DN)": f"{offset:.5f}"}


CALIBRATION = noise_calibration(
    "shot-noise", "shot noise factor per cell position as a line of the analog gain (noise captures)",
    order=60, kind=KIND, module=MODULE, record_stem="ShotNoise", routine="calibrate_shot_noise",
    report=section, key_figures=key_figures, compare=compare)
