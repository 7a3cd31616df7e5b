"""Malformed files, odd folder entries, bad paths and faults: one line naming the file, flag or key."""
import ctypes
import json
import os
import resource
import shutil

import pytest

from cli_helpers import FIT_GAINS, TONE_MAPPING, refusal, simulate, size_flags, tool

LATIN1_NAME = os.fsdecode(b"sim_dark_LCG_exp_10_again_1_caf\xe9.raw")  # as the file system gives it


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("set"), again_list=FIT_GAINS)


CONFIGS = [
    (b'{"width": 32.5}', "width (config file {c}): expected a whole JSON number, found 32.5"),
    (b'{"width": true}', "width (config file {c}): expected a whole JSON number, found true"),
    (b'{"bits": "12"}', "bits (config file {c}): expected a whole JSON number, found \"12\""),
    (b'{"inp_file_dir": 5}', "inp_file_dir (config file {c}): expected a JSON string, found 5"),
    (b'{"inp_file_dir": "cap\\u0000tures"}', "inp_file_dir (config file {c}): expected a path without a NUL"),
    (b'{"out_file_dir": "out\\udce9"}', "out_file_dir (config file {c}): expected a path of UTF-8 text"),
    (b'{"again_list": [1, NaN]}', "again_list (config file {c}): expected a JSON list of finite numbers, found "
                                  "[1, NaN]"),
    (b'{"exp_time_list": 10}', "exp_time_list (config file {c}): expected a JSON list of finite numbers"),
    (b'{"sensor_mode": 1}', "sensor_mode (config file {c}): expected one of LCG, HCG, found 1"),
    (b'{"ROIs": [[0, 0, 2]]}', "ROIs (config file {c}): expected a JSON list of regions"),
    (b'{"dark_thr_ratio": [0.4]}', "dark_thr_ratio (config file {c}): expected a finite JSON number"),
    (b'{"width": 32, "bits": 12, "note": "caf\xe9"}', "config file {c}: expected UTF-8 text, found byte 0xe9 at "
                                                     "offset 38"),
]


def test_config_values_of_the_wrong_type_or_encoding_name_the_key(captures, tmp_path):
    config, out = tmp_path / "c.json", tmp_path / "out"
    for content, message in CONFIGS:
        config.write_bytes(content)
        run = tool("blc", "--config", config, "-i", captures, "-o", out, "--width", 32, "--height", 24)
        assert message.format(c=config) in refusal(run, out), content
    # inspect takes the frame size alone from a config.
    for content, message in [(b'[32, 24]', "config file {c}: expected a JSON object of field names, found list"),
                             (b'{"width": 32, "height": "24"}', "height (config file {c}): expected a whole JSON "
                                                                "number, found \"24\"")]:
        config.write_bytes(content)
        assert message.format(c=config) in refusal(tool("inspect", captures, "--config", config)), content
    config.write_bytes(b'{"width": 32.0, "height": 24}')
    assert tool("inspect", captures, "--config", config).returncode == 0


TRUTHS = [
    (b'{"bits": ', "simulator truth {t}: expected JSON, found text that is not"),
    (b'[1, 2]', "simulator truth {t}: expected a JSON object of sensor fields, found list"),
    (b'{"black_level": [64, 65]}', "simulator truth {t}: black_level: expected a list of 4 numbers, found [64, 65]"),
    (b'{"hot_pixels": [[1, 2]]}', "simulator truth {t}: hot_pixels: expected a list of 3-number lists"),
    (b'{"bits": 12.5}', "simulator truth {t}: bits: expected a whole number, found 12.5"),
    (b'{"sensor_mode": "caf\xe9"}', "simulator truth {t}: expected UTF-8 text, found byte 0xe9 at offset 20"),
]
BLACK_LEVELS = [
    (b'{"sbl": ', "black level result {b}: expected UTF-8 JSON, found text that is not"),
    (b'{"sbl": [1, 2, 3, 4]}', "black level result {b}: expected an object whose 'sbl' maps again_<gain>"),
    (b'{"sbl": {"again_1": {"exp_time_10": [60, 61, 62]}}}', "black level result {b}: again_1: expected"),
]


def test_malformed_truth_and_black_level_files_are_named(captures, tmp_path):
    truth, out = tmp_path / "truth.json", tmp_path / "out"
    for content, message in TRUTHS:
        truth.write_bytes(content)
        run = tool("blc", "-i", captures, "-o", out, *size_flags(), "--truth", truth)
        assert message.format(t=truth) in refusal(run, out), content
    out.mkdir()
    levels = out / "black_level.json"
    for content, message in BLACK_LEVELS:
        levels.write_bytes(content)
        run = tool("read-noise", "-i", captures, "-o", out, *size_flags())
        assert message.format(b=levels) in refusal(run), content
        assert os.listdir(out) == ["black_level.json"]


def without_file_permission_override():
    """Drops the capabilities that let root list any folder (for the child being started)."""
    pr_capbset_drop, cap_dac_override, cap_dac_read_search = 24, 1, 2
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (cap_dac_override, cap_dac_read_search):
        libc.prctl(pr_capbset_drop, cap, 0, 0, 0)


def test_links_that_lead_nowhere_and_folders_that_cannot_be_listed_are_named(captures, tmp_path):
    folder = tmp_path / "odd"
    shutil.copytree(captures, folder)
    dangling = folder / "sim_dark_LCG_exp_10_again_1_900.raw"
    dangling.symlink_to(folder / "gone.raw")
    out = tmp_path / "out"
    run = tool("blc", "-i", folder, "-o", out, *size_flags())
    assert refusal(run, out) == f"tunekit blc: error: {dangling} cannot be read (No such file or directory)"
    dangling.unlink()
    loop = folder / "sim_dark_LCG_exp_20_again_2_900.raw"
    loop.symlink_to(loop)
    run = tool("dark-shading", "-i", folder, "-o", out, *size_flags())
    assert refusal(run, out) == f"tunekit dark-shading: error: {loop} cannot be read (Too many levels of symbolic " \
                                "links)"
    loop.unlink()

    folder.chmod(0)
    try:
        for command in (["blc", "-i", folder, "-o", out, *size_flags()], ["inspect", folder]):
            run = tool(*command, preexec_fn=without_file_permission_override)
            assert refusal(run, out) == (f"tunekit: error: capture folder {folder}: expected a folder that can be "
                                         f"listed, found Permission denied")
    finally:
        folder.chmod(0o755)


def test_names_and_paths_that_are_not_utf8(captures, tmp_path):
    folder = tmp_path / "latin"
    shutil.copytree(captures, folder)
    shutil.copy(os.path.join(captures, "sim_dark_LCG_exp_10_again_1_000.raw"), os.path.join(folder, LATIN1_NAME))
    # A routine that does not print capture names calibrates the set, the odd name among the others.
    run = tool("dark-shading", "-q", "-i", folder, "-o", tmp_path / "ds", *size_flags())
    assert run.returncode == 0, run.stderr
    run = tool("inspect", folder, "--width", 32, "--height", 24)
    assert run.returncode == 0 and "13 captures" in run.stdout, run.stderr
    run = tool("blc", "-i", folder, "-o", tmp_path / "blc", *size_flags())
    assert ascii(os.path.join(str(folder), LATIN1_NAME))[1:-1] + ": expected a capture name of UTF-8 text" in \
        refusal(run, tmp_path / "blc")

    odd = os.fsdecode(os.fsencode(str(tmp_path)) + b"/out\xfc")
    run = tool("blc", "-i", captures, "-o", odd, *size_flags())
    assert refusal(run) == (f"tunekit: error: --out-file-dir: expected a path of UTF-8 text (the library takes "
                            f"no other), found {os.fsencode(odd)!r}")
    assert not os.path.exists(odd)


def test_batch_lists_outputs_and_scheduler_flags_are_checked_before_any_set_runs(captures, tmp_path):
    listing, out = tmp_path / "sets.txt", tmp_path / "out"
    listing.write_bytes(f"{captures}\n".encode() + b"/data/caf\xe9/captures\n")
    run = tool("batch", listing, "-o", out, "--run", "blc")
    assert refusal(run, out) == f"tunekit: error: set list {listing} line 2: expected UTF-8 text, found byte 0xe9"
    listing.write_bytes(f"{captures}\n{captures}\0/elsewhere\n".encode())
    run = tool("batch", listing, "-o", out, "--run", "blc")
    assert refusal(run, out) == f"tunekit: error: set list {listing} line 2: expected a path without a NUL character"
    listing.write_text(f"{captures}\n")
    run = tool("batch", listing, "-o", listing, "--run", "blc")
    assert refusal(run) == f"tunekit: error: -o/--out-file-dir: expected an output folder, found the file {listing}"
    for flags, message in [(["--scheduler", "tcp://127.0.0.1:port"], "--scheduler: expected a port from 1 to 65535"),
                           (["--scheduler", "tcp://127.0.0.1:70000"], "--scheduler: expected a port from 1 to 65535"),
                           (["--scheduler", "ftp://host:8786"], "--scheduler: expected a scheduler address such as"),
                           (["--scheduler", "no where"], "found 'no where'"),
                           (["--connect-timeout", "nan"], "--connect-timeout: expected a number of seconds above 0"),
                           (["--connect-timeout", 0], "--connect-timeout: expected a number of seconds above 0"),
                           (["--connect-timeout", "1e308"], "--connect-timeout: expected a number of seconds above 0"),
                           (["--timeout", -1], "--timeout: expected a number of seconds above 0 (0: no limit)"),
                           (["--timeout", "nan"], "--timeout: expected a number of seconds above 0 (0: no limit)"),
                           (["--timeout", "1e308"], "found 1e+308"),  # more than a wait can be given
                           (["--worker-wait", 0], "--worker-wait: expected a number of seconds above 0"),
                           (["--jobs", 0], "--jobs: expected 1 or more processes, found 0")]:
        run = tool("batch", listing, "-o", out, "--run", "blc", *flags)
        assert message in refusal(run, out), flags


def test_simulate_into_a_full_disk_leaves_no_partial_file(tmp_path):
    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    out = tmp_path / "sim"
    run = tool("simulate", out, "--width", 64, "--height", 64, preexec_fn=small_files)
    first = out / "captures" / "sim_dark_LCG_exp_10_again_1_000.raw"
    assert refusal(run).startswith(f"tunekit: error: cannot write the simulated set into {out}: {first}: ")
    assert not out.exists()  # neither captures nor the staging folder, nor the folder the run made
    for flags, message in [(["--again-list", 1, "inf"], "--again-list: expected a finite number, found 'inf'"),
                           (["--bits", 17], "--bits: expected an integer from 1 to 16, found 17"),
                           (["--width", 33], "--width: expected a positive even number"),
                           (["--captures", 0], "--captures: expected 1 or more captures per condition"),
                           (["--seed", -1], "--seed: expected a noise seed of 0 or more, found -1"),
                           (["--again-list", 1, 0], "--again-list: expected gains above 0, found 0"),
                           (["--exp-time-list", -10, 10], "--exp-time-list: expected exposures of 0 or more, found -10"),
                           (["--width", 2 ** 62, "--height", 2], "--width: expected a frame of at most 2^32 samples")]:
        assert message in refusal(tool("simulate", tmp_path / "again", *flags), tmp_path / "again"), flags


def test_side_files_that_are_fifos_or_devices_are_refused_without_waiting(captures, tmp_path):
    fifo = tmp_path / "named.fifo"
    os.mkfifo(fifo)
    one = os.path.join(captures, "sim_dark_LCG_exp_10_again_1_000.raw")
    found = "expected a regular file, found a FIFO"
    runs = [
        (["blc", "--config", fifo, "-o", tmp_path / "out"], f"cannot read config file {fifo}: {found}"),
        (["blc", "-i", captures, "-o", tmp_path / "out", *size_flags(), "--truth", fifo],
         f"cannot read simulator truth {fifo}: {found}"),
        (["inspect", captures, "--config", fifo], f"cannot read config file {fifo}: {found}"),
        (["batch", fifo, "-o", tmp_path / "out", "--run", "blc"], f"cannot read set list {fifo}: {found}"),
        (["convert", captures, tmp_path / "out", "--map", fifo], f"cannot read the map {fifo}: {found}"),
        (["tonemap", one, "--width", 32, "--height", 24, "--params", fifo, "-o", tmp_path / "out"],
         f"cannot read preset {fifo}: expected a regular file" if TONE_MAPPING else "which this installation lacks"),
        (["blc", "--config", "/dev/zero", "-o", tmp_path / "out"],  # read whole, it would never end
         "cannot read config file /dev/zero: expected a regular file, found a character device"),
        (["inspect", captures, "--config", captures], f"cannot read config file {captures}: expected a regular "
                                                      f"file, found a folder"),
    ]
    for args, message in runs:
        line = refusal(tool(*args, timeout=30), tmp_path / "out")
        assert message in line, args


def test_conversion_keeps_names_the_file_system_gives_in_another_encoding(captures, tmp_path):
    folder = tmp_path / "latin"
    folder.mkdir()
    shutil.copy(os.path.join(captures, "sim_dark_LCG_exp_10_again_1_000.raw"), os.path.join(folder, LATIN1_NAME))
    for target, extension in (["raw16", b".raw"], ["dng", b".dng"]):
        out = tmp_path / target
        run = tool("convert", folder, out, "--to", target, "--width", 32, "--height", 24, "--bits", 12)
        assert run.returncode == 0, run.stderr
        assert os.listdir(os.fsencode(out)) == [b"sim_dark_LCG_exp_10_again_1_caf\xe9" + extension]
