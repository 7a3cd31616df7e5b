"""Black level per cell position and gain from the simulated dark captures."""
import contextlib
import io
import os

import numpy as np

from tuning import atomic_write
from tuning.demo.context import table

TITLE = "Black level (dark captures)"
CHANNELS = ("ch0", "ch1", "ch2", "ch3")


def run(context):
    from tuning.blc import blc
    from tuning.common import SensorMode

    sensor = context.sensor
    file_param = blc.BLCFileParam(
        inp_file_dir=context.captures("dark"), out_file_dir=context.result_dir, width=sensor.width,
        height=sensor.height, bits=sensor.bits, sensor_mode=SensorMode[sensor.sensor_mode],
        again_list=sensor.again_list, exp_time_list=sensor.exp_time_list)
    quiet = contextlib.nullcontext() if getattr(context, "verbose", False) else contextlib.redirect_stdout(io.StringIO())
    with quiet:
        result = blc.gen_blc_param(file_param, blc.BLCTuningParam())
    path = os.path.join(context.result_dir, "black_level.json")
    atomic_write.write_text_atomically(path, result.json(indent=4))

    rows = []
    worst = 0.0
    for gain in sensor.again_list:
        truth = sensor.true_dark_level(gain)
        for key, level in result.sbl[f"again_{gain}"].items():
            error = np.asarray(level) - truth
            worst = max(worst, float(np.abs(error).max()))
            rows.append([f"{gain}", key.replace("exp_time_", "")] +
                        [f"{t:8.3f} / {r:8.3f}" for t, r in zip(truth, level)])
    print("black level per cell position, true / recovered (raw DN):")
    print(table(["gain", "exp"] + list(CHANNELS), rows))
    print(f"largest deviation {worst:.3f} DN; fixed static black level {result.fixed_sbl['fixed_sbl']:.3f} DN")
    print(f"wrote {path}")
