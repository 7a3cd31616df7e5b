"""Dark captures: black level, dark shading, hot pixels and read noise."""
import os

import numpy as np

from .sensor import capture_file_name, write_raw_u16

KIND = "dark"


def dark_capture(model, gain, exposure, index) -> np.ndarray:
    rng = model.rng(1, gain, exposure, index)
    noise = rng.normal(0.0, np.sqrt(model.read_noise_variance(gain)), size=(model.height, model.width))
    return model.quantise(model.expected_dark_frame(gain) + noise)


def write(model, folder, captures_per_condition):
    os.makedirs(folder, exist_ok=True)
    paths = []
    for gain in model.again_list:
        for exposure in model.exp_time_list:
            for index in range(captures_per_condition):
                path = os.path.join(folder, capture_file_name(KIND, model.sensor_mode, exposure, gain, index))
                write_raw_u16(path, dark_capture(model, gain, exposure, index))
                paths.append(path)
    return paths
