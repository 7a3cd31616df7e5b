"""Dark shading mesh tables from the simulated dark captures, with the before/after previews."""
import contextlib
import io
import json
import os

import numpy as np

from tuning import atomic_write, sim

from tuning.demo.context import table
from tuning.sim.dark_mesh import mesh_deviation, true_dark_mesh

TITLE = "Dark shading mesh (dark captures)"


def run(context):
    from tuning.blc import blc
    from tuning.common import SensorMode, read_capture

    sensor = context.sensor
    capture_dir = context.captures("dark")
    file_param = blc.BLCFileParam(
        inp_file_dir=capture_dir, out_file_dir=context.result_dir, width=sensor.width, height=sensor.height,
        bits=sensor.bits, sensor_mode=SensorMode[sensor.sensor_mode], again_list=sensor.again_list,
        exp_time_list=sensor.exp_time_list)
    tuning_param = blc.BLCTuningParam(with_sbl=1)
    verbose = getattr(context, "verbose", False)
    with contextlib.nullcontext() if verbose else contextlib.redirect_stdout(io.StringIO()):
        tables = blc.dark_shading_tuning(file_param, tuning_param)["mesh_table"]
    # Every simulated pair has captures, so the tables follow the sweep order one to one.
    pairs = [(gain, exposure) for gain in sensor.again_list for exposure in sensor.exp_time_list]
    assert len(tables) == len(pairs), f"expected {len(pairs)} mesh tables, got {len(tables)}"

    path = os.path.join(context.result_dir, "dark_shading.json")
    record = {"with_sbl": tuning_param.with_sbl, "mesh_table_h": tuning_param.mesh_table_h,
              "mesh_table_w": tuning_param.mesh_table_w,
              "condition": [f"{sensor.sensor_mode}_exp_{e}_again_{g}" for g, e in pairs],
              "mesh_table": [t.tolist() for t in tables]}
    atomic_write.write_text_atomically(path, json.dumps(record, indent=4))

    rows = []
    for (gain, exposure), mesh in zip(pairs, tables):
        truth = true_dark_mesh(sensor, gain, tuning_param.mesh_table_h, tuning_param.mesh_table_w)
        largest, rms = mesh_deviation(mesh, truth)
        rows.append([f"{gain}", f"{exposure}", f"{np.ptp(truth):.3f}", f"{rms:.3f}", f"{largest:.3f}"])
        # One capture of the pair as the test frame: the after preview shows what the table leaves.
        name = f"{sensor.sensor_mode}_exp_{exposure}_again_{gain}"
        test_frame = read_capture(os.path.join(capture_dir, sim.capture_file_name(
            "dark", sensor.sensor_mode, exposure, gain, 0)), sensor.width, sensor.height)
        blc.check_tuning_quality_in_dark_img(mesh, test_frame, tuning_param.with_sbl, name, context.result_dir)

    print(f"mesh {tuning_param.mesh_table_h} x {tuning_param.mesh_table_w}, recovered against the simulated "
          "dark level (raw DN; hot pixels, left to bad pixel correction, raise the largest deviation):")
    print(table(["gain", "exp", "shading range", "rms deviation", "largest deviation"], rows))
    print(f"wrote {path}")
    print(f"previews (before / after the table) in {os.path.join(context.result_dir, 'tmp')}")
