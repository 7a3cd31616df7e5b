"""A C header for firmware: black levels per gain, the packed static bad pixel
table and the dark shading mesh tables as static const arrays, with their
sizes as macros and their scales and units in comments. Levels are fixed
point with FRACTION_BITS fractional bits so the header needs no float."""
import json
import re
from typing import List

from tuning import atomic_write
from tuning.export.results import CELL_POSITIONS, Results, gain_text

FRACTION_BITS = 8  # levels and gains are value * 2^8, rounded
WORDS_PER_LINE = 6


def fixed(value: float) -> int:
    return int(round(value * (1 << FRACTION_BITS)))


def c_string(text: str) -> str:
    """A C string literal of the text (JSON escapes are C escapes for printable ASCII)."""
    return json.dumps(text, ensure_ascii=True).replace("?", "\\?")  # no trigraphs


def rows_text(rows: List[List[str]], indent: str) -> str:
    """Brace-less rows of values, one line per row, separated by commas."""
    return ",\n".join(indent + ", ".join(r) for r in rows)


def wrapped(values: List[str], indent: str = "  ") -> str:
    return rows_text([values[i:i + WORDS_PER_LINE] for i in range(0, len(values), WORDS_PER_LINE)], indent)


def braced(rows: List[List[str]], indent: str) -> str:
    return ",\n".join(f"{indent}{{{', '.join(r)}}}" for r in rows)


def guard_name(prefix: str) -> str:
    return re.sub(r"[^A-Z0-9]", "_", prefix.upper()) + "_CALIBRATION_H"


def header(results: Results, prefix: str = "tunekit") -> str:
    levels = results.black_levels()
    words = results.bad_pixel_words()
    conditions, tables, with_sbl, fpn_sbl = results.dark_shading()
    rows, cols = len(tables[0]), len(tables[0][0])
    p, P, q = prefix, prefix.upper(), f"q{FRACTION_BITS}"
    guard = guard_name(prefix)
    shading_unit = "raw DN" if with_sbl else f"raw DN above the fixed black level {fpn_sbl}"
    shading = ",\n".join("  {\n" + braced([[str(fixed(v)) for v in r] for r in t], "    ") + "\n  }"
                          for t in tables)
    return f"""/* Calibration of a {results.width} x {results.height} {results.bits}-bit {results.cfa_type} sensor
 * ({results.sensor_mode}), written by tunekit export.
 * Fixed point: a value written as Q{FRACTION_BITS} is the real value times {1 << FRACTION_BITS}, rounded.
 * Cell positions: 0 even row/even column, 1 even/odd, 2 odd/even, 3 odd/odd. */
#ifndef {guard}
#define {guard}

#include <stdint.h>

#define {P}_FRACTION_BITS {FRACTION_BITS}
#define {P}_CELL_POSITIONS {CELL_POSITIONS}

/* Black level per analog gain and cell position (raw DN, Q{FRACTION_BITS}), the mean over the gain's
 * exposures; the analog gains (times, Q{FRACTION_BITS}): {", ".join(gain_text(g) for g in levels)}. */
#define {P}_BLACK_LEVEL_GAINS {len(levels)}
static const uint32_t {p}_black_level_gain_{q}[{P}_BLACK_LEVEL_GAINS] = {{
{wrapped([str(fixed(g)) for g in levels])}
}};
static const uint32_t {p}_black_level_{q}[{P}_BLACK_LEVEL_GAINS][{P}_CELL_POSITIONS] = {{
{braced([[str(fixed(v)) for v in cells] for cells in levels.values()], "  ")}
}};

/* Static bad pixel table, {P}_BAD_PIXEL_WORDS 32-bit words: for each row holding bad pixels, rows
 * ascending, a header word (row << 16 | count), then the columns two to a word (second << 16 | first;
 * a 0 pads an odd count).{" The table is empty: its one word is a placeholder." if not words else ""} */
#define {P}_BAD_PIXEL_WORDS {len(words)}
static const uint32_t {p}_bad_pixel_words[{max(len(words), 1)}] = {{
{wrapped([f"0x{w:08x}u" for w in words] or ["0x00000000u"])}
}};

/* Dark shading mesh tables, one per (gain, exposure) condition as named below, {P}_DARK_SHADING_ROWS x
 * {P}_DARK_SHADING_COLS: each entry the mean dark level of its block of the frame
 * ({shading_unit}, Q{FRACTION_BITS}). */
#define {P}_DARK_SHADING_TABLES {len(tables)}
#define {P}_DARK_SHADING_ROWS {rows}
#define {P}_DARK_SHADING_COLS {cols}
static const char* const {p}_dark_shading_condition[{P}_DARK_SHADING_TABLES] = {{
{wrapped([c_string(c) for c in conditions], "  ")}
}};
static const int32_t {p}_dark_shading_{q}[{P}_DARK_SHADING_TABLES][{P}_DARK_SHADING_ROWS][{P}_DARK_SHADING_COLS] = {{
{shading}
}};

#endif /* {guard} */
"""


def write(results: Results, out: str) -> str:
    atomic_write.write_text_atomically(out, header(results))
    return f"wrote {out}"
