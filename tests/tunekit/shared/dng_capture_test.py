"""DNG captures: written by this toolkit or by tifffile, read by the capture layer; unusable ones refused."""
import numpy as np
import pytest

from tuning.common import CaptureFormat, CFAType, read_capture, read_dng, write_capture, write_dng

tifffile = pytest.importorskip("tifffile", reason="Debian's python3-tifffile is not installed")

DNG_TAGS = {  # tag: (tifffile type code, count, value)
    "DNGVersion": (50706, "B", 4, (1, 4, 0, 0)),
    "CFARepeatPatternDim": (33421, "H", 2, (2, 2)),
    "CFAPattern": (33422, "B", 4, (2, 1, 1, 0)),  # BGGR
    "BlackLevelRepeatDim": (50713, "H", 2, (1, 1)),
    "BlackLevel": (50714, "2I", 1, (129, 2)),  # 64.5 as a rational
    "WhiteLevel": (50717, "I", 1, 1023),
    "ExposureTime": (33434, "2I", 1, (1, 60)),
    "ISOSpeedRatings": (34855, "H", 1, 800),
}


def tifffile_dng(path, frame, leave_out=(), **options):
    tags = [(code, kind, count, value, True) for name, (code, kind, count, value) in DNG_TAGS.items()
            if name not in leave_out]
    options.setdefault("photometric", 32803)  # CFA
    tifffile.imwrite(path, frame, extratags=tags, **options)


def frame_of(height, width, bits=10, seed=3):
    return np.random.default_rng(seed).integers(0, 1 << bits, size=(height, width), dtype=np.uint16)


@pytest.mark.parametrize("options", [{}, {"tile": (16, 16)}, {"rowsperstrip": 3}, {"byteorder": ">"},
                                     {"byteorder": ">", "tile": (16, 16)}])
def test_a_dng_written_by_tifffile_reads_through_the_layer(tmp_path, options):
    frame = frame_of(20, 34)
    path = tmp_path / "x_dark_LCG_exp_16_again_1_0.dng"
    tifffile_dng(path, frame, **options)
    samples, info = read_dng(path)
    assert np.array_equal(samples, frame)
    assert (info.width, info.height, info.bits, info.cfa_type) == (34, 20, 16, CFAType.BGGR)
    assert info.black_level == [64.5] and info.black_level_repeat_dim == [1, 1] and info.white_level == 1023
    assert info.exposure_time == pytest.approx(1 / 60, rel=1e-12) and info.iso == 800 and info.analog_gain is None
    assert np.array_equal(read_capture(path, 34, 20, capture_format=CaptureFormat(layout="dng")), frame)


def test_an_eight_bit_dng_reads_as_its_samples(tmp_path):
    frame = frame_of(6, 8, bits=8).astype(np.uint8)
    tifffile_dng(tmp_path / "c.dng", frame)
    assert read_dng(tmp_path / "c.dng")[0].tolist() == frame.tolist()


def test_what_this_toolkit_writes_tifffile_reads_and_the_layer_reads_back(tmp_path):
    frame = frame_of(6, 10, bits=12)
    path = tmp_path / "c.dng"
    write_dng(path, frame, cfa_type="GRBG", bits=12, black_level=[256, 257, 255, 256], white_level=4095,
              exposure_time=0.01, iso=100, analog_gain=4)
    with tifffile.TiffFile(path) as tif:
        page = tif.pages[0]
        assert np.array_equal(page.asarray(), frame)
        assert bytes(page.tags["CFAPattern"].value) == bytes([1, 0, 2, 1])
        assert bytes(page.tags["DNGVersion"].value) == bytes([1, 4, 0, 0])
    samples, info = read_dng(path)
    assert np.array_equal(samples, frame)
    assert info.cfa_type is CFAType.GRGB and info.black_level == [256, 257, 255, 256]
    assert info.black_level_repeat_dim == [2, 2] and info.white_level == 4095
    assert (info.exposure_time, info.iso, info.analog_gain) == (0.01, 100, 4)
    write_capture(tmp_path / "d.dng", frame, capture_format="dng")
    assert np.array_equal(read_dng(tmp_path / "d.dng")[0], frame)
    with pytest.raises(ValueError, match="sample 4096 at row 0, column 0 is above 2\\^bits - 1 = 4095"):
        write_dng(path, np.full((2, 2), 4096, np.uint16), cfa_type="RGGB", bits=12, black_level=0, white_level=4095)
    assert np.array_equal(read_dng(path)[0], frame)  # the refused write left the old file


def test_extra_tags_are_stored_as_given_and_checked_against_their_count(tmp_path):
    import struct

    frame = frame_of(4, 6, bits=12)
    path = tmp_path / "c.dng"
    profile = [1e-4, 2e-8, 3e-4, 4e-8]
    opaque = bytes(range(9))
    write_dng(path, frame, cfa_type="RGGB", bits=12, black_level=64, white_level=4095,
              extra_tags=[(51041, 12, 4, struct.pack("<4d", *profile)), (51008, 7, 9, opaque)])
    with tifffile.TiffFile(path) as tif:
        tags = {t.code: t.value for t in tif.pages[0].tags.values()}
    assert list(tags[51041]) == profile and bytes(tags[51008]) == opaque
    with pytest.raises(ValueError, match="extra DNG tag 51041: 4 values take 32 bytes, got 24"):
        write_dng(path, frame, cfa_type="RGGB", bits=12, black_level=64, white_level=4095,
                  extra_tags=[(51041, 12, 4, bytes(24))])
    with pytest.raises(ValueError, match="tag 50717 is given twice"):
        write_dng(path, frame, cfa_type="RGGB", bits=12, black_level=64, white_level=4095,
                  extra_tags=[(50717, 4, 1, bytes(4))])


def test_unusable_dngs_are_refused_saying_why(tmp_path):
    frame = frame_of(4, 4)
    cases = {
        "compressed": (dict(compression="zlib"), "compressed DNG (Compression 8) is not supported"),
        "rgb": (dict(photometric="minisblack"), "non-CFA DNG (PhotometricInterpretation 1) is not supported"),
        "pattern": (dict(leave_out=("CFAPattern",)), "the raw image has no CFAPattern tag"),
        "plain": (dict(leave_out=("DNGVersion",)), "a TIFF without the DNGVersion tag is not a DNG"),
    }
    for name, (options, message) in cases.items():
        path = tmp_path / f"{name}.dng"
        tifffile_dng(path, frame, **options)
        with pytest.raises(ValueError) as caught:
            read_dng(path)
        assert str(caught.value).startswith(f"{path}: ") and message in str(caught.value), name
    (tmp_path / "text.dng").write_text("not an image")
    with pytest.raises(ValueError, match="not a TIFF file"):
        read_dng(tmp_path / "text.dng")
    with pytest.raises(IsADirectoryError):
        read_dng(tmp_path)
