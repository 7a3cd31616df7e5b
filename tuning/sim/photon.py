"""The sensor in electrons: what a characterisation by the photon transfer method should recover.

Light reaches a pixel as photons; a share of them (the quantum efficiency,
scaled per pixel by the photo-response non-uniformity) become electrons, with
Poisson shot noise per electron. The pixel holds at most its full well of
electrons; the conversion gain K(g) (DN per electron) of the analog gain g turns
them into DN above the dark frame, read noise is added and the ADC rounds and
clips at the white level. The dark frame carries a dark signal non-uniformity
(DSNU) of electrons fixed per pixel besides the model's DN dark pattern.

Everything here draws on generators of its own, so a set that does not ask for
this model is written exactly as before.
"""
import dataclasses
import math
from typing import Dict, List, Tuple

import numpy as np

from .kind_noise import TRUTH as NOISE_TRUTH

CELL_POSITIONS = 4
# Generator streams of this model's maps and captures (the other kinds use 1 to 3).
DSNU_STREAM, PRNU_STREAM, FLAT_STREAM = 11, 12, 13
# Rounding a level whose noise spans a few DN to whole DN adds this variance (DN^2).
QUANTISATION_VARIANCE = 1.0 / 12.0


@dataclasses.dataclass
class ElectronModel:
    # Share of the photons that become electrons (0 to 1).
    quantum_efficiency: float = 0.6
    # Photons reaching a pixel per unit of exposure of the flat captures.
    photons_per_exposure: float = 100.0
    # Saturation capacity: electrons a pixel holds before it clips (e-).
    full_well_e: float = 6000.0
    # Dark signal non-uniformity: standard deviation of a fixed per-pixel dark signal (e-).
    dsnu_e: float = 0.0
    # Photo-response non-uniformity: relative standard deviation of each pixel's response (0.01 is 1 %).
    prnu: float = 0.01
    # Conversion gain K(g) = slope * g + offset (DN/e-); the noise captures use the same line.
    conversion_gain_line: Tuple[float, float] = NOISE_TRUTH.conversion_gain_line
    # Exposures of the flat captures: from 1 % of the full well through saturation at gain 1.
    flat_exposures: List[float] = dataclasses.field(
        default_factory=lambda: [1, 2, 4, 8, 15, 25, 35, 50, 65, 80, 90, 100, 110, 125])

    def __post_init__(self):
        self.conversion_gain_line = tuple(self.conversion_gain_line)
        if not 0.0 < self.quantum_efficiency <= 1.0:
            raise ValueError(f"quantum_efficiency: expected more than 0 and at most 1, found {self.quantum_efficiency}")
        for name in ("photons_per_exposure", "full_well_e"):
            if not getattr(self, name) > 0.0:
                raise ValueError(f"{name}: expected a positive number, found {getattr(self, name)}")
        for name in ("dsnu_e", "prnu"):
            if not getattr(self, name) >= 0.0:
                raise ValueError(f"{name}: expected 0 or more, found {getattr(self, name)}")
        if not self.flat_exposures or any(not t > 0 for t in self.flat_exposures):
            raise ValueError(f"flat_exposures: expected positive exposures, found {self.flat_exposures}")
        if len(set(self.flat_exposures)) != len(self.flat_exposures):
            raise ValueError(f"flat_exposures: expected each exposure once, found {self.flat_exposures}")

    def conversion_gain(self, gain) -> float:
        slope, offset = self.conversion_gain_line
        return slope * gain + offset

    def mean_electrons(self, exposure) -> float:
        """Electrons a pixel of average response collects in this exposure (e-)."""
        return self.quantum_efficiency * self.photons_per_exposure * exposure


def of(model) -> ElectronModel:
    """The model's electron model, or the default one."""
    return model.electrons if model.electrons is not None else ElectronModel()


def cells(frame: np.ndarray):
    """The four cell-position planes of a frame, in cell-position order."""
    return [frame[0::2, 0::2], frame[0::2, 1::2], frame[1::2, 0::2], frame[1::2, 1::2]]


def dsnu_map(model) -> np.ndarray:
    """Fixed dark signal per pixel around 0 (e-, H x W); zeros without DSNU."""
    e = of(model)
    if e.dsnu_e == 0.0:
        return np.zeros((model.height, model.width))
    return model.rng(DSNU_STREAM).normal(0.0, e.dsnu_e, size=(model.height, model.width))


def response_map(model) -> np.ndarray:
    """Per-pixel response around 1 (H x W): the photo-response non-uniformity."""
    e = of(model)
    if e.prnu == 0.0:
        return np.ones((model.height, model.width))
    return model.rng(PRNU_STREAM).normal(1.0, e.prnu, size=(model.height, model.width))


def flat_capture(model, gain, exposure, index, response) -> np.ndarray:
    """A uniformly lit capture: Poisson electrons clipped at the full well, K DN each, on the dark frame."""
    e = of(model)
    rng = model.rng(FLAT_STREAM, gain, exposure, index)
    electrons = np.minimum(rng.poisson(e.mean_electrons(exposure) * np.maximum(response, 0.0)), e.full_well_e)
    read = rng.normal(0.0, math.sqrt(model.read_noise_variance(gain)), size=(model.height, model.width))
    return model.quantise(model.expected_dark_frame(gain) + e.conversion_gain(gain) * electrons + read)


def gain_truth(model, gain, scene_captures: int, response: np.ndarray) -> Dict[str, object]:
    """Every figure of one gain a characterisation should recover; per-cell lists in cell-position order.

    scene_captures: the noise captures of the gain (every exposure's), which the shot noise factor is formed over."""
    e = of(model)
    k = e.conversion_gain(gain)
    white = float(model.white_level)
    dark = np.minimum(model.expected_dark_frame(gain), white)
    dark_level = np.array([plane.mean() for plane in cells(dark)])
    dsnu = np.array([plane.std() for plane in cells(dark)])
    read_variance = model.read_noise_variance(gain)
    temporal = read_variance + QUANTISATION_VARIANCE
    prnu = np.array([100.0 * plane.std() / plane.mean() for plane in cells(response)])
    # The full well clips first unless K times it reaches past the ADC's white level.
    saturation_e = np.minimum(e.full_well_e, (white - dark_level) / k)
    temporal_noise_e = math.sqrt(temporal) / k
    return {
        "analog_gain": gain,
        "conversion_gain": k,                                         # DN/e-
        "read_noise_e": math.sqrt(read_variance) / k,                 # e-, before rounding to DN
        "temporal_dark_noise_e": temporal_noise_e,                    # e-, with the rounding to DN
        "dark_temporal_variance": temporal,                           # DN^2
        "dark_level": dark_level.tolist(),                            # DN
        "dsnu": dsnu.tolist(),                                        # DN
        "dsnu_e": (dsnu / k).tolist(),                                # e-
        "prnu": prnu.tolist(),                                        # %
        "saturation_capacity_e": saturation_e.tolist(),               # e-
        "saturation_level": (dark_level + k * saturation_e).tolist(),  # DN
        "dynamic_range_db": (20.0 * np.log10(saturation_e / temporal_noise_e)).tolist(),  # dB
        # What the calibrations report for the same captures: the shot noise
        # factor divides the variance over n captures by n, and the read noise
        # variance of the whole dark plane holds the DSNU as well.
        "shot_noise_factor": k * (scene_captures - 1) / scene_captures,  # DN
        "read_noise_variance": (temporal + dsnu ** 2).tolist(),       # DN^2
    }


def truth(model, captures: int) -> Dict[str, object]:
    """The characterisation's truth of the model with `captures` captures per condition. The noise captures
    of a gain are written at every exposure of the model and read together, as one set per gain."""
    response = response_map(model)
    scene = captures * len(model.exp_time_list)
    return {"captures": captures, "scene_captures": scene, "sensor_mode": model.sensor_mode,
            "gains": [gain_truth(model, g, scene, response) for g in model.again_list]}
