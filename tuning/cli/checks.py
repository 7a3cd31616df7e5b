"""Checks a capture set against what a calibration will read, before it runs.

Errors are what would make the routine fail or silently calibrate nothing
(a folder that is not there, a capture of the wrong size, no capture at all);
everything a good capture set may hold is at most a warning (pairs without
captures, which the routines skip; longer captures a truncating routine
cuts; files that follow no naming convention, which no routine reads).
"""
import dataclasses
from typing import List, Tuple

from tuning.cli import capture_format as formats
from tuning.cli import captures
from tuning.cli.calibration import Calibration, Condition

ERROR = "error"
WARNING = "warning"
LISTED = 4  # names shown before "and N more"


@dataclasses.dataclass
class Finding:
    level: str
    text: str


@dataclasses.dataclass
class CheckOutcome:
    findings: List[Finding]
    plan: List[Tuple[Condition, List[captures.CaptureFile]]]  # conditions that have captures
    absent: bool = False  # not one capture of what the routine reads is there

    @property
    def errors(self) -> List[Finding]:
        return [f for f in self.findings if f.level == ERROR]

    @property
    def capture_count(self) -> int:
        return sum(len(files) for _, files in self.plan)


def listing(items: List[str]) -> str:
    shown = ", ".join(items[:LISTED])
    return shown if len(items) <= LISTED else f"{shown} and {len(items) - LISTED} more"


def check_parameters(calibration: Calibration, file_param) -> List[Finding]:
    findings = []
    for name in calibration.required:
        if not getattr(file_param, name):
            findings.append(Finding(ERROR, f"{name} is needed: give --{name.replace('_', '-')} "
                                           f"or '{name}' in a config file"))
    for name in ("width", "height"):
        value = getattr(file_param, name)
        if value < 0 or value % 2:
            findings.append(Finding(ERROR, f"{name} {value} cannot hold whole 2 x 2 Bayer cells: "
                                           f"expected a positive even number"))
    return findings


def check_capture_set(calibration: Calibration, file_param, capture_format=None) -> CheckOutcome:
    """capture_format: the tuning.common.CaptureFormat the routine will be given (None: raw16)."""
    findings = check_parameters(calibration, file_param)
    folder = file_param.inp_file_dir or "."
    problem = captures.folder_problem(folder)
    if problem:
        findings.append(Finding(ERROR, problem))
        return CheckOutcome(findings, [])
    if any(f.level == ERROR for f in findings):
        return CheckOutcome(findings, [])

    scanned = captures.scan(folder)
    extension = captures.extension_of(capture_format)
    files = scanned.captures + scanned.misnamed
    width, height = file_param.width, file_param.height
    plan, empty, wrong, longer = [], [], [], []
    used = set()
    layout = formats.layout_name(capture_format)
    conditions = [c.in_layout(layout) for c in calibration.conditions(file_param)]
    for condition in conditions:
        matched = [f for f in files if condition.matches(f.name)]
        if not matched:
            empty.append(condition)
            continue
        plan.append((condition, matched))
        for f in matched:
            used.add(f.name)
            problem = f.problem(width, height, calibration.shape_rule, capture_format)
            if problem:
                wrong.append(f"{f.path} {problem}")
            elif formats.is_default(capture_format) and f.samples > width * height:
                longer.append(f.name)

    for text in wrong:
        findings.append(Finding(ERROR, text))
    if longer:
        findings.append(Finding(WARNING, f"{len(longer)} captures hold more than {width} x {height} samples; "
                                         f"{calibration.name} reads the first {width * height} of each: "
                                         f"{listing(longer)}"))
    if not plan and conditions:
        findings.append(Finding(ERROR, f"no capture in {folder} matches what {calibration.name} reads "
                                       f"({listing([c.name_pattern for c in conditions])}); "
                                       f"the folder holds {holdings(scanned)}{format_hint(scanned, extension)}"))
    elif empty:
        findings.append(Finding(WARNING, f"no captures for {len(empty)} of {len(conditions)} conditions, "
                                         f"which {calibration.name} skips: {listing([c.label for c in empty])}"))
    if not conditions:
        findings.append(Finding(ERROR, f"nothing to calibrate: the gain or exposure list is empty and no "
                                       f"{calibration.kind(file_param)} {file_param.sensor_mode.name} capture in "
                                       f"{folder} gives one; the folder holds {holdings(scanned)}"))
    needed = calibration.absent_without
    lacking = bool(plan and needed and not any(c.kind in needed for c, _ in plan))
    if lacking:
        patterns = [c.name_pattern for c in conditions if c.kind in needed]
        findings.append(Finding(ERROR, f"no {' or '.join(needed)} captures in {folder}, which {calibration.name} "
                                       f"needs beside the others ({listing(patterns)}); the folder holds "
                                       f"{holdings(scanned)}"))
    if plan:
        kind, mode = plan[0][0].kind, plan[0][0].mode
        unlisted = sorted({f"again {c.gain} exp {c.exposure}" for c in scanned.captures
                           if c.kind == kind and c.mode == mode and c.extension == extension and c.name not in used})
        if unlisted:
            findings.append(Finding(WARNING, f"{kind} {mode} captures of conditions not in the gain or exposure "
                                             f"lists are left out: {listing(unlisted)}"))
    misnamed = [f for f in scanned.misnamed if f.extension == extension]
    if misnamed:
        findings.append(Finding(WARNING, f"{len(misnamed)} {extension} files follow no capture name convention "
                                         f"({captures.NAME_CONVENTION}{extension}): "
                                         f"{listing([f.name for f in misnamed])}"))
    return CheckOutcome(findings, plan, absent=not plan or lacking)


def holdings(scanned: captures.CaptureFolder) -> str:
    """A short description of the captures present, to point at a wrong mode, kind or list."""
    if not scanned.captures:
        return "no captures"
    groups = {}
    for c in scanned.captures:
        groups.setdefault((c.kind, c.mode, c.extension), []).append(c)
    parts = []
    raw = captures.extension_of(None)
    for (kind, mode, extension), items in sorted(groups.items()):
        gains = sorted({c.gain for c in items}, key=captures.number_sort_key)
        exposures = sorted({c.exposure for c in items}, key=captures.number_sort_key)
        words = f"{kind} {mode}" + ("" if extension == raw else f" {extension}")
        parts.append(f"{len(items)} {words} captures (gains {' '.join(gains)}; "
                     f"exposures {' '.join(exposures)})")
    return "; ".join(parts)


def format_hint(scanned: captures.CaptureFolder, extension: str) -> str:
    """A pointer to --format when the folder's captures all have another ending than the run reads."""
    endings = {c.extension for c in scanned.captures}
    if not endings or extension in endings:
        return ""
    dng = captures.extension_for("dng")
    flag = "--format dng" if dng in endings else "--format with the layout of the .raw files (see tunekit inspect)"
    return f"; for those give {flag}"
