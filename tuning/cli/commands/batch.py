"""tunekit batch LIST: calibrates many capture sets (one per camera module) in parallel.

LIST names one capture set per line: a capture folder, or a config file that
names its folder; blank lines and lines starting with # are skipped, and
relative paths are taken from the list's own folder. Each set is calibrated
into OUT/<set name>/ by a process of a local pool, or by the workers of a
Dask cluster with --scheduler. A failing set is reported and the others go
on; a summary table of every set is printed and written to OUT/summary.csv.
"""
import argparse
import contextlib
import io
import os
import sys
import threading
import time
from typing import Any, Dict, List

from tuning import regular_files
from tuning.cli import folder_lock, parameters, progress
from tuning.cli.errors import ToolError

_ONE_SET_PER_PROCESS = threading.Lock()
SUMMARY_FILE = "summary.csv"
LOG_FILE = "tunekit.log"



def add_parser(sub, calibrations, params) -> None:
    parser = sub.add_parser("batch", help="calibrate many capture sets in parallel (process pool or Dask)",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("list", metavar="LIST", help="file naming one capture folder or config file per line")
    parameters.add_flags(parser, params)
    parser.add_argument("-o", dest="out_file_dir", default=argparse.SUPPRESS, help="short for --out-file-dir")
    group = parser.add_argument_group("batch options")
    group.add_argument("--config", metavar="FILE", help="values shared by every set (a set's own config wins)")
    group.add_argument("--run", default="all", metavar="NAMES",
                       help=f"calibrations to run, comma-separated, from: {', '.join(calibrations)} "
                            f"(default: all of them)")
    group.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                       help="processes of the local pool (default: %(default)s)")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (tcp://host:port) instead of locally")
    group.add_argument("--connect-timeout", type=float, default=20.0, metavar="SECONDS",
                       help="how long to try reaching the scheduler (default: %(default)s)")
    group.add_argument("--worker-wait", type=float, default=60.0, metavar="SECONDS",
                       help="with --scheduler: how long to wait while no Dask worker is connected before the sets "
                            "not finished are reported as failed (default: %(default)s)")
    group.add_argument("--timeout", type=float, default=0.0, metavar="SECONDS",
                       help="the longest the whole batch may run; sets not finished by then are reported as "
                            "failed (default: no limit)")
    group.add_argument("--report", action="store_true", help="write report.html for every set")
    group.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                       help="a line per finished set on standard error (auto: when it is a terminal)")
    parser.set_defaults(command=run, params=params, calibrations=calibrations)


def read_list(path: str) -> List[Dict[str, str]]:
    """The sets of a list file: name, and folder or config path (absolute)."""
    try:
        lines = regular_files.read_text(path).splitlines()
    except OSError as error:
        raise ToolError(f"cannot read set list {path}: {error.strerror}") from None
    except UnicodeDecodeError as error:
        line = error.object[:error.start].count(b"\n") + 1
        raise ToolError(f"set list {path} line {line}: expected UTF-8 text, found byte "
                        f"0x{error.object[error.start]:02x}") from None
    base = os.path.dirname(os.path.abspath(path))
    sets, names = [], set()
    for number, line in enumerate(lines, 1):
        entry = line.strip()
        if not entry or entry.startswith("#"):
            continue
        if "\0" in entry:  # the system would take the path up to it: another folder
            raise ToolError(f"set list {path} line {number}: expected a path without a NUL character")
        full = os.path.normpath(os.path.join(base, entry))
        is_config = entry.endswith(".json")
        # The entry as written names the set: a/captures and b/captures stay apart.
        named = os.path.dirname(entry) if is_config else entry
        named = os.path.basename(full if is_config is False else os.path.dirname(full)) if os.path.isabs(entry) \
            else os.path.normpath(named or ".")
        stem = named.replace(os.sep, "-").strip(".-") or f"set{number}"
        name, k = stem, 2
        while name in names:
            name, k = f"{stem}-{k}", k + 1
        names.add(name)
        sets.append({"name": name, "line": str(number), "config" if is_config else "folder": full})
    if not sets:
        raise ToolError(f"set list {path} names no capture set")
    return sets


def run_set(job: Dict[str, Any]) -> Dict[str, Any]:
    """Calibrates one set; never raises, so one set cannot stop the batch. Runs in a worker."""
    started = time.monotonic()
    summary = {"set": job["name"], "status": "failed", "seconds": 0.0, "figures": {}, "message": "",
               "out_dir": job["out_dir"]}
    try:
        os.makedirs(job["out_dir"], exist_ok=True)
        # The routines print on the process's one sys.stdout, redirected here into the set's log:
        # sets that share a process (a Dask worker with several threads) take turns.
        with _ONE_SET_PER_PROCESS, folder_lock.holding(job["out_dir"], f"tunekit batch, set {job['name']}"), \
                open(os.path.join(job["out_dir"], LOG_FILE), "w", encoding="utf-8") as log:
            with contextlib.redirect_stdout(log):
                summary.update(_calibrate_set(job, log))
    except Exception as error:  # reported in the summary; the batch goes on with the other sets
        summary["message"] = failure_text(error)
        if not isinstance(error, ToolError):
            import traceback

            summary["message"] += "\n" + traceback.format_exc(limit=4)
    summary["seconds"] = time.monotonic() - started
    return summary


def failure_text(error: BaseException) -> str:
    """The summary's message for a failure: the tool's own text, or what went wrong in words."""
    if isinstance(error, ToolError):
        return str(error)
    text = str(error) or type(error).__name__
    if isinstance(error, OSError) and error.strerror:
        text = f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    return f"unexpected failure ({type(error).__name__}): {text}"


def _calibrate_set(job, log) -> Dict[str, Any]:
    from tuning.cli import input_files, library, plugins, runner

    library.load()
    available = plugins.available_calibrations()
    selected = [available[n] for n in job["run"] if n in available]
    params = [p for c in selected for p in runner.params_of(c)]
    known = {p.name: p for p in params}
    values = dict(job["values"])
    origin = {k: "batch settings" for k in values}
    if "config" in job:
        from tuning.cli.commands.calibrate import load_shared_config

        for k, v in load_shared_config(job["config"]).items():
            if k in known:
                values[k], origin[k] = v, f"config file {job['config']}"
    else:
        values["inp_file_dir"] = job["folder"]
    values.update(job["flags"])
    origin.update({k: known[k].flag for k in job["flags"] if k in known})
    values["out_file_dir"] = job["out_dir"]
    truth_path = runner.find_truth(values["inp_file_dir"]) if values.get("inp_file_dir") else None
    truth = input_files.load_truth(truth_path) if truth_path else None
    options = runner.Options(progress="never", notes=log)
    outcomes = runner.run_many(selected, values, origin, options, truth=truth, skip_absent=True)
    runner.write_config(job["out_dir"], outcomes)
    if job["report"]:
        from tuning.cli.commands import report

        settings, setting_params = runner.effective_config(outcomes)
        report.write(os.path.join(job["out_dir"], "report.html"), f"tunekit report: {job['name']}", outcomes,
                     parameters.config_values(settings, setting_params, job["out_dir"]), truth_path or "")
    failed = [o for o in outcomes if o.status == "failed"]
    figures = {f"{o.calibration.name} {k}": v for o in outcomes for k, v in o.key_figures.items()}
    if not any(o.status == "ok" for o in outcomes):
        failed = failed or outcomes
    message = "; ".join(f"{o.calibration.name}: {o.message.splitlines()[0]}" for o in failed if o.message)
    return {"status": "failed" if failed else "ok", "figures": figures, "message": message}


def make_jobs(args, sets) -> List[Dict[str, Any]]:
    from tuning.cli import plugins
    from tuning.cli.commands.calibrate import load_shared_config

    available = plugins.available_calibrations()
    names = list(available) if args.run == "all" else [n.strip() for n in args.run.split(",") if n.strip()]
    unknown = [n for n in names if n not in available]
    if unknown:
        raise ToolError(f"--run: unknown calibration {', '.join(unknown)}; this build has {', '.join(available)}")
    known = {p.name: p for p in args.params}
    shared = load_shared_config(args.config) if args.config else {}
    flags = parameters.flag_values(args, args.params)
    out = flags.pop("out_file_dir", None)
    if not out:
        raise ToolError("batch needs an output folder: give --out-file-dir (-o)")
    flags.pop("inp_file_dir", None)
    jobs = []
    for s in sets:
        job = dict(s, run=names, values=portable(shared, known), flags=portable(flags, known),
                   out_dir=os.path.abspath(os.path.join(out, s["name"])), report=args.report)
        jobs.append(job)
    return jobs, out


def portable(values, known) -> Dict[str, Any]:
    """Plain JSON values with absolute folders: a worker may run in another process, folder or host."""
    plain = parameters.config_values(values, known, None)
    return {k: os.path.abspath(v) if k in parameters.PATH_FIELDS and v else v for k, v in plain.items()}


def run_local(jobs, workers: int, on_done, work=None, timeout: float = 0.0) -> List[Dict[str, Any]]:
    """A process pool running work(job) (default run_set); a set whose worker dies is retried once
    alone, then reported as crashed. With a timeout (seconds, 0: none) the sets not finished by then
    are reported as failed and their processes ended."""
    import concurrent.futures.process

    work = work or run_set
    deadline = time.monotonic() + timeout if timeout else None
    results, retry = [], []
    with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, workers)) as pool:
        futures = {pool.submit(work, job): job for job in jobs}
        try:
            for future in concurrent.futures.as_completed(futures, timeout=timeout or None):
                try:
                    results.append(on_done(future.result()))
                except concurrent.futures.process.BrokenProcessPool:
                    retry.append(futures[future])
        except concurrent.futures.TimeoutError:
            for future, job in futures.items():
                if not future.done():
                    future.cancel()
                    results.append(on_done(crashed(job, _timed_out(timeout))))
            _end_processes(pool)
            return results
    for job in retry:
        left = deadline - time.monotonic() if deadline else None
        if left is not None and left <= 0:
            results.append(on_done(crashed(job, _timed_out(timeout))))
            continue
        with concurrent.futures.ProcessPoolExecutor(max_workers=1) as pool:
            try:
                results.append(on_done(pool.submit(work, job).result(timeout=left)))
            except concurrent.futures.process.BrokenProcessPool:
                results.append(on_done(crashed(job, "the worker process died")))
            except concurrent.futures.TimeoutError:
                results.append(on_done(crashed(job, _timed_out(timeout))))
                _end_processes(pool)
    return results


def _timed_out(timeout: float) -> str:
    return f"not finished within the batch's --timeout of {timeout:g} s"


def _end_processes(pool) -> None:
    """Ends a pool's worker processes at once: a set that overran its time may never return."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()


def run_dask(jobs, address: str, connect_timeout: float, on_done, worker_wait: float = 60.0,
             timeout: float = 0.0) -> List[Dict[str, Any]]:
    """Runs the sets on a Dask cluster. Every wait is bounded: when no worker has been connected for
    worker_wait seconds, or the batch has run for timeout seconds (0: no limit), the sets not finished
    are reported as failed with the reason and the batch ends with what did finish."""
    try:
        from distributed import Client
    except ImportError:
        raise ToolError("--scheduler needs Dask's distributed package (Debian: python3-distributed)") from None
    results = []
    try:
        client = Client(address, timeout=f"{connect_timeout}s")
    except (OSError, TimeoutError) as error:
        raise ToolError(f"cannot reach the Dask scheduler {address}: {error}") from None
    with client:
        futures = client.map(run_set, jobs, pure=False, key=[f"tunekit-{j['name']}-{os.getpid()}" for j in jobs])
        job_of = dict(zip(futures, jobs))
        started = time.monotonic()
        last_worker = started
        pending = list(futures)
        while pending:
            still = []
            for future in pending:
                if not future.done():
                    still.append(future)
                    continue
                try:
                    results.append(on_done(future.result(timeout=connect_timeout)))
                except Exception as error:  # a worker lost with the set on it
                    results.append(on_done(crashed(job_of[future], f"the Dask worker running it was lost: {error}")))
            pending = still
            if not pending:
                break
            now = time.monotonic()
            if _dask_workers(client, connect_timeout):
                last_worker = now
            reason = ""
            if now - last_worker >= worker_wait:
                reason = f"not finished: no Dask worker was connected to {address} for {worker_wait:g} s"
            elif timeout and now - started >= timeout:
                reason = _timed_out(timeout)
            if reason:
                for future in pending:
                    future.cancel()
                    results.append(on_done(crashed(job_of[future], reason)))
                break
            time.sleep(_DASK_POLL_SECONDS)
    return results


_DASK_POLL_SECONDS = 0.2


def _dask_workers(client, timeout: float) -> int:
    """Workers the scheduler knows now; 0 when it cannot be asked within the timeout."""
    try:
        return len(client.nthreads(callback_timeout=timeout))
    except Exception:  # the scheduler is gone or slow: as good as no worker
        return 0


def crashed(job, message) -> Dict[str, Any]:
    return {"set": job["name"], "status": "failed", "seconds": 0.0, "figures": {}, "message": message,
            "out_dir": job["out_dir"]}


def summary_rows(results, order) -> List[List[str]]:
    results = sorted(results, key=lambda r: order.index(r["set"]))
    figure_names = []
    for r in results:
        figure_names += [k for k in r["figures"] if k not in figure_names]
    rows = [["set", "status", "seconds"] + figure_names + ["message"]]
    for r in results:
        first_line = r["message"].splitlines()[0] if r["message"] else ""
        rows.append([r["set"], r["status"], f"{r['seconds']:.1f}"] + [r["figures"].get(k, "") for k in figure_names]
                    + [first_line])
    return rows


def print_table(rows) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    for n, r in enumerate(rows):
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[-1])
        if n == 0:
            print("  ".join("-" * w for w in widths))


def check_waits(args) -> None:
    """Refuses a pool or a wait no batch can run with (a wait beyond what the system can time is one)."""
    from tuning.cli import validation

    if args.jobs < 1:
        validation.refuse("jobs", {"jobs": "--jobs"}, "1 or more processes", args.jobs)
    longest = threading.TIMEOUT_MAX
    for name, seconds, none in (("connect_timeout", args.connect_timeout, None), ("worker_wait", args.worker_wait, None),
                                ("timeout", args.timeout, 0.0)):
        if seconds != none and not 0 < seconds <= longest:  # NaN fails too
            what = "a number of seconds above 0" + (" (0: no limit)" if none is not None else "")
            validation.refuse(name, {name: "--" + name.replace("_", "-")}, f"{what}, at most {longest:g}", seconds)


def run(args) -> int:
    from tuning.cli import validation

    validation.check_scheduler(args.scheduler, args.connect_timeout)
    check_waits(args)
    sets = read_list(args.list)
    jobs, out = make_jobs(args, sets)
    validation.check_output_folder("-o/--out-file-dir", out)
    with folder_lock.holding(out, folder_lock.describe_command()):
        return _run_jobs(args, jobs, out)


def _run_jobs(args, jobs, out) -> int:
    show = progress.wanted(args.progress)
    started = time.monotonic()
    done = []

    def on_done(result):
        done.append(result)
        if show:
            sys.stderr.write(f"batch: {len(done)}/{len(jobs)} sets, {time.monotonic() - started:.1f} s "
                             f"({result['set']}: {result['status']})\n")
        return result

    if args.scheduler:
        results = run_dask(jobs, args.scheduler, args.connect_timeout, on_done, args.worker_wait, args.timeout)
    else:
        results = run_local(jobs, args.jobs, on_done, timeout=args.timeout)
    import csv

    rows = summary_rows(results, [j["name"] for j in jobs])
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\n").writerows(rows)
    from tuning import atomic_write

    path = os.path.join(out, SUMMARY_FILE)
    atomic_write.write_text_atomically(path, buffer.getvalue())
    print_table(rows)
    failed = sum(r["status"] != "ok" for r in results)
    print(f"summary: wrote {path} ({len(results) - failed} of {len(results)} sets calibrated)")
    return 1 if failed else 0
