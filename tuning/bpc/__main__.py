"""python3 -m tuning.bpc: hot pixel calibration on the built-in settings.

Reads dark captures from ./test_data/imx347_blc2/ (2560 x 1440, 16-bit, gains
1 2 4 8, any exposure) and writes ./test_data/imx347/static_bad_pixels.json.
"""
import sys

import tuning.tunekit

tuning.tunekit.bootstrap_cython_submodules()

import tuning.bpc.bpc  # noqa: E402  (resolvable only after the bootstrap)

try:
    tuning.bpc.bpc.main()
except (OSError, RuntimeError, AssertionError, ValueError) as error:
    sys.exit(f"bad pixel calibration failed: {type(error).__name__}: {error}")
