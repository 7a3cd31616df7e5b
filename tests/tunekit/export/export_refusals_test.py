"""Bad input to tunekit export: one line naming the file, flag or gain; exit code 2; nothing written."""
import os

import pytest
from export_helpers import CHARACTERIZATION, export


def refused(done, out):
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1, done.stderr
    assert not os.path.exists(out)
    assert not [n for n in os.listdir(os.path.dirname(out)) if n.endswith(".partial")]
    return lines[0]


@pytest.mark.parametrize("fmt, missing", [
    ("dng", CHARACTERIZATION), ("dng", "static_bad_pixels.json"), ("android", CHARACTERIZATION),
    ("rkisp1", "black_level.json"), ("rpi", CHARACTERIZATION), ("darktable", CHARACTERIZATION),
    ("firmware-header", "dark_shading.json"), ("firmware-header", "static_bad_pixels.json"),
    ("dng-tags", "tunekit-config.json")])
def test_a_missing_result_is_named(own_results, tmp_path, fmt, missing):
    results, _ = own_results
    os.remove(os.path.join(results, missing))
    out = str(tmp_path / "out.file")
    line = refused(export(results, fmt, out, "--maker", "M", "--model", "N"), out)
    assert f"{missing}: missing" in line


def test_a_gain_that_was_not_calibrated_is_named_with_the_calibrated_ones(calibrated, tmp_path):
    results, _ = calibrated
    out = str(tmp_path / "tags.json")
    line = refused(export(results, "dng-tags", out, "--gain", 3), out)
    assert "gain 3 was not calibrated" in line and "gains 1, 2, 4, 8" in line


def test_noise_needing_unity_gain_or_two_gains(own_results, tmp_path):
    from export_helpers import write_characterization

    results, model = own_results
    write_characterization(results, model, gains=[2])
    out = str(tmp_path / "out.file")
    assert "unity gain" in refused(export(results, "rpi", out), out)
    assert "at least 2 gains" in refused(export(results, "android", out), out)


@pytest.mark.parametrize("fmt, text, expected", [
    ("rkisp1", "algorithms: [unclosed\n", "not valid YAML"),
    ("rkisp1", "- just\n- a list\n", "'algorithms' list"),
    ("rpi", "{\"version\": 2.0, \"algorithms\": [}", "not valid JSON"),
    ("rpi", "{\"version\": 1.0, \"algorithms\": []}", "version: expected 2.0, found 1.0")])
def test_a_bad_base_file_is_named(calibrated, tmp_path, fmt, text, expected):
    results, _ = calibrated
    base = tmp_path / "base.txt"
    base.write_text(text)
    out = str(tmp_path / "out.file")
    line = refused(export(results, fmt, out, "--base", base), out)
    assert str(base) in line and expected in line


def test_malformed_results_and_flags_are_named(own_results, tmp_path):
    results, _ = own_results
    out = str(tmp_path / "out.file")
    with open(os.path.join(results, CHARACTERIZATION), "w") as f:
        f.write('{"modes": [')
    assert f"{CHARACTERIZATION}: not valid JSON" in refused(export(results, "darktable", out, "--maker", "M",
                                                                    "--model", "N"), out)
    assert "--maker and --model" in refused(export(results, "darktable", out), out)
    assert "--base" in refused(export(results, "android", out, "--base", out), out)
    fifo = tmp_path / "capture.fifo"
    os.mkfifo(fifo)
    line = refused(export(results, "dng", out, "--capture", fifo), out)
    assert line == f"tunekit: error: --capture {fifo}: expected a regular file, found a FIFO"


# (result file, its text, what the one line says): values no calibration run writes.
IMPLAUSIBLE = [
    ("black_level.json", '{"sbl": {"again_1": {"exp_time_10": [1e308, 1, 2, 3]}}}', "expected a level from 0 to 65535"),
    ("black_level.json", '{"sbl": {"again_1": {"exp_time_10": [-5, 1, 2, 3]}}}', "found -5"),
    ("black_level.json", '{"sbl": {"again_0": {"exp_time_10": [5, 1, 2, 3]}}}', "found 'again_0'"),
    ("black_level.json", '{"sbl": {"again_nan": {"exp_time_10": [5, 1, 2, 3]}}}', "found 'again_nan'"),
    ("black_level.json", "[" * 100000 + "]" * 100000, "nested too deeply"),
    ("tunekit-config.json", '{"bits": 12, "width": 32, "height": 24, "white_level": [1, 1, 1, 1]}',
     "expected black levels below the white level 1"),
    ("tunekit-config.json", '{"bits": 12, "width": 32, "height": 24, "sensor_mode": "*/ int x; /*"}',
     "sensor_mode: expected one of LCG, HCG"),
]


def test_implausible_results_are_named_not_exported(own_results, tmp_path):
    results, _ = own_results
    out = str(tmp_path / "calibration.h")
    for name, text, expected in IMPLAUSIBLE:
        path = os.path.join(results, name)
        with open(path, encoding="utf-8") as f:
            kept = f.read()
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        assert expected in refused(export(results, "firmware-header", out), out), name
        with open(path, "w", encoding="utf-8") as f:
            f.write(kept)
    os.remove(os.path.join(results, "black_level.json"))
    os.mkfifo(os.path.join(results, "black_level.json"))  # read as it is, it would wait for a writer
    assert "expected a regular file, found a FIFO" in refused(export(results, "firmware-header", out), out)


def test_names_given_by_the_user_stay_inside_the_c_comment(own_results, tmp_path):
    results, _ = own_results
    out = str(tmp_path / "noise_model.c")
    done = export(results, "android", out, "--maker", "Acme */ int injected; /*", "--model", "Cam\n1")
    assert done.returncode == 0, done.stderr
    with open(out, encoding="utf-8") as f:
        source = f.read()
    first = source.splitlines()[0]
    assert first.startswith("/* Noise model and black level of Acme * / int injected; /* Cam 1,"), first
    assert "*/" not in first  # the comment goes on to its own end, lines below
