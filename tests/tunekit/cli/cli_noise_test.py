"""tunekit read-noise and shot-noise: levels taken from a black level result, and `all` across kinds."""
import json

import pytest

from cli_helpers import ALL_FLAGS, BITS, FIT_GAINS, read_json, simulate, size_flags, tool
from tuning.cli import levels, library

read_noise = library.module("tuning.noise_profile.read_noise")
shot_noise = library.module("tuning.noise_profile.shot_noise")
pytestmark = pytest.mark.skipif(not hasattr(shot_noise, "calibrate_shot_noise"),
                                reason="the noise calibrations are not in this build")
FREQ = 3  # a level bin of the small simulated frames holds few samples


def test_all_takes_the_black_level_of_its_own_run_and_matches_the_routines(tmp_path):
    captures = simulate(tmp_path, captures=3, kinds=("dark", "noise"), again_list=FIT_GAINS)
    out = tmp_path / "out"
    run = tool("all", "-q", "-i", captures, "-o", out, *size_flags(), *ALL_FLAGS, "--freq-threshold", FREQ)
    assert run.returncode == 0, run.stderr
    black = levels.mean_black_level(read_json(out / "black_level.json")["sbl"])
    assert "read-noise: note: black_level not given: using " + ", ".join(f"{v:.3f}" for v in black) in run.stderr
    assert "white_level not given: using 4095 DN, the largest 12-bit sample" in run.stderr
    # bpc reads the dark captures too; nothing was skipped.
    assert "skipped" not in run.stderr

    fields = dict(inp_file_dir=str(captures), out_file_dir=str(tmp_path / "direct"), width=32, height=24, bits=BITS,
                  again_list=FIT_GAINS, exp_time_list=[10, 20])
    white = [2 ** BITS - 1] * 4
    expected = shot_noise.calibrate_shot_noise(
        shot_noise.ShotNoiseFileParam(**fields),
        shot_noise.ShotNoiseTuningParam(black_level=black, white_level=white, freq_threshold=FREQ))
    assert (out / "shot_noise.json").read_text() == expected.json(indent=4)
    expected = read_noise.calibrate_read_noise(read_noise.ReadNoiseFileParam(**fields),
                                               read_noise.ReadNoiseTuningParam(black_level=black, white_level=white))
    assert (out / "read_noise.json").read_text() == expected.json(indent=4)
    config = read_json(out / "tunekit-config.json")
    assert config["freq_threshold"] == FREQ and config["black_level"] == pytest.approx(black)
    # The settings of `all` serve a single calibration: keys of the others are left to them.
    again = tool("read-noise", "-q", "--config", out / "tunekit-config.json", "-o", tmp_path / "again")
    assert again.returncode == 0, again.stderr
    assert (tmp_path / "again" / "read_noise.json").read_text() == (out / "read_noise.json").read_text()


def test_levels_come_from_the_output_folder_or_are_asked_for(tmp_path):
    captures = simulate(tmp_path, kinds=("dark",), again_list=FIT_GAINS)
    out = tmp_path / "out"
    run = tool("read-noise", "-q", "-i", captures, "-o", out, "--width", 32, "--height", 24)
    assert run.returncode == 1
    assert "read-noise needs the black level per cell position: give --black-level (4 values, raw DN)" in run.stderr
    out.mkdir()
    (out / "black_level.json").write_text(json.dumps(
        {"module": "blc", "sbl": {"again_1": {"exp_time_10": [60, 61, 62, 63]}, "again_2": {"exp_time_10":
                                                                                          [62, 63, 64, 65]}}}))
    run = tool("read-noise", "-q", "-i", captures, "-o", out, "--width", 32, "--height", 24)
    assert run.returncode == 1 and "read-noise needs the white level: give --white-level" in run.stderr
    run = tool("read-noise", "-q", "-i", captures, "-o", out, *size_flags())
    assert run.returncode == 0, run.stderr
    assert f"using 61.000, 62.000, 63.000, 64.000 DN, the mean over pairs of {out / 'black_level.json'}" in run.stderr
    assert len(read_json(out / "read_noise.json")["coeffs"]) == 4


def test_all_skips_a_calibration_whose_capture_kind_is_missing(tmp_path):
    captures = simulate(tmp_path, kinds=("dark",), again_list=FIT_GAINS)
    run = tool("all", "-q", "-i", captures, "-o", tmp_path / "out", *size_flags(), *ALL_FLAGS)
    assert run.returncode == 0, run.stderr
    skipped = [line for line in run.stderr.splitlines() if line.startswith("tunekit shot-noise: skipped: ")]
    assert len(skipped) == 1 and f"no noise LCG capture in {captures} gives one" in skipped[0]
    assert not (tmp_path / "out" / "shot_noise.json").exists()
    assert (tmp_path / "out" / "read_noise.json").exists()


def test_regions_given_as_flags_round_trip_through_a_config(tmp_path, capsys):
    import argparse

    from tuning.cli import parameters

    params = parameters.record_params(shot_noise.ShotNoiseTuningParam)
    known = {p.name: p for p in params}
    parser = argparse.ArgumentParser()
    parameters.add_flags(parser, params)
    values = parameters.flag_values(parser.parse_args(["--ROIs", "0,0,24,32", "-8,2,10,40", "--black-level", "64,"
                                                       "64", "64", "64"]), params)
    record = shot_noise.ShotNoiseTuningParam(**values)
    assert [r.dict() for r in record.ROIs] == [{"top": 0, "left": 0, "bottom": 24, "right": 32},
                                               {"top": -8, "left": 2, "bottom": 10, "right": 40}]
    assert record.black_level == [64, 64, 64, 64]
    config = tmp_path / "c.json"
    config.write_text(parameters.config_text(parameters.record_values(record, params), known, str(tmp_path)))
    again = shot_noise.ShotNoiseTuningParam(**parameters.load_config(str(config), known))
    assert again == record
    with pytest.raises(SystemExit):
        parser.parse_args(["--rois", "0,0,24"])
    assert "expected a region as top,left,bottom,right (integers), found '0,0,24'" in capsys.readouterr().err
