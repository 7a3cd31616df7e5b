"""Presets: a parameter record as a JSON file, written whole or not at all, read back exactly."""
import errno
import json
import math
import os
import stat
import tempfile
from typing import Any, List

import pydantic

from tonewright.python import params as P


class PresetError(ValueError):
    """A preset that cannot be used; the message names the file, the field, the expected and found value."""


def preset_json(p) -> str:
    # Integers stay integers and doubles are written with repr precision, so loading gives back every value.
    return json.dumps(p.dict(), indent=1) + "\n"


def save_preset(path: str, p) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    fd, partial = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".partial", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(preset_json(p))
        os.chmod(partial, 0o644)
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise


def _found(data: Any, loc) -> str:
    for key in loc:
        if key == "__root__":
            break
        try:
            data = data[key]
        except (KeyError, IndexError, TypeError):
            return "nothing"
    text = json.dumps(data) if not isinstance(data, float) or math.isfinite(data) else str(data)
    return text if len(text) <= 60 else text[:57] + "..."


def _expected(error: dict) -> str:
    kind, ctx = error["type"], error.get("ctx", {})
    if kind.startswith("value_error.number.not_le"):
        return f"expected at most {ctx['limit_value']}"
    if kind.startswith("value_error.number.not_ge"):
        return f"expected at least {ctx['limit_value']}"
    return f"expected {error['msg'].replace('value is not ', '')}"


def describe_errors(error: pydantic.ValidationError, data: Any) -> List[str]:
    """One line per refused field: 'name: expected ..., found ...'."""
    lines = []
    for e in error.errors():
        loc = [str(x) for x in e["loc"] if x != "__root__"]
        where = ".".join(loc) or "preset"
        if e["type"] == "value_error.extra":
            lines.append(f"{where}: unknown parameter (the export has no such parameter)")
        elif e["type"] == "type_error.bool":
            lines.append(f"{where}: expected true or false, found {_found(data, e['loc'])}")
        elif e["type"] == "value_error":
            lines.append(f"{where}: {e['msg']}")
        else:
            lines.append(f"{where}: {_expected(e)}, found {_found(data, e['loc'])}")
    return lines


def parse_preset(data: Any, source: str = "preset"):
    if not isinstance(data, dict):
        raise PresetError(f"{source}: expected a JSON object of parameters, found {type(data).__name__}")
    try:
        return P.ToneParams.parse_obj(data)
    except pydantic.ValidationError as error:
        raise PresetError("\n".join(f"{source}: {line}" for line in describe_errors(error, data))) from None


def load_preset(path: str):
    """The record a preset file holds; parameters it leaves out keep their defaults."""
    try:
        # Opened without waiting and checked on the descriptor: a FIFO or device named as the preset
        # is refused rather than waited on or read without end.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        with os.fdopen(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(errno.EINVAL, "expected a regular file")
            os.set_blocking(fd, True)
            data = json.loads(f.read().decode("utf-8"))
    except OSError as error:
        raise PresetError(f"cannot read preset {path}: {error.strerror}") from None
    except RecursionError:
        raise PresetError(f"preset {path} is not JSON this reader can take: arrays or objects nested too "
                          f"deeply") from None
    except ValueError as error:
        raise PresetError(f"preset {path} is not JSON: {error}") from None
    return parse_preset(data, f"preset {path}")
