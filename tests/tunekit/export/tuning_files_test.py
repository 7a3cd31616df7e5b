"""rkisp1 YAML, Raspberry Pi JSON and darktable noise profiles, read back by yaml and json."""
import json
import math
import os

import pytest
from export_helpers import export, true_s_o

from cli_helpers import read_json
from tuning.sim import kind_noise

DARKTABLE_PROFILES = "/usr/share/darktable/noiseprofiles.json"


def black_at(results, gain):
    levels = read_json(os.path.join(results, "black_level.json"))["sbl"][f"again_{gain}"]
    return [sum(e[c] for e in levels.values()) / len(levels) for c in range(4)]


def test_rkisp1_black_levels_on_the_16_bit_scale_merge_into_a_base(calibrated, tmp_path):
    yaml = pytest.importorskip("yaml")
    results, model = calibrated
    base = tmp_path / "base.yaml"
    base.write_text("%YAML 1.1\n---\nversion: 1\nalgorithms:\n  - Agc:\n  - BlackLevelCorrection:\n"
                    "      R: 1\n      Gr: 2\n      Gb: 3\n      B: 4\n  - Awb:\n      speed: 0.5\n")
    out = tmp_path / "tuning.yaml"
    done = export(results, "rkisp1", out, "--base", base, "--gain", 4)
    assert done.returncode == 0, done.stderr
    data = yaml.safe_load(out.read_text())
    scale = 2 ** (16 - model.bits)
    expected = {name: round(v * scale) for name, v in zip(("R", "Gr", "Gb", "B"), black_at(results, 4))}
    assert data == {"version": 1, "algorithms": [{"Agc": None}, {"BlackLevelCorrection": expected},
                                                 {"Awb": {"speed": 0.5}}]}
    fresh = tmp_path / "fresh.yaml"
    assert export(results, "rkisp1", fresh).returncode == 0
    expected = {name: round(v * scale) for name, v in zip(("R", "Gr", "Gb", "B"), black_at(results, 1))}
    assert yaml.safe_load(fresh.read_text()) == {"version": 1, "algorithms": [{"BlackLevelCorrection": expected}]}


def test_rpi_black_level_and_noise_reference_at_unity_gain(calibrated, tmp_path):
    results, model = calibrated
    base = tmp_path / "base.json"
    base.write_text(json.dumps({"version": 2.0, "target": "bcm2835", "algorithms": [
        {"rpi.noise": {"reference_constant": 9, "reference_slope": 9}}, {"rpi.awb": {"bayes": 1}}]}))
    out = tmp_path / "tuning.json"
    done = export(results, "rpi", out, "--base", base)
    assert done.returncode == 0, done.stderr
    data = read_json(out)
    assert data["version"] == 2.0 and data["target"] == "bcm2835"
    names = [next(iter(a)) for a in data["algorithms"]]
    assert names == ["rpi.noise", "rpi.awb", "rpi.black_level"]
    scale = 2 ** (16 - model.bits)
    assert data["algorithms"][2]["rpi.black_level"]["black_level"] == round(sum(black_at(results, 1)) / 4 * scale)
    noise = data["algorithms"][0]["rpi.noise"]
    # The refitted curve follows the true sigma on the 16-bit scale over the levels up to white (closely
    # but for the darkest few per cent, where the square root bends most).
    k = kind_noise.TRUTH.conversion_gain(1) * scale
    v = (model.read_noise_variance(1) + kind_noise.QUANTISATION_VARIANCE) * scale ** 2
    for mu, tolerance in ((100.0, 0.2), (2000.0, 0.05), (10000.0, 0.05), (50000.0, 0.05)):
        fitted = noise["reference_constant"] + noise["reference_slope"] * math.sqrt(mu)
        assert fitted == pytest.approx(math.sqrt(k * mu + v), rel=tolerance)
    assert noise["reference_slope"] == pytest.approx(math.sqrt(k), rel=0.05)


def structure(value):
    """Keys and nesting of a JSON value; lists as the union of their items' structures."""
    if isinstance(value, dict):
        return {k: structure(v) for k, v in value.items()}
    if isinstance(value, list):
        merged = {}
        for item in value:
            s = structure(item)
            if isinstance(s, dict):
                merged.update(s)
            else:
                merged = s
        return [merged]
    return "number" if isinstance(value, (int, float)) and not isinstance(value, bool) else type(value).__name__


def within(ours, theirs) -> bool:
    if isinstance(ours, dict):
        return isinstance(theirs, dict) and all(k in theirs and within(v, theirs[k]) for k, v in ours.items())
    if isinstance(ours, list):
        return isinstance(theirs, list) and within(ours[0], theirs[0])
    return ours == theirs


def test_darktable_profiles_per_gain_in_the_layout_of_darktables_file(calibrated, tmp_path):
    results, model = calibrated
    out = tmp_path / "noiseprofiles.json"
    done = export(results, "darktable", out, "--maker", "Simulated", "--model", "SIM-1")
    assert done.returncode == 0, done.stderr
    data = read_json(out)
    entry, = data["noiseprofiles"]
    assert entry["maker"] == "Simulated" and entry["models"][0]["model"] == "SIM-1"
    profiles = entry["models"][0]["profiles"]
    assert [p["iso"] for p in profiles] == [100 * g for g in model.again_list]
    for gain, p in zip(model.again_list, profiles):
        cells = true_s_o(model, gain)
        assert p["a"] == pytest.approx([cells[0][0], (cells[1][0] + cells[2][0]) / 2, cells[3][0]], rel=1e-12)
        assert p["b"] == pytest.approx([cells[0][1], (cells[1][1] + cells[2][1]) / 2, cells[3][1]], rel=1e-12)
    if not os.path.isfile(DARKTABLE_PROFILES):
        pytest.skip(f"{DARKTABLE_PROFILES} is absent (Debian package darktable): layout not compared")
    theirs = structure(read_json(DARKTABLE_PROFILES))
    assert within(structure(data), theirs), (structure(data), theirs)
    # Every key of a darktable profile is there (its optional "skip" aside).
    assert set(theirs["noiseprofiles"][0]["models"][0]["profiles"][0]) - {"skip"} == set(profiles[0])
