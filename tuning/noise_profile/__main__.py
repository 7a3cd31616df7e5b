"""python3 -m tuning.noise_profile {read_noise|shot_noise}: one noise calibration on its built-in settings.

read_noise reads dark captures from ./test_data/imx347_blc2/ (2560 x 1440,
16-bit, gains 1 2 4 8) and writes ./test_data/imx347/read_noise.json;
shot_noise reads noise captures from ./test_data/shot_noise/ (512 x 512,
16-bit, gains 1 2 4 8) and writes shot_noise.json there.
"""
import sys

from tuning.module_runner import run

sys.exit(run("tuning.noise_profile", sys.argv[1:]))
