"""From simulated captures through `tunekit all` (which characterises the sensor) to the exported noise
figures, against the values the simulator's truth gives.

The default simulated set has P = 512 x 384 / 4 = 49152 pixels per cell position and n = 8 captures per
gain of each kind (4 at each of two exposures). The temporal dark variance V is an unbiased variance over
n captures averaged over P pixels: relative standard error e_V = sqrt(2 / (P (n - 1))). The conversion gain K
is the slope of a line fitted to the scene's levels with weights w_i (their samples); each level's variance
y_i over p_i pixels has the standard error y_i sqrt(2 / (p_i (n - 1))), so the slope's standard error is
sqrt(sum w_i^2 (x_i - x_w)^2 var(y_i)) / sum w_i (x_i - x_w)^2 with x_w the weighted mean signal, worked out
from the points the result lists. S = K / (W - B) and O = V / (W - B)^2 carry the same relative errors (the
dark level B is known to far below a DN); the tolerance is four standard errors, of the worst cell position
of a profile's colour (its green is the mean of two cell positions).

The set carries the simulator's dark shading, which rises across the frame as the scene's ramp does: each
scene level is read above its own pixels' dark level, so the shading does not tilt the curve.
"""
import math
import os

import numpy as np
import pytest
from c_sources_test import ANDROID_MAIN, compiled_output
from export_helpers import calibrated_run, export, true_s_o

from cli_helpers import read_json

P = 512 * 384 // 4
N = 8
FOUR_SE = 4.0
V_TOLERANCE = FOUR_SE * math.sqrt(2.0 / (P * (N - 1)))


def slope_tolerance(cell):
    """Four standard errors of the cell's fitted conversion gain, relative to it."""
    points = [p for p in cell["curve"] if p["in_fit"]]
    w = np.array([p["samples"] for p in points])
    x = np.array([p["signal"] for p in points])
    y = np.array([p["temporal_variance"] for p in points])
    var_y = 2.0 * y ** 2 / (np.array([p["pixels"] for p in points]) * (N - 1))
    dx = x - np.sum(w * x) / np.sum(w)
    se = math.sqrt(np.sum(w ** 2 * dx ** 2 * var_y)) / np.sum(w * dx ** 2)
    return FOUR_SE * se / cell["conversion_gain"]


def k_tolerances(results, gain):
    """Relative tolerance of S per cell position at a gain, from the run's own curve points."""
    data = read_json(os.path.join(results, "characterization.json"))
    (entry,) = [g for g in data["modes"][0]["gains"] if g["analog_gain"] == gain]
    return [slope_tolerance(c) for c in entry["cells"]]


@pytest.fixture(scope="module")
def measured(tmp_path_factory):
    """A run whose characterisation comes from its own captures."""
    results, model = calibrated_run(str(tmp_path_factory.mktemp("measured")))
    assert os.path.isfile(os.path.join(results, "characterization.json"))
    return results, model


def rgb(cells, index):
    return [cells[0][index], (cells[1][index] + cells[2][index]) / 2, cells[3][index]]


def test_dng_noise_profile_and_darktable_profiles_agree_with_the_truth(measured, tmp_path):
    results, model = measured
    for gain in model.again_list:
        listing = tmp_path / f"tags{gain}.json"
        done = export(results, "dng-tags", listing, "--gain", gain)
        assert done.returncode == 0, done.stderr
        tags = {t["name"]: t for t in read_json(listing)["tags"]}
        truth, tolerance = true_s_o(model, gain), max(k_tolerances(results, gain))
        profile = tags["NoiseProfile"]["values"]
        assert profile[0::2] == pytest.approx(rgb(truth, 0), rel=tolerance), f"S at gain {gain}"
        assert profile[1::2] == pytest.approx(rgb(truth, 1), rel=V_TOLERANCE), f"O at gain {gain}"

    out = tmp_path / "noiseprofiles.json"
    assert export(results, "darktable", out, "--maker", "Simulated", "--model", "SIM-1").returncode == 0
    profiles = read_json(out)["noiseprofiles"][0]["models"][0]["profiles"]
    for gain, p in zip(model.again_list, profiles):
        truth, tolerance = true_s_o(model, gain), max(k_tolerances(results, gain))
        assert p["a"] == pytest.approx(rgb(truth, 0), rel=tolerance), f"a at gain {gain}"
        assert p["b"] == pytest.approx(rgb(truth, 1), rel=V_TOLERANCE), f"b at gain {gain}"


def test_android_noise_model_agrees_with_the_truth_at_every_calibrated_gain(measured, tmp_path):
    """The exported lines S = A g + B and O = C g^2 + D (g as ISO) are least-squares fits over the gains, so
    at each gain they stand off the measured S, O by the fit's own residual as well: the tolerance adds the
    residual the same fit leaves on the true values, and a fitted line spreads the worst gain's error."""
    results, model = measured
    s_tolerance = max(t for g in model.again_list for t in k_tolerances(results, g))
    assert export(results, "android", tmp_path / "model.c").returncode == 0
    lines = compiled_output(str(tmp_path), ANDROID_MAIN)
    iso = np.array(model.again_list, float) * 100
    for c in range(4):
        s_true, o_true = np.array([true_s_o(model, g)[c] for g in model.again_list]).T
        s_line = np.polyval(np.polyfit(iso, s_true, 1), iso)
        o_fit = np.linalg.lstsq(np.stack([iso ** 2, np.ones_like(iso)], axis=1), o_true, rcond=None)[0]
        o_line = o_fit[0] * iso ** 2 + o_fit[1]
        exported = {int(i): (float(s), float(o)) for i, cell, s, o in (line.split() for line in lines[:-4])
                    if int(cell) == c}
        for k, g_iso in enumerate(iso):
            s, o = exported[int(g_iso)]
            assert s == pytest.approx(s_true[k], rel=s_tolerance + abs(s_line[k] / s_true[k] - 1)), (c, g_iso)
            assert o == pytest.approx(o_true[k], rel=V_TOLERANCE + abs(o_line[k] / o_true[k] - 1)), (c, g_iso)
