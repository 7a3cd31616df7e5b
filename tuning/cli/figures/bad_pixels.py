"""The bad pixel figures: where the pixels found lie in the frame, and how many each gain found."""
from typing import Optional

from tuning.cli.calibration import Figure, Section


def section(p, result, detection: str, truth: Optional[set], unique: int) -> Section:
    """The map and the count per gain of the bad pixels found; truth: the pixels the simulator planted."""
    import numpy as np

    from tuning.cli.figures import plotting

    fig, ax = plotting.new_figure(8.0, 8.0 * p.height / max(p.width, 1) + 0.8)
    for key, positions in result.static_loc.items():
        rows = np.asarray([r for r, _ in positions], dtype=float)
        cols = np.asarray([c for _, c in positions], dtype=float)
        ax.plot(cols, rows, "s", ms=4, alpha=0.7, label=f"gain {key}: {len(positions)}")
    if truth:
        ax.plot([c for _, c in truth], [r for r, _ in truth], "o", ms=12, mfc="none", mec="k",
                label=f"planted: {len(truth)}")
    ax.set_xlim(0, p.width)
    ax.set_ylim(p.height, 0)
    ax.set_xlabel("column")
    ax.set_ylabel("row")
    ax.set_aspect("equal")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, loc="upper right")
    test = detection.lower()
    map_figure = Figure("Bad pixel map", f"Positions of the {test} pixels found at each gain in the "
                        f"{p.width} x {p.height} frame" + ("; circles: pixels the simulator planted." if truth
                                                           else "."), plotting.png_base64(fig))

    gains = list(result.static_loc)
    counts = [len(v) for v in result.static_loc.values()]
    fig, ax = plotting.new_figure(6.0, 3.0)
    ax.bar(range(len(gains)), counts, color="tab:red" if test == "hot" else "tab:blue")
    if truth:
        ax.axhline(len(truth), color="k", ls="--", lw=1, label="planted")
        ax.legend(fontsize=8)
    ax.set_xticks(range(len(gains)), gains)
    ax.set_xlabel("analog gain")
    ax.set_ylabel("bad pixels")
    for i, n in enumerate(counts):
        ax.text(i, n, str(n), ha="center", va="bottom", fontsize=8)
    count_figure = Figure("Bad pixels per gain", f"Number of {test} pixels found at each gain with captures; the "
                          f"packed table holds their union, {unique} pixels in "
                          f"{len(result.static_info)} 32-bit words.", plotting.png_base64(fig))
    return Section(f"Static bad pixels ({test})", [map_figure, count_figure])
