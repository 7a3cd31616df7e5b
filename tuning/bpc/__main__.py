"""python3 -m tuning.bpc: hot pixel calibration on the built-in settings.

Reads dark captures from ./test_data/imx347_blc2/ (2560 x 1440, 16-bit, gains
1 2 4 8, any exposure) and writes ./test_data/imx347/static_bad_pixels.json.
"""
import sys

from tuning.module_runner import run

sys.exit(run("tuning.bpc", sys.argv[1:]))
