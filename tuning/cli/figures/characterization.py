"""The characterisation chapter: photon transfer curves, K and read noise over gain, DSNU and PRNU, SNR, flags."""
import html
import math
from typing import List, Optional

from tuning.cli.calibration import Figure, RunContext, Section


def _number(value, digits: int = 4) -> str:
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.{digits}g}"


def _mean(values) -> Optional[float]:
    present = [v for v in values if v is not None]
    return sum(present) / len(present) if present else None


def transfer_figure(mode, names) -> Figure:
    """Temporal variance against signal, log-log, one panel per gain and the four cell positions in each."""
    import numpy as np

    from tuning.cli.figures import plotting

    gains = mode.gains
    cols = min(4, max(1, len(gains)))
    rows = (len(gains) + cols - 1) // cols
    fig, axes = plotting.new_figure(3.2 * cols, 3.0 * rows, rows, cols, squeeze=False)
    for i, gain in enumerate(gains):
        ax = axes[i // cols][i % cols]
        for c, cell in enumerate(gain.cells):
            colour = plotting.CHANNEL_COLOURS[c]
            points = [p for p in cell.curve if (p.signal or 0) > 0 and (p.temporal_variance or 0) > 0]
            fit = [p for p in points if p.in_fit]
            rest = [p for p in points if not p.in_fit]
            ax.loglog([p.signal for p in fit], [p.temporal_variance for p in fit], "o", ms=3, color=colour,
                      label=names[c] if i == 0 else None)
            ax.loglog([p.signal for p in rest], [p.temporal_variance for p in rest], "o", ms=3, mfc="none",
                      color=colour)
            if fit and cell.conversion_gain is not None and cell.curve_intercept is not None:
                span = np.geomspace(min(p.signal for p in fit), max(p.signal for p in points), 50)
                line = cell.conversion_gain * span + cell.curve_intercept
                ax.loglog(span[line > 0], line[line > 0], "-", lw=0.8, color=colour)
            if cell.saturation_signal is not None:
                ax.axvline(cell.saturation_signal, color=colour, ls=":", lw=0.8)
        ax.set_title(f"again {gain.analog_gain} ({gain.curve_source})", fontsize=9)
        ax.set_xlabel("signal above dark (DN)")
        ax.grid(alpha=0.3, which="both")
    for j in range(len(gains), rows * cols):
        axes[j // cols][j % cols].set_visible(False)
    axes[0][0].set_ylabel("temporal variance (DN^2)")
    axes[0][0].legend(fontsize=7)
    caption = ("Photon transfer curve per gain: temporal variance over the captures (divisor n - 1, DN^2) against "
               "the mean signal above the dark level (DN), log-log. Filled points are the linear part the "
               "conversion gain K is fitted to (weighted by samples), hollow ones lie outside it (dark-dominated, "
               "beyond 70 % of saturation or clipped); lines are the fits, dotted verticals the saturation "
               "signal where the variance peaks.")
    return Figure("Photon transfer curve", caption, plotting.png_base64(fig))


def per_gain_figure(mode, names, panels, title: str, caption: str) -> Figure:
    """panels: (field of a cell, axis label) pairs, one panel each, the four cell positions over the gain."""
    from tuning.cli.figures import plotting

    gains = [float(g.analog_gain) for g in mode.gains]
    fig, axes = plotting.new_figure(4.2 * len(panels), 3.4, 1, len(panels), squeeze=False)
    for ax, (field, label) in zip(axes[0], panels):
        for c in range(4):
            values = [getattr(g.cells[c], field) for g in mode.gains]
            shown = [(x, v) for x, v in zip(gains, values) if v is not None]
            ax.plot([x for x, _ in shown], [v for _, v in shown], "o-", ms=4, color=plotting.CHANNEL_COLOURS[c],
                    label=names[c])
        ax.set_xscale("log", base=2)
        ax.set_xlabel("analog gain")
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    axes[0][0].legend(fontsize=7)
    return Figure(title, caption, plotting.png_base64(fig))


def snr_figure(mode) -> Figure:
    """Signal-to-noise ratio against signal per gain, averaged over the cell positions' points."""
    from tuning.cli.figures import plotting

    fig, ax = plotting.new_figure(6.0, 4.0)
    for gain in mode.gains:
        cell = gain.cells[0]
        points = [p for p in cell.curve if (p.signal or 0) > 0 and p.snr is not None and not p.clipped]
        ax.loglog([p.signal for p in points], [p.snr for p in points], "o-", ms=3,
                  label=f"again {gain.analog_gain}")
    ax.set_xlabel("signal above dark (DN)")
    ax.set_ylabel("SNR (ratio)")
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=7)
    caption = ("Signal-to-noise ratio (signal / temporal noise) against the signal above dark (DN), first cell "
               "position, per gain; clipped points are left out. 20 log10 of it is the SNR in dB of the result.")
    return Figure("Signal-to-noise ratio", caption, plotting.png_base64(fig))


def summary_table(mode) -> str:
    """Per gain the cell positions' mean of each figure, and every flag that failed."""
    columns = [("K (DN/e-)", "conversion_gain"), ("read noise (e-)", "read_noise_e"), ("DSNU (e-)", "dsnu_e"),
               ("PRNU (%)", "prnu"), ("saturation (e-)", "saturation_capacity_e"),
               ("dynamic range (dB)", "dynamic_range_db"), ("R^2", "r_squared"), ("levels", "levels")]
    head = "".join(f"<th>{html.escape(label)}</th>" for label, _ in columns)
    rows = []
    for gain in mode.gains:
        cells = "".join(f"<td>{_number(_mean([getattr(c, field) for c in gain.cells]))}</td>" for _, field in columns)
        flags = "<br>".join(html.escape(w) for w in gain.warnings) or "all checks passed"
        rows.append(f"<tr><td>{html.escape(str(gain.analog_gain))}</td><td>{html.escape(gain.curve_source)}</td>"
                    f"{cells}<td>{flags}</td></tr>")
    return (f"<table><tr><th>again</th><th>curve</th>{head}<th>quality flags</th></tr>{''.join(rows)}</table>"
            "<p>Means over the four cell positions; the result holds each.</p>")


def section(context: RunContext) -> Section:
    from tuning.cli.figures import plotting

    names = plotting.channel_names(context.file_param)
    figures: List[Figure] = []
    tables = []
    modes = [m for m in context.result.modes if m.gains]
    for mode in modes:
        before = len(figures)
        figures.append(transfer_figure(mode, names))
        figures.append(per_gain_figure(
            mode, names, [("conversion_gain", "K (DN/e-)"), ("read_noise_e", "read noise (e-)")],
            "Conversion gain and read noise over gain",
            "Conversion gain K (DN per electron, the slope of the photon transfer curve) and the temporal dark "
            "noise in electrons (dark noise / K) per cell position against the analog gain (log scale). K should "
            "grow with the gain."))
        figures.append(per_gain_figure(
            mode, names, [("dsnu_e", "DSNU (e-)"), ("prnu", "PRNU (%)")], "DSNU and PRNU over gain",
            "Dark signal non-uniformity (standard deviation of the capture-averaged dark frame less its temporal "
            "part, e-) and photo-response non-uniformity near half saturation (%, from flat captures only) per "
            "cell position against the analog gain."))
        figures.append(snr_figure(mode))
        if len(modes) > 1:
            for figure in figures[before:]:
                figure.title = f"{figure.title}, {mode.sensor_mode.name}"
            tables.append(f"<h3>{mode.sensor_mode.name}</h3>")
        tables.append(summary_table(mode))
    return Section("Sensor characterisation", figures, "".join(tables))
