"""Noise captures: a lit ramp with Poisson-Gaussian noise, for the shot noise calibration.

Each pixel collects Poisson-distributed electrons; the analog gain sets the
conversion gain (DN per electron), which is the shot noise factor: a signal of
S DN above black has a variance of K(g) * S DN^2 plus the read noise variance.
K(g) = slope * g + offset is a known line of the gain. The exposure is taken
to be set per gain so that the scene spans the same DN range at every gain.
"""
import dataclasses
from typing import Tuple

import numpy as np

from .capture_files import write_conditions

KIND = "noise"


@dataclasses.dataclass(frozen=True)
class ShotNoiseTruth:
    # Conversion gain K(g) = slope * g + offset (DN per electron = shot noise factor).
    conversion_gain_line: Tuple[float, float] = (0.3, 0.02)
    # The scene rises across the frame from black to this fraction of the
    # black-to-white range, wide enough to hold the levels the calibration
    # searches (0.5 % to 20.5 % of the range) below its 80th percentile.
    ramp_top: float = 0.3

    def conversion_gain(self, gain) -> float:
        slope, offset = self.conversion_gain_line
        return slope * gain + offset


TRUTH = ShotNoiseTruth()


def scene_signal(model, truth=TRUTH) -> np.ndarray:
    """Mean signal above black over the frame (DN, H x W): a ramp along the
    rows that also steps through the columns, so every level is well filled."""
    span = truth.ramp_top * (model.white_level - float(np.mean(model.black_level)))
    y = np.arange(model.height)[:, None] / model.height
    x = np.arange(model.width)[None, :]
    return span * (x + y) / model.width


def noise_capture(model, gain, exposure, index, truth=TRUTH) -> np.ndarray:
    rng = model.rng(2, gain, exposure, index)
    k = truth.conversion_gain(gain)
    electrons = rng.poisson(scene_signal(model, truth) / k)
    read = rng.normal(0.0, np.sqrt(model.read_noise_variance(gain)), size=(model.height, model.width))
    return model.quantise(model.expected_dark_frame(gain) + k * electrons + read)


def write(model, folder, captures_per_condition, capture_format=None):
    # A model in electrons sets the conversion gain for every kind.
    truth = TRUTH if model.electrons is None else dataclasses.replace(
        TRUTH, conversion_gain_line=tuple(model.electrons.conversion_gain_line))
    return write_conditions(model, KIND, folder, captures_per_condition,
                            lambda m, gain, exposure, index: noise_capture(m, gain, exposure, index, truth),
                            capture_format)


def without_dark_pattern(model):
    """The same sensor with its dark fixed pattern (shading, defects) removed.

    Read noise calibration takes the variance of a whole cell plane, which
    holds the fixed-pattern spread as well as the temporal noise; on this
    sensor its truth is the read noise quadratic plus the 1/12 DN^2 of
    rounding to whole DN.
    """
    return dataclasses.replace(model, shading_gradient=0.0, shading_vignette=0.0, hot_pixels=[])


QUANTISATION_VARIANCE = 1.0 / 12.0  # DN^2 added by rounding a noisy level to whole DN
