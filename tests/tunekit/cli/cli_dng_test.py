"""DNG through the tool: what convert writes other readers read alike, and DNG written elsewhere calibrate."""
import json
import os
import subprocess

import numpy as np
import pytest
import tifffile  # a DNG writer that is not this project's

from cli_helpers import HEIGHT, WIDTH, simulate, size_flags, tool
from tuning.common import read_capture

CFA_CODES = {"RGGB": (0, 1, 1, 2), "GRBG": (1, 0, 2, 1)}  # TIFF/EP colour codes, row by row


def foreign_dng(path, frame, *, tile=None, drop=(), exposure=(1, 100), iso=200, dng_version=(1, 4, 0, 0),
                compression=None):
    """A DNG as a camera or another tool writes it, here by tifffile; drop leaves tags out."""
    tags = [(50706, "B", 4, dng_version, True), (50708, "s", 0, "bench cam", True),
            (33421, "H", 2, (2, 2), True), (33422, "B", 4, CFA_CODES["RGGB"], True),
            (50713, "H", 2, (2, 2), True), (50714, "H", 4, (64, 65, 63, 66), True), (50717, "H", 1, 4095, True),
            (33434, "2I", 1, exposure, True), (34855, "H", 1, iso, True)]
    tags = [t for t in tags if t[0] not in drop and t[3] is not None]
    tifffile.imwrite(path, np.asarray(frame, np.uint16), photometric=32803, extratags=tags, tile=tile,
                     compression=compression)


def exiftool(path):
    run = subprocess.run(["exiftool", "-j", "-n", "-DNGVersion", "-PhotometricInterpretation", "-CFAPattern2",
                          "-CFARepeatPatternDim", "-BlackLevel", "-WhiteLevel", "-ExposureTime", "-ISO",
                          "-BitsPerSample", "-ImageWidth", "-ImageHeight", str(path)],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout)[0]


def test_convert_writes_dng_other_readers_read_with_the_same_tags_and_samples_and_reads_them_back(tmp_path):
    captures = simulate(tmp_path / "set")
    dng = tmp_path / "dng"
    run = tool("convert", captures, dng, "--to", "dng", "--width", WIDTH, "--height", HEIGHT, "--bits", 12,
               "--black-level", "64", "65.5", "63.25", "66.75", "--cfa-type", "GRBG")
    assert run.returncode == 0, run.stderr
    names = sorted(os.listdir(captures))
    assert sorted(os.listdir(dng)) == [n[:-len(".raw")] + ".dng" for n in names]
    for name in names:
        path = dng / (name[:-len(".raw")] + ".dng")
        frame = read_capture(os.path.join(captures, name), WIDTH, HEIGHT)
        gain = int(name.split("_again_")[1].split("_")[0])
        exposure = int(name.split("_exp_")[1].split("_")[0])
        with tifffile.TiffFile(path) as f:
            page = f.pages[0]
            assert np.array_equal(page.asarray(), frame)
            tags = {t.code: t.value for t in page.tags.values()}
        assert page.photometric == 32803 and tags[33422] == bytes(CFA_CODES["GRBG"])
        assert tuple(tags[33421]) == (2, 2) and tuple(tags[50713]) == (2, 2) and tags[50717] == 4095
        meta = exiftool(path)
        assert meta["DNGVersion"] == "1 4 0 0" and meta["PhotometricInterpretation"] == 32803
        assert meta["CFAPattern2"] == "1 0 2 1" and meta["CFARepeatPatternDim"] == "2 2"
        assert meta["BlackLevel"] == "64 65.5 63.25 66.75" and meta["WhiteLevel"] == 4095
        assert meta["ExposureTime"] == pytest.approx(exposure * 1e-6) and meta["ISO"] == 100 * gain
        assert (meta["ImageWidth"], meta["ImageHeight"], meta["BitsPerSample"]) == (WIDTH, HEIGHT, 16)

    # And back: the DNG set converts to the very raw16 files it came from.
    back = tmp_path / "back"
    run = tool("convert", dng, back)
    assert run.returncode == 0, run.stderr
    assert sorted(os.listdir(back)) == names
    for name in names:
        assert (back / name).read_bytes() == open(os.path.join(captures, name), "rb").read()
    assert "the DNG carry 16-bit samples, black level 64 65.5 63.25 66.75, white level 4095" in run.stdout
    assert run.stdout.rstrip().endswith(f"calibrate with -i {back} --bits 12")


@pytest.mark.parametrize("tile", [None, (16, 16)], ids=["strips", "tiles"])
def test_dng_written_elsewhere_calibrate_like_the_raw16_captures_and_convert_by_their_tags(tmp_path, tile):
    captures = simulate(tmp_path / "set")
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    for name in sorted(os.listdir(captures)):
        foreign_dng(foreign / (name[:-len(".raw")] + ".dng"), read_capture(os.path.join(captures, name), WIDTH,
                                                                           HEIGHT), tile=tile)
    run = tool("convert", foreign, tmp_path / "back")
    assert run.returncode == 0, run.stderr
    assert all((tmp_path / "back" / n).read_bytes() == open(os.path.join(captures, n), "rb").read()
               for n in os.listdir(captures))
    expected, got = tmp_path / "expected", tmp_path / "got"
    assert tool("blc", "-q", "-i", tmp_path / "back", "-o", expected, *size_flags()).returncode == 0
    run = tool("blc", "-q", "-i", foreign, "-o", got, *size_flags(), "--format", "dng")
    assert run.returncode == 0, run.stderr
    # The routine sums the captures of a condition in listing order, which differs between the .raw
    # and the .dng names: the levels agree to the rounding of that sum.
    levels, raw_levels = (json.loads((d / "black_level.json").read_text())["sbl"] for d in (got, expected))
    assert list(levels) == list(raw_levels)
    for gain in levels:
        for exposure in levels[gain]:
            assert levels[gain][exposure] == pytest.approx(raw_levels[gain][exposure], rel=1e-12)

    # Named by a camera: the condition comes from the tags, the exposure in microseconds.
    camera = tmp_path / "camera"
    camera.mkdir()
    frame = read_capture(os.path.join(captures, sorted(os.listdir(captures))[0]), WIDTH, HEIGHT)
    foreign_dng(camera / "IMG_0001.dng", frame, tile=tile, exposure=(1, 100), iso=200)
    foreign_dng(camera / "IMG_0002.dng", frame, tile=tile, exposure=(1, 3), iso=400)
    out = tmp_path / "out"
    run = tool("convert", camera, out, "--kind", "dark")
    assert run.returncode == 0, run.stderr
    assert sorted(os.listdir(out)) == ["conv_dark_LCG_exp_10000_again_2_IMG_0001.raw",
                                       "conv_dark_LCG_exp_333333.333333_again_4_IMG_0002.raw"]
    assert np.array_equal(read_capture(str(out / "conv_dark_LCG_exp_10000_again_2_IMG_0001.raw"), WIDTH, HEIGHT),
                          frame)
    run = tool("convert", camera, tmp_path / "ms", "--kind", "dark", "--exposure-unit", "ms", "--base-iso", 200)
    assert run.returncode == 0 and "conv_dark_LCG_exp_10_again_1_IMG_0001.raw" in os.listdir(tmp_path / "ms")


def test_bad_dng_are_named_in_one_line_and_nothing_is_written(tmp_path):
    captures = simulate(tmp_path / "set")
    name = "sim_dark_LCG_exp_10_again_1_000.dng"
    frame = read_capture(os.path.join(captures, sorted(os.listdir(captures))[0]), WIDTH, HEIGHT)
    cases = {
        "no CFA pattern": (lambda p: foreign_dng(p, frame, drop=(33422,)), "CFAPattern"),
        "no DNG version": (lambda p: foreign_dng(p, frame, drop=(50706,)), "DNGVersion"),
        "compressed": (lambda p: foreign_dng(p, frame, compression="zlib"), "compress"),
        "not a TIFF": (lambda p: open(p, "wb").write(b"P5\n32 24\n65535\n" + frame.tobytes()), "TIFF"),
    }
    for case, (write, word) in cases.items():
        folder = tmp_path / case.replace(" ", "-")
        folder.mkdir()
        write(folder / name)
        for run in (tool("blc", "-i", folder, "-o", tmp_path / "out", *size_flags(), "--format", "dng",
                         "--again-list", 1, "--exp-time-list", 10),
                    tool("convert", folder, tmp_path / "out")):
            assert run.returncode in (1, 2), (case, run.stderr)
            lines = run.stderr.strip().splitlines()
            assert len(lines) == 1 and str(folder / name) in lines[0] and word in lines[0], (case, run.stderr)
        assert not (tmp_path / "out").exists()

    # A DNG without the exposure, whose name does not give it either.
    folder = tmp_path / "unnamed"
    folder.mkdir()
    foreign_dng(folder / "IMG_1.dng", frame, exposure=None)
    run = tool("convert", folder, tmp_path / "out", "--kind", "dark")
    assert run.returncode == 2
    assert run.stderr.strip() == (f"tunekit: error: {folder / 'IMG_1.dng'} has no ExposureTime tag and its name no "
                                  "exposure: give it in --map")
    run = tool("convert", folder, tmp_path / "out")
    assert run.returncode == 2 and "IMG_1.dng" in run.stderr
    assert not (tmp_path / "out").exists()


def test_inspect_reads_each_dng_and_names_what_keeps_it_from_being_a_capture(tmp_path):
    frame = np.zeros((HEIGHT, WIDTH), np.uint16)
    foreign_dng(tmp_path / "a_dark_LCG_exp_10_again_1_0.dng", frame)
    foreign_dng(tmp_path / "a_dark_LCG_exp_10_again_1_1.dng", frame, drop=(33422,))
    foreign_dng(tmp_path / "a_dark_LCG_exp_10_again_1_2.dng", np.zeros((HEIGHT, WIDTH + 2), np.uint16))
    foreign_dng(tmp_path / "IMG_7.dng", frame)
    run = tool("inspect", tmp_path, "--width", WIDTH, "--height", HEIGHT)
    assert run.returncode == 1
    lines = run.stdout.splitlines()
    assert lines[3].split()[:5] == ["dark", "LCG", "1", "10", "3"] and lines[3].endswith("2 wrong")
    assert "  3 captures: TIFF files (DNG): give --format dng" in lines
    assert "  a_dark_LCG_exp_10_again_1_1.dng: the raw image has no CFAPattern tag" in lines
    assert "  a_dark_LCG_exp_10_again_1_2.dng: is a 34 x 24 DNG, expected 32 x 24" in lines
    assert f"  (convert names them from their tags: tunekit convert {tmp_path} OUT --kind KIND)" in lines


def test_two_sources_that_would_become_one_capture_stop_the_conversion(tmp_path):
    source = tmp_path / "src"
    source.mkdir()
    frame = np.zeros((HEIGHT, WIDTH), np.uint16)
    foreign_dng(source / "x_dark_LCG_exp_10_again_1_0.dng", frame)
    frame.tofile(source / "x_dark_LCG_exp_10_again_1_0.raw")
    run = tool("convert", source, tmp_path / "out", "--width", WIDTH, "--height", HEIGHT)
    assert run.returncode == 2
    assert run.stderr.strip() == (f"tunekit: error: {source / 'x_dark_LCG_exp_10_again_1_0.raw'} and "
                                  f"{source / 'x_dark_LCG_exp_10_again_1_0.dng'} would both become "
                                  "x_dark_LCG_exp_10_again_1_0.raw: give their conditions apart in --map")
    assert sorted(os.listdir(tmp_path)) == ["src"]
