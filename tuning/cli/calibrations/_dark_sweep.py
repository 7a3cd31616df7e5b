"""What the calibrations of the dark capture sweep share (not a plug-in: its name starts with "_")."""
from typing import Dict, List

from tuning.cli.calibration import RunContext, TruthRow, gain_exposure_conditions, number_text

KIND = "dark"
MODULE = "tuning.blc.blc"
# The module, the records and the dark capture sweep of both black level routines and the dark shading mesh.
DARK_SWEEP = dict(module=MODULE, file_record="BLCFileParam", tuning_record="BLCTuningParam",
                  kind=lambda file_param: KIND,
                  conditions=lambda file_param: gain_exposure_conditions(KIND, file_param))


def black_level_truth(context: RunContext, unit: str, scale: float) -> List[TruthRow]:
    """Per pair with captures: the four levels beside the simulator's dark level of the gain (scale: from raw DN)."""
    p, rows = context.file_param, []
    for gain in p.again_list:
        truth = [float(v) * scale for v in context.truth.true_dark_level(gain)]
        for exposure in p.exp_time_list:
            level = context.result.sbl.get(f"again_{number_text(gain)}", {}).get(f"exp_time_{number_text(exposure)}")
            if level is not None:
                rows.append(TruthRow(f"black level per cell position ({unit}), gain {number_text(gain)} exposure "
                                     f"{number_text(exposure)}", truth, [float(v) for v in level]))
    return rows


def black_level_key_figures(result, unit: str) -> Dict[str, str]:
    pairs = sum(len(v) for v in result.sbl.values())
    fixed = result.fixed_sbl.get("fixed_sbl")
    return {"pairs": str(pairs), f"fixed_sbl ({unit})": "" if fixed is None else f"{fixed:.3f}"}
