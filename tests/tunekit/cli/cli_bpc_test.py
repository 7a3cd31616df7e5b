"""tunekit bpc: hot and cold tables as the routine makes them, kept apart, with a note on a zero ratio."""
import pytest

from cli_helpers import BITS, HEIGHT, WIDTH, read_json, simulate, size_flags, tool
from tuning.cli import library

bpc = library.module("tuning.bpc.bpc")
pytestmark = pytest.mark.skipif(not hasattr(bpc, "gen_bpc_param"), reason="bad pixels are not in this build")
HOT = [(5, 7, 900.0), (16, 25, 1500.0)]  # inside the small frame


def direct(captures, tmp_path, bp_type, **ratios):
    p = bpc.BPCFileParam(inp_file_dir=str(captures), out_file_dir=str(tmp_path / "direct"), width=WIDTH,
                         height=HEIGHT, bits=BITS, again_list=[1, 2], exp_time_list=[10, 20], bp_type=bp_type)
    return bpc.gen_bpc_param(p, bpc.BPCTuningParam(**ratios))


def test_hot_and_cold_tables_are_the_routines_and_do_not_overwrite_each_other(tmp_path):
    captures = simulate(tmp_path, kinds=("dark", "light"), hot_pixels=HOT)
    out = tmp_path / "out"
    run = tool("bpc", "-q", "-i", captures, "-o", out, *size_flags(), "--dark-thr-ratio", 0.4)
    assert run.returncode == 0, run.stderr
    hot = read_json(out / "static_bad_pixels.json")
    assert (out / "static_bad_pixels.json").read_text() == direct(captures, tmp_path, "Hot",
                                                                  dark_thr_ratio=0.4).json(indent=4)
    assert sorted(map(tuple, hot["static_loc"]["1"])) == [(5, 7), (16, 25)]

    run = tool("bpc", "-q", "-i", captures, "-o", out, *size_flags(), "--bp-type", "cold")
    assert run.returncode == 0, run.stderr
    assert "light_thr_ratio is 0, the record default: every pixel the cold test can flag is flagged" in run.stderr
    assert "again_list not given: using the gains of the light LCG captures: 1 2" in run.stderr
    assert (out / "static_bad_pixels_cold.json").read_text() == direct(captures, tmp_path, "Cold").json(indent=4)
    assert read_json(out / "static_bad_pixels.json") == hot
    assert read_json(out / "tunekit-config.json")["bp_type"] == "Cold"
