"""Exporters: a calibration run's results folder into the files other tools read.

One module per consumer format; each reads what it needs through
results.Results (refusing with an ExportError naming the missing or bad
result before anything is written) and writes its file whole or not at all.
"""
