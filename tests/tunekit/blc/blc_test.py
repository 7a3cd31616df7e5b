"""Black level routines and the module entry, called as the host calls them."""
import json
import os

import numpy as np
import pytest

from tuning.blc import blc
from tuning.common import SensorMode

INVALID_SHAPE = "invalid image shape, check your file param"


def write_capture(folder, name, samples):
    np.asarray(samples, dtype="<u2").tofile(os.path.join(folder, name))


def file_param(tmp_path, **fields):
    values = dict(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "out"), width=4, height=4, bits=12,
                  again_list=[1], exp_time_list=[10])
    values.update(fields)
    return blc.BLCFileParam(**values)


def test_records_have_their_defaults_and_keep_number_kinds():
    p = blc.BLCFileParam(again_list=[1, 1.5, 16.0])
    assert p.again_list == [1, 1.5, 16.0]
    assert [type(v) for v in p.again_list] == [int, float, float]
    t = blc.BLCTuningParam()
    assert (t.module, t.sbl, t.with_sbl, t.fpn_sbl, t.kernel_size, t.mesh_table_h, t.mesh_table_w) == (
        "blc", [0.0] * 4, 1, 64, 3, 24, 24)
    t.sbl.append(1.0)
    assert blc.BLCTuningParam().sbl == [0.0] * 4
    assert list(blc.BLCTuningResult.__fields__) == ["module", "sbl", "fixed_sbl"]


def test_sweep_prints_matches_and_skips_pairs_without_captures(tmp_path, capsys):
    write_capture(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", [64] * 16)
    write_capture(tmp_path, "y_dark_LCG_exp_10_again_1_b.raw", [66] * 16)
    result = blc.gen_blc_param(file_param(tmp_path, again_list=[1, 2]), blc.BLCTuningParam())
    assert result.sbl == {"again_1": {"exp_time_10": (65.0, 65.0, 65.0, 65.0)}, "again_2": {}}
    assert result.fixed_sbl == {"fixed_sbl": 65.0}
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 2 and lines[1] == "[]"
    printed = eval(lines[0])  # the host's own list notation
    assert sorted(printed) == sorted(str(tmp_path / n) for n in ("x_dark_LCG_exp_10_again_1_a.raw",
                                                                 "y_dark_LCG_exp_10_again_1_b.raw"))


def test_routines_take_their_arguments_by_name_and_need_both(tmp_path):
    write_capture(tmp_path, "x_dark_HCG_exp_1.5_again_16_a.raw", [10, 20, 30, 40])
    p = file_param(tmp_path, width=2, height=2, sensor_mode=SensorMode.HCG, again_list=[16], exp_time_list=[1.5])
    result = blc.gen_blc_param(tuning_param=blc.BLCTuningParam(), file_param=p)
    assert result.sbl == {"again_16": {"exp_time_1.5": (10.0, 20.0, 30.0, 40.0)}}
    with pytest.raises(TypeError):
        blc.gen_blc_param(p)


def test_failures_reach_the_host_as_its_own_exception_types(tmp_path):
    write_capture(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", [1] * 15)
    with pytest.raises(RuntimeError, match=f"^{INVALID_SHAPE}$"):
        blc.gen_blc_param(file_param(tmp_path), blc.BLCTuningParam())
    with pytest.raises(RuntimeError, match=f"^{INVALID_SHAPE}$"):
        blc.gen_blc_param_v2(file_param(tmp_path), blc.BLCTuningParam())
    write_capture(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", [1] * 20)
    with pytest.raises(ValueError):
        blc.gen_blc_param(file_param(tmp_path, width=5), blc.BLCTuningParam())
    with pytest.raises(ZeroDivisionError, match="no dark capture matched"):
        blc.gen_blc_param(file_param(tmp_path, again_list=[7]), blc.BLCTuningParam())
    with pytest.raises(AssertionError, match="^count_sbl_list_v2 needs at least one capture file$"):
        blc.count_sbl_list_v2([], file_param(tmp_path))
    with pytest.raises(RuntimeError, match="img list is None."):
        blc.count_sbl_list([])
    with pytest.raises(FileNotFoundError):
        blc.gen_blc_param(file_param(tmp_path, out_file_dir=str(tmp_path / "a" / "b")), blc.BLCTuningParam())


def test_v2_attaches_the_unreadable_file_as_the_cause(tmp_path):
    os.mkdir(tmp_path / "x_dark_LCG_exp_10_again_1_a.raw")
    with pytest.raises(RuntimeError, match=INVALID_SHAPE) as info:
        blc.gen_blc_param_v2(file_param(tmp_path), blc.BLCTuningParam())
    assert isinstance(info.value.__cause__, OSError)


def test_v2_scales_by_256_over_two_to_the_bits(tmp_path):
    write_capture(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", [256] * 16)
    result = blc.gen_blc_param_v2(file_param(tmp_path), blc.BLCTuningParam())
    assert result.sbl["again_1"]["exp_time_10"] == (16.0,) * 4
    assert result.fixed_sbl == {"fixed_sbl": 16.0}


def test_count_sbl_list_on_host_frames():
    frames = [np.full((4, 4), 64, np.uint16), np.full((4, 4), 66, np.uint16)]
    assert blc.count_sbl_list(frames) == (65.0, 65.0, 65.0, 65.0)
    with pytest.raises(ValueError, match="same shape"):
        blc.count_sbl_list([np.zeros((4, 4), np.uint16), np.zeros((2, 2), np.uint16)])


def test_main_writes_exactly_what_json_dumps_writes(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    os.makedirs("test_data/blc")
    rng = np.random.default_rng(1)
    for gain in (1, 2, 4, 8):
        for exposure in (1, 10):
            write_capture("test_data/blc", f"c_dark_LCG_exp_{exposure}_again_{gain}_0.raw",
                          rng.integers(0, 4096, 100 * 100))
    blc.main()
    out = tmp_path / "test_data/blc/static_info/result.json"
    text = out.read_text()
    record = json.loads(text)
    assert text == json.dumps(record, indent=4)
    assert list(record) == ["module", "sbl", "fixed_sbl"]
    assert set(record["sbl"]["again_1"]) == {"exp_time_1", "exp_time_10"}
    assert os.listdir(out.parent) == ["result.json"]


def test_main_with_no_captures_fails_and_keeps_the_old_result(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.makedirs("test_data/blc/static_info")
    (tmp_path / "test_data/blc/static_info/result.json").write_text("old")
    with pytest.raises(ZeroDivisionError):
        blc.main()
    assert (tmp_path / "test_data/blc/static_info/result.json").read_text() == "old"


def test_simulated_black_level_is_recovered_within_its_standard_error(tmp_path):
    from tuning import sim

    model = sim.SensorModel(width=128, height=96, again_list=[1, 4], exp_time_list=[10])
    captures = 3
    sim.write_captures(model, "dark", str(tmp_path), captures)
    p = file_param(tmp_path, width=model.width, height=model.height, again_list=model.again_list,
                   exp_time_list=model.exp_time_list)
    result = blc.gen_blc_param(p, blc.BLCTuningParam())
    samples_per_channel = captures * model.width * model.height / 4
    for gain in model.again_list:
        # Read noise averages down with the sample count; rounding to whole DN
        # adds at most 1/12 DN^2 of variance and no bias.
        standard_error = np.sqrt((model.read_noise_variance(gain) + 1 / 12) / samples_per_channel)
        recovered = np.array(result.sbl[f"again_{gain}"]["exp_time_10"])
        assert np.abs(recovered - model.true_dark_level(gain)).max() < 5 * standard_error
