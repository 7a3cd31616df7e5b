"""What a calibration plug-in declares, and what the tool derives from it."""
import dataclasses
import fnmatch
import functools
import os
from typing import Any, Callable, Dict, List, Optional, Sequence

from tuning.cli import library

# How a routine shapes a capture into a frame: it ignores extra samples
# ("truncating") or demands exactly width x height samples ("exact").
TRUNCATING = "truncating"
EXACT = "exact"


def number_text(value) -> str:
    """A gain or exposure as the routines write it into file patterns and keys."""
    return repr(value) if isinstance(value, float) else str(value)


@functools.lru_cache(maxsize=None)
def _name_pattern(kind: str, mode: str, exposure: str, gain: str, layout: str):
    """The file name glob of a condition as the library's naming rule gives it, and the text every
    matching name holds (a cheap test that spares most names the pattern match)."""
    common = library.module("tuning.common")
    capture_format = common.CaptureFormat(layout=layout)
    pattern = os.path.basename(common.capture_pattern(".", kind, mode, exposure, gain,
                                                      capture_format=capture_format))
    return pattern, tuple(part for part in pattern.split("*") if part)


@dataclasses.dataclass(frozen=True)
class Condition:
    """One capture condition a routine reads: the files one of its glob patterns matches."""

    kind: str
    mode: str
    exposure: str  # number text, or "*" when the routine takes every exposure
    gain: str
    layout: str = "raw16"  # sample layout value text; dng captures have names of their own

    def in_layout(self, layout: str) -> "Condition":
        return dataclasses.replace(self, layout=layout)

    @property
    def name_pattern(self) -> str:
        return _name_pattern(self.kind, self.mode, self.exposure, self.gain, self.layout)[0]

    @property
    def _fixed_parts(self):
        return _name_pattern(self.kind, self.mode, self.exposure, self.gain, self.layout)[1]

    @property
    def label(self) -> str:
        exposure = "any exp" if self.exposure == "*" else f"exp {self.exposure}"
        return f"{self.kind} {self.mode} {exposure} again {self.gain}"

    def matches(self, name: str) -> bool:
        # The routines' listing skips hidden files, as the shell does.
        if name.startswith(".") or not all(part in name for part in self._fixed_parts):
            return False
        return fnmatch.fnmatchcase(name, self.name_pattern)


def gain_exposure_conditions(kind: str, file_param) -> List[Condition]:
    """Every (gain, exposure) pair of the record, gain first: the black level sweep order."""
    mode = file_param.sensor_mode.name
    return [Condition(kind, mode, number_text(e), number_text(g))
            for g in file_param.again_list for e in file_param.exp_time_list]


def per_gain_conditions(kind: str, file_param) -> List[Condition]:
    """One condition per gain, any exposure: the order of the per-gain calibrations."""
    mode = file_param.sensor_mode.name
    return [Condition(kind, mode, "*", number_text(g)) for g in file_param.again_list]


@dataclasses.dataclass
class Figure:
    title: str
    caption: str  # says what is plotted and in which unit
    png_base64: str


@dataclasses.dataclass
class Section:
    title: str
    figures: List[Figure]
    table_html: str = ""  # an optional table of the values, already escaped


@dataclasses.dataclass
class TruthRow:
    """One quantity of a result beside the simulator's value of it, as the report's comparison shows it."""

    quantity: str
    truth: Any  # a number, a sequence of numbers (one per cell position) or text
    result: Any
    difference: Any = None  # None: result - truth, number by number


@dataclasses.dataclass
class RunContext:
    """What the plug-in hooks see of one run."""

    file_param: Any
    tuning_param: Any
    result: Any = None
    truth: Any = None  # a tuning.sim.SensorModel when the captures came from the simulator
    earlier: Dict[str, Any] = dataclasses.field(default_factory=dict)  # results of this run so far, by name
    out_dir: str = ""
    capture_format: Any = None  # the tuning.common.CaptureFormat of the captures; None: raw16

    def routine_kwargs(self) -> Dict[str, Any]:
        """What to add to a call of a routine that reads the captures (figures that read them again)."""
        from tuning.cli import capture_format

        return capture_format.routine_kwargs(self.capture_format)

    def capture_paths(self, kind: str, gain, exposure="*") -> List[str]:
        """The captures of one condition in the routines' own order (directory listing order)."""
        from tuning.cli import capture_format

        p = self.file_param
        folder = p.inp_file_dir or "."
        condition = Condition(kind, p.sensor_mode.name, exposure if exposure == "*" else number_text(exposure),
                              number_text(gain), capture_format.layout_name(self.capture_format))
        return [os.path.join(folder, n) for n in os.listdir(folder) if condition.matches(n)]


@dataclasses.dataclass(frozen=True)
class Calibration:
    name: str  # subcommand
    summary: str
    order: int  # position in `all`
    module: str  # dotted name of the compiled module
    file_record: str
    tuning_record: str
    routine: str
    result_file: Any  # file name, or a function of the file record giving it
    shape_rule: str
    kind: Callable[[Any], str]  # capture kind word the routine reads, given the file record
    conditions: Callable[[Any], List[Condition]]
    report: Callable[[RunContext], Section]
    key_figures: Callable[[Any], Dict[str, str]]
    required: Sequence[str] = ("width", "height")
    # Fills values the user left out from earlier results of the run or the
    # folder (for example levels for the noise calibrations); returns notes.
    complete: Optional[Callable[[Dict[str, Any], RunContext], List[str]]] = None
    # The routine call, when the result needs more than the routine returns
    # (for example which conditions its tables belong to); called as
    # invoke(compiled module, file_param, tuning_param, capture_format=...).
    invoke: Optional[Callable[..., Any]] = None
    # The result made from what the routine returned and the conditions it reported reading (their
    # Condition.label, in its order), when the returned value alone does not say what it belongs to;
    # called as collect(returned, file_param, tuning_param, read).
    collect: Optional[Callable[[Any, Any, Any, List[str]], Any]] = None
    # The result beside the simulator's truth (context.truth, never None here), for the report.
    compare: Optional[Callable[[RunContext], List[TruthRow]]] = None
    # The result as JSON text, when it is not a record.
    to_json: Optional[Callable[[Any], str]] = None
    # Capture kinds of which the routine needs at least one beside the others (for example lit captures
    # beside dark ones): without any, the set is reported as lacking them, and `all` skips the calibration.
    absent_without: Sequence[str] = ()

    def compiled(self):
        """The compiled module when this build carries the routine and its records, else None."""
        mod = library.module(self.module)
        if mod is None:
            return None
        if not all(hasattr(mod, n) for n in (self.file_record, self.tuning_record, self.routine)):
            return None
        return mod

    def records(self):
        mod = self.compiled()
        return getattr(mod, self.file_record), getattr(mod, self.tuning_record)

    def run(self, file_param, tuning_param, capture_format=None, read: Optional[List[str]] = None):
        """The routine on the captures; capture_format None (or raw16 packed tight) calls it as always.

        read: the labels of the conditions the routine reported reading, filled while it runs."""
        if self.invoke:
            return self.invoke(self.compiled(), file_param, tuning_param, capture_format=capture_format)
        from tuning.cli import capture_format as formats

        returned = getattr(self.compiled(), self.routine)(file_param, tuning_param,
                                                          **formats.routine_kwargs(capture_format))
        if self.collect:
            return self.collect(returned, file_param, tuning_param, list(read or ()))
        return returned

    def result_name(self, file_param) -> str:
        return self.result_file(file_param) if callable(self.result_file) else self.result_file

    def result_json(self, result) -> str:
        # The same text the module entries write: 4-space indentation, keys in field order.
        return self.to_json(result) if self.to_json else result.json(indent=4)
