"""Dark captures: black level, dark shading, hot pixels and read noise."""
import numpy as np

from .capture_files import write_conditions

KIND = "dark"


def dark_capture(model, gain, exposure, index) -> np.ndarray:
    rng = model.rng(1, gain, exposure, index)
    noise = rng.normal(0.0, np.sqrt(model.read_noise_variance(gain)), size=(model.height, model.width))
    return model.quantise(model.expected_dark_frame(gain) + noise)


def write(model, folder, captures_per_condition, capture_format=None):
    return write_conditions(model, KIND, folder, captures_per_condition, dark_capture, capture_format)
