"""tunekit tonemap CAPTURE: the output frame against the binding, previews, presets, bad input."""
import json
import re
import os

import cv2
import numpy as np
import pytest

from tonemap_helpers import BITS, capture
from tonewright.python import defaults, load_preset, save_preset, tone_map
from tuning.cli import tonemap_capture
from tuning.cli.errors import ToolError
from tuning.cli.main import main


def read_raw(path, shape):
    return np.fromfile(path, "<u2").reshape(shape)


def test_tonemap_writes_the_mapped_frame_previews_curves_and_its_preset(tmp_path, capsys):
    cap = capture()
    np.save(tmp_path / "cap.npy", cap)
    assert main(["tonemap", str(tmp_path / "cap.npy"), "-o", str(tmp_path / "out")]) == 0
    assert "256 x 192, 12 bits, mapped in" in capsys.readouterr().out
    out = tmp_path / "out"
    assert sorted(os.listdir(out)) == ["after.png", "before.png", "preset.json", "tone_curves.png", "tonemapped.raw"]
    expected = tone_map(cap.astype(np.int32) << (20 - BITS), defaults(256, 192))
    assert np.array_equal(read_raw(out / "tonemapped.raw", cap.shape), expected)
    assert load_preset(str(out / "preset.json")) == defaults(256, 192)
    before, after = cv2.imread(str(out / "before.png")), cv2.imread(str(out / "after.png"))
    assert before.shape == after.shape == (192, 256, 3)
    # The same exposure for both: the tone mapping lifts the dark room well above the linear picture.
    assert after[100:, :100].mean() > before[100:, :100].mean() + 30
    assert cv2.imread(str(out / "tone_curves.png")) is not None


def test_a_preset_and_every_raw_layout_option_reach_the_frame(tmp_path, capsys):
    cap = capture(160, 132)
    np.save(tmp_path / "cap.npy", cap)
    # Rows of 352 bytes after a 32-byte header: the reader takes the first 320 bytes of each.
    padded = np.zeros((132, 176), "<u2")
    padded[:, :160] = cap
    (tmp_path / "cap.raw").write_bytes(b"\xff" * 32 + padded.tobytes())
    p = defaults(160, 132)
    p.tm_strength = 0  # the plain linear rescale: 12-bit samples become 14-bit ones
    save_preset(str(tmp_path / "flat.json"), p)
    assert main(["tonemap", str(tmp_path / "cap.raw"), "--width", "160", "--height", "132", "--stride", "352",
                 "--header", "32", "--params", str(tmp_path / "flat.json"), "-o", str(tmp_path / "raw")]) == 0
    assert np.array_equal(read_raw(tmp_path / "raw" / "tonemapped.raw", cap.shape), cap.astype(np.int32) << 2)
    assert main(["tonemap", str(tmp_path / "cap.npy"), "--bits", "14", "-o", str(tmp_path / "npy"),
                 "--params", str(tmp_path / "flat.json")]) == 0
    assert np.array_equal(read_raw(tmp_path / "npy" / "tonemapped.raw", cap.shape), cap)


def test_captures_are_read_through_the_capture_layer_in_any_layout_and_as_dng(tmp_path):
    from tuning.common import CaptureFormat, write_capture

    cap = capture(160, 132)  # local mode needs more than one 64-pixel block per side
    fmt = CaptureFormat(layout="raw12p", stride=248, header=4)
    write_capture(str(tmp_path / "cap.raw"), cap, capture_format=fmt)
    assert np.array_equal(tonemap_capture.read_capture(str(tmp_path / "cap.raw"), 160, 132, fmt), cap)
    cases = [
        (dict(width=160, height=134, capture_format=fmt), "must hold 33236 bytes, found 32740"),
        (dict(width=160, height=132), "must hold 42240 bytes, found 32740"),  # read as raw16
        (dict(width=None, height=None, capture_format=fmt), "give --width and --height for a raw capture"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ToolError, match=re.escape(message)):
            tonemap_capture.read_capture(str(tmp_path / "cap.raw"), **kwargs)
    # The mapped frame as a DNG, read back with its own size and no size flags.
    assert main(["tonemap", str(tmp_path / "cap.raw"), "--width", "160", "--height", "132", "--format", "raw12p",
                 "--stride", "248", "--header", "4", "--dng", "-o", str(tmp_path / "out")]) == 0
    mapped = read_raw(tmp_path / "out" / "tonemapped.raw", cap.shape)
    assert np.array_equal(tonemap_capture.read_capture(str(tmp_path / "out" / "tonemapped.dng"), None, None), mapped)
    with pytest.raises(ToolError, match=re.escape("is 160 x 132, expected 158 x 132")):
        tonemap_capture.read_capture(str(tmp_path / "out" / "tonemapped.dng"), 158, 132)


def test_bad_input_is_named_and_nothing_is_written(tmp_path, capsys):
    cap = capture(32, 24)
    np.save(tmp_path / "cap.npy", cap)
    (tmp_path / "unknown.json").write_text(json.dumps({"strength": 4}))
    (tmp_path / "range.json").write_text(json.dumps({"clip_limit": -1.0}))
    (tmp_path / "refused.json").write_text(json.dumps({"out_max": 20000}))
    hot = cap.copy()
    hot[3, 3] = 5000
    np.save(tmp_path / "hot.npy", hot)
    npy = str(tmp_path / "cap.npy")
    cases = [
        ([npy, "--width", "30"], 2, f"capture {npy} is 32 x 24, expected 30 x 24 (--width x --height)"),
        ([npy, "--params", str(tmp_path / "unknown.json")], 2,
         f"preset {tmp_path / 'unknown.json'}: strength: unknown parameter"),
        ([npy, "--params", str(tmp_path / "range.json")], 2, "clip_limit: expected at least 0.0, found -1.0"),
        ([npy, "--params", str(tmp_path / "refused.json")], 1,
         "the tone-mapping library refused the call: out_max: expected at most 16383 in local mode"),
        ([str(tmp_path / "hot.npy")], 2, "holds samples up to 5000, above the 12-bit range of --bits (0 to 4095)"),
        ([str(tmp_path / "none.raw")], 2, f"capture {tmp_path / 'none.raw'} does not exist"),
    ]
    for argv, code, message in cases:
        out = tmp_path / "out"
        assert main(["tonemap", *argv, "-o", str(out)]) == code, argv
        assert message in capsys.readouterr().err, argv
        assert not out.exists() or os.listdir(out) == [], argv


def test_the_parameter_listing_names_every_field_of_the_record(capsys):
    assert main(["tonemap", "--list-params"]) == 0
    listed = [line.split()[0] for line in capsys.readouterr().out.splitlines()[1:]]
    assert listed == list(defaults().__fields__)
