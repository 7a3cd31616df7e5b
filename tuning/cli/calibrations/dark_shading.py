"""tunekit dark-shading: dark shading mesh tables per (gain, exposure) pair, with before/after previews."""
import dataclasses
from typing import Any, Dict, List

from tuning.cli import result_json
from tuning.cli.calibration import EXACT, Calibration, RunContext, TruthRow, gain_exposure_conditions, number_text
from tuning.cli.calibrations._dark_sweep import DARK_SWEEP, KIND

UNIT = "DN"


@dataclasses.dataclass
class MeshTables:
    """The routine's tables with the conditions they belong to (pairs without captures have none)."""

    conditions: List[str]  # <mode>_exp_<exposure>_again_<gain>
    pairs: List[tuple]  # (gain, exposure) numbers
    tables: List[Any]  # numpy arrays, mesh_table_h x mesh_table_w
    with_sbl: int
    fpn_sbl: int


def collect(returned, file_param, tuning_param, read: List[str]) -> MeshTables:
    """The tables the routine returned, one per pair it reported reading (it skips pairs without captures)."""
    tables = returned["mesh_table"]
    mode = file_param.sensor_mode.name
    pairs, names = [], []
    sweep = gain_exposure_conditions(KIND, file_param)
    by_label = {c.label: (gain, exposure, c)
                for c, (gain, exposure) in zip(sweep, ((g, e) for g in file_param.again_list
                                                       for e in file_param.exp_time_list))}
    for label in read:
        if label in by_label:
            gain, exposure, condition = by_label[label]
            pairs.append((gain, exposure))
            names.append(f"{mode}_exp_{condition.exposure}_again_{condition.gain}")
    if len(pairs) != len(tables):
        raise RuntimeError(f"{len(tables)} mesh tables for {len(pairs)} pairs with captures")
    return MeshTables(names, pairs, list(tables), tuning_param.with_sbl, tuning_param.fpn_sbl)


def to_json(result: MeshTables) -> str:
    return result_json.with_tables({"with_sbl": result.with_sbl, "fpn_sbl": result.fpn_sbl,
                                    "condition": result.conditions, "mesh_table": []}, result.tables)


def true_tables(context: RunContext, result: MeshTables):
    """The simulator's mesh of each pair, made relative to fpn_sbl as the routine makes its tables."""
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


def section(context: RunContext):
    from tuning.cli.figures import dark_shading

    truth = true_tables(context, context.result) if context.truth is not None else None
    return dark_shading.section(context, UNIT, truth)


def compare(context: RunContext) -> List[TruthRow]:
    """Per pair: the range of the true and the recovered table, and how far the recovered one lies from the truth."""
    import numpy as np

    from tuning.sim.dark_mesh import mesh_deviation

    rows = []
    result = context.result
    for (gain, exposure), table, truth in zip(result.pairs, result.tables, true_tables(context, result)):
        largest, rms = mesh_deviation(table, truth)
        rows.append(TruthRow(f"mesh table range ({UNIT}), gain {number_text(gain)} exposure {number_text(exposure)}",
                             float(np.ptp(truth)), float(np.ptp(table)),
                             f"rms {rms:.3f}, largest {largest:.3f} (hot pixels raise the largest)"))
    return rows


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
    collect=collect,
    compare=compare,
    to_json=to_json,
    **DARK_SWEEP,
)
