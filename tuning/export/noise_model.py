"""The noise arithmetic every noise export shares.

The characterisation gives, per gain and cell position, the conversion gain
K (DN of variance per DN of signal) and the temporal read variance V (DN^2).
On a signal x normalised to 0..1 above black (x = (level - B) / (W - B)) the
variance is S x + O with
    S = K / (W - B),    O = V / (W - B)^2,
the pair a raw converter's noise profile and a denoiser's a, b hold.
"""
import math
from typing import Dict, List, Sequence, Tuple

from tuning.export.results import CELL_POSITIONS, CHARACTERIZATION_FILE, CellNoise, ExportError, Results, gains_text

ISO_PER_GAIN = 100.0  # sensitivity of unity analog gain, as ISO
RGB = ("R", "G", "B")
ANDROID_CHANNELS = ("R", "Gr", "Gb", "B")
FULL_SCALE_BITS = 16  # the 16-bit scale the libcamera tuning files use
UNITY_GAIN = 1.0
REFIT_POINTS = 1025  # signal levels, 0 to full scale, at which sigma = c + s sqrt(mu) is fitted


class PlaneNoise:
    """S and O per cell position at one gain (on signal normalised to 0..1 above black)."""

    def __init__(self, gain: float, scale: List[float], offset: List[float]):
        self.gain = gain
        self.scale = scale  # S
        self.offset = offset  # O


def normalised(noise: CellNoise, white_level: Sequence[float]) -> PlaneNoise:
    scale, offset = [], []
    for c in range(CELL_POSITIONS):
        span = white_level[c] - noise.dark_level[c]
        if not span > 0:
            raise ExportError(f"gain {noise.gain:g}, cell position {c}: white level {white_level[c]:g} DN is not "
                              f"above the dark level {noise.dark_level[c]:g} DN")
        scale.append(noise.conversion_gain[c] / span)
        offset.append(noise.read_variance[c] / (span * span))
    return PlaneNoise(noise.gain, scale, offset)


def per_gain(results: Results) -> Dict[float, PlaneNoise]:
    return {g: normalised(n, results.white_level) for g, n in results.noise().items()}


def at_gain(results: Results, gain) -> PlaneNoise:
    return normalised(results.noise_at(gain), results.white_level)


def by_colour(values: Sequence[float], colours: Sequence[str], names: Sequence[str]) -> List[float]:
    """Values per cell position as values per named channel; "G" is the mean of both greens."""
    out = []
    for name in names:
        picked = [v for v, c in zip(values, colours) if c == name or (name == "G" and c in ("Gr", "Gb"))]
        out.append(sum(picked) / len(picked))
    return out


def rgb_pairs(noise: PlaneNoise, colours: Sequence[str]) -> Tuple[List[float], List[float]]:
    """(S per R, G, B; O per R, G, B), the greens merged."""
    return by_colour(noise.scale, colours, RGB), by_colour(noise.offset, colours, RGB)


def least_squares(columns: Sequence[Sequence[float]], y: Sequence[float]) -> List[float]:
    """The coefficients of the columns whose sum comes closest to y in the least-squares sense."""
    import numpy as np

    a = np.asarray(columns, dtype=float).T
    solution, *_ = np.linalg.lstsq(a, np.asarray(y, dtype=float), rcond=None)
    return [float(v) for v in solution]


class AndroidModel:
    """Per channel R, Gr, Gb, B: S = A g + B and O = C g^2 + D, g the sensitivity as ISO."""

    def __init__(self, a, b, c, d, sensitivities):
        self.a, self.b, self.c, self.d = a, b, c, d
        self.sensitivities = sensitivities


def android_model(results: Results) -> AndroidModel:
    noise = per_gain(results)
    if len(noise) < 2:
        raise ExportError(f"the android noise model is a line of the sensitivity: "
                          f"{results.path(CHARACTERIZATION_FILE)} holds {len(noise)} gain "
                          f"({gains_text(list(noise))}); characterise at least 2 gains")
    iso = [g * ISO_PER_GAIN for g in noise]
    colours = results.colours()
    coefficients = {name: [] for name in "abcd"}
    for channel in ANDROID_CHANNELS:
        cell = colours.index(channel)
        a, b = least_squares([iso, [1.0] * len(iso)], [n.scale[cell] for n in noise.values()])
        c, d = least_squares([[s * s for s in iso], [1.0] * len(iso)], [n.offset[cell] for n in noise.values()])
        for name, value in zip("abcd", (a, b, c, d)):
            coefficients[name].append(value)
    return AndroidModel(sensitivities=iso, **coefficients)


def full_scale_factor(bits: int) -> float:
    """Raw DN to the 16-bit scale: a 10-bit black level of 64 is 4096."""
    return float(1 << (FULL_SCALE_BITS - bits))


def sqrt_refit(results: Results) -> Tuple[float, float]:
    """(c, s) of sigma = c + s sqrt(mu) closest, by least squares over evenly spaced levels from black to
    white, to sigma = sqrt(K mu + V) at unity gain; mu and sigma on the 16-bit scale, K and V the mean
    over the cell positions."""
    noise = results.noise()
    unity = [g for g in noise if math.isclose(g, UNITY_GAIN)]
    if not unity:
        raise ExportError(f"the noise reference is taken at unity gain: {results.path(CHARACTERIZATION_FILE)} "
                          f"holds gains {gains_text(list(noise))}, not 1")
    cells = noise[unity[0]]
    f = full_scale_factor(results.bits)
    k = sum(cells.conversion_gain) / CELL_POSITIONS * f
    v = sum(cells.read_variance) / CELL_POSITIONS * f * f
    top = min(w - b for w, b in zip(results.white_level, cells.dark_level)) * f
    if not top > 0:
        raise ExportError("the white level is not above the dark level at unity gain")
    levels = [top * i / (REFIT_POINTS - 1) for i in range(REFIT_POINTS)]
    sigma = [math.sqrt(k * mu + v) for mu in levels]
    c, s = least_squares([[1.0] * len(levels), [math.sqrt(mu) for mu in levels]], sigma)
    return c, s
