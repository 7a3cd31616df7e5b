"""The library's state that outlives a call (the progress hook, installed and called from a thread)
never crashes the interpreter as it exits, nor does a routine still running on a thread: each case runs
in an interpreter of its own."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

SETUP = """
import contextlib, io, os, tempfile, threading
import numpy as np
import tuning.tunekit
with contextlib.redirect_stdout(io.StringIO()):
    tuning.tunekit.bootstrap_cython_submodules()
from tuning import common
from tuning.blc import blc
folder = tempfile.mkdtemp()
np.zeros(64 * 64, "<u2").tofile(os.path.join(folder, "x_dark_LCG_exp_10_again_1_a.raw"))
param = blc.BLCFileParam(inp_file_dir=folder, out_file_dir=folder + "/out", width=64, height=64, bits=12,
                         again_list=[1] * 200, exp_time_list=[10])
def run():
    with contextlib.redirect_stdout(io.StringIO()):
        blc.gen_blc_param(param, blc.BLCTuningParam())
"""

CASES = {
    "a hook left installed": "common.set_progress_hook(lambda *step: None)\n",
    "a hook called from a thread, then left": ("common.set_progress_hook(lambda *step: None)\n"
                                               "t = threading.Thread(target=run); t.start(); t.join()\n"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_the_interpreter_exits_cleanly(case):
    run = subprocess.run([sys.executable, "-c", SETUP + CASES[case]], cwd=ROOT, capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, PYTHONPATH=ROOT))
    assert run.returncode == 0, f"{case}: exit {run.returncode}: {run.stderr[-600:]}"


# A routine still running on a daemon thread as the interpreter exits: over a set big enough (twenty
# thousand conditions of a 512 x 512 capture) that it is running when the main thread ends.
DAEMON_SETUP = """
import contextlib, io, os, sys, tempfile, threading, time
import numpy as np
import tuning.tunekit
with contextlib.redirect_stdout(io.StringIO()):
    tuning.tunekit.bootstrap_cython_submodules()
from tuning import common
from tuning.blc import blc
folder = tempfile.mkdtemp()
capture = os.path.join(folder, "x_dark_LCG_exp_10_again_1_a.raw")
np.zeros(512 * 512, "<u2").tofile(capture)
param = blc.BLCFileParam(inp_file_dir=folder, out_file_dir=folder + "/out", width=512, height=512, bits=12,
                         again_list=[1] * 20000, exp_time_list=[10])
started = threading.Event()
def calibrate():
    started.set()
    blc.gen_blc_param(param, blc.BLCTuningParam())
def read():
    started.set()
    while True:
        common.read_raw_u16(capture)
"""
DAEMON_CASES = {
    "a routine printing its lines": "target = calibrate\n",
    "a routine calling the progress hook": "common.set_progress_hook(lambda *step: None)\ntarget = calibrate\n",
    "captures read in a loop": "target = read\n",
}
DAEMON_START = """
threading.Thread(target=target, daemon=True).start()
started.wait()
time.sleep(0.3)
print("main thread done", flush=True)
"""


@pytest.mark.parametrize("case", sorted(DAEMON_CASES))
def test_a_routine_on_a_daemon_thread_ends_with_the_interpreter(case):
    # The thread may be anywhere when the host exits (printing, calling the hook, about to return):
    # a few runs give each moment its chance.
    for attempt in range(3):
        run = subprocess.run([sys.executable, "-c", DAEMON_SETUP + DAEMON_CASES[case] + DAEMON_START], cwd=ROOT,
                             capture_output=True, timeout=60, env=dict(os.environ, PYTHONPATH=ROOT))
        stderr = run.stderr.decode("utf-8", "replace")
        assert run.returncode == 0, f"{case}, run {attempt + 1}: exit {run.returncode}: {stderr[-600:]}"
        assert "terminate" not in stderr and "Fatal" not in stderr, stderr[-600:]
        assert b"main thread done" in run.stdout
