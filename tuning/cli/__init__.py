"""The tunekit command-line tool (`python3 -m tuning`, `scripts/tunekit`).

Each calibration is a plug-in module `cmd_<name>.py` in this package that
defines `CALIBRATION`, a `tuning.cli.calibration.Calibration`: the compiled
module, the two records and the routine it drives, the capture kind and
conditions the routine reads (for the checks and the progress totals), how
it shapes captures (truncating or exact), the result file name, the report
section and the key figures of a batch summary. Optional hooks fill values
from earlier results (`complete`), call the routine in a richer way
(`invoke`) or write a result that is no record (`to_json`).

Subcommands, flags and config keys are derived from the records, and a
plug-in whose routine is not in the build is left out, so a calibration is
added as one new file.
"""
