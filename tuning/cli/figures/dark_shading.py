"""The dark shading figures: the mesh tables, their difference from the simulator's, before/after previews."""
import os
import tempfile
from typing import Any, List, Optional

from tuning.cli import library
from tuning.cli.calibration import Figure, RunContext, Section
from tuning.cli.calibrations._dark_sweep import KIND, MODULE

PREVIEW_BLOCK = 8  # the previews are 8 x 8 block means: frame sides must be multiples of it
PREVIEW_PAIRS = 4  # pairs shown in the preview figure: the first exposure of each of the first gains


def first_captures(context: RunContext, pairs) -> List[str]:
    """The first capture of each (gain, exposure) pair in the routine's own order."""
    firsts = []
    for gain, exposure in pairs:
        found = context.capture_paths(KIND, gain, exposure)
        if not found:  # the folder changed since the run
            raise RuntimeError(f"no capture of gain {gain} exposure {exposure} left in "
                               f"{context.file_param.inp_file_dir} for the preview")
        firsts.append(found[0])
    return firsts


def table_grid(tables, labels, title_unit):
    import numpy as np

    from tuning.cli.figures import plotting

    cols = min(len(tables), 4)
    rows = (len(tables) + cols - 1) // cols
    fig, axes = plotting.new_figure(2.6 * cols + 1.0, 2.3 * rows, rows, cols, squeeze=False)
    low = min(float(np.min(t)) for t in tables)
    high = max(float(np.max(t)) for t in tables)
    image = None
    for ax, table, label in zip(axes.flat, tables, labels):
        image = ax.imshow(table, cmap="magma", vmin=low, vmax=high)
        ax.set_title(label, fontsize=9)
        ax.set_xticks([])
        ax.set_yticks([])
    for ax in list(axes.flat)[len(tables):]:
        ax.axis("off")
    fig.colorbar(image, ax=axes, label=title_unit, shrink=0.8)
    return plotting.png_base64(fig)


def previews(context: RunContext, result):
    """Before/after previews of the first capture of some pairs, made by the library's quality check."""
    from matplotlib import image as mpimg

    from tuning.cli.figures import plotting

    p = context.file_param
    if p.width % PREVIEW_BLOCK or p.height % PREVIEW_BLOCK:
        return None
    check = library.module(MODULE).check_tuning_quality_in_dark_img
    first_of_gain = {}
    for i, (gain, _) in enumerate(result.pairs):
        first_of_gain.setdefault(gain, i)
    shown = list(first_of_gain.values())[:PREVIEW_PAIRS]
    firsts = first_captures(context, [result.pairs[i] for i in shown])
    fig, axes = plotting.new_figure(6.0, 2.4 * len(shown), len(shown), 2, squeeze=False)
    with tempfile.TemporaryDirectory(prefix="tunekit-preview-") as folder:
        for row, (i, first) in enumerate(zip(shown, firsts)):
            frame = library.module("tuning.common").read_capture(
                first, p.width, p.height, capture_format=context.capture_format)
            check(result.tables[i], frame, result.with_sbl, result.conditions[i], folder)
            for col, when in enumerate(("before", "after")):
                ax = axes[row][col]
                ax.imshow(mpimg.imread(os.path.join(folder, "tmp", f"{result.conditions[i]}_{when}.png")),
                          cmap="gray")
                ax.set_title(f"{result.conditions[i]}: {when}", fontsize=8)
                ax.set_xticks([])
                ax.set_yticks([])
    return plotting.png_base64(fig)


def section(context: RunContext, unit_name: str, truth: Optional[List[Any]]) -> Section:
    """truth: the simulator's mesh of each pair, or None."""
    result = context.result
    labels = [f"again {g} exp {e}" for g, e in result.pairs]
    shown = []
    if result.tables:
        unit = unit_name if result.with_sbl else f"{unit_name} above fpn_sbl {result.fpn_sbl}"
        shown.append(Figure("Dark shading mesh tables", f"Mesh table per (gain, exposure) pair ({unit}), "
                            f"one colour scale for all.", table_grid(result.tables, labels, unit)))
        if truth is not None:
            diffs = [t - s for t, s in zip(result.tables, truth)]
            shown.append(Figure("Mesh tables minus the simulated truth",
                                f"Recovered minus true mesh ({unit_name}): capture noise, hot pixels and the "
                                f"resampling of the block grid remain.", table_grid(diffs, labels, unit_name)))
        preview = previews(context, result)
        if preview:
            shown.append(Figure("Dark frame before and after the table",
                                "8 x 8 block means of a capture of each pair before and after subtracting its "
                                "mesh table, on one 0..255 contrast scale per pair (flat after = table fits).",
                                preview))
    return Section("Dark shading mesh (raw DN)", shown)
