"""tunekit tonemap CAPTURE: tone-map a capture with a preset and write the frame, previews and curves;
with --serve, tune the preset on a live local page instead.

The capture's samples (--bits of them) are scaled into the model's 20-bit input. Without --params the
defaults apply (a visible local tone mapping, mesh steps spanning this frame). OUT receives
tonemapped.raw (little-endian 16-bit samples, 0 to out_max), before.png and after.png (demosaiced,
display gamma 2.2, the same exposure for both), tone_curves.png (block histograms, the tone curves
the call applied, the LUTs) and preset.json (the parameters of the run, usable with --params);
with --dng also tonemapped.dng. CAPTURE is read as the calibrations read captures (--format,
--stride, --header, --shift; a .dng carries its own size), or as a .npy array.
"""
import argparse
import json
import os
import time

import numpy as np

from tuning.cli import capture_format, tonemap_capture
from tuning.cli.errors import CalibrationFailed, ToolError

DEFAULT_OUT = "tonemap"
DEFAULT_BITS = 12
DNG_FILE = "tonemapped.dng"
MAX_PORT = 65535
OUTPUT_FILES = ("tonemapped.raw", "before.png", "after.png", "tone_curves.png", "preset.json")


def add_parser(sub) -> None:
    parser = sub.add_parser("tonemap", help="tone-map a capture, or tune the tone mapping on a live page",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("capture", metavar="CAPTURE", nargs="?", help="the capture: raw samples, or a .npy array")
    parser.add_argument("--params", metavar="PRESET.json",
                        help="a JSON object of parameters; those left out keep their defaults")
    parser.add_argument("--list-params", action="store_true",
                        help="list every parameter with its range, unit and default, and stop")
    parser.add_argument("-o", "--out", default=DEFAULT_OUT, metavar="OUT",
                        help="output folder; with --serve, where presets are saved (default: %(default)s)")
    size = parser.add_argument_group("capture layout")
    size.add_argument("--width", type=int, help="frame width (a .npy gives its own)")
    size.add_argument("--height", type=int, help="frame height (a .npy gives its own)")
    size.add_argument("--bits", type=int, default=DEFAULT_BITS,
                      help="significant bits per sample, scaled into the 20-bit input (default: %(default)s)")
    capture_format.add_flags(size)
    parser.add_argument("--dng", action="store_true",
                        help="also write the mapped frame as tonemapped.dng (bits of out_max, RGGB)")
    serve = parser.add_argument_group("live page")
    serve.add_argument("--serve", action="store_true", help="serve the tuning page on 127.0.0.1 until Ctrl-C")
    serve.add_argument("--port", type=int, default=0, help="port to listen on (default: any free port)")
    parser.set_defaults(command=run)


def input_frame(capture: np.ndarray, bits: int, path: str) -> np.ndarray:
    """The capture scaled into the 20-bit input."""
    from tonewright.python.params import VALUE_BITS

    if not 1 <= bits <= VALUE_BITS:
        raise ToolError(f"--bits: expected 1 to {VALUE_BITS}, found {bits}")
    top = int(capture.max(initial=0))
    if top >> bits:
        raise ToolError(f"capture {path} holds samples up to {top}, above the {bits}-bit range of --bits "
                        f"(0 to {(1 << bits) - 1})")
    return capture.astype(np.int32) << (VALUE_BITS - bits)


def load_params(path, width: int, height: int):
    from tonewright.python import PresetError, defaults, load_preset

    if not path:
        return defaults(width, height)
    try:
        return load_preset(path)
    except PresetError as error:
        raise ToolError(str(error)) from None


def mapper():
    """The binding's library, or a ToolError that says how to get it."""
    from tonewright.python import default_library

    try:
        return default_library()
    except OSError as error:
        raise ToolError(str(error)) from None


def map_frame(library, frame: np.ndarray, params) -> np.ndarray:
    from tonewright.python import ToneMapError

    try:
        return library.tone_map(frame, params)
    except ToneMapError as error:
        raise CalibrationFailed(f"the tone-mapping library refused the call: {error.reason}") from None


def write_outputs(out_dir: str, frame: np.ndarray, mapped: np.ndarray, params, dng: bool = False) -> list:
    import cv2

    from tonewright.python import preset_json
    from tuning import atomic_write
    from tuning.cli import tonemap_preview as preview
    from tuning.cli.figures import tonemap as tonemap_figures

    display = preview.display_for(params)
    before = display.picture(preview.linear_rescale(frame, params.out_max))
    after = display.picture(mapped)
    stats = preview.block_statistics(frame, mapped, preview.block_size(params.block_size_code), params.out_max)
    contents = {
        "tonemapped.raw": mapped.astype("<u2").tobytes(),
        "before.png": cv2.imencode(".png", before)[1].tobytes(),
        "after.png": cv2.imencode(".png", after)[1].tobytes(),
        "tone_curves.png": tonemap_figures.curve_figure(stats, params),
        "preset.json": preset_json(params).encode("utf-8"),
    }
    written = []
    for name in OUTPUT_FILES:
        path = os.path.join(out_dir, name)
        atomic_write.write_bytes_atomically(path, contents[name])
        written.append(path)
    if dng:
        path = os.path.join(out_dir, DNG_FILE)
        tonemap_capture.write_dng(path, mapped, max(1, int(params.out_max).bit_length()))
        written.append(path)
    return written


def _steps():
    """Prints each step on standard error when that is a terminal: a large capture takes seconds."""
    from tuning.cli import progress

    if not progress.wanted("auto"):
        return lambda text: None
    import sys

    return lambda text: (sys.stderr.write(f"tonemap: {text} ...\n"), sys.stderr.flush())


def parameter_table() -> str:
    from tonewright.python import params as P

    rows = [["parameter", "range", "unit", "default", "meaning"]]
    for s in P.PARAMETERS:
        span = ("true/false" if s.kind is bool else f"{int(s.low)} to {int(s.high)}" if s.kind is int
                else f"{s.low:g} to {s.high:g}")
        default = "spans the frame" if s.name in P.mesh_steps(2, 2) else json.dumps(s.default)
        rows.append([s.name, span, s.unit, default, s.doc])
    rows.append(["mesh_values", f"{P.MESH_GAINS} x 0 to 65535", "1/4096", "4096 each",
                 "shading mesh gains, 4 planes of 13 x 17"])
    for name in P.LUT_NAMES:
        rows.append([name, "knots, seg_end, seg_shift", "", "a named curve", "segmented LUT descriptor"])
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def make_output_folder(path: str) -> None:
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise ToolError(f"cannot create the output folder {path}: {error.strerror}") from None


def require_binding() -> None:
    """The tone-mapping library's binding ships beside the package; an installation without it is named."""
    import importlib.util

    try:
        found = importlib.util.find_spec("tonewright.python") is not None
    except ImportError:
        found = False
    if not found:
        raise ToolError("tonemap needs the tone-mapping library's binding (the package tonewright.python, installed "
                        "beside tuning with the tone-mapping library), which this installation lacks")


def run(args) -> int:
    if args.list_params:
        require_binding()
        print(parameter_table())
        return 0
    if not args.capture:
        raise ToolError("no capture: give CAPTURE (raw samples in any --format, a DNG or a .npy array)")
    if args.serve and not 0 <= args.port <= MAX_PORT:
        raise ToolError(f"--port: expected a port from 0 (any free one) to {MAX_PORT}, found {args.port}")
    require_binding()
    capture = tonemap_capture.read_capture(args.capture, args.width, args.height, capture_format.from_args(args))
    height, width = capture.shape
    frame = input_frame(capture, args.bits, args.capture)
    params = load_params(args.params, width, height)
    library = mapper()
    if params.out_max > 0xFFFF:
        raise ToolError(f"out_max: expected at most 65535 for 16-bit output, found {params.out_max}")
    if args.serve:
        from tuning.cli import tonemap_server

        make_output_folder(args.out)
        return tonemap_server.serve(args.capture, frame, params, library, args.out, args.port)
    step = _steps()
    step(f"mapping {width} x {height}")
    started = time.monotonic()
    mapped = map_frame(library, frame, params)  # a refused call leaves no output folder behind
    print(f"{args.capture}: {width} x {height}, {args.bits} bits, mapped in "
          f"{(time.monotonic() - started) * 1000:.0f} ms ({library.path})")
    make_output_folder(args.out)
    step("writing the frame, the previews and the figure")
    try:
        written = write_outputs(args.out, frame, mapped, params, dng=args.dng)
    except OSError as error:
        raise CalibrationFailed(f"cannot write into {args.out}: {error.strerror}") from None
    print(f"wrote {', '.join(os.path.basename(p) for p in written)} into {args.out}")
    return 0
