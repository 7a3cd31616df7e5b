"""Shared by the export tests: a calibrated simulated run, its characterisation written from the
simulator's truth, and the noise figures the truth implies."""
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "cli"))

from cli_helpers import read_json, tool  # noqa: E402
from tuning import sim  # noqa: E402
from tuning.sim import kind_noise  # noqa: E402

CHARACTERIZATION = "characterization.json"
RGGB_NAMES = ("R", "Gr", "Gb", "B")
UNKNOWN = float("nan")


def calibrated_run(folder, *simulate_flags):
    """simulate + all into folder; returns (results folder, SensorModel of the truth)."""
    done = tool("simulate", folder, *simulate_flags)
    assert done.returncode == 0, done.stderr
    done = tool("all", "--config", os.path.join(folder, "tunekit-config.json"), "-q")
    assert done.returncode == 0, done.stderr
    truth = read_json(os.path.join(folder, "truth.json"))
    return os.path.join(folder, "results"), sim.SensorModel(**truth)


def truth_cell(model, gain, cell):
    """A characterised cell position as the characterisation would find it on noise-free estimates."""
    k = kind_noise.TRUTH.conversion_gain(gain)
    variance = model.read_noise_variance(gain) + kind_noise.QUANTISATION_VARIANCE
    return {"dark_level": float(model.true_dark_level(gain)[cell]), "dark_temporal_variance": variance,
            "dark_noise": math.sqrt(variance), "dsnu_variance": 0.0, "dsnu": 0.0, "dsnu_e": 0.0,
            "conversion_gain": k, "curve_intercept": variance, "read_noise_e": math.sqrt(variance) / k,
            "prnu": UNKNOWN, "prnu_signal": UNKNOWN, "saturation_level": UNKNOWN, "saturation_signal": UNKNOWN,
            "saturation_capacity_e": UNKNOWN, "dynamic_range_db": UNKNOWN, "linearity_error": UNKNOWN,
            "levels": 20, "span": 10.0, "r_squared": 1.0, "residual": 0.0, "expected_residual": 0.0,
            "relation": {"captures": 4, "shot_noise_factor": k * 3 / 4, "read_noise_variance": variance},
            "curve": [], "flags": []}


def write_characterization(results, model, gains=None, mode=None):
    """characterization.json in the layout the characterisation writes, from the simulator's truth."""
    gains = model.again_list if gains is None else gains
    data = {"module": "characterization", "modes": [{"sensor_mode": mode or model.sensor_mode, "gains": [
        {"analog_gain": g, "dark_captures": 4, "lit_captures": 4, "curve_source": "scene",
         "cells": [truth_cell(model, g, c) for c in range(4)], "warnings": []} for g in gains]}]}
    with open(os.path.join(results, CHARACTERIZATION), "w", encoding="utf-8") as f:
        json.dump(data, f, indent=4)  # NaN as the characterisation writes it


def true_s_o(model, gain):
    """(S, O) per cell position from the truth: K / (W - B), V / (W - B)^2."""
    out = []
    for c in range(4):
        span = model.white_level - model.true_dark_level(gain)[c]
        variance = model.read_noise_variance(gain) + kind_noise.QUANTISATION_VARIANCE
        out.append((kind_noise.TRUTH.conversion_gain(gain) / span, variance / span ** 2))
    return out


def export(results, fmt, out, *flags):
    return tool("export", "--to", fmt, results, "-o", out, *flags)
