"""What a tone-mapping call did, in a form to look at: demosaiced previews, luminance histograms,
the tone curve the call applied (overall and per block).

Before and after are shown at the same exposure: both are divided by the output white level
(`out_max`), the input after the plain linear rescale into the output range.
"""
import math
from typing import Dict, List

import cv2
import numpy as np

from tonewright.python.params import VALUE_BITS

DISPLAY_GAMMA = 2.2
HISTOGRAM_BINS = 64  # over the 8-bit display luminance
DECADE_BINS = 10  # tone curve bins per decade of the 20-bit input, as the model's histograms
CURVE_BINS = int(math.log10((1 << VALUE_BITS) - 1) * DECADE_BINS) + 1  # the bin of full scale is the last
# OpenCV names a Bayer layout after the second row; the key is the position of red in the first cell.
BAYER_TO_BGR = {0: cv2.COLOR_BayerBG2BGR, 1: cv2.COLOR_BayerGB2BGR, 2: cv2.COLOR_BayerGR2BGR,
                3: cv2.COLOR_BayerRG2BGR}
BLOCK_SIZES = {1: 128, 2: 256, 3: 512, 4: 1024}


def block_size(code: int) -> int:
    return BLOCK_SIZES.get(code, 64)


def output_bits(out_max: int) -> int:
    return int(math.log2(out_max + 1))


def linear_rescale(frame: np.ndarray, out_max: int) -> np.ndarray:
    """The 20-bit input brought into the output range as a zero-strength call would: a plain shift."""
    shift = VALUE_BITS - output_bits(out_max)
    scaled = frame >> shift if shift >= 0 else frame << -shift
    return np.minimum(scaled, out_max)


RED_BLUE_POSITIONS = {0: (0, 3), 1: (1, 2), 2: (2, 1), 3: (3, 0)}  # cell positions of R and B per pattern


def _display_table(out_max: int, gain: float) -> np.ndarray:
    codes = np.arange(1 << 16, dtype=np.float32)
    return (255.0 * np.clip(codes * gain / out_max, 0, 1) ** (1 / DISPLAY_GAMMA) + 0.5).astype(np.uint8)


class Display:
    """Turns output-range Bayer frames into 8-bit BGR pictures: white balance gains (R, G, B as
    ratios) and the display gamma on the samples, then OpenCV's demosaic. Gamma before demosaic
    costs a third of the table look-ups; the tables are made once per setting."""

    def __init__(self, out_max: int, cfa_pattern: int, gains_rgb=(1.0, 1.0, 1.0)):
        self.key = (out_max, cfa_pattern, tuple(gains_rgb))
        self.code = BAYER_TO_BGR[cfa_pattern]
        red, blue = RED_BLUE_POSITIONS[cfa_pattern]
        tables = {g: _display_table(out_max, g) for g in set(gains_rgb)}
        # One table per cell position, end to end, so that one look-up serves the whole frame.
        self.tables = np.concatenate([tables[gains_rgb[0] if k == red else gains_rgb[2] if k == blue
                                             else gains_rgb[1]] for k in range(4)])
        self._offsets: Dict[tuple, np.ndarray] = {}

    def _offsets_for(self, shape) -> np.ndarray:
        if shape not in self._offsets:
            position = (np.arange(shape[0])[:, None] & 1) * 2 + (np.arange(shape[1])[None, :] & 1)
            self._offsets = {shape: (position << 16).astype(np.int32)}
        return self._offsets[shape]

    def picture(self, frame: np.ndarray, width: int = 0) -> np.ndarray:
        """The picture, scaled down to `width` columns when that is given and smaller."""
        index = np.clip(frame, 0, 0xFFFF).astype(np.int32)
        index += self._offsets_for(index.shape)
        bgr = cv2.cvtColor(np.take(self.tables, index), self.code)
        if width and width < bgr.shape[1]:
            height = max(1, round(bgr.shape[0] * width / bgr.shape[1]))
            bgr = cv2.resize(bgr, (width, height), interpolation=cv2.INTER_AREA)
        return bgr


def display_for(params) -> Display:
    if params.wb_gain_r and params.wb_gain_g and params.wb_gain_b:
        # The preview balances the colours relative to green, so the picture keeps its exposure.
        g = params.wb_gain_g
        gains = (params.wb_gain_r / g, 1.0, params.wb_gain_b / g)
    else:
        gains = (1.0, 1.0, 1.0)
    return Display(params.out_max, params.cfa_pattern, gains)


def luminance_histogram(picture: np.ndarray) -> List[int]:
    grey = cv2.cvtColor(picture, cv2.COLOR_BGR2GRAY)
    counts = cv2.calcHist([grey], [0], None, [HISTOGRAM_BINS], [0, 256]).ravel()
    return [int(c) for c in counts]


def cell_means(frame: np.ndarray) -> np.ndarray:
    """One value per 2x2 Bayer cell: the mean of its four samples."""
    h, w = frame.shape[0] // 2 * 2, frame.shape[1] // 2 * 2
    # Area resampling to half size is exactly the mean of each 2x2 cell.
    return cv2.resize(frame[:h, :w].astype(np.float32), (w // 2, h // 2), interpolation=cv2.INTER_AREA)


def decade_bins(cells_in: np.ndarray) -> np.ndarray:
    """Bin index of each cell's input level, a tenth of a decade of the 20-bit code per bin."""
    return np.clip((np.log10(np.maximum(cells_in, 1.0)) * DECADE_BINS).astype(np.int32), 0, CURVE_BINS - 1)


def tone_curve(bins: np.ndarray, cells_out: np.ndarray, out_max: int) -> List[float]:
    """Mean output (fraction of out_max) per input bin; None where no cell fell."""
    count = np.bincount(bins.ravel(), minlength=CURVE_BINS)
    total = np.bincount(bins.ravel(), weights=cells_out.ravel(), minlength=CURVE_BINS)
    return [float(t / n / out_max) if n else None for t, n in zip(total, count)]


def curve_levels() -> List[float]:
    """The 20-bit input level at the middle of each tone curve bin."""
    return [10 ** ((k + 0.5) / DECADE_BINS) for k in range(CURVE_BINS)]


def block_statistics(frame_in: np.ndarray, frame_out: np.ndarray, block: int, out_max: int) -> Dict:
    """Per block of block x block pixels: the input histogram over the tone curve bins and the mean
    output per bin."""
    cells_in, cells_out = cell_means(frame_in), cell_means(frame_out)
    bins = decade_bins(cells_in)
    side = max(1, block // 2)
    rows, cols = max(1, bins.shape[0] // side), max(1, bins.shape[1] // side)
    histograms, curves = [], []
    for r in range(rows):
        for c in range(cols):
            window = (slice(r * side, (r + 1) * side if r < rows - 1 else None),
                      slice(c * side, (c + 1) * side if c < cols - 1 else None))
            b = bins[window]
            histograms.append(np.bincount(b.ravel(), minlength=CURVE_BINS))
            curves.append(tone_curve(b, cells_out[window], out_max))
    return {"rows": rows, "cols": cols, "histograms": np.array(histograms), "curves": curves,
            "curve": tone_curve(bins, cells_out, out_max)}
