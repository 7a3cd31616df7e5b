"""Overhead of the tunekit command-line tool over the bare routines, on the benchmark capture set.

    PYTHONPATH=. /usr/bin/python3 bench/tunekit/cli_overhead_bench.py [DIR]

The set is 4 gains x 4 exposures x 4 dark captures of 2560 x 1440 (written
into DIR once, default /tmp/tunekit-bench/blc, the folder the C++ black level
benchmark uses). For each calibration, best of several interleaved runs:

- bare call: the routine called directly;
- tool: `tunekit <name>` in the same process (flags, checks of the capture
  set, progress hook off, result and config files written);
- tool work: the same with the routine's result handed back at once, that
  is the tool's own cost alone, and its share of the bare call (the figure
  to hold under 5 %: the difference of two noisy timings above is not);
- processes: both started as new interpreters, start-up included.

Prints figures; never fails.
"""
import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

from tuning.cli import library, plugins  # noqa: E402
from tuning.cli.main import main as tool_main  # noqa: E402

GAINS, EXPOSURES, CAPTURES = (1, 2, 4, 8), (10, 20, 30, 40), 4
WIDTH, HEIGHT, BITS = 2560, 1440, 12
REPEATS = 5

# Values beyond the capture set that a calibration needs to run as it would in use.
EXTRA = {"bpc": {"dark_thr_ratio": 0.4}, "read-noise": {"black_level": [64] * 4, "white_level": [4095] * 4}}

# The bare routine in a fresh interpreter: argv = module, file record, tuning record, routine, values (JSON).
BARE = """
import contextlib, importlib, io, json, os, sys
import tuning.tunekit
with contextlib.redirect_stdout(io.StringIO()):
    tuning.tunekit.bootstrap_cython_submodules()
module = importlib.import_module(sys.argv[1])
values = json.loads(sys.argv[5])
file_record, tuning_record = getattr(module, sys.argv[2]), getattr(module, sys.argv[3])
p = file_record(**{k: v for k, v in values.items() if k in file_record.__fields__})
t = tuning_record(**{k: v for k, v in values.items() if k in tuning_record.__fields__})
with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
    getattr(module, sys.argv[4])(p, t)
"""


def ensure_captures(folder):
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(7)
    for g in GAINS:
        for e in EXPOSURES:
            for c in range(CAPTURES):
                path = os.path.join(folder, f"bench_dark_LCG_exp_{e}_again_{g}_{c}.raw")
                if os.path.exists(path) and os.path.getsize(path) == WIDTH * HEIGHT * 2:
                    continue
                (60 + rng.integers(0, 8, WIDTH * HEIGHT)).astype("<u2").tofile(path)


def best(*fns):
    """Best time of each function over interleaved rounds, so a busy moment hits them alike."""
    for fn in fns:
        fn()  # warm the page cache and the imports
    times = [[] for _ in fns]
    for _ in range(REPEATS):
        for fn, spent in zip(fns, times):
            started = time.perf_counter()
            fn()
            spent.append(time.perf_counter() - started)
    return [min(t) for t in times]


def flags(folder, out, extra):
    words = ["-q", "--progress", "never", "-i", folder, "-o", out, "--width", str(WIDTH), "--height", str(HEIGHT),
             "--bits", str(BITS), "--again-list", *map(str, GAINS), "--exp-time-list", *map(str, EXPOSURES)]
    for name, value in extra.items():
        words += ["--" + name.replace("_", "-"), *map(str, value if isinstance(value, list) else [value])]
    return words


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "/tmp/tunekit-bench/blc"
    ensure_captures(folder)
    library.load()
    calibrations = plugins.available_calibrations()
    env = dict(os.environ, PYTHONPATH=ROOT)
    print(f"capture set: {len(GAINS)} gains x {len(EXPOSURES)} exposures x {CAPTURES} dark captures of "
          f"{WIDTH} x {HEIGHT} in {folder}")
    print(f"{'calibration':<14}{'bare call':>10}{'tool':>9}{'tool work':>11}{'share':>8}{'bare process':>14}"
          f"{'tool process':>14}")
    with tempfile.TemporaryDirectory(prefix="tunekit-bench-") as out:
        for name, calibration in calibrations.items():
            extra = EXTRA.get(name, {})
            values = dict(inp_file_dir=folder, out_file_dir=out, width=WIDTH, height=HEIGHT, bits=BITS,
                          again_list=list(GAINS), exp_time_list=list(EXPOSURES), **extra)
            file_record, tuning_record = calibration.records()
            p = file_record(**{k: v for k, v in values.items() if k in file_record.__fields__})
            t = tuning_record(**{k: v for k, v in values.items() if k in tuning_record.__fields__})
            if calibration.kind(p) != "dark":
                continue  # the benchmark set holds dark captures only
            routine = getattr(calibration.compiled(), calibration.routine)

            def bare():
                with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
                    routine(p, t)

            def tool():
                with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
                    assert tool_main([name, *flags(folder, out, extra)]) == 0

            def bare_process():
                subprocess.run([sys.executable, "-c", BARE, calibration.module, calibration.file_record,
                                calibration.tuning_record, calibration.routine, json.dumps(values)], env=env,
                               check=True)

            def tool_process():
                subprocess.run([sys.executable, "-m", "tuning", name, *flags(folder, out, extra)], env=env,
                               check=True, stdout=subprocess.DEVNULL)

            with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
                result = calibration.run(p, t)
            real_run = type(calibration).run

            def tool_work():
                type(calibration).run = lambda self, fp, tp: result
                try:
                    tool()
                finally:
                    type(calibration).run = real_run

            b, t, w = best(bare, tool, tool_work)
            bp, tp = best(bare_process, tool_process)
            print(f"{name:<14}{b:>9.3f}s{t:>8.3f}s{w:>10.3f}s{w / b * 100:>7.1f}%{bp:>13.3f}s{tp:>13.3f}s")


if __name__ == "__main__":
    main()
