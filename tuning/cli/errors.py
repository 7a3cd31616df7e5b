"""Failures the tool reports in one line, without a traceback."""


class ToolError(Exception):
    """A problem with the user's input: flags, config file, capture folder."""

    exit_code = 2


class CaptureSetError(ToolError):
    """The capture set would make the calibration fail; nothing was run."""

    exit_code = 1


class CalibrationFailed(ToolError):
    """The routine itself failed; its own message is kept."""

    exit_code = 1
