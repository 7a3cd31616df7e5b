"""Figures shared by the noise calibrations: measured points, the fitted polynomial and the residuals."""
from typing import Callable, List, Optional, Sequence

from tuning.cli.calibration import Figure, RunContext, Section


def fit_figure(title: str, caption: str, gains: Sequence[float], points, coeffs, names: List[str], unit: str,
               truth: Optional[Callable] = None, truth_label: str = "") -> Figure:
    """points: gains x 4 measured values; coeffs: 4 rows of polynomial coefficients, highest power first."""
    import numpy as np

    from tuning.cli.figures import plotting

    gains = np.asarray(gains, dtype=float)
    points = np.asarray(points, dtype=float)
    fig, axes = plotting.new_figure(9.0, 5.5, 2, 4, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    dense = np.linspace(0.0, gains.max() * 1.05 if gains.size else 1.0, 100)
    for c in range(4):
        top, bottom = axes[0][c], axes[1][c]
        fitted = np.polyval(coeffs[c], dense)
        top.plot(gains, points[:, c], "o", color=plotting.CHANNEL_COLOURS[c], label="measured")
        top.plot(dense, fitted, "-", color=plotting.CHANNEL_COLOURS[c], label="fit")
        if truth is not None:
            top.plot(dense, [truth(g) for g in dense], "k--", lw=1, label=truth_label)
        top.set_title(names[c], fontsize=9)
        top.grid(alpha=0.3)
        bottom.axhline(0.0, color="0.5", lw=0.8)
        bottom.plot(gains, points[:, c] - np.polyval(coeffs[c], gains), "o", color=plotting.CHANNEL_COLOURS[c])
        bottom.set_xlabel("analog gain")
        bottom.grid(alpha=0.3)
    axes[0][0].set_ylabel(unit)
    axes[1][0].set_ylabel("residual")
    axes[0][0].legend(fontsize=7)
    return Figure(title, caption, plotting.png_base64(fig))


def read_noise_section(context: RunContext, points) -> Section:
    """points: the routine's measured variances per gain (raw and on the 256-scale)."""
    from tuning.cli.figures import plotting

    result, names = context.result, plotting.channel_names(context.file_param)
    if not result.coeffs:
        return Section("Read noise", [])
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
    raw = fit_figure("Read noise variance over gain", caption, points["analog_gains"],
                     points["sigmas"], result.coeffs, names, "variance (DN^2)", truth, label)
    scaled = fit_figure(
        "Read noise variance over gain, 256-scale",
        "The same on the 256-scale (black to white level spans 256; variance in its units squared).",
        points["analog_gains"], points["sigmas_256"], result.coeffs_256, names, "variance (256-scale^2)")
    return Section("Read noise (dark captures)", [raw, scaled])


def level_figure(fits, names) -> Figure:
    """Per cell position: variance over the level above black at every gain, with the weighted line."""
    import numpy as np

    from tuning.cli.figures import plotting

    fig, axes = plotting.new_figure(9.0, 3.2, 1, 4, sharey=True)
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
                  "shot noise factors.", plotting.png_base64(fig))


def shot_noise_section(context: RunContext, fits) -> Section:
    """fits: the routine's per-gain level bins and factors."""
    from tuning.cli.figures import plotting

    names = plotting.channel_names(context.file_param)
    gains = [g["analog_gain"] for g in fits]
    slopes = [[cell["k"] for cell in g["cells"]] for g in fits]
    truth, label = None, ""
    if context.truth is not None:
        from tuning.sim.kind_noise import TRUTH

        truth, label = TRUTH.conversion_gain, "simulated conversion gain"
    line = fit_figure(
        "Shot noise factor over gain",
        "Shot noise factor (variance per DN of signal, raw DN) per gain (points), the fitted line a1 g + a0 and "
        "the residuals below" + ("; dashed: the simulator's conversion gain." if truth else "."),
        gains, slopes, context.result.coeffs, names, "factor (DN)", truth, label)
    return Section("Shot noise (noise captures)", [level_figure(fits, names), line])
