"""tunekit read-noise: dark-frame variance per cell position as a quadratic of the analog gain."""
from typing import Dict

from tuning.cli import levels, library, noise_figures
from tuning.cli.calibration import EXACT, Calibration, RunContext, Section, per_gain_conditions

KIND = "dark"
MODULE = "tuning.noise_profile.read_noise"


def section(context: RunContext) -> Section:
    from tuning.cli import figures

    result, names = context.result, figures.channel_names(context.file_param)
    if not result.coeffs:
        return Section("Read noise", [])
    module = library.module(MODULE)
    points = module.measure_read_noise(context.file_param, context.tuning_param, **context.routine_kwargs())
    truth, label = None, ""
    if context.truth is not None:
        from tuning.sim.kind_noise import QUANTISATION_VARIANCE

        model = context.truth
        truth = lambda g: model.read_noise_variance(g) + QUANTISATION_VARIANCE  # noqa: E731
        label = "simulated temporal noise"
    caption = ("Variance of every dark sample of a cell position at each gain (raw DN^2, points), the fitted "
               "quadratic a2 g^2 + a1 g + a0 (lines) and the residuals below. The variance of a whole cell plane "
               "also holds its fixed pattern (dark shading, hot pixels)"
               + (", which the dashed temporal truth leaves out." if truth else "."))
    raw = noise_figures.fit_figure("Read noise variance over gain", caption, points["analog_gains"],
                                   points["sigmas"], result.coeffs, names, "variance (DN^2)", truth, label)
    scaled = noise_figures.fit_figure(
        "Read noise variance over gain, 256-scale",
        "The same on the 256-scale (black to white level spans 256; variance in its units squared).",
        points["analog_gains"], points["sigmas_256"], result.coeffs_256, names, "variance (256-scale^2)")
    return Section("Read noise (dark captures)", [raw, scaled])


def key_figures(result) -> Dict[str, str]:
    if not result.coeffs:
        return {"gains": "0"}
    at_gain_1 = sum(sum(row) for row in result.coeffs) / len(result.coeffs)
    return {"variance at gain 1 (DN^2)": f"{at_gain_1:.4f}"}


CALIBRATION = Calibration(
    name="read-noise",
    summary="read noise variance per cell position as a quadratic of the analog gain (dark captures)",
    order=50,
    module=MODULE,
    file_record="ReadNoiseFileParam",
    tuning_record="ReadNoiseTuningParam",
    routine="calibrate_read_noise",
    result_file="read_noise.json",
    shape_rule=EXACT,
    kind=lambda file_param: KIND,
    conditions=lambda file_param: per_gain_conditions(KIND, file_param),
    report=section,
    key_figures=key_figures,
    complete=lambda values, context: levels.complete_levels("read-noise", values, context),
)
