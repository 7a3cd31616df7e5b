"""The calibration commands: one per plug-in (and `all`), each running its calibrations into one output folder."""
import argparse
import os
import sys
from typing import Dict, List

from tuning.cli import folder_lock, input_files, parameters, plugins, runner
from tuning.cli.errors import CalibrationFailed, ToolError
from tuning.cli.main import PROG


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


def add_parser(sub, name: str, help_text: str, selected) -> argparse.ArgumentParser:
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
        from tuning.cli.commands import report  # matplotlib is loaded only for a report

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
