"""Dark shading mesh tables and the dark image quality preview, called as the host calls them."""
import os
import struct
import warnings
import zlib

import numpy as np
import pytest

from tuning import sim
from tuning.blc import blc
from tuning.common import SensorMode
from tuning.sim.dark_mesh import box3, mesh_deviation, true_dark_mesh


def write_capture(folder, name, frame):
    np.asarray(frame, dtype="<u2").tofile(os.path.join(folder, name))


def file_param(tmp_path, height, width, **fields):
    values = dict(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "out"), width=width, height=height,
                  bits=12, again_list=[1], exp_time_list=[10])
    values.update(fields)
    return blc.BLCFileParam(**values)


def bilinear(table, rows, cols):
    """Resampling with pixel centres mapped onto pixel centres, edges clamped."""
    def axis(n_src, n_dst):
        pos = np.clip((np.arange(n_dst) + 0.5) * n_src / n_dst - 0.5, 0, n_src - 1)
        lo = np.floor(pos).astype(int)
        return lo, np.minimum(lo + 1, n_src - 1), pos - lo
    y0, y1, fy = axis(table.shape[0], rows)
    x0, x1, fx = axis(table.shape[1], cols)
    top = table[y0][:, x0] * (1 - fx) + table[y0][:, x1] * fx
    bottom = table[y1][:, x0] * (1 - fx) + table[y1][:, x1] * fx
    return top * (1 - fy)[:, None] + bottom * fy[:, None]


def expected_mesh(frames, block_rows, block_cols, rows=24, cols=24):
    avg = np.mean(np.asarray(frames, dtype=np.float64), axis=0)
    h, w = avg.shape
    blocks = avg.reshape(block_rows, h // block_rows, block_cols, w // block_cols).mean(axis=(1, 3))
    return box3(bilinear(blocks, rows, cols))


def read_grey_png(path):
    """Pixels of an 8-bit greyscale, non-interlaced PNG."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert (depth, colour) == (8, 0)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    rows, prev = [], np.zeros(width, dtype=np.int64)
    for y in range(height):
        kind, line = raw[y * (width + 1)], np.frombuffer(raw, np.uint8, width, y * (width + 1) + 1).astype(np.int64)
        out = np.zeros(width, dtype=np.int64)
        for x in range(width):
            a = out[x - 1] if x else 0
            b, c = prev[x], (prev[x - 1] if x else 0)
            p = a + b - c
            predictor = [0, a, b, (a + b) // 2,
                         a if abs(p - a) <= min(abs(p - b), abs(p - c)) else (b if abs(p - b) <= abs(p - c) else c)]
            out[x] = (line[x] + predictor[kind]) % 256
        rows.append(out)
        prev = out
    return np.array(rows)


def test_tables_follow_the_block_geometry_and_are_float64(tmp_path, capsys):
    # 96 rows cut into 24 blocks of 4, 160 columns into 40 blocks of 4.
    rng = np.random.default_rng(3)
    y, x = np.mgrid[0:96, 0:160]
    frames = [60 + x // 7 + y // 11 + rng.integers(0, 4, size=(96, 160)) for _ in range(3)]
    for i, frame in enumerate(frames):
        write_capture(tmp_path, f"s_dark_LCG_exp_10_again_1_{i}.raw", frame)
    result = blc.dark_shading_tuning(file_param(tmp_path, 96, 160), blc.BLCTuningParam())
    assert list(result) == ["mesh_table"]
    (table,) = result["mesh_table"]
    assert isinstance(table, np.ndarray) and table.dtype == np.float64 and table.shape == (24, 24)
    np.testing.assert_allclose(table, expected_mesh(frames, 24, 40), atol=1e-4)
    assert capsys.readouterr().out.splitlines() == ["1 64 3 24 24 12 0 4095"]
    assert os.path.isdir(tmp_path / "out")


def test_tables_keep_or_remove_the_black_level_and_clip_to_the_bits(tmp_path):
    write_capture(tmp_path, "s_dark_LCG_exp_10_again_1_a.raw", np.full((32, 32), 64))
    write_capture(tmp_path, "s_dark_LCG_exp_10_again_2_a.raw", np.full((32, 32), 2000))
    p = file_param(tmp_path, 32, 32, bits=10, again_list=[1, 2])
    kept = blc.dark_shading_tuning(p, blc.BLCTuningParam(with_sbl=1))["mesh_table"]
    np.testing.assert_allclose(kept[0], 64.0, atol=1e-5)
    removed = blc.dark_shading_tuning(p, blc.BLCTuningParam(with_sbl=0, fpn_sbl=64))["mesh_table"]
    assert (removed[0] == 0.0).all()
    assert (removed[1] == 1023.0).all()


def test_pairs_without_captures_add_no_table_and_order_is_gain_first(tmp_path, capsys):
    for gain, exposure in [(1, 20), (4, 10), (4, 20)]:
        write_capture(tmp_path, f"s_dark_HCG_exp_{exposure}_again_{gain}_a.raw", np.full((16, 16), gain * 100 + exposure))
    p = file_param(tmp_path, 16, 16, sensor_mode=SensorMode.HCG, again_list=[1, 2, 4], exp_time_list=[10, 20])
    tables = blc.dark_shading_tuning(tuning_param=blc.BLCTuningParam(mesh_table_h=4, mesh_table_w=6),
                                     file_param=p)["mesh_table"]
    assert [t.shape for t in tables] == [(4, 6)] * 3
    assert [round(float(t.mean()), 3) for t in tables] == [120.0, 410.0, 420.0]
    assert capsys.readouterr().out.splitlines() == ["1 64 3 4 6 12 0 4095"]


def test_shape_failures_reach_the_host_as_value_errors(tmp_path):
    write_capture(tmp_path, "s_dark_LCG_exp_10_again_1_a.raw", np.zeros(15 * 64))
    with pytest.raises(ValueError, match="height: 15 samples cut into 30 blocks"):
        blc.dark_shading_tuning(file_param(tmp_path, 15, 64), blc.BLCTuningParam())
    with pytest.raises(ValueError, match=r"s_dark_LCG_exp_10_again_1_a.raw' holds 960 samples; a 16 x 64 frame"):
        blc.dark_shading_tuning(file_param(tmp_path, 16, 64), blc.BLCTuningParam())
    with pytest.raises(ValueError, match="mesh_table_h 0"):
        blc.dark_shading_tuning(file_param(tmp_path, 15, 64), blc.BLCTuningParam(mesh_table_h=0))
    with pytest.raises(TypeError):
        blc.dark_shading_tuning(file_param(tmp_path, 15, 64))


def test_simulated_shading_is_recovered_within_a_tenth_of_a_dn(tmp_path):
    # Without hot pixels the only differences from the truth are capture noise
    # and the resampling of the block grid: well under 1 % of the shading range.
    model = sim.SensorModel(width=256, height=192, again_list=[1, 8], exp_time_list=[10], hot_pixels=[])
    sim.write_captures(model, "dark", str(tmp_path), 4)
    p = file_param(tmp_path, model.height, model.width, again_list=model.again_list,
                   exp_time_list=model.exp_time_list)
    tables = blc.dark_shading_tuning(p, blc.BLCTuningParam())["mesh_table"]
    for gain, table in zip(model.again_list, tables):
        truth = true_dark_mesh(model, gain)
        largest, rms = mesh_deviation(table, truth)
        assert largest < 0.25 and rms < 0.1, (gain, largest, rms)
        assert np.ptp(truth) > 3.0  # the shading is there to be recovered


def shaded_frame(rows=32, cols=64):
    y, x = np.mgrid[0:rows, 0:cols]
    return (60 + 0.25 * x + 0.125 * y).astype(np.uint16)


def test_previews_are_written_as_grey_pngs_of_8x8_blocks(tmp_path):
    frame = shaded_frame()
    mesh = np.full((24, 24), 64.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert blc.check_tuning_quality_in_dark_img(mesh, frame, 1, "LCG_exp_10_again_2", str(tmp_path)) is None
    before = read_grey_png(tmp_path / "tmp" / "LCG_exp_10_again_2_before.png")
    after = read_grey_png(tmp_path / "tmp" / "LCG_exp_10_again_2_after.png")
    for image in (before, after):
        assert image.shape == (32, 64)
        assert image.max() == 255
        blocks = image.reshape(4, 8, 8, 8)
        assert (blocks == blocks[:, :1, :, :1]).all()  # one grey level per 8 x 8 block
    # A flat mesh removes no shading: the left-to-right rise is still there.
    assert after[0, 0] < after[0, -1]
    assert sorted(os.listdir(tmp_path / "tmp")) == ["LCG_exp_10_again_2_after.png", "LCG_exp_10_again_2_before.png"]


def test_a_preview_without_contrast_is_black_with_a_warning(tmp_path):
    frame = np.full((16, 16), 64, dtype=np.uint16)
    with pytest.warns(RuntimeWarning, match="written black"):
        blc.check_tuning_quality_in_dark_img(mesh_table=np.full((2, 2), 64.0), testraw=frame, with_sbl=1,
                                             name="flat", path=str(tmp_path))
    for suffix in ("before", "after"):
        image = read_grey_png(tmp_path / "tmp" / f"flat_{suffix}.png")
        assert image.shape == (16, 16) and not image.any()


def test_preview_shape_failures_are_value_errors(tmp_path):
    with pytest.raises(ValueError, match="got 12 x 16"):
        blc.check_tuning_quality_in_dark_img(np.ones((2, 2)), np.ones((12, 16)), 1, "n", str(tmp_path))
    with pytest.raises(ValueError, match="testraw must be a 2-D array"):
        blc.check_tuning_quality_in_dark_img(np.ones((2, 2)), np.ones((8, 8, 3)), 1, "n", str(tmp_path))
    assert not (tmp_path / "tmp").exists()
