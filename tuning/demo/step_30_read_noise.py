"""Read noise per cell position as a quadratic of the analog gain, from simulated dark captures."""
import os

import numpy as np

from tuning import atomic_write
from tuning.demo.context import table
from tuning.demo.plots import finish, pyplot

TITLE = "Read noise (dark captures without fixed pattern)"
CELLS = ("ch0", "ch1", "ch2", "ch3")


def run(context):
    from tuning import sim
    from tuning.common import SensorMode
    from tuning.noise_profile import read_noise
    from tuning.sim import kind_noise

    sensor = kind_noise.without_dark_pattern(context.sensor)
    folder = os.path.join(context.capture_dir, "read_noise")
    paths = sim.write_captures(sensor, "dark", folder, context.captures_per_condition)
    print(f"simulated {len(paths)} dark captures without shading or defects -> {folder}")

    black = [float(b) for b in sensor.black_level_at(1)]
    file_param = read_noise.ReadNoiseFileParam(
        inp_file_dir=folder, out_file_dir=context.result_dir, width=sensor.width, height=sensor.height,
        bits=sensor.bits, sensor_mode=SensorMode[sensor.sensor_mode], again_list=sensor.again_list,
        exp_time_list=sensor.exp_time_list)
    tuning_param = read_noise.ReadNoiseTuningParam(black_level=black, white_level=[sensor.white_level] * 4)
    profile = read_noise.calibrate_read_noise(file_param, tuning_param)
    points = read_noise.measure_read_noise(file_param, tuning_param)
    path = os.path.join(context.result_dir, "read_noise.json")
    atomic_write.write_text_atomically(path, profile.json(indent=4))

    c0, c1, c2 = sensor.read_noise_coeffs
    truth = (c2, c1, c0 + kind_noise.QUANTISATION_VARIANCE)
    rows = [[cell] + [f"{t:.4f} / {r:.4f}" for t, r in zip(truth, coeffs)] for cell, coeffs in zip(CELLS, profile.coeffs)]
    print("read noise variance a2 g^2 + a1 g + a0 (raw DN^2), true / recovered; a0 includes 1/12 DN^2 of rounding:")
    print(table(["cell", "a2", "a1", "a0"], rows))
    samples = sensor.width * sensor.height // 4 * len(sensor.exp_time_list) * context.captures_per_condition
    print(f"each variance is taken over {samples} samples (relative standard error {np.sqrt(2 / samples):.2%})")
    plot = draw(points, profile, truth, os.path.join(context.result_dir, "read_noise.png"))
    print(f"wrote {path} and {plot}")


def draw(points, profile, truth, path):
    plt = pyplot()
    gains = np.asarray(points["analog_gains"])
    sigmas = np.asarray(points["sigmas"])
    curve_g = np.linspace(0, gains.max() * 1.05, 200)
    fig, ax = plt.subplots(figsize=(7, 5))
    for c, cell in enumerate(CELLS):
        line = ax.plot(curve_g, np.polyval(profile.coeffs[c], curve_g), label=f"{cell} fit")[0]
        ax.plot(gains, sigmas[:, c], "o", color=line.get_color(), label=f"{cell} measured")
    ax.plot(curve_g, np.polyval(truth, curve_g), "k--", label="truth (+1/12 rounding)")
    return finish(fig, ax, path, "analog gain",
                  "dark variance per cell position (raw DN$^2$)",
                  "Read noise: variance against gain, quadratic fit")
