"""Python binding of the tone-mapping library: the parameter record, presets and tone_map() on numpy frames.

    from tonewright.python import defaults, tone_map
    out = tone_map(frame_20bit, defaults(width, height))
"""
from tonewright.python.library import Library, ToneMapError, default_library, tone_map  # noqa: F401
from tonewright.python.params import PARAMETERS, Lut, ToneParams, defaults  # noqa: F401
from tonewright.python.presets import PresetError, load_preset, preset_json, save_preset  # noqa: F401
