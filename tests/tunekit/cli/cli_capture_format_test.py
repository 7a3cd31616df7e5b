"""The capture format flags through the tool: checks by the layout's file size, and entries that are no file."""
import os

import pytest

from cli_helpers import FIT_GAINS, HEIGHT, WIDTH, simulate, size_flags, tool
from tuning.common import CaptureFormat, capture_file_size

RAW12P = CaptureFormat(layout="raw12p", stride=56)


def test_a_capture_of_the_wrong_size_for_its_layout_stops_the_run_before_anything_is_written(tmp_path):
    captures = simulate(tmp_path, capture_format=RAW12P, again_list=FIT_GAINS)
    out = tmp_path / "out"
    expected = capture_file_size(WIDTH, HEIGHT, capture_format=RAW12P)
    short = os.path.join(captures, "sim_dark_LCG_exp_20_again_2_001.raw")
    with open(short, "r+b") as f:
        f.truncate(expected - 3)
    levels = {"read-noise": ["--black-level", 64, "--white-level", 4095], "bpc": ["--dark-thr-ratio", 0.4]}
    for name in ("blc", "blc-v2", "dark-shading", "bpc", "read-noise"):
        run = tool(name, "-i", captures, "-o", out, *size_flags(), "--format", "raw12p", "--stride", 56,
                   "--again-list", *FIT_GAINS, "--exp-time-list", 10, 20, *levels.get(name, []))
        assert run.returncode == 1, run.stderr
        assert run.stderr.strip() == (f"tunekit {name}: error: {short} holds {expected - 3} bytes, expected "
                                      f"{expected} (32 x 24 as --format raw12p --stride 56)")
    # A longer capture of a packed layout is no capture of the frame either (raw16 alone may be cut).
    with open(short, "r+b") as f:
        f.truncate(expected + 56)
    run = tool("blc", "-i", captures, "-o", out, *size_flags(), "--format", "raw12p", "--stride", 56)
    assert run.returncode == 1 and f"holds {expected + 56} bytes, expected {expected}" in run.stderr
    # The right layout with the wrong stride names the stride it was checked against.
    run = tool("blc", "-i", captures, "-o", out, *size_flags(), "--format", "raw12p")
    assert run.returncode == 1 and "expected 1152 (32 x 24 as --format raw12p)" in run.stderr
    assert not out.exists()


def test_format_flags_and_keys_are_checked_and_named(tmp_path):
    captures = simulate(tmp_path)
    run = tool("blc", "-i", captures, "-o", tmp_path / "out", *size_flags(), "--format", "raw11p")
    assert run.returncode == 2
    assert "--format: expected one of raw16, raw16be, raw16msb, raw8, raw10p, raw12p, raw14p, dng, found 'raw11p'" \
        in run.stderr
    run = tool("blc", "-i", captures, "-o", tmp_path / "out", *size_flags(), "--stride", -2)
    assert run.returncode == 1 and "stride (--stride): ensure this value is greater than or equal to 0" in run.stderr
    config = tmp_path / "c.json"
    config.write_text('{"format": "raw12q"}')
    run = tool("blc", "-i", captures, "--config", config, *size_flags())
    assert run.returncode == 2 and f"config file {config}: format: expected one of raw16" in run.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("entry", ["folder", "fifo", "dangling link"])
def test_an_entry_named_like_a_capture_that_is_no_file_is_named_and_never_opened(tmp_path, entry):
    captures = simulate(tmp_path)
    path = os.path.join(captures, "sim_dark_LCG_exp_10_again_1_009.raw")
    {"folder": os.mkdir, "fifo": os.mkfifo,
     "dangling link": lambda p: os.symlink(os.path.join(captures, "gone.raw"), p)}[entry](path)
    problem = {"folder": "is a folder, not a capture file", "fifo": "is a FIFO, not a capture file",
               "dangling link": "cannot be read (No such file or directory)"}[entry]
    run = tool("blc", "-i", captures, "-o", tmp_path / "out", *size_flags(), timeout=30)
    assert run.returncode == 1, run.stderr
    assert run.stderr.strip().splitlines()[-1] == f"tunekit blc: error: {path} {problem}"
    run = tool("inspect", captures, "--width", WIDTH, "--height", HEIGHT, timeout=30)
    assert run.returncode == 1 and f"  sim_dark_LCG_exp_10_again_1_009.raw: {problem}" in run.stdout.splitlines()
    assert not (tmp_path / "out").exists()


def test_a_folder_of_captures_in_another_format_is_pointed_at_the_format_flag(tmp_path):
    captures = simulate(tmp_path)
    for name in os.listdir(captures):
        os.rename(os.path.join(captures, name), os.path.join(captures, name[:-len(".raw")] + ".dng"))
    run = tool("blc", "-i", captures, "-o", tmp_path / "out", *size_flags(), "--again-list", 1,
               "--exp-time-list", 10)
    assert run.returncode == 1
    assert "the folder holds 8 dark LCG .dng captures (gains 1 2; exposures 10 20); for those give --format dng" \
        in run.stderr


def test_the_simulator_refuses_a_layout_too_narrow_for_its_samples(tmp_path):
    run = tool("simulate", tmp_path / "sim", "--width", WIDTH, "--height", HEIGHT, "--bits", 12, "--format", "raw10p")
    assert run.returncode == 2
    assert run.stderr.strip() == ("tunekit: error: cannot simulate --format raw10p captures: 12-bit samples do not "
                                  "fit raw10p (shift 0), which keeps 10 bits: simulate fewer bits")
    run = tool("simulate", tmp_path / "sim", "--width", WIDTH, "--height", HEIGHT, "--bits", 12, "--format",
               "raw16msb", "--shift", 6)
    assert run.returncode == 2 and "which keeps 10 bits" in run.stderr
    assert not (tmp_path / "sim").exists()
