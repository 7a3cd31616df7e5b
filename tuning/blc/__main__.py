"""python3 -m tuning.blc: black level calibration on the built-in settings."""
import tuning.tunekit

tuning.tunekit.bootstrap_cython_submodules()

import tuning.blc.blc  # noqa: E402  (resolvable only after the bootstrap)

tuning.blc.blc.main()
