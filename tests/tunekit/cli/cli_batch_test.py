"""tunekit batch: many capture sets at once, locally and on a Dask cluster; a broken set stays alone."""
import contextlib
import csv
import logging
import signal

import numpy as np
import pytest

from cli_helpers import HEIGHT, WIDTH, read_json, simulate, size_flags, tool


def write_sets(root, good=3):
    """good simulated sets plus one with a short capture; returns the list file."""
    entries = []
    for i in range(good):
        simulate(root / f"module{i}", seed=100 + i)
        entries.append(f"module{i}/captures")
    broken = simulate(root / "broken")
    np.zeros(WIDTH * HEIGHT // 2, "<u2").tofile(f"{broken}/sim_dark_LCG_exp_10_again_2_000.raw")
    entries.insert(1, "broken/captures")
    listing = root / "sets.txt"
    listing.write_text("# production line, station 2\n" + "\n".join(entries) + "\n\n")
    return listing


def summary(out):
    with open(out / "summary.csv", newline="") as f:
        return {row["set"]: row for row in csv.DictReader(f)}


def check_batch(run, out, good=3):
    assert run.returncode == 1, run.stderr  # one set failed
    assert f"({good} of {good + 1} sets calibrated)" in run.stdout
    rows = summary(out)
    assert list(rows) == ["module0-captures", "broken-captures", "module1-captures", "module2-captures"][:good + 1]
    broken = rows.pop("broken-captures")
    assert broken["status"] == "failed"
    assert "sim_dark_LCG_exp_10_again_2_000.raw holds 384 samples, expected 768 (32 x 24)" in broken["message"]
    for name, row in rows.items():
        assert row["status"] == "ok", row
        result = read_json(out / name / "black_level.json")
        assert row["blc fixed_sbl (DN)"] == f"{result['fixed_sbl']['fixed_sbl']:.3f}"
        assert row["blc pairs"] == "4"
        assert (out / name / "tunekit-config.json").exists() and (out / name / "tunekit.log").exists()
    # Different seeds: every set was calibrated on its own captures.
    assert len({row["blc fixed_sbl (DN)"] for row in rows.values()}) == good


def test_local_pool_reports_the_broken_set_and_calibrates_the_others(tmp_path):
    listing = write_sets(tmp_path)
    run = tool("batch", listing, "-o", tmp_path / "out", *size_flags(), "--jobs", 2, "--run", "blc")
    check_batch(run, tmp_path / "out")
    assert not (tmp_path / "out" / "module0-captures" / "black_level_v2.json").exists()


def test_batch_refuses_unknown_calibrations_and_empty_lists(tmp_path):
    listing = write_sets(tmp_path, good=1)
    run = tool("batch", listing, "-o", tmp_path / "out", "--run", "blc,flat-field")
    assert run.returncode == 2 and "--run: unknown calibration flat-field" in run.stderr
    (tmp_path / "empty.txt").write_text("# nothing yet\n")
    run = tool("batch", tmp_path / "empty.txt", "-o", tmp_path / "out")
    assert run.returncode == 2 and "names no capture set" in run.stderr


@contextlib.contextmanager
def time_limit(seconds):
    """Ends a stuck cluster start or shutdown with an error instead of a hung test run."""
    def expire(signum, frame):
        raise TimeoutError(f"the Dask test took longer than {seconds} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


def test_dask_cluster_on_loopback_runs_the_batch(tmp_path):
    distributed = pytest.importorskip("distributed")
    import dask

    listing = write_sets(tmp_path)
    loopback = dict(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                    local_directory=str(tmp_path / "dask"), silence_logs=logging.ERROR)
    with time_limit(180), dask.config.set({"distributed.comm.timeouts.connect": "20s"}), \
            distributed.LocalCluster(**loopback) as cluster:
        assert cluster.scheduler_address.startswith("tcp://127.0.0.1:")
        run = tool("batch", listing, "-o", tmp_path / "out", *size_flags(), "--report", "--run", "blc,blc-v2",
                   "--scheduler", cluster.scheduler_address, timeout=120)
    check_batch(run, tmp_path / "out")
    assert (tmp_path / "out" / "module2-captures" / "report.html").exists()
    assert read_json(tmp_path / "out" / "module2-captures" / "black_level_v2.json")["module"] == "blc"


def test_an_unreachable_scheduler_is_named(tmp_path):
    pytest.importorskip("distributed")
    listing = write_sets(tmp_path, good=1)
    run = tool("batch", listing, "-o", tmp_path / "out", "--scheduler", "tcp://127.0.0.1:9",
               "--connect-timeout", 1, timeout=60)
    assert run.returncode == 2 and "cannot reach the Dask scheduler tcp://127.0.0.1:9" in run.stderr


def dies_on_broken(job):
    """A worker that dies outright (as a crashing core would) on the set named broken; the others
    take long enough to be under way when it dies, so the pool breaks under them too."""
    import os
    import time

    if job["name"] == "broken":
        os._exit(3)
    time.sleep(0.3)
    return {"set": job["name"], "status": "ok", "seconds": 0.0, "figures": {}, "message": "",
            "out_dir": job["out_dir"]}


def test_a_worker_that_dies_costs_only_its_own_set():
    from tuning.cli.commands import batch

    jobs = [{"name": n, "out_dir": f"/nowhere/{n}"} for n in ("a", "broken", "b", "c")]
    seen = []
    results = batch.run_local(jobs, 2, lambda r: seen.append(r["set"]) or r, work=dies_on_broken)
    assert sorted(seen) == ["a", "b", "broken", "c"]
    status = {r["set"]: (r["status"], r["message"]) for r in results}
    assert status.pop("broken") == ("failed", "the worker process died")
    assert set(status.values()) == {("ok", "")}


def wait_for(condition, what, seconds=60):
    import time

    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.05)


def test_dask_batch_whose_only_worker_dies_writes_the_summary_of_what_finished(tmp_path):
    pytest.importorskip("distributed")
    import json
    import os
    import shutil
    import subprocess
    import sys

    from cli_helpers import ROOT

    dask = shutil.which("dask")
    if not dask:
        pytest.skip("no dask command")
    simulate(tmp_path / "quick", seed=7)
    simulate(tmp_path / "slow", seed=8)
    (tmp_path / "sets.txt").write_text("quick/captures\nslow/captures\n")
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=f"{ROOT}:{here}", PYTHONDONTWRITEBYTECODE="1")
    address_file = tmp_path / "scheduler.json"
    cluster = []
    batch = None

    def start(*args):
        process = subprocess.Popen([dask, *args], env=env, cwd=tmp_path, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        cluster.append(process)
        return process

    out = tmp_path / "out"
    try:
        start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file",
              str(address_file))
        def scheduler_address():  # the file appears before the scheduler has written it
            try:
                return json.loads(address_file.read_text())["address"]
            except (OSError, ValueError, KeyError):
                return None

        wait_for(scheduler_address, "the scheduler")
        address = scheduler_address()
        # Two threads: the quick set finishes whichever of the two sets the worker takes up first.
        worker = start("worker", address, "--nthreads", "2", "--no-nanny", "--no-dashboard",
                       "--preload", os.path.join(here, "dask_slow_set.py"), "--local-directory",
                       str(tmp_path / "dask"))
        batch = subprocess.Popen([sys.executable, "-m", "tuning", "batch", str(tmp_path / "sets.txt"), "-o", str(out),
                                  *map(str, size_flags()), "--run", "blc", "--scheduler", address,
                                  "--worker-wait", "2", "--progress", "always"], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        # The batch has the quick set's result, and the slow one is under way on the worker.
        assert batch.stderr.readline().startswith("batch: 1/2 sets, ")
        wait_for((out / "slow-captures" / "started").exists, "the slow set to start")
        os.killpg(worker.pid, signal.SIGKILL)  # the only worker, with the slow set on it
        stdout, stderr = batch.communicate(timeout=60)
    finally:
        if batch is not None and batch.poll() is None:
            batch.kill()
            batch.wait()
        for process in cluster:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
    assert batch.returncode == 1, stderr
    assert "(1 of 2 sets calibrated)" in stdout
    rows = summary(out)
    assert rows["quick-captures"]["status"] == "ok"
    assert rows["slow-captures"]["status"] == "failed"
    assert rows["slow-captures"]["message"] == \
        f"not finished: no Dask worker was connected to {address} for 2 s"


def test_summary_messages_say_what_failed_without_the_exception_class(tmp_path):
    simulate(tmp_path / "good")
    (tmp_path / "sets.txt").write_text("good/captures\nmissing/tunekit-config.json\n")
    run = tool("batch", tmp_path / "sets.txt", "-o", tmp_path / "out", *size_flags(), "--run", "blc", "--jobs", 1)
    assert run.returncode == 1, run.stderr
    missing = summary(tmp_path / "out")["missing"]
    assert missing["status"] == "failed"
    assert missing["message"].startswith(f"cannot read config file {tmp_path / 'missing' / 'tunekit-config.json'}")


def overruns_when_slow(job):
    import time

    if job["name"] == "slow":
        time.sleep(600)
    return {"set": job["name"], "status": "ok", "seconds": 0.0, "figures": {}, "message": "",
            "out_dir": job["out_dir"]}


def test_a_local_batch_that_overruns_its_timeout_reports_the_sets_not_finished():
    from tuning.cli.commands import batch

    jobs = [{"name": n, "out_dir": f"/nowhere/{n}"} for n in ("a", "slow", "b")]
    results = batch.run_local(jobs, 2, lambda r: r, work=overruns_when_slow, timeout=3)
    status = {r["set"]: (r["status"], r["message"]) for r in results}
    assert status == {"a": ("ok", ""), "b": ("ok", ""),
                      "slow": ("failed", "not finished within the batch's --timeout of 3 s")}
