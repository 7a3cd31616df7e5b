"""Figures shared by the noise calibrations: measured points, the fitted polynomial and the residuals."""
from typing import Callable, List, Optional, Sequence

from tuning.cli.calibration import Figure


def fit_figure(title: str, caption: str, gains: Sequence[float], points, coeffs, names: List[str], unit: str,
               truth: Optional[Callable] = None, truth_label: str = "") -> Figure:
    """points: gains x 4 measured values; coeffs: 4 rows of polynomial coefficients, highest power first."""
    import numpy as np

    from tuning.cli import figures

    gains = np.asarray(gains, dtype=float)
    points = np.asarray(points, dtype=float)
    fig, axes = figures.new_figure(9.0, 5.5, 2, 4, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    dense = np.linspace(0.0, gains.max() * 1.05 if gains.size else 1.0, 100)
    for c in range(4):
        top, bottom = axes[0][c], axes[1][c]
        fitted = np.polyval(coeffs[c], dense)
        top.plot(gains, points[:, c], "o", color=figures.CHANNEL_COLOURS[c], label="measured")
        top.plot(dense, fitted, "-", color=figures.CHANNEL_COLOURS[c], label="fit")
        if truth is not None:
            top.plot(dense, [truth(g) for g in dense], "k--", lw=1, label=truth_label)
        top.set_title(names[c], fontsize=9)
        top.grid(alpha=0.3)
        bottom.axhline(0.0, color="0.5", lw=0.8)
        bottom.plot(gains, points[:, c] - np.polyval(coeffs[c], gains), "o", color=figures.CHANNEL_COLOURS[c])
        bottom.set_xlabel("analog gain")
        bottom.grid(alpha=0.3)
    axes[0][0].set_ylabel(unit)
    axes[1][0].set_ylabel("residual")
    axes[0][0].legend(fontsize=7)
    return Figure(title, caption, figures.png_base64(fig))
