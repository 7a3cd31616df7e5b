"""What the host hands the routines: integers past 64 bits, paths with a NUL character or bytes the
file system's encoding cannot decode, lists that name a gain twice. Each gets a clear exception or
the file it names, never a cast failure, a crash or a shorter path."""
import os

import numpy as np
import pytest

from tuning import common
from tuning.blc import blc


def dark(folder, name, value, size=16):
    path = os.path.join(os.fsencode(folder), name if isinstance(name, bytes) else os.fsencode(name))
    np.full(size, value, dtype="<u2").tofile(path)


def file_param(tmp_path, **fields):
    values = dict(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "out"), width=4, height=4, bits=12,
                  again_list=[1], exp_time_list=[10])
    values.update(fields)
    return blc.BLCFileParam(**values)


@pytest.mark.parametrize("fields, named", [
    (dict(width=2 ** 63), "width"),
    (dict(height=-2 ** 64), "height"),
    (dict(again_list=[2 ** 70]), "again_list"),
])
def test_integers_past_64_bits_are_an_overflow_error_naming_the_field(tmp_path, fields, named):
    with pytest.raises(OverflowError, match=f"^{named} .* is outside -2\\^63..2\\^63-1$"):
        blc.gen_blc_param(file_param(tmp_path, **fields), blc.BLCTuningParam())
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("width, height", [(2 ** 62, 4), (2 ** 32, 2 ** 32), (-4, 4)])
def test_frame_sizes_no_capture_can_have_are_refused_before_any_arithmetic(tmp_path, width, height):
    from tuning.bpc import bpc
    from tuning.noise_profile import read_noise

    dark(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", 64)
    size = dict(width=width, height=height)
    calls = [
        lambda: blc.gen_blc_param(file_param(tmp_path, **size), blc.BLCTuningParam()),
        lambda: blc.gen_blc_param_v2(file_param(tmp_path, **size), blc.BLCTuningParam()),
        lambda: blc.dark_shading_tuning(file_param(tmp_path, **size), blc.BLCTuningParam()),
        lambda: bpc.gen_bpc_param(bpc.BPCFileParam(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "out"),
                                                   bits=12, again_list=[1], **size), bpc.BPCTuningParam()),
        lambda: read_noise.accumulate_capture_sums([str(tmp_path / "x_dark_LCG_exp_10_again_1_a.raw")], height, width),
        lambda: common.read_capture(str(tmp_path / "x_dark_LCG_exp_10_again_1_a.raw"), width, height),
    ]
    for call in calls:
        with pytest.raises((ValueError, RuntimeError)):
            call()


def test_a_path_with_a_nul_character_is_a_value_error_not_a_shorter_path(tmp_path):
    dark(tmp_path, "a.raw", 7)
    cut = str(tmp_path / "a.raw") + "\0.bak"
    with pytest.raises(ValueError, match="NUL"):
        common.read_raw_u16(cut)
    with pytest.raises(ValueError, match="NUL"):
        common.read_capture(cut, 4, 4)
    with pytest.raises(ValueError, match="NUL"):
        common.write_capture(str(tmp_path / "b.raw") + "\0x", np.zeros((4, 4), np.uint16))
    assert sorted(os.listdir(tmp_path)) == ["a.raw"]
    with pytest.raises(ValueError, match="inp_file_dir holds a NUL character"):
        blc.gen_blc_param(file_param(tmp_path, inp_file_dir=str(tmp_path) + "\0/elsewhere"), blc.BLCTuningParam())


def test_folders_and_captures_named_in_another_encoding_are_read(tmp_path, capsys):
    folder = os.path.join(os.fsencode(tmp_path), b"caf\xe9")  # Latin-1: not UTF-8
    os.mkdir(folder)
    dark(folder, b"x_dark_LCG_exp_10_again_1_\xe9.raw", 64)
    result = blc.gen_blc_param(file_param(tmp_path, inp_file_dir=os.fsdecode(folder),
                                          out_file_dir=os.fsdecode(folder + b"/out")), blc.BLCTuningParam())
    assert list(result.sbl["again_1"]["exp_time_10"]) == [64.0] * 4
    assert os.path.isdir(folder + b"/out")
    # The matched path is printed as the host prints a list of the names it lists.
    listed = [os.path.join(os.fsdecode(folder), os.fsdecode(b"x_dark_LCG_exp_10_again_1_\xe9.raw"))]
    assert capsys.readouterr().out.splitlines()[0] == str(listed)


def test_a_gain_listed_twice_does_not_weigh_twice_in_the_fixed_level(tmp_path):
    dark(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", 64)
    dark(tmp_path, "x_dark_LCG_exp_10_again_2_a.raw", 80)
    dark(tmp_path, "x_dark_LCG_exp_20_again_2_a.raw", 96)
    levels = {}
    for gains, exposures in [([1, 2], [10, 20]), ([1, 1, 2], [10, 20]), ([1, 2, 2], [10, 20, 10])]:
        result = blc.gen_blc_param(file_param(tmp_path, again_list=gains, exp_time_list=exposures),
                                   blc.BLCTuningParam())
        pairs = [v for per_gain in result.sbl.values() for v in per_gain.values()]
        assert result.fixed_sbl["fixed_sbl"] == pytest.approx(np.mean([np.mean(v) for v in pairs]))
        levels[tuple(gains)] = result.fixed_sbl["fixed_sbl"]
    assert len(set(levels.values())) == 1, levels
