"""The library's state that outlives a call (the progress hook, installed and called from a thread)
never crashes the interpreter as it exits: each case runs in an interpreter of its own."""
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
