"""python3 -m tuning.noise_profile {read_noise|shot_noise}: one noise calibration on its built-in settings.

read_noise reads dark captures from ./test_data/imx347_blc2/ (2560 x 1440,
16-bit, gains 1 2 4 8) and writes ./test_data/imx347/read_noise.json;
shot_noise reads noise captures from ./test_data/shot_noise/ (512 x 512,
16-bit, gains 1 2 4 8) and writes shot_noise.json there. The modules live in
the compiled library, which the host cannot start with -m, hence this runner.
"""
import importlib
import sys

import tuning.tunekit

MODULES = ("read_noise", "shot_noise")


def run(argv):
    if len(argv) != 1 or argv[0] not in MODULES:
        return "usage: python3 -m tuning.noise_profile {read_noise|shot_noise}"
    tuning.tunekit.bootstrap_cython_submodules()
    module = importlib.import_module("tuning.noise_profile." + argv[0])
    try:
        module.main()
    except (OSError, RuntimeError, ZeroDivisionError, ValueError, IndexError) as error:
        return f"{argv[0].replace('_', ' ')} calibration failed: {type(error).__name__}: {error}"
    return 0


sys.exit(run(sys.argv[1:]))
