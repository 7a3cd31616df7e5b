"""python3 -m tuning.noise_profile read_noise|shot_noise: a noise calibration on its built-in settings.

The modules themselves live in the compiled library, so the host cannot start
them with -m; this runner bootstraps the library and calls the chosen main().
"""
import sys

import tuning.tunekit

MODULES = ("read_noise", "shot_noise")


def run(argv):
    if len(argv) != 1 or argv[0] not in MODULES:
        sys.stderr.write("usage: python3 -m tuning.noise_profile {read_noise|shot_noise}\n")
        return 2
    tuning.tunekit.bootstrap_cython_submodules()
    import importlib

    importlib.import_module("tuning.noise_profile." + argv[0]).main()
    return 0


sys.exit(run(sys.argv[1:]))
