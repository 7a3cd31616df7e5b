"""The report's figures, one module per calibration family; `plotting` sets matplotlib up.

Only a report imports these modules (and so matplotlib): a plug-in reaches them from its report hook."""
