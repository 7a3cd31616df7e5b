"""Shared records, enumerations and capture helpers as the host sees them."""
import json

import numpy as np
import pydantic
import pytest

from tuning.common import CFAType, FileParam, SensorMode, TuningParam, TuningResult, read_raw_u16, split_bayer4


def test_default_file_param_serialises_in_field_order():
    assert json.loads(FileParam().json()) == {
        "inp_file_dir": "", "out_file_dir": "", "width": 0, "height": 0, "bits": 0,
        "cfa_type": "RGGB", "sensor_mode": "LCG"}
    assert list(FileParam.__fields__) == ["inp_file_dir", "out_file_dir", "width", "height", "bits",
                                          "cfa_type", "sensor_mode"]
    assert TuningParam().module == "" and TuningResult().module == ""


def test_cfa_type_value_text_grbg_is_member_grgb():
    assert CFAType("GRBG") is CFAType.GRGB
    assert CFAType.GRGB == "GRBG"
    with pytest.raises(ValueError):
        CFAType("GRGB")
    assert FileParam(cfa_type="GRBG").cfa_type is CFAType.GRGB
    with pytest.raises(pydantic.ValidationError):
        FileParam(cfa_type="GRGB")
    assert [m.name for m in SensorMode] == ["LCG", "HCG"]


def test_split_bayer4_keeps_the_sample_type_and_cell_order():
    frame = np.arange(16, dtype=np.uint16).reshape(4, 4)
    cells = split_bayer4(frame)
    assert cells.shape == (2, 2, 4) and cells.dtype == np.uint16
    assert cells[0, 0].tolist() == [0, 1, 4, 5]
    assert cells[1, 1].tolist() == [10, 11, 14, 15]
    with pytest.raises(ValueError, match="even"):
        split_bayer4(np.zeros((4, 5)))


def test_read_raw_u16_reads_little_endian_samples(tmp_path):
    path = tmp_path / "x.raw"
    path.write_bytes(bytes([0x34, 0x12, 0xFF, 0x00, 0x07]))
    samples = read_raw_u16(str(path))
    assert samples.dtype == np.uint16 and samples.tolist() == [0x1234, 0x00FF]
    with pytest.raises(FileNotFoundError):
        read_raw_u16(str(tmp_path / "missing.raw"))
