"""Black and white levels for the noise calibrations when the user gives none.

The black level comes from a black level result: the one of this run (`all`)
or black_level.json in the output folder; the white level is the largest
sample value of a `bits`-bit sensor. Each choice is announced in a note.
"""
import json
import os
from typing import Any, Dict, List

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


def complete_levels(name: str, values: Dict[str, Any], context: RunContext) -> List[str]:
    notes = []
    if not values.get("black_level"):
        black, source = [], ""
        if "blc" in context.earlier:
            black, source = mean_black_level(context.earlier["blc"].sbl), "the blc result of this run"
        else:
            path = os.path.join(values.get("out_file_dir", ""), BLACK_LEVEL_FILE)
            if os.path.isfile(path):
                with open(path, encoding="utf-8") as f:
                    black, source = mean_black_level(json.load(f).get("sbl", {})), path
        if not black:
            raise ToolError(f"{name} needs the black level per cell position: give --black-level (4 values, raw DN), "
                            f"or run blc into the same output folder first")
        values["black_level"] = black
        notes.append(f"black_level not given: using {', '.join(f'{v:.3f}' for v in black)} DN, the mean over "
                     f"pairs of {source}")
    if not values.get("white_level"):
        bits = values.get("bits")
        if not bits:
            raise ToolError(f"{name} needs the white level: give --white-level (4 values, raw DN) or --bits")
        values["white_level"] = [2 ** int(bits) - 1] * CELL_POSITIONS
        notes.append(f"white_level not given: using {2 ** int(bits) - 1} DN, the largest {bits}-bit sample")
    return notes
