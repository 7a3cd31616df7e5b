"""Presets: every value comes back from the file, and a bad file is refused with the field named."""
import json
import os

import numpy as np
import pytest

from tonewright.python import PresetError, ToneParams, load_preset, save_preset
from tonewright.python import curves, params as P


def test_a_preset_round_trips_every_value(tmp_path):
    p = P.defaults(1920, 1080)
    p.clip_limit = 0.1 + 0.2  # a double that is no short decimal
    p.global_blend = 1 / 3
    p.log_offset = 123456.78901234567
    p.mesh_off = False
    p.mesh_values = [4096 + (k * 37) % 999 for k in range(P.MESH_GAINS)]
    p.lut2 = P.Lut(**curves.segmented_lut("gamma", 1.7, size=curves.OUTPUT_SIZE, out_max=16383))
    p.noise_taps_1, p.reserved_12, p.ccm_1 = 0x8016, -77, -1234
    path = str(tmp_path / "look.json")
    save_preset(path, p)
    back = load_preset(path)
    assert back == p
    assert back.clip_limit == 0.1 + 0.2 and isinstance(back.bins, int)
    assert [f for f in os.listdir(tmp_path)] == ["look.json"]  # no partial file left behind

    # A preset may leave parameters out: they keep their defaults.
    (tmp_path / "short.json").write_text('{"tm_strength": 9}')
    short = load_preset(str(tmp_path / "short.json"))
    assert short.tm_strength == 9 and short.bins == ToneParams().bins


@pytest.mark.parametrize("content, message", [
    ({"tm_strength": 40}, "tm_strength: expected at most 16, found 40"),
    ({"global_blend": -0.5}, "global_blend: expected at least 0.0, found -0.5"),
    ({"strength": 3}, "strength: unknown parameter"),
    ({"bins": 64.5}, "bins: expected a valid integer, found 64.5"),
    ({"mesh_values": [4096] * 10}, "mesh_values: expected 884 gains (4 planes of 13 x 17), found 10"),
    ({"lut2": {"knots": [1, 2], "seg_end": [16, 1024], "seg_shift": [0, 3]}},
     "lut2: seg_end: expected 3 values (one per seg_shift entry, at least 3), found 2"),
    ({"lut1": {"knots": [], "seg_end": [1, 2, 3], "seg_shift": [0]}}, "lut1: knots: expected 1 to 65535 values"),
    ({"lut3": {"knots": [1], "seg_end": [1, 2, 3], "seg_shift": [0, 40]}},
     "lut3.seg_shift: item 1: expected at most 31, found 40"),
    ({"lut1": {"knots": [-1, -(2 ** 40)], "seg_end": [1, 2, 3], "seg_shift": [0]}},
     "lut1.knots: item 1: expected at least -2147483648, found -1099511627776"),
    ({"mesh_values": [4096] * 883 + [2.5]}, "mesh_values: expected integers, found 2.5 at item 883"),
    ({"mesh_values": [True] * 884}, "mesh_values: expected integers, found True at item 0"),
    ({"mesh_values": "flat"}, "mesh_values: expected a list of integers, found str"),
    ({"noise_on": "maybe"}, 'noise_on: expected true or false, found "maybe"'),
    ([1, 2], "expected a JSON object of parameters, found list"),
])
def test_a_bad_preset_is_refused_naming_the_file_and_the_field(tmp_path, content, message):
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(content))
    with pytest.raises(PresetError) as caught:
        load_preset(str(path))
    assert f"preset {path}: {message}" in str(caught.value)


def test_unreadable_presets_are_named(tmp_path):
    (tmp_path / "cut.json").write_text('{"bins": ')
    with pytest.raises(PresetError, match=f"preset {tmp_path / 'cut.json'} is not JSON"):
        load_preset(str(tmp_path / "cut.json"))
    with pytest.raises(PresetError, match="cannot read preset .*none.json: No such file"):
        load_preset(str(tmp_path / "none.json"))
    os.mkfifo(tmp_path / "named.fifo")  # no writer: reading it as it is would wait for ever
    with pytest.raises(PresetError, match="cannot read preset .*named.fifo: expected a regular file"):
        load_preset(str(tmp_path / "named.fifo"))
    with pytest.raises(PresetError, match="cannot read preset /dev/zero: expected a regular file"):
        load_preset("/dev/zero")


@pytest.mark.parametrize("name", sorted(curves.CURVES))
def test_named_curves_rise_from_black_to_white_through_their_knots(name):
    d = curves.segmented_lut(name, size=curves.OUTPUT_SIZE, out_max=16383)
    table = curves.expand(**d)
    assert len(table) == curves.OUTPUT_SIZE and table[0] == 0 and abs(table[-1] - 16383) <= 2
    assert np.all(np.diff(table) >= 0)
    x = np.array([100, 1000, 8000])
    assert np.allclose(table[x], curves.curve_function(name)(x / 16383.0) * 16383, atol=40)
    if name != "linear":
        assert np.abs(table - np.arange(curves.OUTPUT_SIZE)).max() > 300  # not the identity
