"""The Python binding against a recording stand-in (slots) and the real library (results, refusals)."""
import ctypes
import os
import re

import numpy as np
import pytest

from tonewright.python import Library, ToneMapError, ToneParams, defaults, params as P
from tonewright.python.library import SLOTS

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
HEADER = os.path.join(ROOT, "tonewright", "include", "tonewright.h")


def header_order():
    text = open(HEADER, encoding="utf-8").read()
    prototype = re.search(r"tmo_v3_bayer\((.*?)\);", text, re.S).group(1)
    return [re.findall(r"\w+", arg)[-1] for arg in prototype.split(",")]


@pytest.fixture(scope="module")
def shim():
    path = os.environ.get("TONEWRIGHT_RECORD_SHIM") or os.path.join(
        ROOT, "build", "tests", "tonewright", "libtonewright_record_shim.so")
    lib = Library(path)
    return lib, ctypes.CDLL(path)


@pytest.fixture(scope="module")
def real():
    return Library()


def recorded(dll, name, ctype, count):
    return np.ctypeslib.as_array((ctype * count).in_dll(dll, name))


def distinct_params():
    """A record in which every scalar slot holds a value of its own, inside its range."""
    values = {}
    for i, s in enumerate(P.PARAMETERS):
        if s.kind is bool:
            values[s.name] = not s.default
        elif s.kind is int:
            values[s.name] = int(min(s.high, max(s.low, s.low + 3 * i + 1 if s.low > -1000 else -1000 - i)))
        else:
            values[s.name] = min(s.high, s.low + 0.1 + i / 7.0)
    values["mesh_off"] = False
    values["mesh_values"] = [(7 * k) % 9000 for k in range(P.MESH_GAINS)]
    values["lut1"] = {"knots": [5, 9, 200, 70000], "seg_end": [16, 8192, 1 << 22, 9], "seg_shift": [0, 4, 14, 3]}
    values["lut2"] = {"knots": list(range(3, 300, 7)), "seg_end": [16, 1024, 1 << 14], "seg_shift": [0, 3, 6]}
    values["lut3"] = {"knots": [11], "seg_end": [4, 5, 6], "seg_shift": [1, 2]}
    return ToneParams(**values)


def test_every_parameter_reaches_the_export_in_its_slot(shim):
    lib, dll = shim
    assert [name for name, _ in SLOTS] == header_order()
    p = distinct_params()
    scalars = {s.name for s in P.PARAMETERS}
    assert len(scalars) + 1 + 3 * 5 + 3 == len(SLOTS) == 68  # the record, the mesh, the LUTs, the frame
    frame = np.arange(6 * 8, dtype=np.int32).reshape(6, 8)
    lib.tone_map(frame, p)
    ints = recorded(dll, "shim_slots", ctypes.c_int64, 68)
    doubles = recorded(dll, "shim_doubles", ctypes.c_double, 68)
    expected = {"image": 1, "height": 6, "width": 8, "mesh_values": 1}
    for lut in P.LUT_NAMES:
        d = getattr(p, lut)
        expected.update({f"{lut}_knots": 1, f"{lut}_seg_end": 1, f"{lut}_seg_shift": 1,
                         f"{lut}_seg_count": len(d.seg_shift), f"{lut}_knot_count": len(d.knots)})
    for k, (name, kind) in enumerate(SLOTS):
        want = expected[name] if name in expected else getattr(p, name)
        got = doubles[k] if kind == "d" else ints[k]
        assert got == want, f"slot {k} ({name}): sent {want}, the export received {got}"
    assert recorded(dll, "shim_mesh", ctypes.c_int32, P.MESH_GAINS).tolist() == p.mesh_values
    for i, lut in enumerate(P.LUT_NAMES):
        d = getattr(p, lut)
        knots = np.ctypeslib.as_array((ctypes.c_int32 * 65535 * 3).in_dll(dll, "shim_knots"))[i]
        ends = np.ctypeslib.as_array((ctypes.c_uint32 * 65535 * 3).in_dll(dll, "shim_seg_end"))[i]
        shifts = np.ctypeslib.as_array((ctypes.c_uint32 * 65535 * 3).in_dll(dll, "shim_seg_shift"))[i]
        assert knots[:len(d.knots)].tolist() == d.knots, lut
        assert ends[:len(d.seg_end)].tolist() == d.seg_end, lut
        assert shifts[:len(d.seg_shift)].tolist() == d.seg_shift, lut

    # Without the mesh no mesh array is passed: the library must not read one.
    p.mesh_off = True
    lib.tone_map(frame, p)
    assert ints[13] == 1 and ints[14] == 0


def test_the_callers_frame_is_left_as_it_is_and_a_new_one_returned(shim):
    lib, _ = shim
    ready = (np.arange(4 * 6, dtype=np.int32) * 1000).reshape(4, 6)  # the library's own layout
    for frame in (ready, ready.astype(np.uint16)[:, ::-1]):
        before = frame.copy()
        out = lib.tone_map(frame, ToneParams())
        assert np.array_equal(frame, before)
        assert out.shape == frame.shape and out.dtype == np.int32
        assert np.array_equal(out, before.astype(np.int32) // 2 + 7)
    with pytest.raises(ValueError, match="2-D array"):
        lib.tone_map(np.zeros(8, np.int32), ToneParams())
    with pytest.raises(ValueError, match="integer samples"):
        lib.tone_map(np.zeros((2, 2)), ToneParams())


def typical_frame(width=512, height=384, bits=12):
    """A 12-bit scene: a dark room with a bright window, scaled into the 20-bit input."""
    y, x = np.mgrid[0:height, 0:width]
    scene = 40 + 120 * (1 + np.sin(x / 9.0) * np.cos(y / 13.0))
    scene[height // 4:height // 2, width // 2:width * 3 // 4] = 2400 + 300 * np.sin(x / 5.0)[
        height // 4:height // 2, width // 2:width * 3 // 4]
    return np.clip(scene, 0, (1 << bits) - 1).astype(np.int64) << (P.VALUE_BITS - bits)


def test_the_defaults_give_a_visible_local_tone_mapping(real):
    frame = typical_frame()
    p = defaults(frame.shape[1], frame.shape[0])
    out = real.tone_map(frame, p)
    p.tm_strength = 0
    linear = real.tone_map(frame, p)
    assert out.max() <= 16383 and out.min() >= 0
    dark = frame < (400 << 8)
    window = (slice(96, 192), slice(256, 384))
    # The shadows come up several times over, and the window stays brighter than the room and keeps
    # its detail.
    assert out[dark].mean() > 2.5 * linear[dark].mean()
    assert out[window].mean() > 2 * out[dark].mean() and out[window].std() > 100


def test_a_refused_input_raises_with_the_librarys_reason_and_maps_nothing(real):
    frame = typical_frame(64, 48)
    p = defaults()
    p.out_max = 20000  # the local mode indexes a 2^14-entry LUT with the output
    with pytest.raises(ToneMapError) as caught:
        real.tone_map(frame, p)
    assert caught.value.status == 2
    assert "out_max: expected at most 16383" in caught.value.reason and "found 20000" in caught.value.reason
    with pytest.raises(ToneMapError, match="width: expected an even value"):
        real.tone_map(frame[:, :63], defaults())
    # Samples a 32-bit call would cut to their low bits (another frame) are refused before the call.
    for wide in (frame.astype(np.uint64) + 2 ** 32, frame.astype(np.int64) - 2 ** 32):
        with pytest.raises(ValueError, match="frame: expected samples that fit 32-bit integers"):
            real.tone_map(wide, defaults())
    big = typical_frame()
    assert (real.tone_map(big.astype(np.uint64), defaults()) == real.tone_map(big, defaults())).all()


def test_a_missing_library_is_named():
    with pytest.raises(OSError, match="cannot load the tone-mapping library /nowhere/lib.so"):
        Library("/nowhere/lib.so")
