"""The tunekit command-line tool (`python3 -m tuning`, `scripts/tunekit`).

Layout, by role:
- main.py: the entry point; builds the parser from the commands and the plug-ins.
- commands/: one module per command (`calibrate`: the per-calibration commands,
  `all`, `inspect`, `convert`, `batch`, `simulate`, `tonemap`) and `report`, the
  HTML report a calibration run writes.
- calibrations/: the calibration plug-ins, found there by plugins.py. Modules
  whose name starts with "_" hold what several plug-ins share.
- figures/: every report figure; `plotting` sets matplotlib up.
- runner.py and beside it: what the commands share (records from flags and
  config, capture checks, progress, stops, the output folder lock, result files).

A calibration is added as one new file in calibrations/ that defines
`CALIBRATION`, a `tuning.cli.calibration.Calibration`: the compiled module, the
two records and the routine it drives, the capture kind and conditions the
routine reads (for the checks and the progress totals), how it shapes captures
(truncating or exact), the result file name, the report section and the key
figures of a batch summary. Optional hooks fill values from earlier results
(`complete`), make the result from what the routine returned and the conditions
it reported reading (`collect`), call the routine in a richer way (`invoke`),
compare the result with the simulator's truth (`compare`) or write a result that
is no record (`to_json`).

Subcommands, flags and config keys are derived from the records, and a plug-in
whose routine is not in the build is left out.
"""
