"""Black level and dark shading calibration (module tuning.blc.blc)."""
