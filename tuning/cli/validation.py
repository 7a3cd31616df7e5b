"""Refuses values no calibration can give a sound result for, before anything is read or written.

Each refusal is one line naming the flag, config key or file, what was
expected and what was found. The routines are not asked to judge these
values: some would run and write nonsense (a ratio of -1 flags every pixel),
others fail deep inside with a message about something else.
"""
import math
import os
import re
from typing import Any, Dict, Iterable, List, Optional

from tuning.cli import captures, parameters
from tuning.cli.calibration import Calibration, number_text
from tuning.cli.errors import ToolError
from tuning.cli.levels import CELL_POSITIONS

BITS_RANGE = (1, 16)  # significant bits of a 16-bit sample
INT64_RANGE = (-2 ** 63, 2 ** 63 - 1)  # what the library's records hold
NON_NEGATIVE = ("dark_thr_ratio", "light_thr_ratio", "freq_threshold")
LEVEL_FIELDS = ("black_level", "white_level")
GAIN_LISTS = ("again_list", "exp_time_list")
# Coefficients of the fit over the analog gain, per routine: it needs as many distinct gains.
FIT_TERMS = {"calibrate_read_noise": (3, "a quadratic"), "calibrate_shot_noise": (2, "a line")}
MESH_ROUTINES = ("dark_shading_tuning",)
# Routines that print the names of the captures they read, and so need names the host can print.
NAME_PRINTING_ROUTINES = ("gen_blc_param", "gen_blc_param_v2")
HOT_TEST = "bpc"  # the calibration whose default threshold flags every pixel of `all`


def where(name: str, origin: Dict[str, str]) -> str:
    """The flag or config key a value came from, as the user wrote it."""
    source = origin.get(name, "")
    if source.startswith("--"):
        return source
    if source:
        return f"{name} ({source})"
    return f"{name} (filled in by the tool: give --{name.replace('_', '-')})"


def refuse(name: str, origin: Dict[str, str], expected: str, found: Any) -> None:
    """found: a value, or text that describes it (shown as it is)."""
    text = found if isinstance(found, str) else shown(found)
    raise ToolError(f"{where(name, origin)}: expected {expected}, found {text}")


def shown(value) -> str:
    if isinstance(value, str):
        plain = value and value.isprintable() and not any(c.isspace() for c in value)
        return value if plain else ascii(value)
    if isinstance(value, (list, tuple)):
        return " ".join(shown(v) for v in value) if value else "an empty list"
    return str(getattr(value, "value", value))


def is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _undecodable(text: str) -> bool:
    """Whether text holds bytes of a name that are no UTF-8 (kept by the file system's decoding)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


# --- values as given ---------------------------------------------------------------------------


def expand_levels(values: Dict[str, Any], origin: Dict[str, str]) -> None:
    """A single black or white level stands for all four cell positions."""
    for name in LEVEL_FIELDS:
        levels = values.get(name)
        if not isinstance(levels, list) or not levels:
            continue
        if len(levels) == 1:
            values[name] = levels * CELL_POSITIONS
        elif len(levels) != CELL_POSITIONS:
            refuse(name, origin, f"{CELL_POSITIONS} values (one per cell position) or a single value for all",
                   f"{len(levels)} values ({shown(levels)})")


def checked_records(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str]):
    """The calibration's records from values (a single level expanded to four), refused when they
    are nonsense."""
    from tuning.cli import runner

    expand_levels(values, origin)
    file_param, tuning_param = runner.build_records(calibration, values, origin)
    check_records(calibration, file_param, tuning_param, set(values), origin)
    return file_param, tuning_param


def check_run(selected: List[Calibration], values: Dict[str, Any], origin: Dict[str, str]) -> None:
    """Refuses a run whose given values are nonsense for any of its calibrations, before the first
    of them writes anything."""
    if values.get("inp_file_dir"):
        check_folder(values["inp_file_dir"])
    expand_levels(dict(values), origin)
    for calibration in selected:
        try:
            records = _records(calibration, values, origin)
        except ToolError:
            continue  # a field of the wrong type: the calibration reports it itself
        check_records(calibration, *records, set(values), origin)
    hot = [c for c in selected if c.name == HOT_TEST]
    if len(selected) > 1 and hot:
        check_hot_threshold(hot[0], values, origin)


def _records(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str]):
    from tuning.cli import runner

    own = dict(values)
    expand_levels(own, origin)
    return runner.build_records(calibration, own, origin)


def check_hot_threshold(calibration: Calibration, values: Dict[str, Any], origin: Dict[str, str]) -> None:
    """`all` would run the hot pixel test with the record's threshold of 0, which flags every pixel
    above the black level: a table of most of the frame that nobody asked for."""
    try:
        _, tuning_param = _records(calibration, values, origin)
    except ToolError:
        return
    test = getattr(values.get("bp_type", "Hot"), "value", values.get("bp_type", "Hot"))
    if str(test).lower() != "hot" or tuning_param.dark_thr_ratio > 0:
        return
    origin = dict(origin)
    origin.setdefault("dark_thr_ratio", "the record default")
    refuse("dark_thr_ratio", origin, "a ratio above 0 for the hot pixel test of `all` (0 flags every pixel "
           "above the black level; simulated sets use 0.4)", tuning_param.dark_thr_ratio)


# --- records -----------------------------------------------------------------------------------


def check_records(calibration: Calibration, file_param, tuning_param, given: Iterable[str],
                  origin: Dict[str, str]) -> None:
    """Refuses values of the records that the library cannot take or that make its result nonsense.

    given: the names of the values the user gave or the tool filled in; the record defaults of the
    others (a bits of 0 where the routine does not read it) are left alone."""
    from tuning.cli import runner

    given = set(given)
    records = (file_param, tuning_param)
    for param in runner.params_of(calibration):
        record = next((r for r in records if param.name in type(r).__fields__), None)
        if record is not None:  # the capture format flags are checked when their record is made
            check_library_range(param, getattr(record, param.name), origin)
    for name in ("inp_file_dir", "out_file_dir"):
        check_path(name, getattr(file_param, name), origin)
    if "bits" in given and not BITS_RANGE[0] <= file_param.bits <= BITS_RANGE[1] \
            and not written_without_bits(calibration, file_param, origin):
        refuse("bits", origin, f"an integer from {BITS_RANGE[0]} to {BITS_RANGE[1]}", file_param.bits)
    for record in records:
        for name in NON_NEGATIVE:
            value = getattr(record, name, None)
            if value is not None and value < 0:
                refuse(name, origin, "a number of 0 or more", value)
    for name in GAIN_LISTS:
        check_distinct(name, getattr(file_param, name, []), origin)
    if given.issuperset(LEVEL_FIELDS):  # else the tool fills one in later, and checks it then
        check_level_range(tuning_param, origin)
    if calibration.routine in MESH_ROUTINES:
        check_mesh(file_param, tuning_param, origin)
    if hasattr(tuning_param, "ROIs"):
        check_regions(file_param, tuning_param.ROIs, origin)
    if calibration.routine in FIT_TERMS:
        check_fit_gains(calibration, file_param, origin)
    if calibration.routine in NAME_PRINTING_ROUTINES:
        check_capture_names(calibration, file_param)


def written_without_bits(calibration: Calibration, file_param, origin: Dict[str, str]) -> bool:
    """A run without --bits writes the record's 0 into its config; the calibrations that do not read
    bits take that config back."""
    from_config = origin.get("bits", "").startswith("config file")
    return file_param.bits == 0 and from_config and "bits" not in calibration.required


def check_library_range(param: parameters.Param, value, origin: Dict[str, str]) -> None:
    """Integers the library's 64-bit fields cannot hold."""
    low, high = INT64_RANGE
    expected = f"an integer from {low} to {high}"
    if param.kind == "integer" and not low <= value <= high:
        refuse(param.name, origin, expected, value)
    elif param.kind == "numbers":
        for v in value:
            if isinstance(v, int) and not low <= v <= high:
                refuse(param.name, origin, f"numbers whose integers run from {low} to {high}", v)
    elif param.kind == "regions":
        for region in value:
            for side in parameters.RECT_FIELDS:
                if not low <= getattr(region, side) <= high:
                    refuse(param.name, origin, f"region sides from {low} to {high}", getattr(region, side))


def check_path(name: str, path: str, origin: Dict[str, str]) -> None:
    if "\0" in path:
        refuse(name, origin, "a path without a NUL character", shown(path))
    if _undecodable(path):
        refuse(name, origin, "a path of UTF-8 text (the library takes no other)", _path_bytes(path))


def _path_bytes(path: str) -> str:
    """The bytes of a path as the file system takes them; a path no file system could give (a lone
    surrogate written as a JSON escape) as the text it is."""
    try:
        return repr(os.fsencode(path))
    except UnicodeEncodeError:
        return ascii(path)


def check_distinct(name: str, numbers: List, origin: Dict[str, str]) -> None:
    """A repeated gain or exposure is read and averaged twice, and its repeat overwrites the first
    in the result's mapping: the result would disagree with itself."""
    seen = set()
    for number in numbers:
        text = number_text(number)
        if text in seen:
            refuse(name, origin, "each value once", f"{text} more than once in {shown(numbers)}")
        seen.add(text)


def check_level_range(tuning_param, origin: Dict[str, str]) -> None:
    """Per cell position the white level must lie above the black level (counts are checked as the
    values are expanded)."""
    black = getattr(tuning_param, "black_level", None)
    white = getattr(tuning_param, "white_level", None)
    if not black or not white:
        return
    for cell, (b, w) in enumerate(zip(black, white)):
        if w <= b:
            refuse("white_level", origin, f"a white level above the black level {b} of cell position {cell}",
                   shown(white))


def check_mesh(file_param, tuning_param, origin: Dict[str, str]) -> None:
    for name, side, length in (("mesh_table_h", "height", file_param.height),
                               ("mesh_table_w", "width", file_param.width)):
        value = getattr(tuning_param, name)
        if length > 0 and not 1 <= value <= length:
            refuse(name, origin, f"a mesh side from 1 to the frame {side} {length}", value)


def check_regions(file_param, regions, origin: Dict[str, str]) -> None:
    """A region holds the cells whose halved rows and columns fall inside it and the frame; one that
    holds none adds no sample, and a set of such regions fails with a message about sample counts."""
    rows, cols = file_param.height // 2, file_param.width // 2
    if rows <= 0 or cols <= 0:
        return
    for number, r in enumerate(regions, 1):
        top, left = max(r.top // 2, 0), max(r.left // 2, 0)
        bottom, right = min(r.bottom // 2, rows), min(r.right // 2, cols)
        if bottom <= top or right <= left:
            refuse("ROIs", origin, f"regions holding at least one 2 x 2 cell of the {file_param.width} x "
                   f"{file_param.height} frame", f"region {number} {r.top},{r.left},{r.bottom},{r.right}")


def check_fit_gains(calibration: Calibration, file_param, origin: Dict[str, str]) -> None:
    """A fit over the gain needs at least as many distinct gains as it has coefficients, counting
    only gains with captures (the routine skips the others)."""
    terms, curve = FIT_TERMS[calibration.routine]
    gains = file_param.again_list
    if not gains:
        return  # nothing to calibrate: the capture checks say so
    distinct = sorted({float(g) for g in gains})
    if len(distinct) < terms:
        refuse("again_list", origin, f"at least {terms} distinct gains for {curve} of the gain",
               f"{len(distinct)} ({shown(gains)})")
    read = gains_with_captures(calibration, file_param)
    if read is not None and 0 < len(read) < terms:
        kind = calibration.kind(file_param)
        refuse("again_list", origin, f"at least {terms} distinct gains with {kind} captures for {curve} of the "
               f"gain", f"{len(read)} with captures ({shown(read)})")


def gains_with_captures(calibration: Calibration, file_param) -> Optional[List[str]]:
    folder = file_param.inp_file_dir or "."
    if not os.path.isdir(folder):
        return None
    names = [f.name for f in captures.scan(folder).captures]
    found = {}
    for condition in calibration.conditions(file_param):
        if any(condition.matches(n) for n in names):
            found.setdefault(float(condition.gain), condition.gain)
    return [found[g] for g in sorted(found)]


def check_capture_names(calibration: Calibration, file_param) -> None:
    """Names the host cannot decode stop the routine at its first line about them."""
    folder = file_param.inp_file_dir or "."
    if not os.path.isdir(folder):
        return
    conditions = calibration.conditions(file_param)
    for f in captures.scan(folder).captures:
        if _undecodable(f.name) and any(c.matches(f.name) for c in conditions):
            raise ToolError(f"{ascii(f.path)[1:-1]}: expected a capture name of UTF-8 text ({calibration.name} "
                            f"prints the names it reads), found bytes that are not; rename the file")


# --- folders and batch options -------------------------------------------------------------------


def check_folder(folder: str) -> None:
    """A capture folder the tool cannot list is named before anything reads it (one that is not
    there is left to the capture checks)."""
    problem = captures.folder_problem(folder) if os.path.isdir(folder) else None
    if problem:
        raise ToolError(problem)


def check_output_folder(flag: str, folder: str) -> None:
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise ToolError(f"{flag}: expected an output folder, found the file {folder}")


# tcp://host:port, host:port, or a bracketed IPv6 host; the protocols Dask's clients reach a scheduler by.
SCHEDULER_ADDRESS = re.compile(r"(?:(?P<scheme>[a-z]+)://)?(?P<host>\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+)"
                               r"(?::(?P<port>[^/]*))?/?")
SCHEDULER_SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")
PORT_RANGE = (1, 65535)


def check_scheduler(address: Optional[str], connect_timeout: float) -> None:
    if not math.isfinite(connect_timeout) or connect_timeout <= 0:
        refuse("connect_timeout", {"connect_timeout": "--connect-timeout"}, "a number of seconds above 0",
               connect_timeout)
    if address is None:
        return
    origin = {"scheduler": "--scheduler"}
    expected = f"a scheduler address such as tcp://host:8786 ({'|'.join(SCHEDULER_SCHEMES)}://host:port)"
    match = SCHEDULER_ADDRESS.fullmatch(address)
    if not match or (match["scheme"] and match["scheme"] not in SCHEDULER_SCHEMES):
        refuse("scheduler", origin, expected, shown(address))
    port = match["port"]
    if port is not None and not (port.isdigit() and PORT_RANGE[0] <= int(port) <= PORT_RANGE[1]):
        refuse("scheduler", origin, f"a port from {PORT_RANGE[0]} to {PORT_RANGE[1]} (host:port)", shown(address))
