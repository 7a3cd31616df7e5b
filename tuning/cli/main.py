"""tunekit: calibrate capture sets, inspect them, report on them, run many at once."""
import argparse
import os
import sys
from typing import Dict, List

from tuning.cli import folder_lock, input_files, library, parameters, plugins, runner, stopping
from tuning.cli.errors import CalibrationFailed, ToolError

PROG = "tunekit"


def add_run_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("run options")
    group.add_argument("--config", metavar="FILE",
                       help="JSON file of field values (keys = flag names with underscores); flags override it")
    group.add_argument("--report", nargs="?", const="", metavar="FILE",
                       help="write an HTML report (default file: report.html in the output folder)")
    group.add_argument("--truth", metavar="FILE",
                       help="simulator truth to draw beside the results (default: truth.json beside the captures)")
    group.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                       help="progress per capture condition on standard error (auto: when it is a terminal)")
    group.add_argument("-q", "--quiet", action="store_true", help="hide the routines' own lines")
    group.add_argument("--skip-checks", action="store_true", help="run without checking the capture set first")


def calibration_params(selected) -> List[parameters.Param]:
    params = []
    for c in selected:
        params += runner.params_of(c)
    return params


def add_calibration_parser(sub, name: str, help_text: str, selected) -> argparse.ArgumentParser:
    parser = sub.add_parser(name, help=help_text, description=help_text)
    params = calibration_params(selected)
    parameters.add_flags(parser, params)
    for flag, dest in (("-i", "inp_file_dir"), ("-o", "out_file_dir")):
        parser.add_argument(flag, dest=dest, default=argparse.SUPPRESS, help=f"short for --{dest.replace('_', '-')}")
    add_run_options(parser)
    parser.set_defaults(command=run_calibrations, selected=selected, params=params)
    return parser


def gather_values(args, params) -> (Dict, Dict):
    """Values from the config file and the flags (flags win), and where each came from."""
    known = {p.name: p for p in params}
    values, origin = {}, {}
    if args.config:
        for k, v in load_shared_config(args.config).items():
            if k in known:
                values[k], origin[k] = v, f"config file {args.config}"
    for k, v in parameters.flag_values(args, params).items():
        values[k], origin[k] = v, known[k].flag
    if not values.get("inp_file_dir"):
        raise ToolError("no capture folder: give --inp-file-dir (-i) or 'inp_file_dir' in a config file")
    values.setdefault("out_file_dir", runner.DEFAULT_OUT_DIR)
    return values, origin


def load_shared_config(path):
    """A config file's values. Its keys may be those of any calibration (a config written by `all`
    serves every single one); keys of none are refused, so that a misspelt key is not ignored."""
    everything = {p.name: p for p in calibration_params(plugins.available_calibrations().values())}
    values = parameters.load_config(path, everything)
    input_files.check_config(path, values, everything)
    return values


def truth_for(args, inp_file_dir):
    path = args.truth or runner.find_truth(inp_file_dir)
    if not path:
        return None, ""
    try:
        return input_files.load_truth(path), path
    except (OSError, ValueError, TypeError) as error:
        raise ToolError(f"cannot use simulator truth {path}: {error}") from None


def run_calibrations(args) -> int:
    values, origin = gather_values(args, args.params)
    truth, truth_path = truth_for(args, values["inp_file_dir"])
    options = runner.Options(progress=args.progress, quiet=args.quiet, skip_checks=args.skip_checks)
    out_dir = values["out_file_dir"]
    with folder_lock.holding(out_dir, folder_lock.describe_command()):
        return _calibrate_into(args, values, origin, options, truth, truth_path)


def _calibrate_into(args, values, origin, options, truth, truth_path) -> int:
    outcomes = runner.run_many(args.selected, values, origin, options, truth=truth,
                               skip_absent=len(args.selected) > 1)
    out_dir = values["out_file_dir"]
    for o in outcomes:
        if o.status == "ok":
            print(f"{o.calibration.name}: {o.message}")
        else:
            for line in o.message.splitlines():
                sys.stderr.write(f"{PROG} {o.calibration.name}: {'error' if o.status == 'failed' else 'skipped'}: "
                                 f"{line}\n")
    config = None
    try:
        if any(o.status == "ok" for o in outcomes):
            config = runner.write_config(out_dir, outcomes)
    except OSError as error:
        raise CalibrationFailed(f"cannot write the settings into {out_dir}: {error.strerror}") from None
    if config:
        print(f"settings: wrote {config} (use it again with --config)")
    if args.report is not None:
        from tuning.cli import report  # matplotlib is loaded only for a report

        path = args.report or os.path.join(out_dir, "report.html")
        settings, params = runner.effective_config(outcomes)
        shown = parameters.config_values(settings, params, os.path.dirname(os.path.abspath(path)))
        try:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
            report.write(path, f"{PROG} report: {values['inp_file_dir']}", outcomes, shown, truth_path)
        except OSError as error:
            raise CalibrationFailed(f"cannot write the report {path}: {error.strerror}") from None
        print(f"report: wrote {path}")
    if any(o.status == "failed" for o in outcomes) or not any(o.status == "ok" for o in outcomes):
        return 1
    return 0


def build_parser(calibrations, wanted=None) -> argparse.ArgumentParser:
    """The parser; with `wanted` (a known command, first on the line) only that command's: the flags
    of a calibration are derived from its records at every start."""
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    sub = parser.add_subparsers(title="commands", metavar="COMMAND")
    commands = [(name, lambda name=name, c=c: add_calibration_parser(sub, name, c.summary, [c]))
                for name, c in calibrations.items()]
    if calibrations:
        summary = (f"every calibration in turn ({', '.join(calibrations)}); "
                   "kinds of capture that are not there are skipped")
        commands.append(("all", lambda: add_calibration_parser(sub, "all", summary, list(calibrations.values()))))
    from tuning.cli import batch, convert_cmd, export_cmd, inspect_cmd, simulate_cmd, tonemap_cmd

    commands += [
        ("inspect", lambda: inspect_cmd.add_parser(sub)),
        ("convert", lambda: convert_cmd.add_parser(sub)),
        ("batch", lambda: batch.add_parser(sub, calibrations, calibration_params(calibrations.values()))),
        ("simulate", lambda: simulate_cmd.add_parser(sub)),
        ("tonemap", lambda: tonemap_cmd.add_parser(sub)),
        ("export", lambda: export_cmd.add_parser(sub)),
    ]
    known = [name for name, _ in commands]
    for name, add in commands:
        if wanted not in known or name == wanted:
            add()
    return parser


def main(argv=None) -> int:
    stopping.install()
    try:
        return _run(argv)
    except KeyboardInterrupt as stop:
        # One line; whatever the run had not written yet stays unwritten.
        sys.stderr.write(f"{PROG}: {'terminated' if stopping.terminated(stop) else 'interrupted'}\n")
        return stopping.exit_status(stop)
    except BrokenPipeError:
        # The reader went away (`tunekit inspect ... | head`): end quietly, and keep the interpreter's
        # own last flush from complaining about the same pipe.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return stopping.EXIT_BROKEN_PIPE


def _run(argv) -> int:
    try:
        library.load()
    except ImportError as error:
        sys.stderr.write(f"{PROG}: error: the compiled library cannot be loaded ({error}); "
                         "build it with scripts/build\n")
        return 2
    calibrations = plugins.available_calibrations()
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser(calibrations, argv[0] if argv else None)
    args = parser.parse_args(argv)
    if not hasattr(args, "command"):
        parser.print_help(sys.stderr)
        return 2
    try:
        return args.command(args)
    except ToolError as error:
        for line in str(error).splitlines():
            sys.stderr.write(f"{PROG}: error: {line}\n")
        return error.exit_code
