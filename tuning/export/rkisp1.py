"""A libcamera rkisp1 tuning file with the black levels: the BlackLevelCorrection
algorithm with R, Gr, Gb, B on the 16-bit scale. Given a base tuning file,
every other algorithm stays as it was (comments are not kept) and an existing
BlackLevelCorrection entry takes the four values where it stands."""
from typing import Optional

from tuning import atomic_write
from tuning.export import noise_model
from tuning.export.results import ExportError, Results, gain_text

ALGORITHM = "BlackLevelCorrection"
CHANNELS = ("R", "Gr", "Gb", "B")
HEADER = "%YAML 1.1\n---\n"


def yaml_module():
    try:
        import yaml
    except ImportError:
        raise ExportError("the rkisp1 export needs PyYAML (Debian package python3-yaml)") from None
    return yaml


def load_base(path: str) -> dict:
    yaml = yaml_module()
    try:
        with open(path, encoding="utf-8") as f:
            data = yaml.safe_load(f)
    except OSError as error:
        raise ExportError(f"{path}: the base tuning file cannot be read: {error.strerror}") from None
    except (yaml.YAMLError, UnicodeDecodeError) as error:
        raise ExportError(f"{path}: not valid YAML ({' '.join(str(error).split())})") from None
    if not isinstance(data, dict) or not isinstance(data.get("algorithms"), list):
        raise ExportError(f"{path}: expected a tuning file with an 'algorithms' list, found "
                          f"{type(data).__name__ if not isinstance(data, dict) else 'no algorithms list'}")
    return data


def black_level_correction(results: Results, gain: Optional[float]) -> dict:
    """R, Gr, Gb, B on the 16-bit scale, rounded to whole units."""
    _, black = results.black_level_at(gain)
    scale = noise_model.full_scale_factor(results.bits)
    colours = results.colours()
    return {channel: int(round(black[colours.index(channel)] * scale)) for channel in CHANNELS}


def tuning(results: Results, gain: Optional[float], base: Optional[str]) -> dict:
    data = load_base(base) if base else {"version": 1, "algorithms": []}
    merge_algorithm(data["algorithms"], ALGORITHM, black_level_correction(results, gain))
    return data


def merge_algorithm(algorithms: list, name: str, values: dict) -> None:
    """Sets the values in the first entry of the algorithm (its other keys kept), or appends one."""
    for algorithm in algorithms:
        if isinstance(algorithm, dict) and name in algorithm:
            if isinstance(algorithm[name], dict):
                algorithm[name].update(values)
            else:
                algorithm[name] = dict(values)
            return
    algorithms.append({name: dict(values)})


def text(results: Results, gain: Optional[float], base: Optional[str]) -> str:
    data = tuning(results, gain, base)
    return HEADER + yaml_module().safe_dump(data, sort_keys=False, default_flow_style=False) + "...\n"


def write(results: Results, gain: Optional[float], out: str, base: Optional[str]) -> str:
    chosen, _ = results.black_level_at(gain)
    atomic_write.write_text_atomically(out, text(results, gain, base))
    return f"wrote {out} (black level of gain {gain_text(chosen)}{', merged into ' + base if base else ''})"
