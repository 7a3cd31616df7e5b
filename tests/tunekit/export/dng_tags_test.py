"""The DNG export read back by exiftool and tifffile, the opcode list decoded from the DNG layout."""
import json
import shutil
import struct
import subprocess

import pytest
from export_helpers import export, true_s_o

from cli_helpers import read_json

TAGS = {"BlackLevelRepeatDim": 50713, "BlackLevel": 50714, "WhiteLevel": 50717, "OpcodeList1": 51008,
        "NoiseProfile": 51041}


def decode_opcode_list(data: bytes):
    """[(opcode id, version, flags, parameters)] of a big-endian opcode list; FixBadPixelsList (5)
    parameters as {BayerPhase, points [(row, col)], rects [(top, left, bottom, right)]}."""
    count, = struct.unpack_from(">I", data, 0)
    at, opcodes = 4, []
    for _ in range(count):
        opcode, version, flags, size = struct.unpack_from(">IIII", data, at)
        at += 16
        params = data[at:at + size]
        at += size
        if opcode == 5:
            phase, points, rects = struct.unpack_from(">III", params, 0)
            values = struct.unpack_from(f">{2 * points + 4 * rects}I", params, 12)
            assert 12 + 4 * len(values) == size
            params = {"BayerPhase": phase, "points": [values[2 * i:2 * i + 2] for i in range(points)],
                      "rects": [values[2 * points + 4 * i:2 * points + 4 * i + 4] for i in range(rects)]}
        opcodes.append((opcode, version, flags, params))
    assert at == len(data)
    return opcodes


def true_profile(model, gain):
    """S, O per R, G, B for an RGGB sensor, the greens averaged."""
    cells = true_s_o(model, gain)
    s = [cells[0][0], (cells[1][0] + cells[2][0]) / 2, cells[3][0]]
    o = [cells[0][1], (cells[1][1] + cells[2][1]) / 2, cells[3][1]]
    return [v for pair in zip(s, o) for v in pair]


def true_bad_pixels(model):
    return sorted((r, c) for r, c, _ in model.planted_hot_pixels())


@pytest.fixture(scope="module")
def dng(calibrated, tmp_path_factory):
    results, model = calibrated
    out = str(tmp_path_factory.mktemp("dng") / "gain2.dng")
    done = export(results, "dng", out, "--gain", 2)
    assert done.returncode == 0, done.stderr
    return out, results, model


def test_tifffile_reads_the_tags_of_the_gain_with_their_values(dng):
    tifffile = pytest.importorskip("tifffile")
    out, results, model = dng
    with tifffile.TiffFile(out) as tif:
        tags = {t.code: t for t in tif.pages[0].tags.values()}
        values = {code: t.value for code, t in tags.items()}
    levels = read_json(f"{results}/black_level.json")["sbl"]["again_2"]
    expected_black = [sum(e[c] for e in levels.values()) / len(levels) for c in range(4)]
    black = values[TAGS["BlackLevel"]]
    assert [n / d for n, d in zip(black[0::2], black[1::2])] == pytest.approx(expected_black, abs=1e-6)
    assert tuple(values[TAGS["BlackLevelRepeatDim"]]) == (2, 2)
    assert values[TAGS["WhiteLevel"]] == model.white_level
    assert tags[TAGS["NoiseProfile"]].count == 6
    # The fixture's characterisation is the truth: only the merging of the greens and rounding remain.
    assert list(values[TAGS["NoiseProfile"]]) == pytest.approx(true_profile(model, 2), rel=1e-9)
    (opcode, version, flags, params), = decode_opcode_list(bytes(values[TAGS["OpcodeList1"]]))
    assert (opcode, version) == (5, 0x01030000)
    assert params["BayerPhase"] == 0  # red top left
    assert [tuple(p) for p in params["points"]] == true_bad_pixels(model)
    assert params["rects"] == []


def test_exiftool_reads_the_same_tags(dng):
    if not shutil.which("exiftool"):
        pytest.skip("exiftool (libimage-exiftool-perl) is not installed")
    out, _, model = dng
    done = subprocess.run(["exiftool", "-j", "-n", "-BlackLevel", "-BlackLevelRepeatDim", "-WhiteLevel",
                           "-NoiseProfile", "-OpcodeList1", out], capture_output=True, text=True, check=True)
    tags = json.loads(done.stdout)[0]
    assert tags["WhiteLevel"] == model.white_level
    assert [float(v) for v in str(tags["NoiseProfile"]).split()] == pytest.approx(true_profile(model, 2), rel=1e-6)
    assert str(tags["BlackLevelRepeatDim"]) == "2 2"
    assert len(str(tags["BlackLevel"]).split()) == 4
    opcodes = subprocess.run(["exiftool", "-b", "-OpcodeList1", out], capture_output=True, check=True).stdout
    (opcode, _, _, params), = decode_opcode_list(opcodes)
    assert opcode == 5 and [tuple(p) for p in params["points"]] == true_bad_pixels(model)


def test_the_dng_keeps_the_capture_it_was_given(calibrated, tmp_path):
    import numpy as np

    from tuning.common import read_dng

    results, model = calibrated
    frame = np.arange(model.width * model.height, dtype=np.uint16).reshape(model.height, model.width) % 4096
    capture = tmp_path / "scene.raw"
    frame.astype("<u2").tofile(capture)
    out = tmp_path / "scene.dng"
    done = export(results, "dng", out, "--capture", capture)
    assert done.returncode == 0, done.stderr
    samples, info = read_dng(str(out))
    assert np.array_equal(samples, frame)
    assert info.analog_gain == 1.0 and info.iso == 100  # the lowest gain without --gain


def test_the_listing_holds_the_values_of_the_dng(dng, tmp_path):
    out, results, model = dng
    listing = tmp_path / "tags.json"
    done = export(results, "dng-tags", listing, "--gain", 2)
    assert done.returncode == 0, done.stderr
    tags = {t["name"]: t for t in read_json(listing)["tags"]}
    assert set(tags) == set(TAGS)
    assert all(tags[name]["tag"] == code for name, code in TAGS.items())
    assert tags["NoiseProfile"]["values"] == pytest.approx(true_profile(model, 2), rel=1e-12)
    (_, _, _, params), = decode_opcode_list(bytes.fromhex(tags["OpcodeList1"]["bytes"]))
    assert [tuple(p) for p in params["points"]] == true_bad_pixels(model)
    text = tmp_path / "tags.txt"
    assert export(results, "dng-tags", text).returncode == 0
    assert "NoiseProfile (51041, DOUBLE, count 6)" in text.read_text()


def test_bayer_phase_and_green_planes_follow_the_colour_filter(own_results, tmp_path):
    results, model = own_results
    config = read_json(f"{results}/tunekit-config.json")
    config["cfa_type"] = "GRBG"
    with open(f"{results}/tunekit-config.json", "w") as f:
        json.dump(config, f)
    listing = tmp_path / "tags.json"
    assert export(results, "dng-tags", listing).returncode == 0
    tags = {t["name"]: t for t in read_json(listing)["tags"]}
    (_, _, _, params), = decode_opcode_list(bytes.fromhex(tags["OpcodeList1"]["bytes"]))
    assert params["BayerPhase"] == 1
    cells = true_s_o(model, 1)  # GRBG: cell 1 is red, cell 2 blue, cells 0 and 3 green
    assert tags["NoiseProfile"]["values"][0] == pytest.approx(cells[1][0], rel=1e-12)
    assert tags["NoiseProfile"]["values"][2] == pytest.approx((cells[0][0] + cells[3][0]) / 2, rel=1e-12)
    assert tags["NoiseProfile"]["values"][4] == pytest.approx(cells[2][0], rel=1e-12)
