"""tunekit shot-noise: shot noise factor per cell position as a line of the analog gain (noise captures)."""
from typing import Dict

from tuning.cli import levels, library, noise_figures
from tuning.cli.calibration import EXACT, Calibration, Figure, RunContext, Section, per_gain_conditions

KIND = "noise"
MODULE = "tuning.noise_profile.shot_noise"


def level_figure(fits, names) -> Figure:
    """Per cell position: variance over the level above black at every gain, with the weighted line."""
    import numpy as np

    from tuning.cli import figures

    fig, axes = figures.new_figure(9.0, 3.2, 1, 4, sharey=True)
    for g in fits:
        for c, cell in enumerate(g["cells"]):
            x, y, w = (np.asarray(cell[k], dtype=float) for k in ("values", "variances", "freqs"))
            line = axes[c].plot(x, y, ".", ms=3, label=f"gain {g['analog_gain']:g}")[0]
            if x.size >= 2:
                slope, offset = np.polyfit(x, y, 1, w=w)
                axes[c].plot(x, slope * x + offset, "-", lw=1, color=line.get_color())
    for c, ax in enumerate(axes):
        ax.set_title(names[c], fontsize=9)
        ax.set_xlabel("level above black (DN)")
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("variance (DN^2)")
    axes[0].legend(fontsize=7)
    return Figure("Variance over signal level, per gain",
                  "Variance of the samples of each level bin against the level above black (raw DN, DN^2), one "
                  "colour per gain; lines: the sample-count-weighted straight lines whose slopes are the gain's "
                  "shot noise factors.", figures.png_base64(fig))


def section(context: RunContext) -> Section:
    from tuning.cli import figures

    names = figures.channel_names(context.file_param)
    fits = library.module(MODULE).measure_shot_noise(context.file_param, context.tuning_param,
                                                     **context.routine_kwargs())
    gains = [g["analog_gain"] for g in fits]
    slopes = [[cell["k"] for cell in g["cells"]] for g in fits]
    truth, label = None, ""
    if context.truth is not None:
        from tuning.sim.kind_noise import TRUTH

        truth, label = TRUTH.conversion_gain, "simulated conversion gain"
    line = noise_figures.fit_figure(
        "Shot noise factor over gain",
        "Shot noise factor (variance per DN of signal, raw DN) per gain (points), the fitted line a1 g + a0 and "
        "the residuals below" + ("; dashed: the simulator's conversion gain." if truth else "."),
        gains, slopes, context.result.coeffs, names, "factor (DN)", truth, label)
    return Section("Shot noise (noise captures)", [level_figure(fits, names), line])


def key_figures(result) -> Dict[str, str]:
    slope = sum(row[0] for row in result.coeffs) / len(result.coeffs)
    offset = sum(row[1] for row in result.coeffs) / len(result.coeffs)
    return {"factor slope (DN)": f"{slope:.5f}", "factor offset (DN)": f"{offset:.5f}"}


CALIBRATION = Calibration(
    name="shot-noise",
    summary="shot noise factor per cell position as a line of the analog gain (noise captures)",
    order=60,
    module=MODULE,
    file_record="ShotNoiseFileParam",
    tuning_record="ShotNoiseTuningParam",
    routine="calibrate_shot_noise",
    result_file="shot_noise.json",
    shape_rule=EXACT,
    kind=lambda file_param: KIND,
    conditions=lambda file_param: per_gain_conditions(KIND, file_param),
    report=section,
    key_figures=key_figures,
    complete=lambda values, context: levels.complete_levels("shot-noise", values, context),
)
