"""tunekit blc: black level per cell position (raw DN) from dark captures."""
from tuning.cli import black_level_figures
from tuning.cli.calibration import TRUNCATING, Calibration

UNIT = "DN"

CALIBRATION = Calibration(
    name="blc",
    summary="black level per cell position and (gain, exposure) pair, raw DN",
    order=10,
    routine="gen_blc_param",
    result_file="black_level.json",
    shape_rule=TRUNCATING,
    report=lambda context: black_level_figures.section(context, "Black level (raw DN)", UNIT, 1.0),
    key_figures=lambda result: black_level_figures.key_figures(result, UNIT),
    **black_level_figures.DARK_SWEEP,
)
