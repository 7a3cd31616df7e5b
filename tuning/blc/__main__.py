"""python3 -m tuning.blc: black level calibration on the built-in settings.

Reads dark captures from ./test_data/blc/ (100 x 100, 16-bit, gains 1 2 4 8,
exposures 1 10 20 30) and writes ./test_data/blc/static_info/result.json.
"""
import sys

import tuning.tunekit

tuning.tunekit.bootstrap_cython_submodules()

import tuning.blc.blc  # noqa: E402  (resolvable only after the bootstrap)

try:
    tuning.blc.blc.main()
except (OSError, RuntimeError, ZeroDivisionError, ValueError) as error:
    sys.exit(f"black level calibration failed: {type(error).__name__}: {error}")
