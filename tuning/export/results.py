"""A calibration run's results folder, loaded and checked for the exporters.

Every value comes back per Bayer cell position in the order the calibrations
use (even row/even column, even/odd, odd/even, odd/odd), in raw DN, whatever
the colour filter layout; the exporters map cell positions to colours.
A missing or malformed result is an ExportError that names the file, what
the export needs from it, and what was found instead.
"""
import json
import math
import os
from typing import Dict, List, Optional, Sequence, Tuple

from tuning import regular_files

CELL_POSITIONS = 4
CONFIG_FILE = "tunekit-config.json"
BLACK_LEVEL_FILE = "black_level.json"
DARK_SHADING_FILE = "dark_shading.json"
BAD_PIXELS_FILE = "static_bad_pixels.json"
CHARACTERIZATION_FILE = "characterization.json"
GAIN_PREFIX = "again_"

# Colour of each cell position for each colour filter layout; "Gr" is the green on the red rows.
CELL_COLOURS = {
    "RGGB": ("R", "Gr", "Gb", "B"),
    "BGGR": ("B", "Gb", "Gr", "R"),
    "GRBG": ("Gr", "R", "B", "Gb"),
    "GBRG": ("Gb", "B", "R", "Gr"),
}
CFA_ALIASES = {"GRGB": "GRBG"}  # the enumeration's member name of the GRBG layout
SENSOR_MODES = ("LCG", "HCG")
LEVEL_MAX = 0xFFFF  # black and white levels are raw DN of at most 16-bit samples


class ExportError(Exception):
    """A results folder that cannot feed the export asked for; nothing has been written."""


def comment_text(text: str) -> str:
    """Text that stays inside a C block comment: no comment end, no line break."""
    return " ".join(str(text).split()).replace("*/", "* /")


def gain_text(gain: float) -> str:
    return str(int(gain)) if float(gain).is_integer() else repr(float(gain))


def gains_text(gains: Sequence[float]) -> str:
    return ", ".join(gain_text(g) for g in gains) or "none"


class CellNoise:
    """The physical noise of one gain from the characterisation, per cell position (DN, DN^2, DN/e-)."""

    def __init__(self, gain: float, conversion_gain: List[float], read_variance: List[float],
                 dark_level: List[float]):
        self.gain = gain
        self.conversion_gain = conversion_gain  # K: variance per DN of signal above black (DN/e-)
        self.read_variance = read_variance  # temporal dark variance (DN^2)
        self.dark_level = dark_level  # mean of the dark captures (DN)


class Results:
    """The result files of one folder, each read on first use."""

    def __init__(self, folder: str):
        self.folder = folder
        if not os.path.isdir(folder):
            raise ExportError(f"{folder}: no such results folder (give the folder a calibration run wrote into)")
        self._cache = {}
        self.config = self._load(CONFIG_FILE, "the run's settings (bits, colour filter layout)", dict)
        self.bits = self._config_int("bits", 1, 16)
        self.width = self._config_int("width", 2, 1 << 30)
        self.height = self._config_int("height", 2, 1 << 30)
        cfa = str(self.config.get("cfa_type", "RGGB"))
        self.cfa_type = CFA_ALIASES.get(cfa, cfa)
        if self.cfa_type not in CELL_COLOURS:
            raise ExportError(f"{self.path(CONFIG_FILE)}: cfa_type: expected one of {', '.join(CELL_COLOURS)}, "
                              f"found {cfa!r}")
        self.sensor_mode = self.config.get("sensor_mode", "LCG")
        if self.sensor_mode not in SENSOR_MODES:
            raise ExportError(f"{self.path(CONFIG_FILE)}: sensor_mode: expected one of {', '.join(SENSOR_MODES)}, "
                              f"found {json.dumps(self.sensor_mode)[:80]}")
        self.white_level = self._white_level()

    def path(self, name: str) -> str:
        return os.path.join(self.folder, name)

    def colours(self) -> Tuple[str, ...]:
        """The colour of each cell position."""
        return CELL_COLOURS[self.cfa_type]

    # ---- loading ----------------------------------------------------------------

    def _load(self, name: str, needed_for: str, kind):
        if name in self._cache:
            return self._cache[name]
        path = self.path(name)
        try:
            data = json.loads(regular_files.read_text(path))
        except FileNotFoundError:
            raise ExportError(f"{path}: missing; the export needs {needed_for} from it") from None
        except OSError as error:
            raise ExportError(f"{path}: cannot be read: {error.strerror}") from None
        except (ValueError, UnicodeDecodeError) as error:
            raise ExportError(f"{path}: not valid JSON ({error})") from None
        except RecursionError:
            raise ExportError(f"{path}: not JSON this reader takes (arrays or objects nested too deeply)") from None
        if not isinstance(data, kind):
            raise ExportError(f"{path}: expected a JSON {kind.__name__ if kind is not dict else 'object'}, "
                              f"found {type(data).__name__}")
        self._cache[name] = data
        return data

    def _config_int(self, key: str, low: int, high: int) -> int:
        value = self.config.get(key)
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise ExportError(f"{self.path(CONFIG_FILE)}: {key}: expected an integer from {low} to {high}, "
                              f"found {value!r}")
        return value

    def _white_level(self) -> List[float]:
        values = self.config.get("white_level")
        if not values:
            return [float((1 << self.bits) - 1)] * CELL_POSITIONS
        return self._levels(values, self.path(CONFIG_FILE), "white_level")

    def _cells(self, values, path: str, where: str) -> List[float]:
        """Four finite numbers, or an ExportError naming where they were."""
        if not isinstance(values, list) or len(values) < CELL_POSITIONS:
            raise ExportError(f"{path}: {where}: expected {CELL_POSITIONS} numbers (one per cell position), "
                              f"found {json.dumps(values)[:80]}")
        cells = values[:CELL_POSITIONS]
        for i, v in enumerate(cells):
            if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
                raise ExportError(f"{path}: {where}[{i}]: expected a finite number, found {json.dumps(v)}")
        return [float(v) for v in cells]

    def _levels(self, values, path: str, where: str) -> List[float]:
        """Four levels in raw DN (0 to 65535), or an ExportError naming where they were."""
        cells = self._cells(values, path, where)
        for i, v in enumerate(cells):
            if not 0 <= v <= LEVEL_MAX:
                raise ExportError(f"{path}: {where}[{i}]: expected a level from 0 to {LEVEL_MAX} raw DN, found {v:g}")
        return cells

    # ---- black level --------------------------------------------------------------

    def black_levels(self) -> Dict[float, List[float]]:
        """Black level per calibrated gain and cell position (DN): the mean over the gain's exposures."""
        sbl = self._part(BLACK_LEVEL_FILE, "the black level per gain (tunekit blc)", "sbl", dict,
                         "the black levels per gain")
        path = self.path(BLACK_LEVEL_FILE)
        levels = {}
        for key, exposures in sbl.items():
            gain = parse_gain_key(key, path)
            if not isinstance(exposures, dict) or not exposures:
                raise ExportError(f"{path}: sbl.{key}: expected black levels per exposure, found "
                                  f"{json.dumps(exposures)[:80]}")
            rows = [self._levels(v, path, f"sbl.{key}.{e}") for e, v in exposures.items()]
            levels[gain] = [sum(r[c] for r in rows) / len(rows) for c in range(CELL_POSITIONS)]
            for c, (black, white) in enumerate(zip(levels[gain], self.white_level)):
                if not black < white:
                    raise ExportError(f"{path}: sbl.{key}: expected black levels below the white level {white:g} of "
                                      f"{self.path(CONFIG_FILE)}, found {black:g} at cell position {c}")
        if not levels:
            raise ExportError(f"{path}: holds no calibrated gain (no dark captures were found by the run)")
        return dict(sorted(levels.items()))

    def black_level_at(self, gain: Optional[float]) -> Tuple[float, List[float]]:
        """(gain, black level per cell position): the given gain, or the lowest calibrated one."""
        levels = self.black_levels()
        chosen = pick_gain(gain, list(levels), self.path(BLACK_LEVEL_FILE))
        return chosen, levels[chosen]

    # ---- bad pixels ---------------------------------------------------------------

    def _part(self, name: str, needed_for: str, key: str, kind, expected: str):
        """One key of a result file, of the JSON kind expected."""
        value = self._load(name, needed_for, dict).get(key)
        if not isinstance(value, kind):
            raise ExportError(f"{self.path(name)}: {key}: expected {expected}, found {json.dumps(value)[:80]}")
        return value

    def _bad_pixel_part(self, key: str, kind, expected: str):
        return self._part(BAD_PIXELS_FILE, "the static bad pixels (tunekit bpc)", key, kind, expected)

    def bad_pixels(self) -> List[Tuple[int, int]]:
        """(row, column) of every static bad pixel of any gain, sorted, each once."""
        found = self._bad_pixel_part("static_loc", dict, "bad pixel positions per gain")
        path = self.path(BAD_PIXELS_FILE)
        union = set()
        for gain, positions in found.items():
            for i, p in enumerate(positions if isinstance(positions, list) else [positions]):
                if (not isinstance(p, list) or len(p) != 2 or not all(isinstance(v, int) and not isinstance(v, bool)
                                                                      for v in p)
                        or not (0 <= p[0] < self.height and 0 <= p[1] < self.width)):
                    raise ExportError(f"{path}: static_loc.{gain}[{i}]: expected [row, column] inside the "
                                      f"{self.width} x {self.height} frame, found {json.dumps(p)}")
                union.add((p[0], p[1]))
        return sorted(union)

    def bad_pixel_words(self) -> List[int]:
        """The packed static bad pixel table as 32-bit words."""
        words = self._bad_pixel_part("static_info", list, "the packed table as a list")
        path = self.path(BAD_PIXELS_FILE)
        out = []
        for i, w in enumerate(words):
            try:
                value = int(w, 16) if isinstance(w, str) else None
            except ValueError:
                value = None
            if value is None or not 0 <= value <= 0xFFFFFFFF:
                raise ExportError(f"{path}: static_info[{i}]: expected a 32-bit word as 0x text, found "
                                  f"{json.dumps(w)}")
            out.append(value)
        return out

    # ---- dark shading -------------------------------------------------------------

    def dark_shading(self) -> Tuple[List[str], List[List[List[float]]], int, int]:
        """(conditions, mesh tables in DN, with_sbl, fpn_sbl); every table of one size."""
        data = self._load(DARK_SHADING_FILE, "the dark shading mesh tables (tunekit dark-shading)", dict)
        path = self.path(DARK_SHADING_FILE)
        conditions, tables = data.get("condition"), data.get("mesh_table")
        if not isinstance(conditions, list) or not isinstance(tables, list) or len(conditions) != len(tables):
            raise ExportError(f"{path}: expected one mesh_table per condition, found "
                              f"{len(conditions) if isinstance(conditions, list) else conditions!r} conditions and "
                              f"{len(tables) if isinstance(tables, list) else tables!r} tables")
        if not tables:
            raise ExportError(f"{path}: holds no mesh table (no dark captures were found by the run)")
        shape = None
        for i, t in enumerate(tables):
            rows_ok = isinstance(t, list) and t and all(isinstance(r, list) and r for r in t)
            this = (len(t), len(t[0])) if rows_ok else None
            numbers = rows_ok and all(len(r) == this[1] and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in r) for r in t)
            if not numbers or (shape is not None and this != shape):
                raise ExportError(f"{path}: mesh_table[{i}] ({conditions[i]}): expected a "
                                  f"{'%d x %d' % shape if shape else 'rows x columns'} table of finite numbers")
            shape = this
        return [str(c) for c in conditions], tables, int(data.get("with_sbl", 1)), int(data.get("fpn_sbl", 0))

    # ---- characterisation --------------------------------------------------------

    def noise(self) -> Dict[float, CellNoise]:
        """Conversion gain, temporal read variance and dark level per characterised gain of the run's mode."""
        modes = self._part(CHARACTERIZATION_FILE,
                           "the conversion gain and temporal read noise per gain (tunekit characterize)", "modes",
                           list, "a list of sensor modes")
        path = self.path(CHARACTERIZATION_FILE)
        mode = [m for m in modes if isinstance(m, dict) and m.get("sensor_mode") == self.sensor_mode]
        if not mode:
            found = ", ".join(str(m.get("sensor_mode")) for m in modes if isinstance(m, dict)) or "none"
            raise ExportError(f"{path}: no sensor mode {self.sensor_mode} (the run's mode); found {found}")
        out = {}
        for gi, g in enumerate(mode[0].get("gains") or []):
            where = f"modes[{self.sensor_mode}].gains[{gi}]"
            gain = g.get("analog_gain") if isinstance(g, dict) else None
            if isinstance(gain, bool) or not isinstance(gain, (int, float)) or not gain > 0:
                raise ExportError(f"{path}: {where}.analog_gain: expected a positive number, found {json.dumps(gain)}")
            cells = g.get("cells")
            if not isinstance(cells, list) or len(cells) != CELL_POSITIONS or not all(isinstance(c, dict)
                                                                                      for c in cells):
                raise ExportError(f"{path}: {where}.cells: expected {CELL_POSITIONS} cell positions")

            def field(name, positive):
                values = self._cells([c.get(name) for c in cells], path, f"{where}.cells[*].{name}")
                for i, v in enumerate(values):
                    if v < 0 or (positive and v == 0):
                        raise ExportError(f"{path}: {where}.cells[{i}].{name}: expected a "
                                          f"{'positive' if positive else 'non-negative'} number, found {v!r}")
                return values

            out[float(gain)] = CellNoise(float(gain), field("conversion_gain", True),
                                         field("dark_temporal_variance", False), field("dark_level", False))
        if not out:
            raise ExportError(f"{path}: holds no characterised gain for sensor mode {self.sensor_mode}")
        return dict(sorted(out.items()))

    def noise_at(self, gain: Optional[float]) -> CellNoise:
        noise = self.noise()
        return noise[pick_gain(gain, list(noise), self.path(CHARACTERIZATION_FILE))]


def parse_gain_key(key: str, path: str) -> float:
    try:
        if not key.startswith(GAIN_PREFIX):
            raise ValueError
        gain = float(key[len(GAIN_PREFIX):])
        if not 0 < gain < math.inf:
            raise ValueError
        return gain
    except ValueError:
        raise ExportError(f"{path}: expected gain keys such as {GAIN_PREFIX}1, found {key!r}") from None


def pick_gain(wanted: Optional[float], calibrated: List[float], path: str) -> float:
    """The calibrated gain asked for, or the lowest one when none was."""
    if wanted is None:
        return min(calibrated)
    for g in calibrated:
        if math.isclose(g, wanted, rel_tol=1e-9):
            return g
    raise ExportError(f"gain {gain_text(wanted)} was not calibrated: {path} holds gains {gains_text(calibrated)}")
