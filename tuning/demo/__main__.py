"""python3 -m tuning.demo [--out DIR]: simulate, calibrate, compare with the truth."""
import argparse
import contextlib
import importlib
import io
import os
import pkgutil
import sys

import tuning.tunekit

from tuning import demo, sim
from tuning.demo.context import DemoContext


def steps():
    names = sorted(i.name for i in pkgutil.iter_modules(demo.__path__) if i.name.startswith("step_"))
    return [importlib.import_module(f"tuning.demo.{n}") for n in names]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", default="demo-output", help="folder for captures and results (default: %(default)s)")
    parser.add_argument("--captures", type=int, default=4, help="captures per condition (default: %(default)s)")
    parser.add_argument("--verbose", action="store_true", help="show the routines' own progress lines")
    args = parser.parse_args(argv)

    with contextlib.redirect_stdout(io.StringIO()):
        tuning.tunekit.bootstrap_cython_submodules()
    context = DemoContext(out_dir=args.out, sensor=sim.SensorModel(), captures_per_condition=args.captures)
    os.makedirs(context.result_dir, exist_ok=True)
    context.sensor.save_truth(os.path.join(context.out_dir, "truth.json"))
    context.verbose = args.verbose
    for step in steps():
        print(f"\n== {step.TITLE}")
        step.run(context)
    print(f"\nresults in {os.path.abspath(context.result_dir)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
