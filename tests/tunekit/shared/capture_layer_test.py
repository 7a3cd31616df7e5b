"""The capture layer as the tool and the simulator see it: layouts, sizes, reader, writer, naming rule."""
import os
import threading

import numpy as np
import pytest

from tuning.common import (CaptureFormat, SampleLayout, SensorMode, capture_file_size, capture_name, capture_pattern,
                           parse_capture_name, read_capture, write_capture)

# Bits per sample and pixels per packing group of each fixed-size layout.
LAYOUTS = {"raw16": (16, 1), "raw16be": (16, 1), "raw16msb": (16, 1), "raw8": (8, 1),
           "raw10p": (10, 4), "raw12p": (12, 2), "raw14p": (14, 4)}


def reference_unpack(data, layout, width, shift=0):
    """One row, bit by bit from the layout's description; slow and plain on purpose."""
    if layout == "raw16":
        return [data[2 * x] | data[2 * x + 1] << 8 for x in range(width)]
    if layout == "raw16be":
        return [data[2 * x] << 8 | data[2 * x + 1] for x in range(width)]
    if layout == "raw16msb":
        return [(data[2 * x] | data[2 * x + 1] << 8) >> shift for x in range(width)]
    if layout == "raw8":
        return list(data[:width])
    out = []
    if layout == "raw10p":
        for x in range(width):
            group, i = divmod(x, 4)
            b = data[5 * group:5 * group + 5]
            out.append(b[i] * 4 + (b[4] >> (2 * i)) % 4)
    elif layout == "raw12p":
        for x in range(width):
            group, i = divmod(x, 2)
            b = data[3 * group:3 * group + 3]
            out.append(b[i] * 16 + (b[2] >> (4 * i)) % 16)
    elif layout == "raw14p":
        for x in range(width):
            group, i = divmod(x, 4)
            b = data[7 * group:7 * group + 7]
            low_word = b[4] + b[5] * 256 + b[6] * 65536
            out.append(b[i] * 64 + (low_word >> (6 * i)) % 64)
    return out


def random_frame(height, width, bits, seed=1):
    return np.random.default_rng(seed).integers(0, 1 << bits, size=(height, width), dtype=np.uint16)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("width,stride,header", [(8, 0, 0), (5, 0, 0), (7, 32, 0), (6, 0, 16), (3, 24, 9)])
def test_each_layout_writes_what_a_plain_unpacker_reads_and_reads_it_back(tmp_path, layout, width, stride, header):
    bits, group = LAYOUTS[layout]
    shift = 4 if layout == "raw16msb" else 0
    height = 3
    frame = random_frame(height, width, bits - shift)
    fmt = CaptureFormat(layout=layout, stride=stride, header=header, shift=shift)
    path = tmp_path / "c.raw"
    write_capture(path, frame, capture_format=fmt)
    data = path.read_bytes()
    tight = (width + group - 1) // group * group * bits // 8
    row_step = stride or tight
    assert len(data) == header + height * row_step == capture_file_size(width, height, capture_format=fmt)
    rows = [reference_unpack(data[header + y * row_step:header + y * row_step + tight], layout, width, shift)
            for y in range(height)]
    assert rows == frame.tolist()
    got = read_capture(str(path), width, height, capture_format=fmt)
    assert got.dtype == np.uint16 and got.shape == (height, width)
    assert np.array_equal(got, frame)


def test_documented_byte_examples(tmp_path):
    path = tmp_path / "c.raw"
    path.write_bytes(bytes([0x01, 0x02, 0x03, 0x04, 0b11_10_01_00]))
    assert read_capture(path, 4, 1, capture_format=CaptureFormat(layout="raw10p")).tolist() == [[4, 9, 14, 19]]
    path.write_bytes(bytes([0xAB, 0xCD, 0x21]))
    assert read_capture(path, 2, 1, capture_format=CaptureFormat(layout="raw12p")).tolist() == [[0xAB1, 0xCD2]]
    low_word = 5 | 6 << 6 | 7 << 12 | 8 << 18
    path.write_bytes(bytes([1, 2, 3, 4]) + low_word.to_bytes(3, "little"))
    assert read_capture(path, 4, 1, capture_format=CaptureFormat(layout="raw14p")).tolist() == \
        [[1 << 6 | 5, 2 << 6 | 6, 3 << 6 | 7, 4 << 6 | 8]]
    path.write_bytes(bytes([0x12, 0x34]))
    assert read_capture(path, 1, 1, capture_format=CaptureFormat(layout="raw16be")).tolist() == [[0x1234]]
    assert read_capture(path, 1, 1).tolist() == [[0x3412]]
    assert read_capture(path, 1, 1, capture_format=CaptureFormat(layout="raw16msb", shift=6)).tolist() == \
        [[0x3412 >> 6]]
    assert read_capture(path, 2, 1, capture_format=CaptureFormat(layout="raw8")).tolist() == [[0x12, 0x34]]


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_a_file_one_byte_short_or_long_is_refused_naming_file_and_sizes(tmp_path, layout):
    fmt = CaptureFormat(layout=layout, stride=0 if layout != "raw12p" else 12, header=4)
    expected = capture_file_size(6, 2, capture_format=fmt)
    for size in (expected - 1, expected + 1):
        path = tmp_path / f"c{size}.raw"
        path.write_bytes(bytes(size))
        with pytest.raises(ValueError) as caught:
            read_capture(path, 6, 2, capture_format=fmt)
        message = str(caught.value)
        assert str(path) in message and f"must hold {expected} bytes, found {size}" in message


def test_formats_that_cannot_describe_the_frame_are_refused(tmp_path):
    with pytest.raises(ValueError, match="stride 9 is shorter than a raw10p row of 8 pixels"):
        capture_file_size(8, 2, capture_format=CaptureFormat(layout="raw10p", stride=9))
    with pytest.raises(ValueError, match="shift applies to raw16msb only"):
        capture_file_size(8, 2, capture_format=CaptureFormat(layout="raw16", shift=2))
    with pytest.raises(ValueError, match="no fixed file size"):
        capture_file_size(8, 2, capture_format=CaptureFormat(layout="dng"))
    with pytest.raises(ValueError):
        CaptureFormat(stride=-1)
    assert capture_file_size(8, 2) == 32
    assert capture_file_size(8, 2, capture_format="raw12p") == 24
    assert capture_file_size(8, 2, capture_format={"layout": "raw12p", "header": 4}) == 28
    with pytest.raises(ValueError):
        capture_file_size(8, 2, capture_format={"layout": "raw12p", "header": -4})


def test_folders_and_fifos_named_like_captures_fail_at_once(tmp_path):
    folder = tmp_path / "x_dark_LCG_exp_1_again_1_0.raw"
    folder.mkdir()
    with pytest.raises(IsADirectoryError):
        read_capture(folder, 2, 2)
    fifo = tmp_path / "y_dark_LCG_exp_1_again_1_0.raw"
    os.mkfifo(fifo)
    outcome = []

    def read():
        try:
            read_capture(fifo, 2, 2, capture_format="raw10p")
        except OSError as e:
            outcome.append(e)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout=10)
    if reader.is_alive():  # unblock the reader so the test run can end
        with open(fifo, "wb"):
            pass
        pytest.fail("reading a FIFO blocked")
    assert outcome and "not a regular file" in str(outcome[0]) and str(fifo) in str(outcome[0])


def test_write_refuses_samples_the_layout_cannot_hold_and_leaves_no_file(tmp_path):
    frame = np.array([[0, 1024]], dtype=np.uint16)
    with pytest.raises(ValueError, match="sample 1024 at row 0, column 1 does not fit raw10p"):
        write_capture(tmp_path / "c.raw", frame, capture_format="raw10p")
    with pytest.raises(ValueError, match="0..65535"):
        write_capture(tmp_path / "c.raw", np.array([[-1, 2]]))
    with pytest.raises(TypeError, match="integer samples"):
        write_capture(tmp_path / "c.raw", np.zeros((2, 2)))
    assert os.listdir(tmp_path) == []
    write_capture(tmp_path / "c.raw", np.array([[0, 1023]], dtype=np.int64), capture_format="raw10p")
    assert os.listdir(tmp_path) == ["c.raw"]


def test_naming_rule_builds_parses_and_globs_one_way():
    name = capture_name("sim", "dark", SensorMode.HCG, 16, 16.0, "003")
    assert name == "sim_dark_HCG_exp_16_again_16.0_003.raw"
    assert capture_name("a_b", "flat", "LCG", 0.5, 2, "x", capture_format=CaptureFormat(layout="dng")) == \
        "a_b_flat_LCG_exp_0.5_again_2_x.dng"
    parts = parse_capture_name("/some/folder/a_b_flat_LCG_exp_0.5_again_2_x_y.dng")
    assert (parts.prefix, parts.kind, parts.mode, parts.exposure, parts.gain, parts.suffix, parts.extension) == \
        ("a_b", "flat", SensorMode.LCG, "0.5", "2", "x_y", ".dng")
    assert parse_capture_name(name).exposure == "16" and parse_capture_name(name).gain == "16.0"
    for stray in ("sim_dark_MCG_exp_1_again_1_0.raw", "sim_dark_LCG_exp_1_again_1_0.tif", "notes.raw",
                  "sim_dark2_LCG_exp_1_again_1_0.raw"):
        assert parse_capture_name(stray) is None, stray
    assert capture_pattern("./caps/", "dark", "HCG", 1.5, 16) == "caps/*_dark_HCG_exp_1.5_again_16_*.raw"
    assert capture_pattern("caps", "noise", SensorMode.LCG, "*", 2, capture_format="dng") == \
        "caps/*_noise_LCG_exp_*_again_2_*.dng"
    assert SampleLayout("raw12p") is SampleLayout.raw12p and SampleLayout.raw12p == "raw12p"
