"""tunekit characterize: the sensor in physical units by the photon transfer method (dark, flat and noise captures)."""
from typing import Any, Dict, List

from tuning.cli import levels
from tuning.cli.calibration import EXACT, Calibration, Condition, RunContext, Section, TruthRow, number_text
from tuning.cli.errors import ToolError

MODULE = "tuning.characterize.characterize"
DARK, FLAT, SCENE = "dark", "flat", "noise"
MAX_SAMPLE = 65535
CALIBRATION_FILE = "characterization.json"


def conditions(file_param) -> List[Condition]:
    """Per gain: the dark captures (of the exposures dark_exp_list names, else of every one), the flats of every exposure
    (or of those flat_exp_list names) and the noise captures of every exposure."""
    mode = file_param.sensor_mode.name
    dark = [number_text(e) for e in file_param.dark_exp_list] or ["*"]
    flats = [number_text(e) for e in file_param.flat_exp_list] or ["*"]
    out = []
    for gain in file_param.again_list:
        g = number_text(gain)
        out += [Condition(DARK, mode, e, g) for e in dark]
        out += [Condition(FLAT, mode, e, g) for e in flats]
        out.append(Condition(SCENE, mode, "*", g))
    return out


def complete(values: Dict[str, Any], context: RunContext) -> List[str]:
    """The white level, when not given, is the largest sample of a `bits`-bit sensor; a given one must be
    a level a 16-bit sample can reach above 0."""
    for level in values.get("white_level") or ():
        if not 0 < level <= MAX_SAMPLE:
            raise ToolError(f"--white-level: expected levels above 0 and at most {MAX_SAMPLE} DN (the clipping "
                            f"level of the captures), found {' '.join(str(v) for v in values['white_level'])}")
    return levels.complete_white_level("characterize", values)


def collect(returned, file_param, tuning_param, read: List[str]):
    """The modes a characterization.json in the output folder already holds stay beside this run's
    (LCG and HCG are characterised by separate runs into one folder); this run's mode replaces its own."""
    import os

    from tuning import regular_files
    from tuning.cli import parameters

    path = os.path.join(file_param.out_file_dir or ".", CALIBRATION_FILE)
    if not os.path.exists(path):
        return returned
    try:
        earlier = type(returned).parse_obj(parameters.parse_json(regular_files.read_text(path)))
    except (OSError, ValueError) as error:
        raise ToolError(f"{path}: expected the characterisation of another sensor mode to keep beside this "
                        f"run's, found a file that does not read as one ({str(error).splitlines()[0]}); "
                        f"move it away or remove it") from None
    ours = {m.sensor_mode for m in returned.modes}
    kept = [m for m in earlier.modes if m.sensor_mode not in ours]
    order = {"LCG": 0, "HCG": 1}
    returned.modes = sorted(kept + list(returned.modes), key=lambda m: order.get(m.sensor_mode.name, 2))
    return returned


def section(context: RunContext) -> Section:
    from tuning.cli.figures import characterization

    return characterization.section(context)


def compare(context: RunContext) -> List[TruthRow]:
    """Per gain, the figures beside the simulator's truth. The read noise is held against the temporal truth
    with the rounding to whole DN, which the captures carry; saturation only where the curve reaches it."""
    from tuning.sim import photon

    rows = []
    for mode in context.result.modes:
        if mode.sensor_mode.name != context.file_param.sensor_mode.name:
            continue  # kept from a run of the other mode: not what these captures hold
        counts = [len(context.capture_paths(SCENE, g)) for g in context.file_param.again_list]
        truth = photon.truth(context.truth, min((c for c in counts if c), default=2))
        by_gain = {float(t["analog_gain"]): t for t in truth["gains"]}
        for gain in mode.gains:
            t = by_gain.get(float(gain.analog_gain))
            if t is None:
                continue
            cells = gain.cells
            at = f"at gain {gain.analog_gain}"
            rows += [
                TruthRow(f"conversion gain K {at} (DN/e-)", [t["conversion_gain"]] * 4,
                         [c.conversion_gain for c in cells]),
                TruthRow(f"temporal dark noise {at} (e-)", [t["temporal_dark_noise_e"]] * 4,
                         [c.read_noise_e for c in cells]),
                TruthRow(f"DSNU {at} (e-)", t["dsnu_e"], [c.dsnu_e for c in cells]),
                TruthRow(f"read noise calibration's variance {at} (DN^2)", t["read_noise_variance"],
                         [c.relation.read_noise_variance for c in cells]),
            ]
            if gain.curve_source == "scene":
                rows.append(TruthRow(f"shot noise factor K (n-1)/n {at} (DN), n = {cells[0].relation.captures}",
                                     [t["shot_noise_factor"]] * 4, [c.relation.shot_noise_factor for c in cells]))
            if all(c.prnu is not None for c in cells):
                rows.append(TruthRow(f"PRNU {at} (%)", t["prnu"], [c.prnu for c in cells]))
            if all(c.saturation_capacity_e is not None for c in cells):
                rows.append(TruthRow(f"saturation capacity {at} (e-), at the flat exposure of peak variance",
                                     t["saturation_capacity_e"], [c.saturation_capacity_e for c in cells]))
    return rows


def key_figures(result) -> Dict[str, str]:
    gains = [g for mode in result.modes for g in mode.gains]
    if not gains:
        return {"gains": "0"}
    first = gains[0]

    def mean(field, digits):
        values = [getattr(c, field) for c in first.cells]
        return "unknown" if None in values else f"{sum(values) / len(values):.{digits}f}"

    warnings = sum(len(g.warnings) for g in gains)
    return {f"K at gain {first.analog_gain} (DN/e-)": mean("conversion_gain", 4),
            f"read noise at gain {first.analog_gain} (e-)": mean("read_noise_e", 3), "warnings": str(warnings)}


CALIBRATION = Calibration(
    name="characterize",
    summary="the sensor in physical units: conversion gain, read noise in e-, DSNU, PRNU, saturation, dynamic "
            "range (dark captures with flat or noise captures)",
    order=70,
    module=MODULE,
    file_record="CharacterizationFileParam",
    tuning_record="CharacterizationTuningParam",
    routine="characterize",
    result_file=CALIBRATION_FILE,
    shape_rule=EXACT,
    kind=lambda file_param: DARK,
    conditions=conditions,
    report=section,
    key_figures=key_figures,
    complete=complete,
    collect=collect,
    compare=compare,
    absent_without=(FLAT, SCENE),
)
