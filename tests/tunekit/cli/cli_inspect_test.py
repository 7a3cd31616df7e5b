"""tunekit inspect on real folders: conditions, sample counts, wrong sizes and misnamed files."""
import numpy as np

from cli_helpers import HEIGHT, WIDTH, simulate, tool


def test_inspect_lists_conditions_and_names_wrong_sizes_and_misnamed_files(tmp_path):
    captures = simulate(tmp_path, captures=3)
    np.zeros(WIDTH * HEIGHT - 2, "<u2").tofile(f"{captures}/sim_dark_LCG_exp_20_again_2_001.raw")
    np.zeros(WIDTH * HEIGHT + 2, "<u2").tofile(f"{captures}/sim_dark_LCG_exp_10_again_1_002.raw")
    with open(f"{captures}/odd_dark_LCG_exp_10_again_1_x.raw", "wb") as f:
        f.write(b"\0" * 3)
    np.zeros(WIDTH * HEIGHT, "<u2").tofile(f"{captures}/dark_gain1.raw")  # no convention
    np.zeros(WIDTH * HEIGHT, "<u2").tofile(f"{captures}/m_light_HCG_exp_5_again_16_0.raw")
    (tmp_path / "captures" / "notes.txt").write_text("lab 3")

    run = tool("inspect", captures, "--width", WIDTH, "--height", HEIGHT)
    assert run.returncode == 1, run.stderr
    out = run.stdout.splitlines()
    assert out[0] == f"{captures}: 14 captures against 32 x 24 = 768 samples"
    rows = [line.split() for line in out[3:8]]
    assert rows[0] == ["dark", "LCG", "1", "10", "4", "mixed:", "2", "x", "768,", "1", "x", "1,", "1", "x", "770",
                       "2", "wrong"]
    assert rows[1] == ["dark", "LCG", "1", "20", "3", "768", "samples", "each", "ok"]
    assert rows[3][:5] == ["dark", "LCG", "2", "20", "3"] and rows[3][-2:] == ["1", "wrong"]
    assert rows[4] == ["light", "HCG", "16", "5", "1", "768", "samples", "each", "ok"]
    assert "1 .raw files follow no capture name convention" in run.stdout
    assert "  dark_gain1.raw" in out
    assert "3 captures cannot be used as 32 x 24 frames:" in out
    assert "  odd_dark_LCG_exp_10_again_1_x.raw: holds 3 bytes, not a whole number of 16-bit samples" in out
    assert "  sim_dark_LCG_exp_20_again_2_001.raw: holds 766 samples, expected 768 (32 x 24)" in out
    assert "  sim_dark_LCG_exp_10_again_1_002.raw: holds 770 samples, expected 768 (32 x 24)" in out
    assert "1 other files (not captures): notes.txt" in out[-1]

    # Without a frame size the sizes are listed, not judged, and a good folder passes.
    run = tool("inspect", simulate(tmp_path / "good"))
    assert run.returncode == 0
    assert "size unchecked" in run.stdout and "wrong" not in run.stdout


def test_inspect_refuses_a_missing_folder_and_half_a_frame_size(tmp_path):
    run = tool("inspect", tmp_path / "none")
    assert run.returncode == 2 and f"capture folder {tmp_path / 'none'} does not exist" in run.stderr
    run = tool("inspect", tmp_path, "--width", 32)
    assert run.returncode == 2 and "give both --width and --height" in run.stderr


def test_inspect_names_the_layout_the_sizes_fit_and_checks_against_a_given_one(tmp_path):
    from tuning.common import CaptureFormat

    packed = simulate(tmp_path / "packed", capture_format=CaptureFormat(layout="raw10p"), bits=10)
    run = tool("inspect", packed, "--width", WIDTH, "--height", HEIGHT)
    assert run.returncode == 1  # judged as raw16 they are all too short
    assert ("  8 captures: 960 bytes, 32 x 24 raw10p samples with rows packed tight (also fits raw8 with --stride 40: "
            "check the values): give --format raw10p") in run.stdout.splitlines()

    padded = simulate(tmp_path / "padded", capture_format=CaptureFormat(layout="raw12p", stride=52))
    with open(f"{padded}/sim_dark_LCG_exp_10_again_1_001.raw", "ab") as f:
        f.write(b"\0" * 7)
    run = tool("inspect", padded, "--width", WIDTH, "--height", HEIGHT)
    lines = run.stdout.splitlines()
    assert ("  7 of 8 captures: 1248 bytes, 24 rows of 52 bytes: 32 raw12p samples and 4 bytes of padding each "
            "(also fits raw10p, raw8 with --stride 52: check the values): give --format raw12p --stride 52") in lines
    assert any(line.startswith("  1 of 8 captures: 1255 bytes fit no layout of 32 x 24 (packed tight: raw8 768, "
                               "raw10p 960, raw12p 1152, raw14p 1344") and
               line.endswith("sim_dark_LCG_exp_10_again_1_001.raw") for line in lines), lines

    # With the layout given, sizes are judged in bytes against it and no layout is guessed.
    run = tool("inspect", padded, "--width", WIDTH, "--height", HEIGHT, "--format", "raw12p", "--stride", 52)
    assert run.returncode == 1
    lines = run.stdout.splitlines()
    assert lines[0] == f"{padded}: 8 captures against 32 x 24 = 768 samples as --format raw12p --stride 52"
    assert lines[3].split() == ["dark", "LCG", "1", "10", "2", "mixed:", "1", "x", "1248,", "1", "x", "1255",
                                "1", "wrong"]
    assert lines[4].split()[-4:] == ["1248", "bytes", "each", "ok"]
    assert "  sim_dark_LCG_exp_10_again_1_001.raw: holds 1255 bytes, expected 1248 (32 x 24 as --format raw12p " \
           "--stride 52)" in lines
    assert not any(line.startswith("layout") for line in lines)


def test_a_reader_that_stops_early_ends_the_listing_quietly(tmp_path):
    import subprocess
    import sys

    from cli_helpers import tool_environment

    for i in range(3000):
        (tmp_path / f"unnamed_capture_number_{i:05d}.raw").touch()
    child = subprocess.Popen([sys.executable, "-m", "tuning", "inspect", str(tmp_path)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=tool_environment())
    child.stdout.readline()
    child.stdout.close()  # as `| head -1` does
    assert child.wait(timeout=60) == 141
    assert child.stderr.read() == b""
