"""tunekit bpc: static bad pixels per gain (hot from dark captures, cold from lit ones) and the packed table."""
from typing import Any, Dict, List

from tuning.cli.calibration import TRUNCATING, Calibration, RunContext, TruthRow, per_gain_conditions

# Capture kind per detection: hot pixels stand out in dark frames, cold ones in lit frames.
KINDS = {"Hot": "dark", "Cold": "light"}
RATIO_OF = {"Hot": "dark_thr_ratio", "Cold": "light_thr_ratio"}
ENTRY_RATIO = {"Hot": 0.4, "Cold": 20.0}  # what the module's own entry uses


def detection(bp_type) -> str:
    return getattr(bp_type, "value", bp_type) or "Hot"


def kind(file_param) -> str:
    return KINDS[detection(file_param.bp_type)]


def complete(values: Dict[str, Any], context: RunContext) -> List[str]:
    test = detection(values.get("bp_type", "Hot"))
    ratio = RATIO_OF.get(test)
    if ratio and not values.get(ratio):
        return [f"{ratio} is 0, the record default: every pixel the {test.lower()} test can flag is flagged "
                f"(the module entry uses {ENTRY_RATIO[test]}); give --{ratio.replace('_', '-')}"]
    return []


def planted(context: RunContext) -> set:
    model = context.truth
    hot = {(r, c) for r, c, _ in model.planted_hot_pixels()}
    if detection(context.file_param.bp_type) == "Hot":
        return hot
    from tuning.sim import kind_light

    # Lit captures carry the dark frame too, so hot pixels stand out there as well.
    return hot | {tuple(p) for p in kind_light.planted_light_defects(model)}


def section(context: RunContext):
    from tuning.cli.figures import bad_pixels

    truth = planted(context) if context.truth is not None else None
    return bad_pixels.section(context.file_param, context.result, detection(context.file_param.bp_type), truth,
                              len(unique(context.result)))


def compare(context: RunContext) -> List[TruthRow]:
    """Per gain: the pixels planted against those found, naming the missed and the spurious ones."""
    truth = planted(context)
    test = detection(context.file_param.bp_type).lower()
    rows = []
    for key, positions in context.result.static_loc.items():
        found = {tuple(p) for p in positions}
        missed, spurious = sorted(truth - found), sorted(found - truth)
        rows.append(TruthRow(f"{test} pixels at gain {key}", len(truth), len(found),
                             f"missed {describe(missed)}; spurious {describe(spurious)}"))
    return rows


def describe(positions, most: int = 8) -> str:
    """How many, and the first (row, column) positions."""
    if not positions:
        return "none"
    shown = " ".join(f"({r},{c})" for r, c in positions[:most])
    return f"{len(positions)}: {shown}" + (" ..." if len(positions) > most else "")


def unique(result) -> set:
    return {tuple(p) for positions in result.static_loc.values() for p in positions}


def key_figures(result) -> Dict[str, str]:
    return {"bad pixels": str(len(unique(result))), "table words": str(len(result.static_info))}


CALIBRATION = Calibration(
    name="bpc",
    summary="static bad pixels per gain (--bp-type Hot: dark captures, Cold: lit captures) and the packed table",
    order=40,
    module="tuning.bpc.bpc",
    file_record="BPCFileParam",
    tuning_record="BPCTuningParam",
    routine="gen_bpc_param",
    # The module entry's name for the hot table; a cold run beside it must not overwrite it.
    result_file=lambda file_param: ("static_bad_pixels.json" if detection(file_param.bp_type) == "Hot"
                                    else "static_bad_pixels_cold.json"),
    shape_rule=TRUNCATING,
    kind=kind,
    conditions=lambda file_param: per_gain_conditions(kind(file_param), file_param),
    report=section,
    key_figures=key_figures,
    complete=complete,
    compare=compare,
)
