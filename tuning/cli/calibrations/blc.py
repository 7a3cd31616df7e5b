"""tunekit blc: black level per cell position (raw DN) from dark captures."""
from tuning.cli.calibration import TRUNCATING, Calibration
from tuning.cli.calibrations._dark_sweep import DARK_SWEEP, black_level_key_figures, black_level_truth

UNIT = "DN"


def section(context):
    from tuning.cli.figures import black_level

    return black_level.section(context, "Black level (raw DN)", UNIT, 1.0)


CALIBRATION = Calibration(
    name="blc",
    summary="black level per cell position and (gain, exposure) pair, raw DN",
    order=10,
    routine="gen_blc_param",
    result_file="black_level.json",
    shape_rule=TRUNCATING,
    report=section,
    key_figures=lambda result: black_level_key_figures(result, UNIT),
    compare=lambda context: black_level_truth(context, UNIT, 1.0),
    **DARK_SWEEP,
)
