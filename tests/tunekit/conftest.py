"""Loads the extension library once and makes the calibration modules importable."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
# The tool tests' helpers (running the tool, small simulated sets) serve every folder's tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "cli"))

import tuning.tunekit  # noqa: E402

tuning.tunekit.bootstrap_cython_submodules()
