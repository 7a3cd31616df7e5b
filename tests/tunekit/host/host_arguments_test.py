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


def test_capture_functions_take_names_in_another_encoding_as_the_file_system_gives_them(tmp_path):
    name = b"x_dark_LCG_exp_10_again_1_caf\xe9.raw"
    dark(tmp_path, name, 64)
    path = os.path.join(str(tmp_path), os.fsdecode(name))
    assert common.read_capture(path, 4, 4).tolist() == [[64] * 4] * 4
    parts = common.parse_capture_name(path)
    assert (parts.kind, parts.exposure, parts.gain) == ("dark", "10", "1")
    again = common.capture_name(parts.prefix, parts.kind, parts.mode, parts.exposure, parts.gain, parts.suffix)
    assert os.fsencode(again) == name
    common.write_capture(os.path.join(str(tmp_path), os.fsdecode(b"y_\xfc.raw")), np.zeros((2, 2), np.uint16))
    assert b"y_\xfc.raw" in os.listdir(os.fsencode(tmp_path))
    with pytest.raises(ValueError, match="NUL"):
        common.capture_name("p\0q", "dark", "LCG", 1, 1, "s")


@pytest.mark.parametrize("fields, message", [
    (dict(black_level=[float("nan")]), "black_level must be 0..2\\^bits - 1 = 4095 DN, got nan"),
    (dict(black_level=[-1.0, 0, 0, 0]), "black_level must be"),
    (dict(white_level=-5), "white_level must be 0..65535 DN, got -5"),
    (dict(exposure_time=float("nan")), "exposure_time must be a finite number of seconds"),
    (dict(exposure_time=-0.01), "exposure_time must be"),
    (dict(iso=-100.0), "iso must be a finite number above 0"),
    (dict(analog_gain=0.0), "analog_gain must be a finite number above 0"),
])
def test_dng_tags_no_camera_could_have_written_are_refused(tmp_path, fields, message):
    values = dict(cfa_type=common.CFAType.RGGB, bits=12, black_level=[64.0], white_level=4095)
    values.update(fields)
    with pytest.raises(ValueError, match=message):
        common.write_dng(str(tmp_path / "x.dng"), np.zeros((4, 4), np.uint16), **values)
    assert os.listdir(tmp_path) == []


def test_a_progress_hook_must_be_callable_and_may_end_the_program(tmp_path):
    with pytest.raises(TypeError, match="expected a callable or None, found int"):
        common.set_progress_hook(5)
    dark(tmp_path, "x_dark_LCG_exp_10_again_1_a.raw", 64)
    calls = []

    def leave(*step):
        calls.append(step)
        raise SystemExit(3)

    common.set_progress_hook(leave)
    try:
        with pytest.raises(SystemExit):
            blc.gen_blc_param(file_param(tmp_path, again_list=[1, 1, 1]), blc.BLCTuningParam())
    finally:
        common.set_progress_hook(None)
    assert len(calls) == 1  # the routine stopped at its first condition
    assert not (tmp_path / "out").exists() or os.listdir(tmp_path / "out") == []
