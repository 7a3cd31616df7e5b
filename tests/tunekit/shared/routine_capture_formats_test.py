"""Every routine that reads captures gives the same result on the same frames in every layout and in DNG."""
import numpy as np
import pytest

from tuning.blc import blc
from tuning.bpc import bpc
from tuning.common import CaptureFormat, capture_name, write_capture, write_dng
from tuning.noise_profile import read_noise as rn
from tuning.noise_profile import shot_noise as sn

H, W = 24, 40  # 40 columns: no whole raw10p or raw14p groups when padded
FORMATS = {
    "raw16": CaptureFormat(),
    "raw16be": CaptureFormat(layout="raw16be", header=32),
    "raw16msb": CaptureFormat(layout="raw16msb", shift=4),
    "raw10p": CaptureFormat(layout="raw10p", stride=64),
    "raw12p": CaptureFormat(layout="raw12p", stride=64, header=7),
    "raw14p": CaptureFormat(layout="raw14p"),
    "dng": CaptureFormat(layout="dng"),
}


def flat(record):
    sbl = record["sbl"]
    return [v for g in sorted(sbl) for e in sorted(sbl[g]) for v in sbl[g][e]] + [record["fixed_sbl"]["fixed_sbl"]]


def frames(seed, count, low, high):
    rng = np.random.default_rng(seed)
    return [rng.integers(low, high, (H, W), dtype=np.uint16) for _ in range(count)]


def write_set(folder, fmt, kind, exposure, gain, frame_list):
    for i, frame in enumerate(frame_list):
        path = folder / capture_name("s", kind, "LCG", exposure, gain, f"{i:03d}", capture_format=fmt)
        if fmt.layout == "dng":
            write_dng(path, frame, cfa_type="RGGB", bits=10, black_level=64, white_level=1023, exposure_time=0.01)
        else:
            write_capture(path, frame, capture_format=fmt)


def results(folder, fmt):
    """What every routine makes of the set in folder, read with fmt."""
    kw = {"capture_format": fmt}
    dark = blc.BLCFileParam(inp_file_dir=str(folder), out_file_dir=str(folder / "out"), width=W, height=H, bits=10,
                            again_list=[1, 2], exp_time_list=[10])
    out = {
        "blc": blc.gen_blc_param(dark, blc.BLCTuningParam(), **kw).dict(),
        "blc_v2": blc.gen_blc_param_v2(dark, blc.BLCTuningParam(), **kw).dict(),
        "shading": [t.tolist() for t in blc.dark_shading_tuning(
            dark, blc.BLCTuningParam(mesh_table_h=4, mesh_table_w=4), **kw)["mesh_table"]],
        "read_noise": rn.calibrate_read_noise(
            rn.ReadNoiseFileParam(inp_file_dir=str(folder), width=W, height=H, bits=10, again_list=[1, 2]),
            rn.ReadNoiseTuningParam(black_level=[64] * 4, white_level=[1023] * 4), **kw).dict(),
        "shot_noise": sn.calibrate_shot_noise(
            sn.ShotNoiseFileParam(inp_file_dir=str(folder), width=W, height=H, bits=10, again_list=[1, 2]),
            sn.ShotNoiseTuningParam(black_level=[64] * 4, white_level=[1023] * 4, freq_threshold=1), **kw).dict(),
    }
    for bp_type in ("Hot", "Cold"):
        p = bpc.BPCFileParam(inp_file_dir=str(folder), out_file_dir=str(folder / "out"), width=W, height=H, bits=10,
                             again_list=[1, 2], bp_type=bp_type)
        out["bpc_" + bp_type] = bpc.gen_bpc_param(p, bpc.BPCTuningParam(), **kw).dict()
    files = sorted(str(p) for p in folder.glob("*_dark_*_again_1_*"))
    out["count_sbl_list_v2"] = blc.count_sbl_list_v2(files, dark, **kw)
    out["capture_sums"] = [a.tolist() if hasattr(a, "tolist") else a
                           for a in rn.accumulate_capture_sums(files, H, W, **kw)]
    return out


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    folder = tmp_path_factory.mktemp("raw16")
    return build(folder, FORMATS["raw16"])


def build(folder, fmt):
    for gain in (1, 2):
        write_set(folder, fmt, "dark", 10, gain, frames(gain, 3, 60, 70))
        write_set(folder, fmt, "noise", 10, gain, frames(10 + gain, 3, 64, 1000))
        lit = frames(20 + gain, 3, 500, 520)
        lit[0][5, 7] = 40  # a cold pixel
        write_set(folder, fmt, "light", 10, gain, lit)
    return results(folder, fmt)


@pytest.mark.parametrize("layout", [name for name in FORMATS if name != "raw16"])
def test_every_routine_reads_every_layout_as_raw16(tmp_path, capsys, expected, layout):
    got = build(tmp_path, FORMATS[layout])
    for routine in expected:
        if routine == "blc_v2":  # adds per-file means in listing order, which differs between folders
            assert np.allclose(flat(got[routine]), flat(expected[routine]), rtol=1e-13, atol=0), routine
            continue
        assert got[routine] == expected[routine], routine
    assert ".dng'" in capsys.readouterr().out if layout == "dng" else True


def test_a_packed_capture_of_the_wrong_size_names_the_file_under_each_routines_error(tmp_path):
    fmt = FORMATS["raw10p"]
    write_set(tmp_path, fmt, "dark", 10, 1, frames(1, 2, 60, 70))
    bad = tmp_path / capture_name("s", "dark", "LCG", 10, 1, "001", capture_format=fmt)
    bad.write_bytes(bad.read_bytes()[:-1])
    p = blc.BLCFileParam(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "o"), width=W, height=H, bits=10,
                         again_list=[1], exp_time_list=[10])
    with pytest.raises(RuntimeError, match="invalid image shape") as caught:
        blc.gen_blc_param(p, blc.BLCTuningParam(), capture_format=fmt)
    assert isinstance(caught.value.__cause__, ValueError) and str(bad) in str(caught.value.__cause__)
    with pytest.raises(ValueError, match="must hold 1536 bytes, found 1535"):
        blc.dark_shading_tuning(p, blc.BLCTuningParam(mesh_table_h=4, mesh_table_w=4), capture_format=fmt)
    with pytest.raises(RuntimeError, match="invalid image shape") as caught:
        rn.calibrate_read_noise(
            rn.ReadNoiseFileParam(inp_file_dir=str(tmp_path), width=W, height=H, bits=10, again_list=[1]),
            rn.ReadNoiseTuningParam(black_level=[64] * 4, white_level=[1023] * 4), capture_format=fmt)
    assert str(bad) in str(caught.value.__cause__)
    dng = CaptureFormat(layout="dng")
    small = tmp_path / capture_name("s", "dark", "LCG", 20, 1, "000", capture_format=dng)
    write_dng(small, np.zeros((H, W - 2), np.uint16), cfa_type="RGGB", bits=10, black_level=64, white_level=1023)
    with pytest.raises(RuntimeError, match="invalid image shape") as caught:
        blc.gen_blc_param(p.copy(update={"exp_time_list": [20]}), blc.BLCTuningParam(), capture_format=dng)
    assert str(caught.value.__cause__) == f"{small}: the DNG frame is {W - 2} x {H}, expected {W} x {H}"


def test_the_format_is_keyword_only_and_defaults_to_raw16(tmp_path):
    p = blc.BLCFileParam(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "o"), width=W, height=H)
    with pytest.raises(TypeError):
        blc.gen_blc_param(p, blc.BLCTuningParam(), FORMATS["raw10p"])
    with pytest.raises(TypeError):
        bpc.gen_bpc_param(bpc.BPCFileParam(), bpc.BPCTuningParam(), FORMATS["raw10p"])
    with pytest.raises(ValueError, match="layout must be one of raw16, "):
        blc.gen_blc_param(p, blc.BLCTuningParam(), capture_format="raw10")
    assert blc.gen_blc_param(p, blc.BLCTuningParam(), capture_format=None).sbl == {}


def test_a_fifo_named_like_a_capture_fails_every_routine_at_once(tmp_path):
    import os
    import threading

    fifo = tmp_path / "s_dark_LCG_exp_10_again_1_000.raw"
    os.mkfifo(fifo)
    (tmp_path / "s_light_LCG_exp_10_again_1_000.raw").symlink_to(fifo)
    (tmp_path / "s_noise_LCG_exp_10_again_1_000.raw").symlink_to(fifo)
    dark = blc.BLCFileParam(inp_file_dir=str(tmp_path), out_file_dir=str(tmp_path / "o"), width=W, height=H,
                            bits=10, again_list=[1], exp_time_list=[10])
    noise_levels = dict(black_level=[64] * 4, white_level=[1023] * 4)
    calls = {
        "gen_blc_param": lambda: blc.gen_blc_param(dark, blc.BLCTuningParam()),
        "gen_blc_param_v2": lambda: blc.gen_blc_param_v2(dark, blc.BLCTuningParam()),
        "dark_shading_tuning": lambda: blc.dark_shading_tuning(dark, blc.BLCTuningParam(mesh_table_h=4, mesh_table_w=4)),
        "gen_bpc_param": lambda: bpc.gen_bpc_param(bpc.BPCFileParam(**dict(dark.dict(), bp_type="Cold")),
                                                   bpc.BPCTuningParam()),
        "calibrate_read_noise": lambda: rn.calibrate_read_noise(
            rn.ReadNoiseFileParam(**dark.dict()), rn.ReadNoiseTuningParam(**noise_levels)),
        "calibrate_shot_noise": lambda: sn.calibrate_shot_noise(
            sn.ShotNoiseFileParam(**dark.dict()), sn.ShotNoiseTuningParam(**noise_levels)),
    }
    for name, call in calls.items():
        failure = []

        def run():
            try:
                call()
            except Exception as e:  # noqa: BLE001 - each routine has its own error type
                failure.append(e)

        worker = threading.Thread(target=run, daemon=True)
        worker.start()
        worker.join(timeout=20)
        if worker.is_alive():
            with open(fifo, "wb"):
                pass  # let the blocked reader go before failing
            pytest.fail(f"{name} blocked on a FIFO")
        assert failure, name
        error = failure[0]
        chain = [error, error.__cause__]
        assert any(isinstance(e, OSError) and "not a regular file" in str(e) for e in chain), (name, repr(error))
