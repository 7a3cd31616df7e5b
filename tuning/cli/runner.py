"""Runs calibrations the way the subcommands and the batch workers share.

Per calibration: build the records from the values, check the capture set,
run the routine under the progress hook, write the result record whole.
"""
import contextlib
import dataclasses
import io
import json
import os
import sys
import time
from typing import Any, Dict, List, Optional

from tuning import atomic_write, regular_files
from tuning.cli import capture_format, captures, checks, parameters, progress, stopping, validation
from tuning.cli.calibration import Calibration, RunContext
from tuning.cli.errors import CalibrationFailed, CaptureSetError, ToolError

DEFAULT_OUT_DIR = "tunekit-results"
CONFIG_FILE = "tunekit-config.json"
TRUTH_FILE = "truth.json"
# Failures a routine reports; anything else is a fault of the tool and keeps its traceback.
ROUTINE_FAILURES = (RuntimeError, ValueError, OSError, ZeroDivisionError, AssertionError, TypeError)


@dataclasses.dataclass
class Options:
    progress: str = "auto"  # auto, always, never
    quiet: bool = False  # hide the routines' own lines
    skip_checks: bool = False
    notes: Any = None  # stream for warnings and notes (standard error by default)


@dataclasses.dataclass
class Outcome:
    calibration: Calibration
    status: str  # ok, failed, skipped
    message: str = ""
    result_path: str = ""
    seconds: float = 0.0
    context: Optional[RunContext] = None

    @property
    def key_figures(self) -> Dict[str, str]:
        if self.status != "ok":
            return {}
        return self.calibration.key_figures(self.context.result)


def params_of(calibration: Calibration) -> List[parameters.Param]:
    """The fields of the calibration's records, then the capture format every routine takes."""
    file_record, tuning_record = calibration.records()
    return (parameters.record_params(file_record) + parameters.record_params(tuning_record)
            + capture_format.format_params())


def infer_lists(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str], notes: List[str]) -> None:
    """Gains and exposures left out are taken from the captures the routine would read."""
    missing = [n for n in ("again_list", "exp_time_list") if not values.get(n)]
    folder = values.get("inp_file_dir")
    if not missing or not folder or not os.path.isdir(folder):
        return
    file_record, _ = calibration.records()
    probe = parameters.build_record(file_record, values, origin)
    kind, mode = calibration.kind(probe), probe.sensor_mode.name
    extension = captures.extension_of(capture_format.from_values(values, origin))
    found = [c for c in captures.scan(folder).captures
             if c.kind == kind and c.mode == mode and c.extension == extension]
    for name, tag in (("again_list", "gain"), ("exp_time_list", "exposure")):
        if name in missing and name in file_record.__fields__:
            # A tag that is no number names no condition a routine can build.
            texts = sorted({getattr(c, tag) for c in found if captures.number_sort_key(getattr(c, tag))[0] == 0},
                           key=captures.number_sort_key)
            if texts:
                values[name] = [parameters.parse_number(t) for t in texts]
                notes.append(f"{name} not given: using the {tag}s of the {kind} {mode} captures: {' '.join(texts)}")


def build_records(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str]):
    file_record, tuning_record = calibration.records()
    return (parameters.build_record(file_record, values, origin),
            parameters.build_record(tuning_record, values, origin))


def load_truth(path: str):
    """The simulator's sensor model from its truth file, or None."""
    from tuning import sim

    data = json.loads(regular_files.read_text(path))
    fields = {f.name for f in dataclasses.fields(sim.SensorModel)}
    return sim.SensorModel(**{k: v for k, v in data.items() if k in fields})


def find_truth(inp_file_dir: str) -> Optional[str]:
    """The simulator writes its truth beside (or one level above) the capture folder."""
    for folder in (inp_file_dir, os.path.dirname(os.path.abspath(inp_file_dir))):
        path = os.path.join(folder, TRUTH_FILE)
        if os.path.isfile(path):
            return path
    return None


def note(options: Options, name: str, level: str, text: str) -> None:
    stream = options.notes or sys.stderr
    stream.write(f"tunekit {name}: {level}: {text}\n")


def run_one(calibration: Calibration, file_param, tuning_param, options: Options, context: RunContext,
            outcome: Optional[checks.CheckOutcome] = None) -> Outcome:
    """Checks (unless already checked), runs and writes one calibration.

    Raises ToolError subclasses on failure."""
    name = calibration.name
    if options.skip_checks:
        outcome = checks.CheckOutcome([], [])
    else:
        outcome = outcome or checks.check_capture_set(calibration, file_param, context.capture_format)
        for f in outcome.findings:
            if f.level == checks.WARNING:
                note(options, name, "warning", f.text)
        if outcome.errors:
            raise CaptureSetError("\n".join(f.text for f in outcome.errors))

    out_dir = file_param.out_file_dir
    created = not os.path.isdir(out_dir)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as error:
        raise CalibrationFailed(f"cannot create the output folder {out_dir}: {error.strerror}") from None
    hook = stopping.checkpoint
    if progress.wanted(options.progress):
        hook = progress.ConditionProgress(name, len(outcome.plan), outcome.capture_count)
    recorder = progress.Recorder(hook)
    lines = contextlib.redirect_stdout(io.StringIO()) if options.quiet else contextlib.nullcontext()
    started = time.monotonic()
    try:
        with progress.reporting(recorder), lines:
            result = calibration.run(file_param, tuning_param, context.capture_format, recorder.read)
    except ROUTINE_FAILURES as error:
        if created:  # a failed run leaves no trace, not even the empty folder it made for its result
            with contextlib.suppress(OSError):
                os.rmdir(out_dir)
        raise CalibrationFailed(f"{calibration.routine} failed: {type(error).__name__}: {error}") from error
    seconds = time.monotonic() - started
    path = os.path.join(out_dir, calibration.result_name(file_param))
    try:
        atomic_write.write_text_atomically(path, calibration.result_json(result))
    except OSError as error:
        raise CalibrationFailed(f"cannot write {path}: {error.strerror}") from None
    context.result = result
    context.out_dir = out_dir
    return Outcome(calibration, "ok", f"wrote {path}", path, seconds, context)


def set_up(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str], notes: List[str], truth=None,
           earlier: Optional[Dict[str, Any]] = None) -> RunContext:
    """The checked records and capture format of one calibration, from values it may complete (gains
    from the captures, levels from an earlier result); ToolError when they are refused."""
    fmt = capture_format.from_values(values, origin)
    infer_lists(calibration, values, origin, notes)
    context = RunContext(None, None, truth=truth, earlier={} if earlier is None else earlier, capture_format=fmt)
    if calibration.complete:
        notes += calibration.complete(values, context)
    context.file_param, context.tuning_param = validation.checked_records(calibration, values, origin)
    return context


def run_many(selected: List[Calibration], values: Dict[str, Any], origin: Dict[str, str], options: Options,
             truth=None, skip_absent=False) -> List[Outcome]:
    """Runs the calibrations in order; one failing does not stop the others.

    skip_absent: a calibration whose capture kind is missing altogether is
    skipped rather than failed (`all` on a folder with only some kinds)."""
    validation.check_run(selected, values, origin)
    outcomes = []
    earlier: Dict[str, Any] = {}
    for calibration in selected:
        own = dict(values)
        notes: List[str] = []
        context = None
        try:
            context = set_up(calibration, own, origin, notes, truth, earlier)
            file_param, tuning_param, fmt = context.file_param, context.tuning_param, context.capture_format
            for text in notes:
                note(options, calibration.name, "note", text)
            check = None
            if skip_absent and not options.skip_checks:
                check = checks.check_capture_set(calibration, file_param, fmt)
                if check.absent and len(check.errors) == 1:
                    outcomes.append(Outcome(calibration, "skipped", check.errors[0].text, context=context))
                    continue
            outcome = run_one(calibration, file_param, tuning_param, options, context, check)
            earlier[calibration.name] = context.result
        except ToolError as error:
            outcome = Outcome(calibration, "failed", str(error), context=context)
        outcomes.append(outcome)
    return outcomes


def effective_config(outcomes: List[Outcome]):
    """The values every calibration of the run used, as config keys."""
    values: Dict[str, Any] = {}
    params: Dict[str, parameters.Param] = {}
    for o in outcomes:
        if o.context is None or o.context.file_param is None:
            continue
        for record in (o.context.file_param, o.context.tuning_param):
            for p in parameters.record_params(type(record)):
                values.setdefault(p.name, getattr(record, p.name))
                params.setdefault(p.name, p)
        for p in capture_format.format_params():
            values.setdefault(p.name, capture_format.config_values(o.context.capture_format)[p.name])
            params.setdefault(p.name, p)
    return values, params


def write_config(out_dir: str, outcomes: List[Outcome]) -> Optional[str]:
    values, params = effective_config(outcomes)
    if not values:
        return None
    path = os.path.join(out_dir, CONFIG_FILE)
    os.makedirs(out_dir, exist_ok=True)
    atomic_write.write_text_atomically(path, parameters.config_text(values, params, out_dir))
    return path
