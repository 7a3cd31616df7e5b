"""tunekit blc-v2: black level per cell position on the 8-bit scale (256 / 2^bits) from dark captures."""
from tuning.cli.calibration import EXACT, Calibration
from tuning.cli.calibrations._dark_sweep import DARK_SWEEP, black_level_key_figures, black_level_truth

UNIT = "8-bit scale"


def scale(context) -> float:
    return 256.0 / 2.0 ** context.file_param.bits


def section(context):
    from tuning.cli.figures import black_level

    return black_level.section(context, "Black level, version 2 (8-bit scale)", UNIT, scale(context))


CALIBRATION = Calibration(
    name="blc-v2",
    summary="black level per cell position scaled to 8 bits (256 / 2^bits); captures of exactly width x height",
    order=20,
    routine="gen_blc_param_v2",
    result_file="black_level_v2.json",
    shape_rule=EXACT,
    report=section,
    key_figures=lambda result: black_level_key_figures(result, UNIT),
    compare=lambda context: black_level_truth(context, UNIT, scale(context)),
    required=("width", "height", "bits"),
    **DARK_SWEEP,
)
