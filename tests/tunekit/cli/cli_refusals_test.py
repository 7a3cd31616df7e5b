"""Values no calibration can give a sound result for: refused in one line before anything is written."""
import os

import pytest

from cli_helpers import FIT_GAINS, TONE_MAPPING, read_json, refusal, simulate, size_flags, tool

LEVELS = ["--black-level", 64, "--white-level", 4095]  # single values stand for all four cell positions
INT64_LOW, INT64_HIGH = -2 ** 63, 2 ** 63 - 1

# (command, flags, what the one error line says)
CASES = [
    ("blc", ["--bits", 0], "--bits: expected an integer from 1 to 16, found 0"),
    ("blc-v2", ["--bits", 17], "--bits: expected an integer from 1 to 16, found 17"),
    ("read-noise", ["--black-level", 100, "--white-level", 100],
     "--white-level: expected a white level above the black level 100 of cell position 0, found 100 100 100 100"),
    ("shot-noise", ["--black-level", 64, 64, 64, 64, "--white-level", 4095, 4095, 4095, 60],
     "--white-level: expected a white level above the black level 64 of cell position 3"),
    ("read-noise", ["--black-level", 1, 2, 3, "--white-level", 4095],
     "--black-level: expected 4 values (one per cell position) or a single value for all, found 3 values (1 2 3)"),
    ("shot-noise", ["--black-level", 64, "--white-level", 4095, 4095],
     "--white-level: expected 4 values (one per cell position) or a single value for all, found 2 values"),
    ("bpc", ["--bp-type", "Cold", "--light-thr-ratio", -1], "--light-thr-ratio: expected a number of 0 or more, "
                                                            "found -1"),
    ("bpc", ["--dark-thr-ratio", -0.5], "--dark-thr-ratio: expected a number of 0 or more, found -0.5"),
    ("shot-noise", [*LEVELS, "--freq-threshold", -1], "--freq-threshold: expected a number of 0 or more, found -1"),
    ("dark-shading", ["--mesh-table-h", 25], "--mesh-table-h: expected a mesh side from 1 to the frame height 24, "
                                             "found 25"),
    ("dark-shading", ["--mesh-table-w", 0], "--mesh-table-w: expected a mesh side from 1 to the frame width 32, "
                                            "found 0"),
    ("read-noise", [*LEVELS, "--again-list", 1, 2],
     "--again-list: expected at least 3 distinct gains for a quadratic of the gain, found 2 (1 2)"),
    ("read-noise", [*LEVELS, "--again-list", 1, "1.0", 2], "found 2 (1 1.0 2)"),  # one gain, two file names
    ("shot-noise", [*LEVELS, "--again-list", 2], "--again-list: expected at least 2 distinct gains for a line"),
    ("read-noise", [*LEVELS, "--again-list", 1, 2, 8],  # no capture has gain 8
     "--again-list: expected at least 3 distinct gains with dark captures for a quadratic of the gain, found 2 "
     "with captures (1 2)"),
    ("blc", ["--again-list", 1, 2, 1], "--again-list: expected each value once, found 1 more than once in 1 2 1"),
    ("dark-shading", ["--exp-time-list", 10, 20, 10], "--exp-time-list: expected each value once, found 10"),
    ("blc", ["--width", 2 ** 64], f"--width: expected an integer from {INT64_LOW} to {INT64_HIGH}, found {2 ** 64}"),
    ("dark-shading", ["--kernel-size", INT64_LOW - 1], f"--kernel-size: expected an integer from {INT64_LOW}"),
    ("blc", ["--skip-checks", "--again-list", INT64_HIGH + 1], f"--again-list: expected numbers whose integers run "
                                                               f"from {INT64_LOW} to {INT64_HIGH}"),
    ("shot-noise", [*LEVELS, "--ROIs", "0,0,24,32", "4,4,5,30"],
     "--ROIs: expected regions holding at least one 2 x 2 cell of the 32 x 24 frame, found region 2 4,4,5,30"),
    ("shot-noise", [*LEVELS, "--ROIs", "24,0,40,32"], "found region 1 24,0,40,32"),  # below the frame
    ("shot-noise", [*LEVELS, "--ROIs", "0,0,24,32", "-8,0,0,32"], "found region 2 -8,0,0,32"),  # above it
    ("blc", ["--again-list", "nan"], "--again-list: expected a finite number, found 'nan'"),
    ("blc", ["--exp-time-list", "10", "1e999"], "--exp-time-list: expected a finite number, found '1e999'"),
    ("all", [], "dark_thr_ratio (the record default): expected a ratio above 0 for the hot pixel test of `all`"),
    ("all", ["--dark-thr-ratio", 0], "--dark-thr-ratio: expected a ratio above 0 for the hot pixel test of `all`"),
    ("all", ["--dark-thr-ratio", 0.4, "--mesh-table-h", 48], "--mesh-table-h: expected a mesh side from 1"),
]


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("set"), kinds=("dark", "light", "noise"), again_list=FIT_GAINS)


@pytest.mark.parametrize("command, flags, message", CASES, ids=[f"{c[0]} {c[1]}" for c in CASES])
def test_nonsense_values_are_refused_in_one_line_and_nothing_is_written(captures, tmp_path, command, flags,
                                                                         message):
    out = tmp_path / "out"
    run = tool(command, "-q", "-i", captures, "-o", out, *size_flags(), *flags)
    line = refusal(run, out)
    assert message in line, line


def test_values_at_the_edge_of_the_ranges_and_a_single_level_run_as_before(captures, tmp_path):
    run = tool("blc-v2", "-q", "-i", captures, "-o", tmp_path / "v2", *size_flags(), "--bits", 16)
    assert run.returncode == 0, run.stderr
    run = tool("dark-shading", "-q", "-i", captures, "-o", tmp_path / "ds", *size_flags(), "--mesh-table-h", 24,
               "--mesh-table-w", 32)
    assert run.returncode == 0, run.stderr
    assert len(read_json(tmp_path / "ds" / "dark_shading.json")["mesh_table"][0]) == 24

    four = tool("read-noise", "-q", "-i", captures, "-o", tmp_path / "four", *size_flags(),
                "--black-level", 64, 64, 64, 64, "--white-level", 4095, 4095, 4095, 4095)
    one = tool("read-noise", "-q", "-i", captures, "-o", tmp_path / "one", *size_flags(), *LEVELS)
    assert four.returncode == one.returncode == 0, one.stderr
    assert (tmp_path / "one" / "read_noise.json").read_text() == (tmp_path / "four" / "read_noise.json").read_text()
    assert read_json(tmp_path / "one" / "tunekit-config.json")["white_level"] == [4095] * 4

    # A run without --bits writes bits 0 into its config, which serves a calibration that reads no bits.
    run = tool("blc", "-q", "-i", captures, "-o", tmp_path / "nobits", "--width", 32, "--height", 24)
    assert run.returncode == 0, run.stderr
    config = tmp_path / "nobits" / "tunekit-config.json"
    assert read_json(config)["bits"] == 0
    assert tool("blc", "-q", "--config", config).returncode == 0
    assert "bits (config file " in refusal(tool("blc-v2", "-q", "--config", config, "-o", tmp_path / "v2b"))


# (arguments after the capture folder or file, what the one error line says) of the commands that are
# no calibration: each refused before a file or folder is made.
OTHER_COMMANDS = [
    (["convert", "{set}", "{out}", "--to", "dng", "--bits", 12, "--black-level", "nan"],
     "--black-level: expected a finite number, found 'nan'"),
    (["convert", "{set}", "{out}", "--to", "dng", "--bits", 12, "--black-level", -64],
     "--black-level: expected levels of 0 or more (raw DN), found -64"),
    (["convert", "{set}", "{out}", "--to", "dng", "--bits", 12, "--white-level", 6000],
     "--white-level: expected above the black level and at most 2^bits - 1 = 4095 (--bits 12), found 6000"),
    (["convert", "{set}", "{out}", "--to", "dng", "--bits", 4],  # the samples need 7 bits
     "--bits: expected a sample width that holds the samples of"),
    (["convert", "{set}", "{out}", "--to", "dng", "--bits", 12, "--base-iso", -100],
     "--base-iso: expected a finite ISO speed above 0, found -100"),
    (["convert", "{set}", "{out}", "--base-iso", "nan"], "--base-iso: expected a finite ISO speed above 0, found nan"),
    (["convert", "{set}", "{out}", "--mode", "MID"], "--mode: mode expected one of LCG, HCG, found 'MID'"),
    (["convert", "{set}", "{out}", "--map", "{map}"], "line 2: gain: expected a number above 0, found '-1'"),
    (["convert", "{set}", "{out}", "--config", "{config}"], 'width (config file {config}): expected a whole JSON '
                                                             'number, found "32"'),
    (["tonemap", "{one}", "--serve", "--port", 70000, "-o", "{out}"],
     "--port: expected a port from 0 (any free one) to 65535, found 70000"),
    (["tonemap", "{one}", "--serve", "--port", -1, "-o", "{out}"], "found -1"),
    (["tonemap", "{one}", "--width", 32, "--height", 24, "-o", "{out}"],  # 32 x 24 holds no two blocks
     "the tone-mapping library refused the call" if TONE_MAPPING else "which this installation lacks"),
]


@pytest.mark.parametrize("args, message", OTHER_COMMANDS, ids=[" ".join(map(str, a[0])) for a in OTHER_COMMANDS])
def test_other_commands_refuse_nonsense_in_one_line_and_make_nothing(captures, tmp_path, args, message):
    out, listing = tmp_path / "out", tmp_path / "map.csv"
    listing.write_text("file,kind,gain\nsim_dark_LCG_exp_10_again_1_000.raw,dark,-1\n")
    config = tmp_path / "config.json"
    config.write_text('{"width": "32", "height": 24}')
    names = dict(set=captures, out=out, map=listing, one=f"{captures}/sim_dark_LCG_exp_10_again_1_000.raw",
                 config=config)
    filled = [str(a).format(**names) for a in args]
    if "--width" not in filled and "--config" not in filled:
        filled += ["--width", "32", "--height", "24"]
    line = refusal(tool(*filled), out)
    assert message.format(**names) in line, line
    assert not out.exists()
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".tunekit-convert-")]
