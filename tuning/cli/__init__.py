"""The tunekit command-line tool.

Each calibration is a plug-in module `cmd_<name>.py` in this package that
defines `CALIBRATION` (a `tuning.cli.calibration.Calibration`): the records
and the routine it drives, the capture conditions it reads, the result file
name, the figures of its report section and its key figures for batch
summaries. Subcommands, flags and config keys are derived from those
records, so a calibration is added as one new file.
"""
