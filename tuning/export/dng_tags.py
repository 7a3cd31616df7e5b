"""DNG tags of one gain: black and white level, the noise profile and the static bad pixels.

Written into a DNG of a capture (--to dng) or listed on their own
(--to dng-tags, JSON or text). NoiseProfile holds one pair S, O per colour
plane R, G, B (the greens merged), N(x) = sqrt(S x + O) on signal
normalised to 0..1 above black; the bad pixels are a FixBadPixelsList
opcode in OpcodeList1, whose data is big-endian whatever the file's order.
"""
import json
import os
import struct
from typing import List, Optional, Tuple

from tuning import atomic_write
from tuning.export import noise_model
from tuning.export.results import ExportError, Results, gain_text

TAG_BLACK_LEVEL_REPEAT_DIM = 50713
TAG_BLACK_LEVEL = 50714
TAG_WHITE_LEVEL = 50717
TAG_OPCODE_LIST1 = 51008
TAG_NOISE_PROFILE = 51041
TYPE_SHORT, TYPE_LONG, TYPE_RATIONAL, TYPE_UNDEFINED, TYPE_DOUBLE = 3, 4, 5, 7, 12
TYPE_NAMES = {TYPE_SHORT: "SHORT", TYPE_LONG: "LONG", TYPE_RATIONAL: "RATIONAL", TYPE_UNDEFINED: "UNDEFINED",
              TYPE_DOUBLE: "DOUBLE"}

OPCODE_FIX_BAD_PIXELS_LIST = 5
OPCODE_VERSION = 0x01030000  # the first DNG version with opcode lists
OPCODE_OPTIONAL = 1  # a reader without the opcode may skip it and still render the image
# BayerPhase: where the red cell sits in the 2 x 2 pattern.
BAYER_PHASE = {"RGGB": 0, "GRBG": 1, "GBRG": 2, "BGGR": 3}
# Kinds of capture preferred as the image of the DNG: a lit scene before a dark frame.
CAPTURE_KINDS = ("noise", "light", "dark")


class Tag:
    def __init__(self, tag: int, name: str, type_: int, values, data: bytes = b""):
        self.tag, self.name, self.type, self.values, self.data = tag, name, type_, values, data

    @property
    def count(self) -> int:
        return len(self.data) if self.type == TYPE_UNDEFINED else len(self.values)


def fix_bad_pixels_list(bayer_phase: int, points: List[Tuple[int, int]], rects=()) -> bytes:
    """An opcode list holding one FixBadPixelsList opcode: points as (row, column), rects as
    (top, left, bottom, right)."""
    params = struct.pack(">III", bayer_phase, len(points), len(rects))
    params += b"".join(struct.pack(">II", r, c) for r, c in points)
    params += b"".join(struct.pack(">IIII", *rect) for rect in rects)
    opcode = struct.pack(">IIII", OPCODE_FIX_BAD_PIXELS_LIST, OPCODE_VERSION, OPCODE_OPTIONAL, len(params))
    return struct.pack(">I", 1) + opcode + params


def tags(results: Results, gain: Optional[float]) -> Tuple[float, List[Tag]]:
    """(gain, the tags of that gain), the lowest calibrated gain when none is given."""
    gain, black = results.black_level_at(gain)
    noise = noise_model.at_gain(results, gain)
    scale, offset = noise_model.rgb_pairs(noise, results.colours())
    profile = [v for pair in zip(scale, offset) for v in pair]
    bad = results.bad_pixels()
    white = int(round(min(results.white_level)))
    return gain, [
        Tag(TAG_BLACK_LEVEL_REPEAT_DIM, "BlackLevelRepeatDim", TYPE_SHORT, [2, 2]),
        Tag(TAG_BLACK_LEVEL, "BlackLevel", TYPE_RATIONAL, black),
        Tag(TAG_WHITE_LEVEL, "WhiteLevel", TYPE_LONG, [white]),
        Tag(TAG_OPCODE_LIST1, "OpcodeList1", TYPE_UNDEFINED, {"FixBadPixelsList": {
            "BayerPhase": BAYER_PHASE[results.cfa_type], "points": [list(p) for p in bad], "rects": []}},
            fix_bad_pixels_list(BAYER_PHASE[results.cfa_type], bad)),
        Tag(TAG_NOISE_PROFILE, "NoiseProfile", TYPE_DOUBLE, profile),
    ]


def listing(results: Results, gain: Optional[float], as_json: bool) -> str:
    gain, found = tags(results, gain)
    if as_json:
        entries = [{"tag": t.tag, "name": t.name, "type": TYPE_NAMES[t.type], "count": t.count, "values": t.values}
                   for t in found]
        for entry, t in zip(entries, found):
            if t.data:
                entry["bytes"] = t.data.hex()
        return json.dumps({"gain": gain, "cfa_type": results.cfa_type, "tags": entries}, indent=4) + "\n"
    lines = [f"# DNG tags of gain {gain_text(gain)}, {results.cfa_type}, from {results.folder}"]
    for t in found:
        shown = t.values if t.type != TYPE_UNDEFINED else f"{t.data.hex()} = {json.dumps(t.values)}"
        lines.append(f"{t.name} ({t.tag}, {TYPE_NAMES[t.type]}, count {t.count}): {shown}")
    return "\n".join(lines) + "\n"


def write_listing(results: Results, gain: Optional[float], out: str) -> str:
    text = listing(results, gain, as_json=out.lower().endswith(".json"))
    atomic_write.write_text_atomically(out, text)
    return f"wrote the DNG tags to {out}"


def capture_folder(results: Results) -> str:
    folder = results.config.get("inp_file_dir") or "."
    return folder if os.path.isabs(folder) else os.path.normpath(os.path.join(results.folder, folder))


def pick_capture(results: Results, gain: float) -> str:
    """A capture of the run at the gain: a lit one when there is one."""
    import tuning.common as common

    folder = capture_folder(results)
    try:
        names = sorted(os.listdir(folder))
    except OSError as error:
        raise ExportError(f"{folder}: the run's capture folder cannot be listed ({error.strerror}); give a capture "
                          f"with --capture") from None
    found = {}
    for name in names:
        parts = common.parse_capture_name(name)
        try:
            if parts is None or float(parts.gain) != gain or parts.mode.name != results.sensor_mode:
                continue
        except ValueError:
            continue
        found.setdefault(parts.kind, os.path.join(folder, name))
    for kind in CAPTURE_KINDS + tuple(sorted(found)):
        if kind in found:
            return found[kind]
    raise ExportError(f"{folder}: no {results.sensor_mode} capture at gain {gain_text(gain)}; give one with --capture")


def read_frame(results: Results, path: str):
    """(frame, exposure time in seconds or None) of a capture in the run's format, or a DNG."""
    import tuning.common as common

    try:
        if path.lower().endswith(".dng"):
            frame, info = common.read_dng(path)
            exposure = info.exposure_time
        else:
            values = {k: results.config[k] for k in ("stride", "header", "shift") if k in results.config}
            capture_format = common.CaptureFormat(layout=results.config.get("format", "raw16"), **values)
            frame = common.read_capture(path, results.width, results.height, capture_format=capture_format)
            exposure = None
    except (OSError, ValueError, RuntimeError) as error:
        raise ExportError(f"{path}: cannot be read as a capture of the run: {error}") from None
    if frame.shape != (results.height, results.width):
        raise ExportError(f"{path}: expected a {results.width} x {results.height} frame (the run's), found "
                          f"{frame.shape[1]} x {frame.shape[0]}")
    return frame, exposure


def write_dng(results: Results, gain: Optional[float], out: str, capture: Optional[str] = None) -> str:
    """The capture (the given one, else one of the run's at the gain) as a DNG carrying the tags."""
    import tuning.common as common

    gain, found = tags(results, gain)
    path = capture or pick_capture(results, gain)
    frame, exposure = read_frame(results, path)
    by_tag = {t.tag: t for t in found}
    extra = [(TAG_NOISE_PROFILE, TYPE_DOUBLE, len(by_tag[TAG_NOISE_PROFILE].values),
              struct.pack(f"<{len(by_tag[TAG_NOISE_PROFILE].values)}d", *by_tag[TAG_NOISE_PROFILE].values)),
             (TAG_OPCODE_LIST1, TYPE_UNDEFINED, len(by_tag[TAG_OPCODE_LIST1].data), by_tag[TAG_OPCODE_LIST1].data)]
    try:
        common.write_dng(out, frame, cfa_type=results.cfa_type, bits=results.bits,
                         black_level=by_tag[TAG_BLACK_LEVEL].values, white_level=by_tag[TAG_WHITE_LEVEL].values[0],
                         exposure_time=exposure, iso=gain * noise_model.ISO_PER_GAIN, analog_gain=gain,
                         extra_tags=extra)
    except ValueError as error:
        raise ExportError(f"{path}: cannot be written as a DNG: {error}") from None
    return f"wrote {out}: {path} with the DNG tags of gain {gain_text(gain)}"
