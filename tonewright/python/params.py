"""The parameter record: every parameter of the export with its range and unit, and the defaults.

Scalar fields carry the names of the export's parameters; the frame gives
image, height and width; each LUT descriptor is one record of three arrays
whose lengths give seg_count and knot_count.
"""
from typing import Dict, List, NamedTuple, Optional

import numpy as np
import pydantic

from tonewright.python import curves

VALUE_BITS = 20  # the model takes 20-bit linear input
MESH_ROWS, MESH_COLS = 13, 17  # the mesh the library loads, whatever mesh_rows and mesh_cols say
MESH_GAINS = 4 * MESH_ROWS * MESH_COLS  # one plane per cell position
UNITY = 4096  # gains, white balance and colour matrix carry 12 fractional bits
LUMA_UNITY = 1 << 16  # luminance weights carry 16
INT32_MAX = (1 << 31) - 1
INT32_MIN = -(1 << 31)


class Parameter(NamedTuple):
    name: str
    kind: type  # int, float or bool
    low: float
    high: float
    unit: str
    doc: str
    default: object


def _parameters() -> List[Parameter]:
    s = [
        Parameter("block_size_code", int, 0, 4, "code", "statistics block: 0 = 64, 1 = 128, 2 = 256, 3 = 512, "
             "4 = 1024 pixels", 0),
        Parameter("cfa_pattern", int, 0, 3, "code", "red at cell position 0 = RGGB, 1 = GRBG, 2 = GBRG, 3 = BGGR", 0),
        Parameter("mesh_rows", int, MESH_ROWS, 255, "rows", "rows of the shading mesh", MESH_ROWS),
        Parameter("mesh_cols", int, MESH_COLS, 255, "columns", "columns of the shading mesh", MESH_COLS),
        Parameter("mesh_step_x", int, 0, INT32_MAX, "2^-20 mesh cells per cell", "mesh step across a row", 0),
        Parameter("mesh_step_y", int, 0, INT32_MAX, "2^-20 mesh cells per cell", "mesh step down the frame", 0),
        Parameter("mesh_start_x", int, 0, INT32_MAX, "2^-21 mesh cells", "mesh position of the first column", 0),
        Parameter("mesh_start_y", int, 0, INT32_MAX, "2^-21 mesh cells", "mesh position of the first row", 0),
        Parameter("reserved_11", int, INT32_MIN, INT32_MAX, "", "accepted, no effect", 0),
        Parameter("reserved_12", int, INT32_MIN, INT32_MAX, "", "accepted, no effect", 0),
        Parameter("mesh_off", bool, 0, 1, "flag", "skip the shading mesh", True),
        Parameter("global_lut_mode", bool, 0, 1, "flag", "tone gain from LUT 3 alone, no block curves", False),
        Parameter("bins", int, 1, 1024, "bins of 0.1 decade", "histogram bins per block", 64),
        Parameter("tm_strength", int, 0, 16, "1/16", "strength of the tone gain (0: linear rescale)", 16),
        Parameter("log_floor", int, -60, 60, "0.1 decade", "log-domain black offset", 0),
        Parameter("out_max", int, 63, 65535, "output code", "output white level (local mode: at most 16383)", 16383),
        Parameter("use_corrected_input", bool, 0, 1, "flag", "apply the gain to the white-balanced, shaded frame",
             False),
    ]
    s += [Parameter(f"wb_gain_{c}", int, 0, 65535, "1/4096", f"white balance gain, {c.upper()}", UNITY) for c in "rgb"]
    s += [Parameter(f"ccm_{k}", int, -65536, 65535, "1/4096", f"colour matrix row {k // 3}, column {k % 3}",
               UNITY if k % 4 == 0 else 0) for k in range(9)]
    # BT.601 weights times 1024: they map the 28-bit corrected value onto the 22-bit luminance.
    for c, w in zip(("r", "g", "b", "max"), (306, 601, 117, 0)):
        s.append(Parameter(f"luma_w_{c}", int, 0, 65535, "1/65536", f"luminance weight of {c.upper()}", w))
    s += [
        Parameter("noise_bits", int, 0, 16, "bits", "bits of each dither value", 2),
        Parameter("noise_shift", int, 0, 31, "bits", "left shift of the dither value", 0),
        Parameter("noise_signed", bool, 0, 1, "flag", "dither values are signed", True),
        Parameter("noise_on", bool, 0, 1, "flag", "add dither to the luminance", True),
        # Maximal-length 16-bit Galois taps, two different seeds.
        Parameter("noise_taps_0", int, 0, 65535, "bit mask", "feedback taps of dither register 0", 0xB400),
        Parameter("noise_taps_1", int, 0, 65535, "bit mask", "feedback taps of dither register 1", 0xB400),
        Parameter("noise_width_0", int, 1, 16, "bits", "width of dither register 0", 16),
        Parameter("noise_width_1", int, 1, 16, "bits", "width of dither register 1", 16),
        Parameter("noise_seed_0", int, 1, 65535, "", "seed of dither register 0", 0xACE1),
        Parameter("noise_seed_1", int, 1, 65535, "", "seed of dither register 1", 0x1D2B),
        Parameter("hist_power", int, 0, 8, "exponent", "bin-position weighting of the histograms", 1),
        Parameter("clip_limit", float, 0.0, 1e9, "ratio", "largest curve value over linear value per bin", 4.0),
        Parameter("fixed_curve", bool, 0, 1, "flag", "every block uses the fixed power-of-ten curve", False),
        Parameter("fixed_curve_gain", float, 0.0, 1e6, "ratio", "gain of the fixed curve", 1.0),
        Parameter("global_blend", float, 0.0, 1.0, "weight", "block histogram against the whole frame's", 0.75),
        Parameter("log_offset", float, 0.0, 1e6, "20-bit linear code", "added to the value before the logarithm", 1.0),
    ]
    return s


PARAMETERS = _parameters()
PARAMETER_BY_NAME = {s.name: s for s in PARAMETERS}
LUT_NAMES = ("lut1", "lut2", "lut3")
LUT_SIZES = {"lut1": curves.WIDE_SIZE, "lut2": curves.OUTPUT_SIZE, "lut3": curves.WIDE_SIZE}
MAX_KNOTS = 65535  # knot_count and seg_count are 16-bit slots


class _IntArray(list):
    """A list of integers from LOW to HIGH, checked as one array: item by item, the LUTs and the mesh
    would cost a render on the page several milliseconds."""

    LOW, HIGH = INT32_MIN, INT32_MAX

    @classmethod
    def __get_validators__(cls):
        yield cls.validate

    @classmethod
    def validate(cls, v):
        if not isinstance(v, (list, tuple)):
            raise ValueError(f"expected a list of integers, found {type(v).__name__}")
        if not v:
            return []
        a = np.asarray(v)
        if not np.issubdtype(a.dtype, np.integer) or a.ndim != 1:
            bad = next((x for x in v if not isinstance(x, int) or isinstance(x, bool)), v[0])
            raise ValueError(f"expected integers, found {bad!r} at item {v.index(bad)}")
        for wrong, limit, word in ((a < cls.LOW, cls.LOW, "least"), (a > cls.HIGH, cls.HIGH, "most")):
            if wrong.any():
                k = int(np.argmax(wrong))
                raise ValueError(f"item {k}: expected at {word} {limit}, found {v[k]}")
        return a.tolist()


def int_array(low: int, high: int) -> type:
    return type("IntArray", (_IntArray,), {"LOW": low, "HIGH": high})


class Lut(pydantic.BaseModel):
    """A segmented LUT descriptor: knots, and per segment its exclusive end and log2 knot spacing."""

    knots: int_array(INT32_MIN, INT32_MAX)
    seg_end: int_array(0, (1 << 32) - 1)
    seg_shift: int_array(0, 31)

    class Config:
        extra = "forbid"

    @pydantic.root_validator(skip_on_failure=True)
    def _lengths(cls, values):
        knots, ends, shifts = values["knots"], values["seg_end"], values["seg_shift"]
        if not 1 <= len(knots) <= MAX_KNOTS:
            raise ValueError(f"knots: expected 1 to {MAX_KNOTS} values, found {len(knots)}")
        if not 1 <= len(shifts) <= MAX_KNOTS:
            raise ValueError(f"seg_shift: expected 1 to {MAX_KNOTS} values, found {len(shifts)}")
        # The library reads seg_end[2] as the table length and one end per segment.
        wanted = max(3, len(shifts))
        if len(ends) != wanted:
            raise ValueError(f"seg_end: expected {wanted} values (one per seg_shift entry, at least 3), "
                             f"found {len(ends)}")
        return values


def _field(info: Parameter):
    kind = info.kind
    if kind is bool:
        return (bool, pydantic.Field(info.default, description=info.doc))
    # Strict integers: a preset that says 2.5 for an integer slot is refused, not rounded.
    if kind is int:
        annotation = pydantic.conint(strict=True, ge=info.low, le=info.high)
    else:
        annotation = pydantic.confloat(ge=info.low, le=info.high, allow_inf_nan=False)
    doc = f"{info.doc} ({info.unit})" if info.unit else info.doc
    return (annotation, pydantic.Field(info.default, description=doc))


class _Base(pydantic.BaseModel):
    class Config:
        extra = "forbid"
        validate_assignment = True


def default_luts(out_max: int = 16383) -> Dict[str, Lut]:
    """LUT 1 linear (its output also divides the gain, so a curve there would bend the gain twice),
    LUT 2 a mild S-curve on the output, LUT 3 a log curve for the global mode."""
    return {
        "lut1": Lut(**curves.segmented_lut("linear", size=curves.WIDE_SIZE, out_max=curves.WIDE_SIZE - 1)),
        "lut2": Lut(**curves.segmented_lut("s-curve", size=curves.OUTPUT_SIZE, out_max=out_max)),
        "lut3": Lut(**curves.segmented_lut("log", size=curves.WIDE_SIZE, out_max=out_max)),
    }


_DEFAULT_LUTS: Dict[str, Lut] = {}


def _default_lut(name: str) -> Lut:
    if not _DEFAULT_LUTS:
        _DEFAULT_LUTS.update(default_luts())
    return _DEFAULT_LUTS[name].copy(deep=True)


def flat_mesh() -> List[int]:
    return [UNITY] * MESH_GAINS


def _mesh_length(cls, v):
    if len(v) != MESH_GAINS:
        raise ValueError(f"expected {MESH_GAINS} gains (4 planes of 13 x 17), found {len(v)}")
    return v


ToneParams = pydantic.create_model(
    "ToneParams",
    __base__=_Base,
    __validators__={"mesh_length": pydantic.validator("mesh_values", allow_reuse=True)(_mesh_length)},
    **{s.name: _field(s) for s in PARAMETERS},
    mesh_values=(int_array(0, 65535),
                 pydantic.Field(default_factory=flat_mesh, description="shading mesh gains, 4 planes of "
                                "13 x 17 (1/4096), read when mesh_off is false")),
    **{n: (Lut, pydantic.Field(default_factory=lambda n=n: _default_lut(n))) for n in LUT_NAMES},
)
ToneParams.__doc__ = "Every parameter of one tone-mapping call but the frame itself."


def mesh_steps(width: int, height: int) -> Dict[str, int]:
    """Mesh steps that spread the 13 x 17 mesh over a frame of this size."""
    # Positions carry 20 fractional bits of a mesh cell and advance once per Bayer cell.
    return {"mesh_step_x": ((MESH_COLS - 1) << 20) // max(1, width // 2),
            "mesh_step_y": ((MESH_ROWS - 1) << 20) // max(1, height // 2)}


def defaults(width: Optional[int] = None, height: Optional[int] = None):
    """The default record; with a frame size, mesh steps that span that frame."""
    p = ToneParams()
    if width and height:
        for k, v in mesh_steps(width, height).items():
            setattr(p, k, v)
    return p
