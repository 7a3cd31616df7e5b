"""A Raspberry Pi tuning file (version 2.0) with rpi.black_level (black_level on
the 16-bit scale, the mean of the cell positions) and rpi.noise
(reference_constant c and reference_slope s of sigma = c + s sqrt(mu) on the
16-bit scale, refitted from the variance model at unity gain). Given a base
tuning file, its other algorithms stay as they were and existing entries of
these two take the new values where they stand."""
import json
import math
from typing import Optional

from tuning import atomic_write
from tuning.export import noise_model
from tuning.export.rkisp1 import merge_algorithm
from tuning.export.results import ExportError, Results, gain_text

VERSION = 2.0
BLACK_LEVEL = "rpi.black_level"
NOISE = "rpi.noise"


def load_base(path: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as error:
        raise ExportError(f"{path}: the base tuning file cannot be read: {error.strerror}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise ExportError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(data, dict) or not isinstance(data.get("algorithms"), list):
        raise ExportError(f"{path}: expected a version {VERSION} tuning file with an 'algorithms' list")
    version = data.get("version")
    if not isinstance(version, (int, float)) or not math.isclose(version, VERSION):
        raise ExportError(f"{path}: version: expected {VERSION}, found {json.dumps(version)}")
    return data


def entries(results: Results, gain: Optional[float]) -> dict:
    _, black = results.black_level_at(gain)
    scale = noise_model.full_scale_factor(results.bits)
    constant, slope = noise_model.sqrt_refit(results)
    return {BLACK_LEVEL: {"black_level": int(round(sum(black) / len(black) * scale))},
            NOISE: {"reference_constant": constant, "reference_slope": slope}}


def tuning(results: Results, gain: Optional[float], base: Optional[str]) -> dict:
    data = load_base(base) if base else {"version": VERSION, "algorithms": []}
    for name, values in entries(results, gain).items():
        merge_algorithm(data["algorithms"], name, values)
    return data


def write(results: Results, gain: Optional[float], out: str, base: Optional[str]) -> str:
    chosen, _ = results.black_level_at(gain)
    atomic_write.write_text_atomically(out, json.dumps(tuning(results, gain, base), indent=4) + "\n")
    return (f"wrote {out} (black level of gain {gain_text(chosen)}, noise at unity gain"
            f"{', merged into ' + base if base else ''})")
