"""tunekit export --to FORMAT RESULTS_DIR -o OUT: a calibration run's results into a file another tool reads.

Formats:
  dng              a capture of the run (or --capture FILE) as a DNG with BlackLevel, WhiteLevel,
                   NoiseProfile (S, O per R, G, B) and the static bad pixels as a FixBadPixelsList opcode
  dng-tags         the same tags as a listing: JSON when OUT ends in .json, else text
  android          C source of the noise model S = A g + B, O = C g^2 + D per R, Gr, Gb, B (g: ISO) and the
                   black level pattern
  rkisp1           libcamera rkisp1 tuning YAML with BlackLevelCorrection (16-bit scale)
  rpi              Raspberry Pi tuning JSON (version 2.0) with rpi.black_level and rpi.noise
  darktable        darktable noise profiles (needs --maker and --model), one profile per gain
  firmware-header  C header with the black levels, the packed bad pixel table and the dark shading tables

Black levels come from black_level.json, bad pixels from static_bad_pixels.json, the dark shading tables
from dark_shading.json, and the noise (conversion gain, temporal read noise) from characterization.json;
the run's settings (bits, CFA) from its tunekit-config.json. Formats of one gain take --gain, else the
lowest calibrated gain. Nothing is written when a result the format needs is missing or malformed.
"""
import argparse
import os

from tuning import regular_files
from tuning.cli.errors import ToolError

FORMATS = ("dng", "dng-tags", "android", "rkisp1", "rpi", "darktable", "firmware-header")
WITH_BASE = ("rkisp1", "rpi")


def add_parser(sub) -> None:
    parser = sub.add_parser("export", help="write a run's results as DNG tags, tuning files or C sources",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", metavar="RESULTS_DIR", help="the folder a calibration run wrote its results into")
    parser.add_argument("--to", required=True, choices=FORMATS, metavar="FORMAT",
                        help=f"the format to write: {', '.join(FORMATS)}")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="the file to write")
    parser.add_argument("--gain", type=float, metavar="G",
                        help="analog gain of the one-gain formats (default: the lowest calibrated gain)")
    parser.add_argument("--maker", default="", help="camera maker (darktable, android comment)")
    parser.add_argument("--model", default="", help="camera model (darktable, android comment)")
    parser.add_argument("--base", metavar="FILE",
                        help="tuning file to merge into (rkisp1: YAML, rpi: JSON); its other algorithms are kept")
    parser.add_argument("--capture", metavar="FILE",
                        help="capture to write as the DNG (default: one of the run's at the gain, lit if any)")
    parser.set_defaults(command=run)


def check_flags(args) -> None:
    if args.base is not None and args.to not in WITH_BASE:
        raise ToolError(f"--base: only {' and '.join(WITH_BASE)} merge into a base file, not {args.to}")
    if args.capture is not None and args.to != "dng":
        raise ToolError(f"--capture: only the dng export writes a capture, not {args.to}")
    if args.gain is not None and not args.gain > 0:
        raise ToolError(f"--gain: expected a positive analog gain, found {args.gain:g}")
    for flag, path in (("--base", args.base), ("--capture", args.capture)):
        if path is not None and not os.path.isfile(path):
            found = regular_files.file_kind(os.stat(path).st_mode) if os.path.exists(path) else "no such file"
            raise ToolError(f"{flag} {path}: expected a regular file, found {found}")
    if os.path.isdir(args.output):
        raise ToolError(f"-o {args.output}: is a folder; give the file to write")


def export(args) -> str:
    from tuning.export import android, darktable, dng_tags, firmware_header, rkisp1, rpi
    from tuning.export.results import Results

    results = Results(args.results)
    out = args.output
    writers = {
        "dng": lambda: dng_tags.write_dng(results, args.gain, out, args.capture),
        "dng-tags": lambda: dng_tags.write_listing(results, args.gain, out),
        "android": lambda: android.write(results, args.gain, out, args.maker, args.model),
        "rkisp1": lambda: rkisp1.write(results, args.gain, out, args.base),
        "rpi": lambda: rpi.write(results, args.gain, out, args.base),
        "darktable": lambda: darktable.write(results, out, args.maker, args.model),
        "firmware-header": lambda: firmware_header.write(results, out),
    }
    return writers[args.to]()


def run(args) -> int:
    from tuning.export.results import ExportError

    check_flags(args)
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        raise ToolError(f"-o {args.output}: the folder {folder} does not exist")
    try:
        print(export(args))
    except ExportError as error:
        raise ToolError(f"export --to {args.to}: {error}") from None
    except OSError as error:
        raise ToolError(f"export --to {args.to}: cannot write {error.filename or args.output}: "
                        f"{error.strerror or error}") from None
    return 0
