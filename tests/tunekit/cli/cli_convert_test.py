"""tunekit convert: packed and DNG captures into a raw16 capture set and back, written whole or not at all."""
import filecmp
import os

import numpy as np

from cli_helpers import HEIGHT, WIDTH, simulate, tool
from tuning.common import CaptureFormat, read_capture, write_capture

RAW12P = CaptureFormat(layout="raw12p", stride=52, header=16)


def listing(folder):
    return sorted(os.listdir(folder))


def test_a_packed_set_becomes_the_raw16_set_of_the_same_frames(tmp_path):
    packed = simulate(tmp_path / "packed", capture_format=RAW12P)
    plain = simulate(tmp_path / "plain")
    out = tmp_path / "out"
    flags = ["--format", "raw12p", "--stride", 52, "--header", 16, "--width", WIDTH, "--height", HEIGHT]
    run = tool("convert", packed, out, *flags, "--progress", "always")
    assert run.returncode == 0, run.stderr
    assert listing(out) == listing(plain)
    assert all(filecmp.cmp(out / n, os.path.join(plain, n), shallow=False) for n in listing(out))
    assert run.stdout.startswith("converted 8 captures (dark) to raw16 in ")
    progress = run.stderr.splitlines()
    assert len(progress) == 8 and progress[-1].startswith("convert: 8/8 files, ")

    # Converting again does not replace what is there, unless asked to.
    before = (out / listing(out)[0]).stat().st_mtime_ns
    run = tool("convert", packed, out, *flags)
    assert run.returncode == 2
    assert run.stderr.strip() == (f"tunekit: error: {out / listing(out)[0]} exists already "
                                  "(give --overwrite to replace it)")
    assert (out / listing(out)[0]).stat().st_mtime_ns == before and listing(out) == listing(plain)
    assert tool("convert", packed, out, *flags, "--overwrite").returncode == 0

    # The set's own config gives the frame size and the layout.
    config = tmp_path / "packed.json"
    config.write_text('{"width": 32, "height": 24, "format": "raw12p", "stride": 52, "header": 16}')
    run = tool("convert", packed, tmp_path / "again", "--config", config)
    assert run.returncode == 0, run.stderr
    assert all(filecmp.cmp(tmp_path / "again" / n, out / n, shallow=False) for n in listing(out))


def test_a_map_names_the_captures_of_a_bring_up_dump(tmp_path):
    dump = tmp_path / "dump"
    dump.mkdir()
    frames = {}
    for i, name in enumerate(["f0.raw", "f1.raw", "f2.raw"]):
        frames[name] = np.full((HEIGHT, WIDTH), 100 + i, np.uint16)
        write_capture(str(dump / name), frames[name], capture_format=CaptureFormat(layout="raw10p"))
    (dump / "notes.txt").write_text("bench 2")
    table = tmp_path / "map.csv"
    table.write_text("file,kind,mode,exposure,gain\nf0.raw,dark,LCG,10,1\nf1.raw,dark,hcg,10.0,2\n"
                     "f2.raw,light,,20,4\n")
    out = tmp_path / "out"
    run = tool("convert", dump, out, "--map", table, "--format", "raw10p", "--width", WIDTH, "--height", HEIGHT,
               "--prefix", "bench")
    assert run.returncode == 0, run.stderr
    names = {"f0.raw": "bench_dark_LCG_exp_10_again_1_f0.raw", "f1.raw": "bench_dark_HCG_exp_10.0_again_2_f1.raw",
             "f2.raw": "bench_light_LCG_exp_20_again_4_f2.raw"}
    assert listing(out) == sorted(names.values())
    assert run.stdout.splitlines()[-1] == ("left alone 1 files that are no captures (not ending in .dng or .raw, "
                                           "not in --map): notes.txt")
    for source, target in names.items():
        assert np.array_equal(read_capture(str(out / target), WIDTH, HEIGHT), frames[source])

    # What the map lacks, names twice or gets wrong is named, and nothing is written.
    cases = {
        "file,kind,mode,exposure,gain\nf0.raw,dark,LCG,10,1\nf1.raw,dark,LCG,10,1\n":
            f"{dump / 'f2.raw'}: no kind or exposure or gain for its name",
        "file,kind,exposure\nf0.raw,dark,1O\n": f"map {tmp_path / 'bad.csv'} line 2: exposure: expected a number, "
                                                "found '1O'",
        "file,kind,iso\nf0.raw,dark,100\n": f"map {tmp_path / 'bad.csv'}: expected the columns file, kind, mode, "
                                            "exposure, gain (file and kind needed), found file, kind, iso",
        "file,kind,mode\nf9.raw,dark,LCG\n": f"the map names files that are not in {dump}: f9.raw",
        "file,kind,mode\nf0.raw,dark,MCG\n": f"{dump / 'f0.raw'}: mode expected one of LCG, HCG, found 'MCG'",
        "file,kind,mode,exposure,gain\nf0.raw,da_rk,LCG,10,1\n":
            "make the name 'bench_da_rk_LCG_exp_10_again_1_f0.raw', which reads back as kind rk, mode LCG",
    }
    for text, message in cases.items():
        bad = tmp_path / "bad.csv"
        bad.write_text(text)
        run = tool("convert", dump, tmp_path / "new", "--map", bad, "--format", "raw10p", "--width", WIDTH,
                   "--height", HEIGHT, "--prefix", "bench")
        assert run.returncode == 2, (text, run.stderr)
        assert message in run.stderr and len(run.stderr.strip().splitlines()) == 1, (text, run.stderr)
    assert listing(tmp_path) == ["bad.csv", "dump", "map.csv", "out"]


def test_bad_sources_are_named_and_leave_nothing_behind(tmp_path):
    packed = simulate(tmp_path / "packed", capture_format=CaptureFormat(layout="raw12p"))
    flags = ["--format", "raw12p", "--width", WIDTH, "--height", HEIGHT]
    victim = os.path.join(packed, "sim_dark_LCG_exp_20_again_2_001.raw")
    with open(victim, "r+b") as f:
        f.truncate(1000)
    existing = tmp_path / "existing"
    existing.mkdir()
    for out in (tmp_path / "new", existing):
        run = tool("convert", packed, out, *flags)
        assert run.returncode == 2
        assert victim in run.stderr and "1152" in run.stderr and "1000" in run.stderr
        assert len(run.stderr.strip().splitlines()) == 1 and "Traceback" not in run.stderr
    assert listing(tmp_path) == ["existing", "packed"] and listing(existing) == []

    run = tool("convert", packed, existing, "--format", "raw12p")
    assert run.returncode == 2 and "is a raw capture: give --width and --height" in run.stderr
    os.unlink(victim)
    os.mkfifo(victim)
    run = tool("convert", packed, existing, *flags, timeout=30)
    assert run.returncode == 2 and run.stderr.strip() == f"tunekit: error: {victim} is a FIFO, not a capture file"
    assert listing(existing) == []


def test_ctrl_c_stops_a_conversion_and_leaves_no_part_of_it(tmp_path):
    import signal
    import subprocess
    import sys

    from cli_helpers import tool_environment

    source = tmp_path / "src"
    source.mkdir()
    frame = np.zeros((512, 512), "<u2")
    for i in range(60):
        frame.tofile(source / f"x_dark_LCG_exp_10_again_1_{i:03d}.raw")
    existing = tmp_path / "out"
    existing.mkdir()
    child = subprocess.Popen([sys.executable, "-m", "tuning", "convert", str(source), str(existing), "--to", "dng",
                              "--bits", "12", "--width", "512", "--height", "512", "--progress", "always"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=tool_environment())
    assert child.stderr.readline().startswith("convert: 1/60 files")
    child.send_signal(signal.SIGINT)
    assert child.wait(timeout=60) == 130
    assert child.stderr.read().splitlines()[-1] == "tunekit: interrupted"
    assert listing(existing) == [] and listing(tmp_path) == ["out", "src"]
