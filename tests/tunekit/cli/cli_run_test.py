"""The calibration subcommands as a user runs them: result files, config files, lines and messages."""
import os
import pty
import shutil

import numpy as np
import pytest

from cli_helpers import ALL_FLAGS, BITS, FIT_GAINS, HEIGHT, WIDTH, read_json, simulate, size_flags, tool
from tuning.blc import blc
from tuning.cli.main import main
from tuning.common import SensorMode


def routine_result(capture_dir, out_dir, routine=blc.gen_blc_param, **fields):
    values = dict(inp_file_dir=capture_dir, out_file_dir=out_dir, width=WIDTH, height=HEIGHT, bits=BITS,
                  sensor_mode=SensorMode.LCG, again_list=[1, 2], exp_time_list=[10, 20])
    values.update(fields)
    return routine(blc.BLCFileParam(**values), blc.BLCTuningParam())


def text(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def test_result_is_the_record_text_and_a_written_config_runs_the_same_calibration(tmp_path, capsys):
    captures = simulate(tmp_path / "set")
    first = tmp_path / "first"
    run = tool("blc", "-i", captures, "-o", first, *size_flags())
    assert run.returncode == 0, run.stderr
    assert f"blc: wrote {first / 'black_level.json'}" in run.stdout.splitlines()
    expected = routine_result(captures, str(tmp_path / "direct")).json(indent=4)
    capsys.readouterr()
    assert text(first / "black_level.json") == expected
    # Lists left out are taken from the captures, and the note says so.
    assert "again_list not given: using the gains of the dark LCG captures: 1 2" in run.stderr
    config = read_json(first / "tunekit-config.json")
    assert config["again_list"] == [1, 2] and config["exp_time_list"] == [10, 20]
    assert (config["width"], config["height"], config["sensor_mode"], config["cfa_type"]) == (32, 24, "LCG", "RGGB")
    assert config["inp_file_dir"] == os.path.join("..", "set", "captures")

    # The written config alone reproduces the run, from another working folder and into another output.
    second = tmp_path / "second"
    run = tool("blc", "--config", first / "tunekit-config.json", "-o", second, cwd="/")
    assert run.returncode == 0, run.stderr
    assert text(second / "black_level.json") == expected
    again = read_json(second / "tunekit-config.json")
    assert {k: v for k, v in again.items() if k not in ("out_file_dir", "inp_file_dir")} == \
        {k: v for k, v in config.items() if k not in ("out_file_dir", "inp_file_dir")}

    # A flag wins over the config; numbers keep their kind (10.0 names other files than 10).
    run = tool("blc-v2", "--config", first / "tunekit-config.json", "-o", second, "--again-list", "2",
               "--exp-time-list", "10,", "20.0")
    assert run.returncode == 0, run.stderr
    result = read_json(second / "black_level_v2.json")
    assert result["sbl"] == {"again_2": {"exp_time_10": pytest.approx(result["sbl"]["again_2"]["exp_time_10"])}}
    assert "no captures for 1 of 2 conditions, which blc-v2 skips: dark LCG exp 20.0 again 2" in run.stderr


def test_routine_lines_pass_through_unchanged_and_quiet_hides_them(tmp_path, capsys):
    captures = simulate(tmp_path)
    routine_result(captures, str(tmp_path / "direct"))
    routine_lines = capsys.readouterr().out.splitlines()
    assert len(routine_lines) == 4

    assert main(["blc", "-i", captures, "-o", str(tmp_path / "out"), *map(str, size_flags())]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[:4] == routine_lines
    assert lines[4:] == [f"blc: wrote {tmp_path / 'out' / 'black_level.json'}",
                         f"settings: wrote {tmp_path / 'out' / 'tunekit-config.json'} (use it again with --config)"]

    assert main(["blc", "-q", "-i", captures, "-o", str(tmp_path / "out"), *map(str, size_flags())]) == 0
    assert capsys.readouterr().out.splitlines()[0].startswith("blc: wrote")


def run_main(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def test_checks_stop_a_run_with_the_file_and_the_expected_value(tmp_path, capsys):
    captures = simulate(tmp_path)
    out = tmp_path / "out"
    flags = ["-i", captures, "-o", out, *size_flags()]
    assert run_main(capsys, "blc", *flags)[0] == 0
    before = text(out / "black_level.json")

    short = os.path.join(captures, "sim_dark_LCG_exp_20_again_2_001.raw")
    np.zeros(WIDTH * HEIGHT - 1, "<u2").tofile(short)
    code, _, err = run_main(capsys, "blc", *flags)
    assert code == 1
    assert f"tunekit blc: error: {short} holds 767 samples, expected 768 (32 x 24)" in err
    assert text(out / "black_level.json") == before  # the earlier result is left whole

    # Without the checks the routine's own failure is reported in one line, without a traceback.
    code, _, err = run_main(capsys, "blc", "--skip-checks", "-q", *flags)
    assert code == 1
    assert "gen_blc_param failed: RuntimeError: invalid image shape, check your file param" in err
    assert "Traceback" not in err and text(out / "black_level.json") == before

    # A longer capture: the truncating routine reads it (a warning), the exact one cannot.
    np.zeros(WIDTH * HEIGHT + 5, "<u2").tofile(short)
    code, _, err = run_main(capsys, "blc", *flags)
    assert code == 0 and "1 captures hold more than 32 x 24 samples; blc reads the first 768" in err
    code, _, err = run_main(capsys, "blc-v2", *flags)
    assert code == 1 and f"{short} holds 773 samples, expected 768 (32 x 24)" in err


def test_parameter_and_folder_problems_are_named(tmp_path, capsys):
    captures = simulate(tmp_path)
    out = tmp_path / "out"
    code, _, err = run_main(capsys, "blc", "-i", tmp_path / "nowhere", "-o", out, *size_flags())
    assert code == 1 and f"capture folder {tmp_path / 'nowhere'} does not exist" in err
    code, _, err = run_main(capsys, "blc-v2", "-i", captures, "-o", out, "--width", 32, "--height", 24)
    assert code == 1 and "bits is needed: give --bits or 'bits' in a config file" in err
    code, _, err = run_main(capsys, "blc", "-i", captures, "-o", out, "--width", 33, "--height", 24)
    assert code == 1 and "width 33 cannot hold whole 2 x 2 Bayer cells" in err
    code, _, err = run_main(capsys, "blc", "-o", out, *size_flags())
    assert code == 2 and "no capture folder: give --inp-file-dir" in err

    # Nothing matches: the message shows what the folder does hold.
    code, _, err = run_main(capsys, "blc", "-i", captures, "-o", out, "--sensor-mode", "hcg", *size_flags())
    assert code == 1
    assert "nothing to calibrate: the gain or exposure list is empty and no dark HCG capture" in err
    assert "the folder holds 8 dark LCG captures (gains 1 2; exposures 10 20)" in err
    code, _, err = run_main(capsys, "blc", "-i", captures, "-o", out, "--sensor-mode", "HCG", "--again-list", 1,
                            "--exp-time-list", 10, *size_flags())
    assert code == 1
    assert f"no capture in {captures} matches what blc reads (*_dark_HCG_exp_10_again_1_*.raw)" in err
    assert not (out / "black_level.json").exists()


def test_config_file_problems_name_the_file_and_the_key(tmp_path, capsys):
    captures = simulate(tmp_path)
    config = tmp_path / "c.json"
    cases = [
        ('{"widht": 32}', "config file {c}: unknown key widht; known keys: again_list, bits"),
        ('{"width": 32,', "config file {c} is not valid JSON"),
        ('[1, 2]', "config file {c}: expected a JSON object of field names, found list"),
        ('{"width": "wide"}', "width (config file {c}): expected a whole JSON number, found \"wide\""),
        ('{"sensor_mode": "MCG"}', "config file {c}: sensor_mode: expected one of LCG, HCG, found 'MCG'"),
    ]
    for content, message in cases:
        config.write_text(content)
        code, _, err = run_main(capsys, "blc", "--config", config, "-i", captures, "-o", tmp_path / "out")
        assert code != 0, content
        assert message.format(c=config) in err, err
    code, _, err = run_main(capsys, "blc", "--config", tmp_path / "missing.json", "-i", captures)
    assert code == 2 and f"cannot read config file {tmp_path / 'missing.json'}: No such file or directory" in err


def test_progress_goes_to_a_terminal_and_stays_off_a_pipe(tmp_path):
    captures = simulate(tmp_path)
    flags = ["blc", "-q", "-i", captures, "-o", tmp_path / "out", *size_flags()]
    piped = tool(*flags)
    assert piped.returncode == 0 and "conditions" not in piped.stderr

    master, slave = pty.openpty()
    try:
        import subprocess
        import sys

        from cli_helpers import ROOT

        env = dict(os.environ, PYTHONPATH=ROOT)
        done = subprocess.run([sys.executable, "-m", "tuning", *map(str, flags)], stderr=slave,
                              stdout=subprocess.PIPE, env=env, timeout=60)
        os.close(slave)
        slave = None
        seen = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal reports end of output this way
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)
    assert done.returncode == 0
    lines = [l for l in seen.decode().splitlines() if "conditions" in l]
    assert len(lines) == 4
    assert lines[0].startswith("blc: 1/4 conditions, 2/8 files, ")
    assert lines[-1].startswith("blc: 4/4 conditions, 8/8 files, ")
    assert lines[-1].endswith("files/s (dark LCG exp 20 again 2: 2 of 2)")
    assert b"conditions" not in done.stdout


def test_all_runs_every_calibration_into_one_folder(tmp_path):
    simulate(tmp_path / "set", again_list=FIT_GAINS)
    shutil.move(str(tmp_path / "set" / "truth.json"), str(tmp_path / "elsewhere.json"))
    run = tool("all", "-i", tmp_path / "set" / "captures", "-o", tmp_path / "out", *size_flags(), *ALL_FLAGS, "-q")
    assert run.returncode == 0, run.stderr
    assert {"black_level.json", "black_level_v2.json", "tunekit-config.json"} <= set(os.listdir(tmp_path / "out"))
    v1 = read_json(tmp_path / "out" / "black_level.json")["fixed_sbl"]["fixed_sbl"]
    v2 = read_json(tmp_path / "out" / "black_level_v2.json")["fixed_sbl"]["fixed_sbl"]
    assert v2 == pytest.approx(v1 * 256 / 2 ** BITS)


def test_the_tunekit_script_runs_the_tool_through_a_link_from_any_folder(tmp_path):
    import subprocess

    from cli_helpers import ROOT

    link = tmp_path / "bin" / "tunekit"
    link.parent.mkdir()
    link.symlink_to(os.path.join(ROOT, "scripts", "tunekit"))
    captures = simulate(tmp_path / "set")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([str(link), "inspect", captures, "--width", str(WIDTH), "--height", str(HEIGHT)], cwd="/",
                         capture_output=True, text=True, env={**env, "PATH": os.environ.get("PATH", "")},
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"{captures}: 8 captures against 32 x 24 = 768 samples")


def test_unwritable_outputs_are_named_without_a_traceback(tmp_path, capsys):
    captures = simulate(tmp_path)
    blocker = tmp_path / "a-file"
    blocker.write_text("")
    code, out, err = run_main(capsys, "blc", "-i", captures, "-o", blocker / "out", *size_flags())
    assert code == 1 and out == ""
    assert [line for line in err.splitlines() if "error" in line] == [
        f"tunekit blc: error: cannot create the output folder {blocker / 'out'}: Not a directory"]
    code, out, err = run_main(capsys, "blc", "-q", "-i", captures, "-o", tmp_path / "out", *size_flags(),
                              "--report", blocker / "report.html")
    assert code == 1 and f"cannot write the report {blocker / 'report.html'}: " in err
    assert (tmp_path / "out" / "black_level.json").exists()
