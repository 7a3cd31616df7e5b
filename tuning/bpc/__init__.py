"""Static bad pixel calibration (module tuning.bpc.bpc)."""
