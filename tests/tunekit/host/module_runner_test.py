"""`python3 -m tuning.<folder>`: one runner for every folder, driven by the library's module list."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def run_module(tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=tmp_path, env=env)


@pytest.mark.parametrize("args, failure", [
    (["tuning.blc"], "black level calibration failed: FileNotFoundError: "),
    (["tuning.bpc"], "bad pixel calibration failed: FileNotFoundError: "),
    (["tuning.noise_profile", "read_noise"], "read noise calibration failed: FileNotFoundError: "),
    (["tuning.noise_profile", "shot_noise"], "shot noise calibration failed: RuntimeError: no noise captures"),
])
def test_each_folder_runs_its_module_and_reports_a_failure_in_one_line(tmp_path, args, failure):
    done = run_module(tmp_path, *args)
    assert done.returncode == 1
    assert done.stdout.startswith("in tuning bootstrap ")
    assert done.stderr.startswith(failure), done.stderr
    assert len(done.stderr.splitlines()) == 1


@pytest.mark.parametrize("args", [["tuning.noise_profile"], ["tuning.noise_profile", "blc"],
                                  ["tuning.noise_profile", "read_noise", "extra"]])
def test_a_folder_of_several_modules_needs_one_of_their_names(tmp_path, args):
    done = run_module(tmp_path, *args)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr == "usage: python3 -m tuning.noise_profile {read_noise|shot_noise}\n"


def test_the_module_list_names_every_module_the_library_carries():
    import tuning.tunekit as tunekit
    assert [m[1] for m in tunekit.MODULES] == [
        "tuning.tunekit", "tuning.common", "tuning.blc.blc", "tuning.bpc.bpc", "tuning.noise_profile.read_noise",
        "tuning.noise_profile.shot_noise", "tuning.characterize.characterize"]
