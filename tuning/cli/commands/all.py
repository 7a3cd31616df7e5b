"""tunekit all: every calibration in turn into one output folder."""
from tuning.cli.commands import calibrate


def add_parser(sub, calibrations):
    summary = (f"every calibration in turn ({', '.join(calibrations)}); "
               "kinds of capture that are not there are skipped")
    return calibrate.add_parser(sub, "all", summary, list(calibrations.values()))
