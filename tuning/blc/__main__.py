"""python3 -m tuning.blc: black level calibration on the built-in settings.

Reads dark captures from ./test_data/blc/ (100 x 100, 16-bit, gains 1 2 4 8,
exposures 1 10 20 30) and writes ./test_data/blc/static_info/result.json.
"""
import sys

from tuning.module_runner import run

sys.exit(run("tuning.blc", sys.argv[1:]))
