"""python3 -m tuning.bpc: hot pixel calibration on the built-in settings."""
import tuning.tunekit

tuning.tunekit.bootstrap_cython_submodules()

import tuning.bpc.bpc  # noqa: E402  (resolvable only after the bootstrap)

tuning.bpc.bpc.main()
