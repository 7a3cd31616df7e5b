"""The figure of one tone-mapping call: block histograms, the tone curves it applied, its LUTs."""
import io

import numpy as np

from tonewright.python import curves
from tuning.cli import tonemap_preview as preview
from tuning.cli.figures import plotting


def curve_figure(stats, params) -> bytes:
    """PNG bytes. Input levels are 20-bit linear codes on a log axis (bins of 0.1 decade); outputs
    are fractions of the output white level (out_max)."""
    fig, (ax_h, ax_c, ax_l) = plotting.new_figure(15.0, 4.2, 1, 3)
    levels = np.array(preview.curve_levels())
    hist = stats["histograms"].astype(float)
    hist /= np.maximum(hist.sum(axis=1, keepdims=True), 1)
    edges = np.log10(np.r_[levels / 10 ** (0.5 / preview.DECADE_BINS), levels[-1] * 10 ** (0.5 / preview.DECADE_BINS)])
    ax_h.pcolormesh(edges, np.arange(len(hist) + 1), hist, cmap="magma", shading="flat")
    ax_h.set_xlabel("input level, log10 of the 20-bit code")
    ax_h.set_ylabel(f"block ({stats['rows']} x {stats['cols']}, row by row)")
    ax_h.set_title("block histograms (fraction of the block's cells)")

    def plot(ax, ys, **style):
        y = np.array([np.nan if v is None else v for v in ys])
        ax.plot(levels, y, **style)

    for c in stats["curves"]:
        plot(ax_c, c, color="0.7", lw=0.6)
    plot(ax_c, stats["curve"], color="tab:red", lw=2, label="whole frame")
    ax_c.plot(levels, np.minimum(levels / (1 << 20), 1), "k--", lw=1, label="linear rescale")
    ax_c.set_xscale("log")
    ax_c.set_xlabel("input level (20-bit code)")
    ax_c.set_ylabel("mean output / out_max")
    ax_c.set_title("tone curve applied (grey: per block)")
    ax_c.legend(loc="upper left")

    for name, colour in (("lut1", "tab:blue"), ("lut2", "tab:green"), ("lut3", "tab:orange")):
        d = getattr(params, name)
        table = curves.expand(d.knots, d.seg_end, d.seg_shift).astype(float)
        x = np.linspace(0, 1, len(table))
        scale = max(float(table.max()), 1.0)
        used = " (used)" if (name == "lut3") == bool(params.global_lut_mode) or name == "lut1" else " (unused)"
        ax_l.plot(x[::max(1, len(x) // 2048)], table[::max(1, len(x) // 2048)] / scale, color=colour,
                  label=f"{name}{used}, {len(d.knots)} knots")
    ax_l.set_xlabel("LUT input / table length")
    ax_l.set_ylabel("LUT output / its largest value")
    ax_l.set_title("LUT descriptors, expanded")
    ax_l.legend(loc="lower right")
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    plotting.plt.close(fig)
    return buffer.getvalue()
