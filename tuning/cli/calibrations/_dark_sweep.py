"""What the calibrations of the dark capture sweep share (not a plug-in: its name starts with "_")."""
from typing import Dict

from tuning.cli.calibration import gain_exposure_conditions

KIND = "dark"
MODULE = "tuning.blc.blc"
# The module, the records and the dark capture sweep of both black level routines and the dark shading mesh.
DARK_SWEEP = dict(module=MODULE, file_record="BLCFileParam", tuning_record="BLCTuningParam",
                  kind=lambda file_param: KIND,
                  conditions=lambda file_param: gain_exposure_conditions(KIND, file_param))


def black_level_key_figures(result, unit: str) -> Dict[str, str]:
    pairs = sum(len(v) for v in result.sbl.values())
    fixed = result.fixed_sbl.get("fixed_sbl")
    return {"pairs": str(pairs), f"fixed_sbl ({unit})": "" if fixed is None else f"{fixed:.3f}"}
