"""Lit captures: a flat field with photo-response non-uniformity, shot noise,
and planted cold (weak or dead) and stuck-low pixels.

Every lit capture also carries the dark frame underneath it (black level, dark
shading, hot pixels), since dark current does not go away under light. The
exposure is taken as set for the same mid-level signal at every gain, as a
flat-field capture in the lab would be.
"""
import dataclasses
from typing import List, Tuple

import numpy as np

from .capture_files import write_conditions

KIND = "light"


@dataclasses.dataclass
class LitScene:
    """The light falling on the sensor and the pixels that answer it badly."""

    # Flat-field signal above the black level, as a fraction of the range
    # from black to white (dimensionless).
    level_fraction: float = 0.5
    # Photo-response non-uniformity: relative standard deviation of each
    # pixel's response (dimensionless), fixed per pixel.
    prnu: float = 0.01
    # Shot noise variance per DN of signal at gain 1 (DN), growing with the gain.
    shot_noise_per_dn: float = 0.25
    # Cold pixels: (row, column, response relative to a normal pixel; 0 is dead).
    cold_pixels: List[Tuple[int, int, float]] = dataclasses.field(
        default_factory=lambda: [(50, 60, 0.0), (151, 250, 0.3), (260, 400, 0.5), (333, 123, 0.2)])
    # Stuck pixels: (row, column, value they always read in DN).
    stuck_pixels: List[Tuple[int, int, int]] = dataclasses.field(
        default_factory=lambda: [(90, 480, 0), (222, 31, 12)])


def scene(model) -> LitScene:
    """The model's lit scene, or the default one."""
    return getattr(model, "lit_scene", None) or LitScene()


def inside(model, pixels):
    return [p for p in pixels if p[0] < model.height and p[1] < model.width]


def planted_light_defects(model):
    """(row, column) of every cold and stuck pixel inside the frame."""
    s = scene(model)
    return sorted({(r, c) for r, c, _ in inside(model, s.cold_pixels) + inside(model, s.stuck_pixels)})


def response_map(model) -> np.ndarray:
    """Per-pixel response: PRNU around 1, cold pixels scaled down (H x W)."""
    s = scene(model)
    response = model.rng(2).normal(1.0, s.prnu, size=(model.height, model.width))
    for row, col, factor in inside(model, s.cold_pixels):
        response[row, col] *= factor
    return response


def lit_capture(model, gain, exposure, index, response) -> np.ndarray:
    s = scene(model)
    signal = s.level_fraction * (model.white_level - model.black_level_at(gain).mean()) * response
    rng = model.rng(3, gain, exposure, index)
    variance = model.read_noise_variance(gain) + s.shot_noise_per_dn * gain * signal
    frame = model.expected_dark_frame(gain) + signal + rng.normal(0.0, 1.0, size=signal.shape) * np.sqrt(variance)
    for row, col, value in inside(model, s.stuck_pixels):
        frame[row, col] = value
    return model.quantise(frame)


def write(model, folder, captures_per_condition, capture_format=None):
    response = response_map(model)
    return write_conditions(model, KIND, folder, captures_per_condition,
                            lambda m, gain, exposure, index: lit_capture(m, gain, exposure, index, response),
                            capture_format)
