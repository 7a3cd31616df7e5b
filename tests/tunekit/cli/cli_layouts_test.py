"""One simulated scene stored in every layout and as DNG calibrates to the same results through the tool."""
import json
import math
import os

import pytest

from cli_helpers import HEIGHT, WIDTH, read_json, tool

FREQ = 3  # a level bin of the small simulated frames holds few samples
# (bits of the scene, format flags): each set beside the raw16 set of the same bits.
LAYOUTS = [
    (12, ["--format", "raw12p", "--stride", 52, "--header", 32]),
    (12, ["--format", "raw14p"]),
    (12, ["--format", "raw16be"]),
    (12, ["--format", "raw16msb", "--shift", 4]),
    (12, ["--format", "dng"]),
    (10, ["--format", "raw10p"]),
    (8, ["--format", "raw8", "--stride", 40]),
]
CONFIG = "tunekit-config.json"


def simulate_and_calibrate(root, bits, format_flags, report=False):
    run = tool("simulate", root, "--width", WIDTH, "--height", HEIGHT, "--captures", 3, "--bits", bits,
               "--again-list", 1, 2, 4, "--exp-time-list", 10, 20, *format_flags)
    assert run.returncode == 0, run.stderr
    out = root / "results"
    run = tool("all", "-q", "--config", root / CONFIG, "--freq-threshold", FREQ, *(["--report"] if report else []))
    assert run.returncode == 0, run.stderr
    assert "skipped" not in run.stderr and "failed" not in run.stderr
    return out


def results(out):
    return {name: (out / name).read_text() for name in sorted(os.listdir(out)) if name.endswith(".json")
            and name != CONFIG}


def same_but_rounding(a, b) -> bool:
    """Equal structure and values, reals to the last few bits: the routines sum captures in directory
    listing order, and .dng names list in another order than the .raw names of the same captures."""
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same_but_rounding(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same_but_rounding, a, b))
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12)
    return type(a) is type(b) and a == b


@pytest.fixture(scope="module")
def baselines(tmp_path_factory):
    return {bits: simulate_and_calibrate(tmp_path_factory.mktemp(f"raw16-{bits}"), bits, [])
            for bits in sorted({bits for bits, _ in LAYOUTS})}


@pytest.mark.parametrize("bits,format_flags", LAYOUTS, ids=[" ".join(map(str, f)) for _, f in LAYOUTS])
def test_every_calibration_gives_the_raw16_result_on_the_same_scene(tmp_path, baselines, bits, format_flags):
    dng = "dng" in format_flags
    out = simulate_and_calibrate(tmp_path, bits, format_flags, report=dng)
    expected = results(baselines[bits])
    assert set(expected) == {"black_level.json", "black_level_v2.json", "dark_shading.json",
                             "static_bad_pixels.json", "read_noise.json", "shot_noise.json",
                             "characterization.json"}
    if dng:
        # The figures read the captures again (previews, noise points) in the same format.
        page = (out / "report.html").read_text()
        assert page.count("<figure>") == 17 and 'class="failed"' not in page
        got = results(out)
        assert set(got) == set(expected)
        for name in expected:
            assert same_but_rounding(json.loads(got[name]), json.loads(expected[name])), name
    else:
        assert results(out) == expected
    # The format is kept with the settings, so the written config runs on the same files again.
    config = read_json(out / CONFIG)
    given = dict(zip((f.lstrip("-") for f in format_flags[::2]), format_flags[1::2]))
    assert {k: config[k] for k in given} == given
    assert tool("blc", "-q", "--config", out / CONFIG, "-o", tmp_path / "again").returncode == 0
    assert (tmp_path / "again" / "black_level.json").read_text() == (out / "black_level.json").read_text()
