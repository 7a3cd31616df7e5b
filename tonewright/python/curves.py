"""Named tone curves laid out as segmented LUTs: knots spaced more widely as the input grows."""
import math
from typing import Callable, Dict, List, Sequence

import numpy as np

WIDE_SIZE = 1 << 22  # LUT 1 and LUT 3 take the 22-bit luminance
OUTPUT_SIZE = 1 << 14  # LUT 2 takes an output-domain value
WIDE_ENDS = (16, 8192, WIDE_SIZE)
WIDE_SHIFTS = (0, 4, 14)
OUTPUT_ENDS = (16, 1024, OUTPUT_SIZE)
OUTPUT_SHIFTS = (0, 3, 6)


def _linear(x, _):
    return x


def _gamma(x, amount):
    return np.power(x, 1.0 / amount)


def _log(x, amount):
    return np.log1p(amount * x) / math.log1p(amount)


def _s_curve(x, amount):
    # x^c / (x^c + (1 - x)^c): a contrast about mid-grey that keeps black and white.
    a = np.power(x, amount)
    return a / (a + np.power(1.0 - x, amount))


# name -> (curve on 0..1, default amount, what amount means)
CURVES: Dict[str, tuple] = {
    "linear": (_linear, 1.0, "unused"),
    "gamma": (_gamma, 2.2, "gamma: output = input^(1/amount)"),
    "log": (_log, 64.0, "compression: log(1 + amount * input) / log(1 + amount)"),
    "s-curve": (_s_curve, 1.2, "contrast about mid-grey (1: none)"),
}


def curve_function(name: str, amount: float = None) -> Callable:
    if name not in CURVES:
        raise ValueError(f"curve {name!r}: expected one of {', '.join(CURVES)}")
    f, default, _ = CURVES[name]
    amount = default if amount is None else float(amount)
    if not amount > 0 or not math.isfinite(amount):
        raise ValueError(f"curve {name!r} amount: expected a finite value > 0, found {amount}")
    return lambda x: f(np.clip(x, 0.0, 1.0), amount)


def knot_positions(ends: Sequence[int], shifts: Sequence[int]) -> np.ndarray:
    """Every knot position of the layout, plus one beyond the last for the last slope."""
    positions, start = [], 0
    for end, shift in zip(ends, shifts):
        positions.append(np.arange(start, end, 1 << shift, dtype=np.int64))
        start = end
    last = positions[-1][-1] + (1 << shifts[-1])
    return np.concatenate(positions + [np.array([last], np.int64)])


def segmented_lut(name: str, amount: float = None, *, size: int, out_max: int) -> Dict[str, List[int]]:
    """A descriptor (knots, seg_end, seg_shift) of curve `name` from 0..size-1 onto 0..out_max."""
    ends, shifts = (WIDE_ENDS, WIDE_SHIFTS) if size == WIDE_SIZE else (OUTPUT_ENDS, OUTPUT_SHIFTS)
    positions = knot_positions(ends, shifts)
    f = curve_function(name, amount)
    values = np.rint(f(positions / float(size - 1)) * out_max)
    return {"knots": values.astype(np.int64).tolist(), "seg_end": list(ends), "seg_shift": list(shifts)}


def expand(knots: Sequence[int], seg_end: Sequence[int], seg_shift: Sequence[int]) -> np.ndarray:
    """The dense table the library builds from a descriptor (positions no segment reaches stay 0)."""
    length = int(seg_end[2])
    table = np.zeros(length, np.int64)
    knots = np.asarray(knots, np.int64)
    k, start = 0, 0
    for end, shift in zip(seg_end, seg_shift):
        stop = min(int(end), length)
        if stop > start and k < len(knots):
            pos = np.arange(start, stop, dtype=np.int64)
            index = k + ((pos - start) >> shift)
            base = np.minimum(index, len(knots) - 1)
            step = knots[np.minimum(index + 1, len(knots) - 1)] - knots[base]
            offset = (pos - start) & ((1 << shift) - 1)
            rounding = (1 << (shift - 1)) if shift else 0
            table[start:stop] = knots[base] + ((step * offset + rounding) >> shift)
            k += -(-(stop - start) >> shift)
        start = int(end)
        if end >= length:
            break
    return table
