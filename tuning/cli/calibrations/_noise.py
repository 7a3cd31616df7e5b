"""What the two noise calibrations share (not a plug-in: its name starts with "_")."""
from typing import Callable, Dict, List, Optional

from tuning.cli import levels
from tuning.cli.calibration import EXACT, Calibration, RunContext, Section, TruthRow, per_gain_conditions


def coefficient_rows(coeffs, names, unit: str, truth, note: str = "") -> List[TruthRow]:
    """One row per polynomial coefficient (highest power first), its four cell positions beside one true value."""
    return [TruthRow(f"{name} per cell position ({unit}){note}", [t] * len(coeffs), [row[i] for row in coeffs])
            for i, (name, t) in enumerate(zip(names, truth))]


def noise_calibration(name: str, summary: str, order: int, kind: str, module: str, record_stem: str,
                      routine: str, report: Callable[[RunContext], Section],
                      key_figures: Callable[[object], Dict[str, str]],
                      compare: Optional[Callable[[RunContext], List[TruthRow]]] = None) -> Calibration:
    """A per-gain noise calibration: records <stem>FileParam and <stem>TuningParam, exact captures of one
    kind, the result in <name with underscores>.json, black and white levels filled from earlier results."""
    return Calibration(
        name=name,
        summary=summary,
        order=order,
        module=module,
        file_record=f"{record_stem}FileParam",
        tuning_record=f"{record_stem}TuningParam",
        routine=routine,
        result_file=f"{name.replace('-', '_')}.json",
        shape_rule=EXACT,
        kind=lambda file_param: kind,
        conditions=lambda file_param: per_gain_conditions(kind, file_param),
        report=report,
        key_figures=key_figures,
        compare=compare,
        complete=lambda values, context: levels.complete_levels(name, values, context),
    )
