"""tunekit bpc: static bad pixels per gain (hot from dark captures, cold from lit ones) and the packed table."""
from typing import Any, Dict, List

from tuning.cli.calibration import TRUNCATING, Calibration, Figure, RunContext, Section, per_gain_conditions

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


def section(context: RunContext) -> Section:
    import numpy as np

    from tuning.cli import figures

    p, result = context.file_param, context.result
    truth = planted(context) if context.truth is not None else None
    fig, ax = figures.new_figure(8.0, 8.0 * p.height / max(p.width, 1) + 0.8)
    for key, positions in result.static_loc.items():
        rows = np.asarray([r for r, _ in positions], dtype=float)
        cols = np.asarray([c for _, c in positions], dtype=float)
        ax.plot(cols, rows, "s", ms=4, alpha=0.7, label=f"gain {key}: {len(positions)}")
    if truth:
        ax.plot([c for _, c in truth], [r for r, _ in truth], "o", ms=12, mfc="none", mec="k",
                label=f"planted: {len(truth)}")
    ax.set_xlim(0, p.width)
    ax.set_ylim(p.height, 0)
    ax.set_xlabel("column")
    ax.set_ylabel("row")
    ax.set_aspect("equal")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, loc="upper right")
    test = detection(p.bp_type).lower()
    map_figure = Figure("Bad pixel map", f"Positions of the {test} pixels found at each gain in the "
                        f"{p.width} x {p.height} frame" + ("; circles: pixels the simulator planted." if truth
                                                           else "."), figures.png_base64(fig))

    gains = list(result.static_loc)
    counts = [len(v) for v in result.static_loc.values()]
    fig, ax = figures.new_figure(6.0, 3.0)
    ax.bar(range(len(gains)), counts, color="tab:red" if test == "hot" else "tab:blue")
    if truth:
        ax.axhline(len(truth), color="k", ls="--", lw=1, label="planted")
        ax.legend(fontsize=8)
    ax.set_xticks(range(len(gains)), gains)
    ax.set_xlabel("analog gain")
    ax.set_ylabel("bad pixels")
    for i, n in enumerate(counts):
        ax.text(i, n, str(n), ha="center", va="bottom", fontsize=8)
    count_figure = Figure("Bad pixels per gain", f"Number of {test} pixels found at each gain with captures; the "
                          f"packed table holds their union, {len(unique(result))} pixels in "
                          f"{len(result.static_info)} 32-bit words.", figures.png_base64(fig))
    return Section(f"Static bad pixels ({test})", [map_figure, count_figure])


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
)
