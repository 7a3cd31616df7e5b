"""Config and simulator truth files: refused whole when a value is of a type its field cannot take."""
import math
from typing import Any, Dict

from tuning import regular_files
from tuning.cli import parameters
from tuning.cli.errors import ToolError
from tuning.cli.validation import check_path, is_number, refuse


def check_config(path: str, values: Dict[str, Any], known: Dict[str, parameters.Param]) -> None:
    """Refuses config values of a type the field cannot take (pydantic would turn true into 1 and
    32.5 into 32, and a folder given as a number fails deep in the tool)."""
    for key, value in values.items():
        param = known[key]
        origin = {key: f"config file {path}"}
        if param.kind == "enum":
            expected = "one of " + ", ".join(str(m.value) for m in param.enum)
        else:
            expected = CONFIG_TYPES[param.kind]
        if not _config_value_fits(param, value):
            refuse(key, origin, expected, _json_text(value))
        if key in parameters.PATH_FIELDS:
            check_path(key, value, origin)


CONFIG_TYPES = {
    "text": "a JSON string",
    "integer": "a whole JSON number",
    "real": "a finite JSON number",
    "numbers": "a JSON list of finite numbers",
    "regions": f"a JSON list of regions, each [{', '.join(parameters.RECT_FIELDS)}] of whole numbers",
}


def _finite(value) -> bool:
    # Whole numbers of any size are finite; math.isfinite cannot take those beyond a float's range.
    return is_number(value) and (isinstance(value, int) or math.isfinite(value))


def _config_value_fits(param: parameters.Param, value) -> bool:
    if param.kind == "text":
        return isinstance(value, str)
    if param.kind == "integer":
        return _finite(value) and (isinstance(value, int) or value.is_integer())
    if param.kind == "real":
        return _finite(value)
    if param.kind == "numbers":
        return isinstance(value, list) and all(_finite(v) for v in value)
    if param.kind == "enum":
        return isinstance(value, param.enum)
    return isinstance(value, list) and all(
        isinstance(r, dict) and set(r) <= set(parameters.RECT_FIELDS)
        and all(isinstance(v, int) and not isinstance(v, bool) for v in r.values()) for r in value)


def _json_text(value) -> str:
    import json

    if isinstance(value, str):
        return json.dumps(value)
    try:
        return json.dumps(parameters._plain(value), allow_nan=True)
    except (TypeError, ValueError):
        return repr(value)


def frame_size_of_config(path: str, data) -> tuple:
    """(width, height) of a config's JSON data, each None when left out (inspect reads no more)."""
    if not isinstance(data, dict):
        raise ToolError(f"config file {path}: expected a JSON object of field names, found {type(data).__name__}")
    size = []
    for key in ("width", "height"):
        value = data.get(key)
        if value is not None and not _config_value_fits(parameters.Param(key, "integer", "", 0), value):
            refuse(key, {key: f"config file {path}"}, CONFIG_TYPES["integer"], _json_text(value))
        size.append(None if value is None else int(value))
    return tuple(size)


def load_truth(path: str):
    """The simulator's sensor model from its truth file, refusing a file of another shape."""
    import dataclasses
    import json

    from tuning import sim
    from tuning.cli import runner

    try:
        data = parameters.parse_json(regular_files.read_text(path))
    except OSError as error:
        raise ToolError(f"cannot read simulator truth {path}: {error.strerror}") from None
    except UnicodeDecodeError as error:
        raise ToolError(f"simulator truth {path}: expected UTF-8 text, found byte 0x{error.object[error.start]:02x} "
                        f"at offset {error.start}") from None
    except ValueError as error:
        raise ToolError(f"simulator truth {path}: expected JSON, found text that is not ({error})") from None
    if not isinstance(data, dict):
        raise ToolError(f"simulator truth {path}: expected a JSON object of sensor fields, found "
                        f"{type(data).__name__}")
    for field in dataclasses.fields(sim.SensorModel):
        if field.name not in data:
            continue
        default = field.default_factory() if field.default is dataclasses.MISSING else field.default
        if not _same_shape(data[field.name], default):
            raise ToolError(f"simulator truth {path}: {field.name}: expected {_shape_text(default)}, found "
                            f"{_json_text(data[field.name])}")
    return runner.load_truth(path)


def _same_shape(value, model) -> bool:
    if isinstance(model, bool) or isinstance(model, str):
        return type(value) is type(model)
    if isinstance(model, int):
        return isinstance(value, int) and not isinstance(value, bool)
    if isinstance(model, float):
        return is_number(value) and math.isfinite(value)
    if isinstance(model, (list, tuple)):
        if not isinstance(value, list):
            return False
        if model and isinstance(model[0], (list, tuple)):
            return all(isinstance(v, list) and len(v) == len(model[0]) and all(map(is_number, v)) for v in value)
        if isinstance(model, tuple) and len(value) != len(model):
            return False
        return all(is_number(v) for v in value)
    return True


def _shape_text(model) -> str:
    if isinstance(model, str):
        return "a JSON string"
    if isinstance(model, int):
        return "a whole number"
    if isinstance(model, float):
        return "a finite number"
    if model and isinstance(model[0], (list, tuple)):
        return f"a list of {len(model[0])}-number lists"
    return f"a list of {len(model)} numbers" if isinstance(model, tuple) else "a list of numbers"
