"""End-to-end demo: simulate a capture set, calibrate it, compare with the truth.

Each calibration is a step module `step_<NN>_<name>.py` with a `TITLE` and a
`run(context)` function; steps run in file-name order, so a calibration is
added as one new file.
"""
