"""The calibration plug-ins: one module per calibration, each defining CALIBRATION
(a tuning.cli.calibration.Calibration). Modules whose name starts with "_" hold what
several plug-ins share and are no plug-ins themselves."""
