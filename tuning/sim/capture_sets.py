"""Writing one capture kind over every (gain, exposure) condition of a sensor."""
import os

from .sensor import capture_file_name, write_raw_u16


def write_conditions(model, kind, folder, captures_per_condition, capture):
    """Writes capture(model, gain, exposure, index) for every condition and index; returns the paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for gain in model.again_list:
        for exposure in model.exp_time_list:
            for index in range(captures_per_condition):
                path = os.path.join(folder, capture_file_name(kind, model.sensor_mode, exposure, gain, index))
                write_raw_u16(path, capture(model, gain, exposure, index))
                paths.append(path)
    return paths
