"""Calibration toolkit for raw Bayer captures.

The calibration modules live in the compiled library ``tuning.tunekit``; call
``tuning.tunekit.bootstrap_cython_submodules()`` once, then import
``tuning.common``, ``tuning.blc.blc``, ``tuning.bpc.bpc``,
``tuning.noise_profile.read_noise`` and ``tuning.noise_profile.shot_noise``.
"""
