"""The capture format flags (--format, --stride, --header, --shift), their config keys and the record they make.

The flags are derived from the fields of the library's CaptureFormat record,
its `layout` field becoming --format. A format left at the record defaults
(raw16, rows packed tight, no header) is not passed to the routines at all,
so that a run on today's captures is the call it always was.
"""
import argparse
from typing import Any, Dict, List, Optional

from tuning.cli import library, parameters
from tuning.cli.errors import ToolError

LAYOUT_FIELD = "layout"
FORMAT_KEY = "format"  # the flag and config key of the layout field


def common():
    return library.module("tuning.common")


def _key(field: str) -> str:
    return FORMAT_KEY if field == LAYOUT_FIELD else field


def format_params() -> List[parameters.Param]:
    """--format, --stride, --header, --shift, with the record's own defaults and field docs."""
    params = parameters.record_params(common().CaptureFormat)
    for p in params:
        p.name = _key(p.name)
    return params


def keys() -> List[str]:
    return [_key(name) for name in common().CaptureFormat.__fields__]


def from_values(values: Dict[str, Any], origin: Optional[Dict[str, str]] = None):
    """The CaptureFormat the values describe, or a ToolError naming the flag or key and what was found."""
    import pydantic

    record = common().CaptureFormat
    fields = {name: values[_key(name)] for name in record.__fields__ if values.get(_key(name)) is not None}
    try:
        capture_format = record(**fields)
    except pydantic.ValidationError as error:
        problems = []
        for e in error.errors():
            key = _key(str(e["loc"][0]))
            where = (origin or {}).get(key, "--" + key)
            problems.append(f"{key} ({where}): {e['msg']}, found {fields.get(e['loc'][0])!r}")
        raise ToolError("; ".join(problems)) from None
    from tuning.cli import validation

    for param in format_params():  # the library's 64-bit fields, as for the calibration records
        validation.check_library_range(param, getattr(capture_format, _field(param.name)), origin or {})
    return capture_format


def _field(key: str) -> str:
    return LAYOUT_FIELD if key == FORMAT_KEY else key


def is_default(capture_format) -> bool:
    return capture_format is None or capture_format == common().CaptureFormat()


def routine_kwargs(capture_format) -> Dict[str, Any]:
    """The keyword to add to a routine call: none for the default format."""
    return {} if is_default(capture_format) else {"capture_format": capture_format}


def layout_name(capture_format) -> str:
    return "raw16" if capture_format is None else str(capture_format.layout.value)


def is_dng(capture_format) -> bool:
    return capture_format is not None and capture_format.layout == common().SampleLayout.dng


def config_values(capture_format) -> Dict[str, Any]:
    """The format as config keys (the layout as its text)."""
    capture_format = capture_format or common().CaptureFormat()
    return {_key(name): getattr(capture_format, name) for name in capture_format.__fields__}


def describe(capture_format) -> str:
    """The format as the flags that give it: `--format raw12p --stride 1024`."""
    values = config_values(capture_format)
    defaults = config_values(common().CaptureFormat())
    return " ".join(f"--{k} {getattr(v, 'value', v)}" for k, v in values.items()
                    if k == FORMAT_KEY or v != defaults[k])


def add_flags(parser: argparse.ArgumentParser) -> None:
    """The format flags alone, for commands that take no record (inspect, simulate, convert)."""
    parameters.add_flags(parser, format_params())


def from_args(args, config: Optional[Dict[str, Any]] = None):
    """The format of a command's flags, over the values of a config file."""
    values = dict(config or {})
    values.update({k: getattr(args, k) for k in keys() if hasattr(args, k)})
    return from_values(values)
