"""tunekit blc-v2: black level per cell position on the 8-bit scale (256 / 2^bits) from dark captures."""
from tuning.cli.calibration import EXACT, Calibration
from tuning.cli.calibrations._dark_sweep import DARK_SWEEP, black_level_key_figures

UNIT = "8-bit scale"


def section(context):
    from tuning.cli.figures import black_level

    scale = 256.0 / 2.0 ** context.file_param.bits
    return black_level.section(context, "Black level, version 2 (8-bit scale)", UNIT, scale)


CALIBRATION = Calibration(
    name="blc-v2",
    summary="black level per cell position scaled to 8 bits (256 / 2^bits); captures of exactly width x height",
    order=20,
    routine="gen_blc_param_v2",
    result_file="black_level_v2.json",
    shape_rule=EXACT,
    report=section,
    key_figures=lambda result: black_level_key_figures(result, UNIT),
    required=("width", "height", "bits"),
    **DARK_SWEEP,
)
