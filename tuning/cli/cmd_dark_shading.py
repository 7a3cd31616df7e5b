"""tunekit dark-shading: dark shading mesh tables per (gain, exposure) pair, with before/after previews."""
import dataclasses
import json
import os
import tempfile
from typing import Any, Dict, List

from tuning.cli import black_level_figures, library
from tuning.cli.calibration import EXACT, Calibration, Condition, Figure, RunContext, Section, number_text

UNIT = "DN"
PREVIEW_BLOCK = 8  # the previews are 8 x 8 block means: frame sides must be multiples of it
PREVIEW_PAIRS = 4  # pairs shown in the preview figure: the first exposure of each of the first gains


@dataclasses.dataclass
class MeshTables:
    """The routine's tables with the conditions they belong to (pairs without captures have none)."""

    conditions: List[str]  # <mode>_exp_<exposure>_again_<gain>
    pairs: List[tuple]  # (gain, exposure) numbers
    tables: List[Any]  # numpy arrays, mesh_table_h x mesh_table_w
    with_sbl: int
    fpn_sbl: int
    first_capture: List[str]


def invoke(module, file_param, tuning_param, capture_format=None) -> MeshTables:
    from tuning.cli import capture_format as formats

    tables = module.dark_shading_tuning(file_param, tuning_param,
                                        **formats.routine_kwargs(capture_format))["mesh_table"]
    mode = file_param.sensor_mode.name
    folder = file_param.inp_file_dir or "."
    listing = os.listdir(folder)  # the routine's own order: directory listing order
    pairs, names, firsts = [], [], []
    layout = formats.layout_name(capture_format)
    for gain in file_param.again_list:
        for exposure in file_param.exp_time_list:
            condition = Condition(black_level_figures.KIND, mode, number_text(exposure), number_text(gain), layout)
            found = [os.path.join(folder, n) for n in listing if condition.matches(n)]
            if found:
                pairs.append((gain, exposure))
                names.append(f"{mode}_exp_{condition.exposure}_again_{condition.gain}")
                firsts.append(found[0])
    if len(pairs) != len(tables):  # the folder changed during the run
        raise RuntimeError(f"{len(tables)} mesh tables for {len(pairs)} pairs with captures")
    return MeshTables(names, pairs, list(tables), tuning_param.with_sbl, tuning_param.fpn_sbl, firsts)


def to_json(result: MeshTables) -> str:
    """The text json.dumps(record, indent=4) gives, written table by table: the general encoder
    spends longer on the tables of a large set than the tool's whole run otherwise takes."""
    head = json.dumps({"with_sbl": result.with_sbl, "fpn_sbl": result.fpn_sbl, "condition": result.conditions,
                       "mesh_table": []}, indent=4)
    if not result.tables:
        return head
    import numpy as np

    # repr is the encoder's text for a finite real; only a table with NaN or infinity needs more.
    tables = ",\n".join(_table_text(t.tolist(), " " * 8, repr if np.isfinite(t).all() else _number)
                         for t in result.tables)
    return head[:-len("[]\n}")] + "[\n" + tables + "\n    ]\n}"


def _table_text(rows, indent: str, number) -> str:
    inner = indent + "    "
    separator = ",\n" + inner + "    "
    lines = [inner + "[\n" + inner + "    " + separator.join(map(number, row)) + "\n" + inner + "]"
             for row in rows]
    return indent + "[\n" + ",\n".join(lines) + "\n" + indent + "]"


def _number(value: float) -> str:
    return repr(value) if value == value and value not in (float("inf"), float("-inf")) else json.dumps(value)


def true_tables(context: RunContext, result: MeshTables):
    import numpy as np

    from tuning.sim.dark_mesh import true_dark_mesh

    t = context.tuning_param
    out = []
    for gain, _ in result.pairs:
        truth = true_dark_mesh(context.truth, gain, t.mesh_table_h, t.mesh_table_w)
        if not t.with_sbl:
            truth = np.clip(truth - t.fpn_sbl, 0, 2 ** context.file_param.bits - 1)
        out.append(truth)
    return out


def table_grid(tables, labels, title_unit):
    import numpy as np

    from tuning.cli import figures

    cols = min(len(tables), 4)
    rows = (len(tables) + cols - 1) // cols
    fig, axes = figures.new_figure(2.6 * cols + 1.0, 2.3 * rows, rows, cols, squeeze=False)
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
    return figures.png_base64(fig)


def previews(context: RunContext, result: MeshTables):
    """Before/after previews of the first capture of some pairs, made by the library's quality check."""
    from matplotlib import image as mpimg

    from tuning.cli import figures

    p = context.file_param
    if p.width % PREVIEW_BLOCK or p.height % PREVIEW_BLOCK:
        return None
    check = library.module(black_level_figures.DARK_SWEEP["module"]).check_tuning_quality_in_dark_img
    first_of_gain = {}
    for i, (gain, _) in enumerate(result.pairs):
        first_of_gain.setdefault(gain, i)
    shown = list(first_of_gain.values())[:PREVIEW_PAIRS]
    fig, axes = figures.new_figure(6.0, 2.4 * len(shown), len(shown), 2, squeeze=False)
    with tempfile.TemporaryDirectory(prefix="tunekit-preview-") as folder:
        for row, i in enumerate(shown):
            frame = library.module("tuning.common").read_capture(
                result.first_capture[i], p.width, p.height, capture_format=context.capture_format)
            check(result.tables[i], frame, result.with_sbl, result.conditions[i], folder)
            for col, when in enumerate(("before", "after")):
                ax = axes[row][col]
                ax.imshow(mpimg.imread(os.path.join(folder, "tmp", f"{result.conditions[i]}_{when}.png")),
                          cmap="gray")
                ax.set_title(f"{result.conditions[i]}: {when}", fontsize=8)
                ax.set_xticks([])
                ax.set_yticks([])
    return figures.png_base64(fig)


def section(context: RunContext) -> Section:
    result = context.result
    labels = [f"again {g} exp {e}" for g, e in result.pairs]
    shown = []
    if result.tables:
        unit = UNIT if result.with_sbl else f"{UNIT} above fpn_sbl {result.fpn_sbl}"
        shown.append(Figure("Dark shading mesh tables", f"Mesh table per (gain, exposure) pair ({unit}), "
                            f"one colour scale for all.", table_grid(result.tables, labels, unit)))
        if context.truth is not None:
            diffs = [t - s for t, s in zip(result.tables, true_tables(context, result))]
            shown.append(Figure("Mesh tables minus the simulated truth",
                                f"Recovered minus true mesh ({UNIT}): capture noise, hot pixels and the "
                                f"resampling of the block grid remain.", table_grid(diffs, labels, UNIT)))
        preview = previews(context, result)
        if preview:
            shown.append(Figure("Dark frame before and after the table",
                                "8 x 8 block means of a capture of each pair before and after subtracting its "
                                "mesh table, on one 0..255 contrast scale per pair (flat after = table fits).",
                                preview))
    return Section("Dark shading mesh (raw DN)", shown)


def key_figures(result: MeshTables) -> Dict[str, str]:
    import numpy as np

    spread = max((float(np.ptp(t)) for t in result.tables), default=0.0)
    return {"tables": str(len(result.tables)), f"largest table range ({UNIT})": f"{spread:.3f}"}


CALIBRATION = Calibration(
    name="dark-shading",
    summary="dark shading mesh tables per (gain, exposure) pair, raw DN, with before/after previews",
    order=30,
    routine="dark_shading_tuning",
    result_file="dark_shading.json",
    shape_rule=EXACT,
    report=section,
    key_figures=key_figures,
    required=("width", "height", "bits"),
    invoke=invoke,
    to_json=to_json,
    **black_level_figures.DARK_SWEEP,
)
