"""tunekit: calibrate capture sets, inspect them, report on them, run many at once."""
import argparse
import os
import sys

from tuning.cli import library, plugins, stopping
from tuning.cli.errors import ToolError

PROG = "tunekit"


def build_parser(calibrations, wanted=None) -> argparse.ArgumentParser:
    """The parser; with `wanted` (a known command, first on the line) only that command's: the flags
    of a calibration are derived from its records at every start."""
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    sub = parser.add_subparsers(title="commands", metavar="COMMAND")
    from tuning.cli.commands import all as all_cmd, batch, calibrate, convert, export, inspect, simulate, tonemap

    commands = [(name, lambda name=name, c=c: calibrate.add_parser(sub, name, c.summary, [c]))
                for name, c in calibrations.items()]
    if calibrations:
        commands.append(("all", lambda: all_cmd.add_parser(sub, calibrations)))
    commands += [
        ("inspect", lambda: inspect.add_parser(sub)),
        ("convert", lambda: convert.add_parser(sub)),
        ("batch", lambda: batch.add_parser(sub, calibrations, calibrate.calibration_params(calibrations.values()))),
        ("simulate", lambda: simulate.add_parser(sub)),
        ("tonemap", lambda: tonemap.add_parser(sub)),
        ("export", lambda: export.add_parser(sub)),
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
