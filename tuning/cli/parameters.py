"""Command-line flags and config keys derived from the fields of the calibration records.

A field `again_list` becomes the flag `--again-list` and the config key
`again_list`. Values are taken, in rising precedence, from the record
default, the config file and the command line.
"""
import argparse
import dataclasses
import enum
import json
import math
import os
import re
import sys
from typing import Any, Dict, List, Optional

from tuning import regular_files
from tuning.cli.errors import ToolError

# Fields the tool fixes itself: the module name is part of the record's identity.
FIXED_FIELDS = ("module",)
PATH_FIELDS = ("inp_file_dir", "out_file_dir")
RECT_FIELDS = ("top", "left", "bottom", "right")

_INTEGER = re.compile(r"[+-]?\d+")
# Words argparse takes for values, not flags, though they start with "-": negative numbers and
# comma-separated lists that start with one (a region above the frame: -8,0,16,32).
_NEGATIVE_VALUES = re.compile(r"^-\d*\.?\d+(,[-+]?\d*\.?\d*)*$")


@dataclasses.dataclass
class Param:
    name: str
    kind: str  # text, integer, real, numbers, enum, regions
    description: str
    default: Any
    enum: Optional[type] = None
    item_record: Optional[type] = None

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


def _kind_of(field) -> tuple:
    annotation = field.outer_type_
    if isinstance(annotation, type) and issubclass(annotation, enum.Enum):
        return "enum", annotation, None
    # Constrained types (conint(ge=0) and the like) are subclasses of the plain ones.
    if isinstance(annotation, type) and issubclass(annotation, str):
        return "text", None, None
    if isinstance(annotation, type) and issubclass(annotation, int) and annotation is not bool:
        return "integer", None, None
    if isinstance(annotation, type) and issubclass(annotation, float):
        return "real", None, None
    # typing.get_origin and get_args came with Python 3.8; the attributes are there in 3.7 too.
    if getattr(annotation, "__origin__", None) is list:
        (item,) = annotation.__args__
        if isinstance(item, type) and hasattr(item, "__fields__"):
            return "regions", None, item
        return "numbers", None, None
    raise TypeError(f"no command-line form for field {field.name} of type {annotation!r}")


def record_params(record_cls) -> List[Param]:
    params = []
    for name, field in record_cls.__fields__.items():
        if name in FIXED_FIELDS:
            continue
        kind, enum_type, item = _kind_of(field)
        default = field.default_factory() if field.default_factory is not None else field.default
        params.append(Param(name, kind, field.field_info.description or "", default, enum_type, item))
    return params


def parse_number(text: str):
    """A number keeping its kind: 10 stays an integer, 10.0 and 1.5 are reals (file tags differ)."""
    text = text.strip()
    if _INTEGER.fullmatch(text):
        return int(text)
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, found {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, found {text!r}")
    return value


def parse_numbers(tokens: List[str]) -> List:
    """Numbers given as separate words, comma-separated, or both: `1 2 4`, `1,2,4`."""
    return [parse_number(t) for token in tokens for t in token.split(",") if t.strip()]


def parse_enum(enum_type, text: str):
    """A member by its value text or its name, in any letter case."""
    for member in enum_type:
        if text.lower() in (member.name.lower(), str(member.value).lower()):
            return member
    choices = ", ".join(str(m.value) for m in enum_type)
    raise argparse.ArgumentTypeError(f"expected one of {choices}, found {text!r}")


def parse_region(text: str) -> Dict[str, int]:
    parts = text.split(",")
    if len(parts) != len(RECT_FIELDS) or not all(_INTEGER.fullmatch(p.strip()) for p in parts):
        raise argparse.ArgumentTypeError(f"expected a region as top,left,bottom,right (integers), found {text!r}")
    return dict(zip(RECT_FIELDS, (int(p) for p in parts)))


def add_flags(parser: argparse.ArgumentParser, params: List[Param]) -> None:
    """One flag per field; a field shared by several records gets one flag."""
    seen = set()
    for p in params:
        if p.name in seen:
            continue
        seen.add(p.name)
        default = _config_value(p, p.default)
        help_text = f"{p.description} (default: {json.dumps(default)})"
        common = dict(dest=p.name, default=argparse.SUPPRESS, help=help_text)
        flags = [p.flag] + ([p.flag.lower()] if p.flag.lower() != p.flag else [])
        if p.kind == "numbers":
            parser.add_argument(*flags, nargs="+", metavar="N", **common)
        elif p.kind == "regions":
            parser._negative_number_matcher = _NEGATIVE_VALUES  # argparse's own hook for this test
            parser.add_argument(*flags, nargs="+", metavar="T,L,B,R", type=parse_region, **common)
        elif p.kind == "enum":
            choices = "|".join(str(m.value) for m in p.enum)
            parser.add_argument(*flags, metavar=choices, type=lambda t, e=p.enum: parse_enum(e, t), **common)
        elif p.kind == "integer":
            parser.add_argument(*flags, type=int, metavar="N", **common)
        elif p.kind == "real":
            parser.add_argument(*flags, type=parse_number, metavar="X", **common)
        else:
            parser.add_argument(*flags, metavar="TEXT", **common)


def flag_values(args: argparse.Namespace, params: List[Param]) -> Dict[str, Any]:
    """The values given on the command line (flags left out are absent)."""
    values = {}
    for p in params:
        if hasattr(args, p.name):
            value = getattr(args, p.name)
            try:
                values[p.name] = parse_numbers(value) if p.kind == "numbers" else value
            except argparse.ArgumentTypeError as error:
                raise ToolError(f"{p.flag}: {error}") from None
    return values


# --- config files ---------------------------------------------------------------------------------


class DuplicateKey(ValueError):
    """A JSON object that gives one key twice: which of its values was meant cannot be told."""


def _unique_keys(pairs):
    data = {}
    for key, value in pairs:
        if key in data:
            raise DuplicateKey(key)
        data[key] = value
    return data


def parse_json(text: str, unique_keys: bool = False):
    """json.loads, turning into a ValueError that says what was found the two failures its decoder
    reports otherwise: nesting deeper than the host's recursion can follow, and integers of more
    digits than the host converts. unique_keys: a key given twice in an object is a DuplicateKey."""
    try:
        return json.loads(text, object_pairs_hook=_unique_keys if unique_keys else None)
    except RecursionError:
        raise ValueError("arrays or objects nested too deeply to be read") from None
    except (json.JSONDecodeError, DuplicateKey):
        raise
    except ValueError as error:
        if "digits" not in str(error):
            raise
        limit = getattr(sys, "get_int_max_str_digits", lambda: 4300)()
        raise ValueError(f"an integer of more than {limit} digits") from None


def load_config(path: str, known: Dict[str, Param]) -> Dict[str, Any]:
    """The values of a JSON config file; relative folders are taken from the file's own folder."""
    try:
        data = parse_json(regular_files.read_text(path), unique_keys=True)
    except OSError as error:
        raise ToolError(f"cannot read config file {path}: {error.strerror}") from None
    except UnicodeDecodeError as error:
        raise ToolError(f"config file {path}: expected UTF-8 text, found byte 0x{error.object[error.start]:02x} "
                        f"at offset {error.start}") from None
    except DuplicateKey as error:
        raise ToolError(f"config file {path}: expected each key once, found {json.dumps(error.args[0])} more than "
                        f"once") from None
    except ValueError as error:
        raise ToolError(f"config file {path} is not valid JSON: {error}") from None
    if not isinstance(data, dict):
        raise ToolError(f"config file {path}: expected a JSON object of field names, found {type(data).__name__}")
    unknown = sorted(k for k in data if k not in known and k not in FIXED_FIELDS)
    if unknown:
        raise ToolError(f"config file {path}: unknown key{'s' if len(unknown) > 1 else ''} "
                        f"{', '.join(unknown)}; known keys: {', '.join(sorted(known, key=str.lower))}")
    base = os.path.dirname(os.path.abspath(path))
    values = {}
    for key, value in data.items():
        if key in FIXED_FIELDS:
            continue
        param = known[key]
        if key in PATH_FIELDS and isinstance(value, str) and value and not os.path.isabs(value):
            value = os.path.normpath(os.path.join(base, value))
        if param.kind == "enum" and isinstance(value, str):
            try:
                value = parse_enum(param.enum, value)
            except argparse.ArgumentTypeError as error:
                raise ToolError(f"config file {path}: {key}: {error}") from None
        if param.kind == "regions" and isinstance(value, list):
            value = [dict(zip(RECT_FIELDS, r)) if isinstance(r, list) and len(r) == 4 else r for r in value]
        values[key] = value
    return values


def _config_value(param: Param, value):
    if isinstance(value, enum.Enum):
        return value.value
    if param.kind == "regions":
        return [r.dict() if hasattr(r, "dict") else dict(r) for r in value]
    return value


def config_values(values: Dict[str, Any], params: Dict[str, Param], config_dir: Optional[str]) -> Dict[str, Any]:
    """Config keys and JSON values; folders relative to config_dir (when given), so a set and its
    config can move together."""
    out = {}
    for name, value in values.items():
        value = _config_value(params[name], value)
        if config_dir is not None and name in PATH_FIELDS and value:
            value = os.path.relpath(os.path.abspath(value), os.path.abspath(config_dir))
        out[name] = value
    return out


def config_text(values: Dict[str, Any], params: Dict[str, Param], config_dir: str) -> str:
    return json.dumps(config_values(values, params, config_dir), indent=4) + "\n"


def record_values(record, params: List[Param]) -> Dict[str, Any]:
    return {p.name: getattr(record, p.name) for p in params}


def build_record(record_cls, values: Dict[str, Any], origin: Dict[str, str]):
    """The record, or a ToolError naming the field, where its value came from, and what was expected."""
    import pydantic

    fields = {k: v for k, v in values.items() if k in record_cls.__fields__}
    try:
        return record_cls(**fields)
    except pydantic.ValidationError as error:
        problems = []
        for e in error.errors():
            name = str(e["loc"][0])
            where = origin.get(name, "value")
            problems.append(f"{name} ({where}): {e['msg']}, found {json.dumps(_plain(fields.get(name)))}")
        raise ToolError("; ".join(problems)) from None


def _plain(value):
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value if isinstance(value, (int, float, str, dict, type(None))) else str(value)
