"""Black and white levels for the noise calibrations when the user gives none.

The black level comes from a black level result: the one of this run (`all`)
or black_level.json in the output folder; the white level is the largest
sample value of a `bits`-bit sensor. Each choice is announced in a note.
"""
import json
import math
import os
from typing import Any, Dict, List

from tuning import regular_files
from tuning.cli import parameters
from tuning.cli.calibration import RunContext
from tuning.cli.errors import ToolError

CELL_POSITIONS = 4
BLACK_LEVEL_FILE = "black_level.json"  # written by the blc plug-in


def mean_black_level(sbl: Dict[str, Dict[str, Any]]) -> List[float]:
    """Per cell position, the mean over every (gain, exposure) pair of a black level result (raw DN)."""
    levels = [level for exposures in sbl.values() for level in exposures.values()]
    if not levels:
        return []
    return [sum(level[c] for level in levels) / len(levels) for c in range(CELL_POSITIONS)]


def read_black_level_sbl(path: str) -> Dict[str, Dict[str, Any]]:
    """The per-pair levels of a black level result file, refusing a file of another shape."""
    try:
        data = parameters.parse_json(regular_files.read_text(path))
    except OSError as error:
        raise ToolError(f"cannot read the black level result {path}: {error.strerror}") from None
    except ValueError as error:  # not UTF-8, or not JSON
        raise ToolError(f"black level result {path}: expected UTF-8 JSON, found text that is not ({error})") from None
    sbl = data.get("sbl", {}) if isinstance(data, dict) else None
    expected = (f"an object whose 'sbl' maps again_<gain> to exp_time_<exposure> to {CELL_POSITIONS} numbers "
                f"(raw DN)")
    if not isinstance(sbl, dict):
        raise ToolError(f"black level result {path}: expected {expected}, found {json.dumps(data)[:80]}")
    for gain, exposures in sbl.items():
        pairs = exposures.items() if isinstance(exposures, dict) else [("", exposures)]
        for exposure, level in pairs:
            if not (isinstance(level, list) and len(level) == CELL_POSITIONS
                    and all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                            for v in level)):
                found = json.dumps({exposure: level} if exposure else exposures)[:80]
                raise ToolError(f"black level result {path}: {gain}: expected {expected}, found {found}")
    return sbl


def complete_levels(name: str, values: Dict[str, Any], context: RunContext) -> List[str]:
    notes = []
    if not values.get("black_level"):
        black, source = [], ""
        if "blc" in context.earlier:
            black, source = mean_black_level(context.earlier["blc"].sbl), "the blc result of this run"
        else:
            path = os.path.join(values.get("out_file_dir", ""), BLACK_LEVEL_FILE)
            if os.path.isfile(path):
                black, source = mean_black_level(read_black_level_sbl(path)), path
        if not black:
            raise ToolError(f"{name} needs the black level per cell position: give --black-level (4 values, raw DN), "
                            f"or run blc into the same output folder first")
        values["black_level"] = black
        notes.append(f"black_level not given: using {', '.join(f'{v:.3f}' for v in black)} DN, the mean over "
                     f"pairs of {source}")
    return notes + complete_white_level(name, values)


def complete_white_level(name: str, values: Dict[str, Any]) -> List[str]:
    """The white level, when not given, is the largest sample of a `bits`-bit sensor."""
    if values.get("white_level"):
        return []
    bits = values.get("bits")
    if not bits:
        raise ToolError(f"{name} needs the white level: give --white-level (1 or 4 values, raw DN) or --bits")
    values["white_level"] = [2 ** int(bits) - 1] * CELL_POSITIONS
    return [f"white_level not given: using {2 ** int(bits) - 1} DN, the largest {bits}-bit sample"]
