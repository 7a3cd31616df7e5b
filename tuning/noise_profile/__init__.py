"""Read noise and shot noise calibration."""
