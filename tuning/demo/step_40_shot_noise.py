"""Shot noise factor per cell position as a line of the analog gain, from simulated noise captures."""
import os

import numpy as np

from tuning import atomic_write
from tuning.demo.context import table
from tuning.demo.plots import finish, pyplot

TITLE = "Shot noise (repeated captures of a lit ramp)"
CELLS = ("ch0", "ch1", "ch2", "ch3")


def run(context):
    from tuning.common import SensorMode
    from tuning.noise_profile import shot_noise
    from tuning.sim import kind_noise

    sensor = context.sensor
    file_param = shot_noise.ShotNoiseFileParam(
        inp_file_dir=context.captures("noise"), out_file_dir=context.result_dir, width=sensor.width,
        height=sensor.height, bits=sensor.bits, sensor_mode=SensorMode[sensor.sensor_mode],
        again_list=sensor.again_list, exp_time_list=sensor.exp_time_list)
    tuning_param = shot_noise.ShotNoiseTuningParam(
        black_level=[float(b) for b in sensor.black_level_at(1)], white_level=[sensor.white_level] * 4)
    profile = shot_noise.calibrate_shot_noise(file_param, tuning_param)
    gains = shot_noise.measure_shot_noise(file_param, tuning_param)
    path = os.path.join(context.result_dir, "shot_noise.json")
    atomic_write.write_text_atomically(path, profile.json(indent=4))

    # Each level's variance is taken about the pixels' own means over n
    # captures, which keeps (n - 1) / n of the temporal variance.
    n = len(sensor.exp_time_list) * context.captures_per_condition
    keep = (n - 1) / n
    slope, offset = kind_noise.TRUTH.conversion_gain_line
    truth = (slope * keep, offset * keep)
    rows = [[cell, f"{truth[0]:.4f} / {a1:.4f}", f"{truth[1]:.4f} / {a0:.4f}"]
            for cell, (a1, a0) in zip(CELLS, profile.coeffs)]
    print(f"shot noise factor a1 g + a0 (raw DN^2 per DN), true x (n-1)/n with n = {n} captures / recovered:")
    print(table(["cell", "a1", "a0"], rows))
    per_gain = [[f"{g['analog_gain']:g}", f"{kind_noise.TRUTH.conversion_gain(g['analog_gain']) * keep:.4f}"] +
                [f"{c['k']:.4f}" for c in g["cells"]] for g in gains]
    print("per-gain factor (slope of variance against signal), true x (n-1)/n and recovered per cell:")
    print(table(["gain", "true"] + list(CELLS), per_gain))
    plots = [draw_levels(gains, os.path.join(context.result_dir, "shot_noise_levels.png")),
             draw_factors(gains, profile, truth, os.path.join(context.result_dir, "shot_noise_factor.png"))]
    print(f"wrote {path}, {plots[0]} and {plots[1]}")


def draw_levels(gains, path):
    """Variance against signal per gain (cell 0), with the fitted lines."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(7, 5))
    for g in gains:
        cell = g["cells"][0]
        values = np.asarray(cell["values"])
        intercept = np.average(np.asarray(cell["variances"]) - cell["k"] * values, weights=np.square(cell["freqs"]))
        dots = ax.plot(values, cell["variances"], ".", markersize=2, alpha=0.4)[0]
        ax.plot(values, cell["k"] * values + intercept, color=dots.get_color(),
                label=f"gain {g['analog_gain']:g}: slope {cell['k']:.3f}")
    return finish(fig, ax, path, "signal above black level (raw DN)",
                  "variance about the level (raw DN$^2$)",
                  "Shot noise: variance against signal per gain (ch0), weighted line fits")


def draw_factors(gains, profile, truth, path):
    """Shot noise factor against gain per cell, with the fitted and the true line."""
    plt = pyplot()
    g = np.asarray([x["analog_gain"] for x in gains])
    line_g = np.linspace(0, g.max() * 1.05, 100)
    fig, ax = plt.subplots(figsize=(7, 5))
    for c, cell in enumerate(CELLS):
        fit = ax.plot(line_g, np.polyval(profile.coeffs[c], line_g), label=f"{cell} fit")[0]
        ax.plot(g, [x["cells"][c]["k"] for x in gains], "o", color=fit.get_color())
    ax.plot(line_g, np.polyval(truth, line_g), "k--", label="truth x (n-1)/n")
    return finish(fig, ax, path, "analog gain",
                  "shot noise factor (raw DN$^2$ per DN of signal)",
                  "Shot noise factor against gain, line fit")
