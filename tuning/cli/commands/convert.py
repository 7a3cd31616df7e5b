"""tunekit convert SRC OUT: captures as engineers have them into a capture set the calibrations read, or back.

--to raw16 (the default): every capture of SRC (a folder or one file: DNG,
or .raw files in the layout of --format) becomes a raw16 capture named by
the convention. Its condition is taken, in this order, from a row of the
--map CSV file (columns file, kind, mode, exposure, gain; an empty cell
falls through), from the source name when it follows the convention, and
from a DNG's metadata: the exposure from ExposureTime in --exposure-unit
(microseconds by default, an integer when whole: 1/100 s is exp_10000), the
gain from the DNG's analog gain, else ISO / --base-iso; the kind from
--kind, the mode from --mode.

--to dng: every raw capture of SRC (named by the convention, or listed in
--map) becomes an uncompressed CFA DNG with the CFA pattern, bits, black
and white levels given, ExposureTime from the name's exposure in
--exposure-unit, the gain as analog gain and ISO.

Every file is written aside and the whole set moved into OUT at the end: a
bad capture stops the conversion with its name and leaves OUT as it was.
"""
import argparse
import csv
import dataclasses
import io
import os
import stat
import sys
import time
from typing import Dict, List, Optional

from tuning import atomic_write, exposure_units, regular_files
from tuning.cli import capture_format, captures, checks, library, parameters, progress
from tuning.cli.errors import ToolError

TARGETS = ("raw16", "dng")
MAP_COLUMNS = ("file", "kind", "mode", "exposure", "gain")
DEFAULT_PREFIX = "conv"
STAGING_PREFIX = ".tunekit-convert-"
CELL_POSITIONS = 4


def add_parser(sub) -> None:
    parser = sub.add_parser("convert", help="DNG or packed raws to a raw16 capture set, or raw16 captures to DNG",
                            description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", metavar="SRC", help="capture folder, or one capture file")
    parser.add_argument("out", metavar="OUT", help="folder receiving the converted captures")
    parser.add_argument("--to", choices=TARGETS, default="raw16", help="what to write (default: %(default)s)")
    parser.add_argument("--width", type=int, help="frame width of the raw sources (DNG carry their own)")
    parser.add_argument("--height", type=int, help="frame height of the raw sources")
    parser.add_argument("--config", metavar="FILE",
                        help="take width, height and the layout of the raw sources from a config file (flags win)")
    naming = parser.add_argument_group("naming (conditions of sources whose names follow no convention)")
    naming.add_argument("--map", metavar="CSV", help="CSV file with columns " + ", ".join(MAP_COLUMNS)
                        + " naming the condition of each source file")
    naming.add_argument("--kind", help="capture kind of every source (dark, light, noise, ...)")
    naming.add_argument("--mode", default="LCG", help="conversion gain mode, LCG or HCG (default: %(default)s)")
    naming.add_argument("--prefix", help=f"name prefix (default: the source's own, else {DEFAULT_PREFIX})")
    naming.add_argument("--exposure-unit", choices=sorted(exposure_units.SECONDS_PER_UNIT),
                        default=exposure_units.DEFAULT_UNIT,
                        help="unit of the exposure number in names, against ExposureTime in seconds "
                             "(default: %(default)s)")
    naming.add_argument("--base-iso", type=float, default=exposure_units.BASE_ISO,
                        help="ISO speed of analog gain 1, for DNG without an analog gain (default: %(default)s)")
    dng = parser.add_argument_group("DNG written with --to dng")
    dng.add_argument("--cfa-type", default="RGGB", help="colour filter layout (default: %(default)s)")
    dng.add_argument("--bits", type=int, help="significant bits per sample (needed)")
    dng.add_argument("--black-level", nargs="+", metavar="N",
                     help="black level, one value or one per cell position (raw DN; default: 0)")
    dng.add_argument("--white-level", type=int, help="white level (raw DN; default: 2^bits - 1)")
    source = parser.add_argument_group("layout of the raw sources (default: raw16; DNG are told by their mark)")
    capture_format.add_flags(source)
    parser.add_argument("--overwrite", action="store_true", help="replace captures of the same name in OUT")
    parser.add_argument("--progress", choices=("auto", "always", "never"), default="auto",
                        help="a line per converted file on standard error (auto: when it is a terminal)")
    parser.set_defaults(command=run)


@dataclasses.dataclass
class Source:
    path: str
    name: str
    is_dng: bool
    condition: Dict[str, str]  # kind, mode, exposure, gain (text; empty: still unknown)
    prefix: str
    suffix: str


def common():
    return library.module("tuning.common")


def read_map(path: Optional[str]) -> Dict[str, Dict[str, str]]:
    """File name -> condition cells of the CSV file (an empty cell: take it from elsewhere)."""
    if not path:
        return {}
    try:
        rows = list(csv.DictReader(io.StringIO(regular_files.read_text(path), newline="")))
    except OSError as error:
        raise ToolError(f"cannot read the map {path}: {error.strerror}") from None
    except (csv.Error, UnicodeDecodeError) as error:
        raise ToolError(f"map {path} is not a CSV file: {error}") from None
    if not rows:
        raise ToolError(f"map {path} has no rows (expected a header {','.join(MAP_COLUMNS)} and a row per file)")
    columns = [c.strip() for c in (rows[0].keys() if rows else [])]
    missing = [c for c in ("file", "kind") if c not in columns]
    unknown = [c for c in columns if c not in MAP_COLUMNS]
    if missing or unknown:
        raise ToolError(f"map {path}: expected the columns {', '.join(MAP_COLUMNS)} (file and kind needed), "
                        f"found {', '.join(columns)}")
    mapped = {}
    for number, row in enumerate(rows, 2):
        cells = {k.strip(): (v or "").strip() for k, v in row.items() if k is not None}
        name = cells.pop("file")
        if not name:
            raise ToolError(f"map {path} line {number}: no file name")
        if name in mapped:
            raise ToolError(f"map {path} line {number}: {name} is listed twice")
        for key in ("exposure", "gain"):
            if cells.get(key):
                try:
                    value = parameters.parse_number(cells[key])
                except argparse.ArgumentTypeError as error:
                    raise ToolError(f"map {path} line {number}: {key}: {error}") from None
                if not (value > 0 if key == "gain" else value >= 0):
                    raise ToolError(f"map {path} line {number}: {key}: expected a number "
                                    f"{'above 0' if key == 'gain' else 'of 0 or more'}, found {cells[key]!r}")
        mapped[name] = cells
    return mapped


def check_mode(mode: str, where: str) -> str:
    names = [m.name for m in common().SensorMode]
    upper = mode.upper()
    if upper not in names:
        raise ToolError(f"{where}: mode expected one of {', '.join(names)}, found {mode!r}")
    return upper


def list_sources(source: str, mapped: Dict[str, Dict[str, str]]) -> (List[str], List[str]):
    """The capture files of SRC (names with a capture ending, files of the map, or SRC itself) and the
    names of the other files, which are left alone."""
    if not os.path.isdir(source):
        if not os.path.lexists(source):
            raise ToolError(f"source {source} does not exist")
        return [source], []
    extensions = tuple(captures.capture_extensions())
    listed = sorted(n for n in os.listdir(source) if not n.startswith("."))
    names = [n for n in listed if n.endswith(extensions) or n in mapped]
    others = [n for n in listed if n not in names and not os.path.isdir(os.path.join(source, n))]
    absent = sorted(set(mapped) - set(names))
    if absent:
        raise ToolError(f"the map names files that are not in {source}: {', '.join(absent[:4])}"
                        + (f" and {len(absent) - 4} more" if len(absent) > 4 else ""))
    if not names:
        raise ToolError(f"no capture in {source} (expected files ending in {' or '.join(extensions)}, "
                        f"or files listed in --map)")
    return [os.path.join(source, n) for n in names], others


def describe_source(path: str, mapped: Dict[str, Dict[str, str]], args) -> Source:
    name = os.path.basename(path)
    try:
        info = os.stat(path)
    except OSError as error:
        raise ToolError(f"cannot read {path}: {error.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise ToolError(f"{path} is {captures.file_kind(info.st_mode)}, not a capture file")
    condition = {k: "" for k in MAP_COLUMNS[1:]}
    stem = os.path.splitext(name)[0]
    prefix, suffix = DEFAULT_PREFIX, stem
    parsed = common().parse_capture_name(name)
    if parsed is not None:
        condition = {k: captures.name_field(parsed, k) for k in condition}
        prefix, suffix = captures.name_field(parsed, "prefix"), captures.name_field(parsed, "suffix")
    for key, value in mapped.get(name, {}).items():
        if value:
            condition[key] = value
    if not condition["kind"] and args.kind:
        condition["kind"] = args.kind
    if not condition["mode"]:
        condition["mode"] = args.mode
    condition["mode"] = check_mode(condition["mode"], f"{path}")
    is_dng = captures.starts_like_tiff(path)
    if not is_dng and name.endswith(captures.extension_for("dng")):
        raise ToolError(f"{path} does not start like a TIFF file (no DNG)")
    return Source(path, name, is_dng, condition, args.prefix or prefix, suffix)


def fill_from_dng(src: Source, info, args) -> None:
    """Exposure and gain a DNG's tags give, where neither the map nor the name did."""
    if not src.condition["exposure"]:
        if info.exposure_time is None:
            raise ToolError(f"{src.path} has no ExposureTime tag and its name no exposure: give it in --map")
        src.condition["exposure"] = str(exposure_units.exposure_in_unit(info.exposure_time, args.exposure_unit))
    if not src.condition["gain"]:
        gain = exposure_units.gain_of(info.analog_gain, info.iso, args.base_iso)
        if gain is None:
            raise ToolError(f"{src.path} has neither an analog gain nor an ISOSpeedRatings tag and its name "
                            f"no gain: give it in --map")
        src.condition["gain"] = str(gain)


def output_name(src: Source, target_format) -> str:
    c = src.condition
    missing = [k for k in ("kind", "exposure", "gain") if not c[k]]
    if missing:
        raise ToolError(f"{src.path}: no {' or '.join(missing)} for its name: the name follows no capture "
                        f"convention; give --kind, or a row in --map")
    # The numbers' text is kept as given: 10.0 and 1e-3 name other files than 10 and 0.001.
    name = common().capture_name(src.prefix, c["kind"], c["mode"], c["exposure"], c["gain"], src.suffix,
                                 capture_format=target_format)
    # A name the calibrations would read as another condition (a kind with a digit or "_", a "/" in the
    # prefix) is refused rather than written.
    back = captures.name_parts(name) if os.sep not in name else None
    wanted = (c["kind"], c["mode"], c["exposure"], c["gain"])
    if back != wanted:
        read = "no capture name" if back is None else "kind {}, mode {}, exposure {}, gain {}".format(*back)
        raise ToolError(f"{src.path}: kind {c['kind']!r}, mode {c['mode']}, exposure {c['exposure']!r}, gain "
                        f"{c['gain']!r} with prefix {src.prefix!r} make the name {name!r}, which reads back as "
                        f"{read}")
    return name


def condition_number(src: Source, key: str) -> float:
    try:
        return float(parameters.parse_number(src.condition[key]))
    except argparse.ArgumentTypeError as error:
        raise ToolError(f"{src.path}: {key} of the name: {error}") from None


def dng_levels(args):
    """(bits, black levels per cell position, white level) of --to dng, checked."""
    if not args.bits or not 1 <= args.bits <= 16:
        raise ToolError(f"--to dng needs --bits (1 to 16), found {args.bits}")
    try:
        black = parameters.parse_numbers(args.black_level or ["0"])
    except argparse.ArgumentTypeError as error:
        raise ToolError(f"--black-level: {error}") from None
    if len(black) == 1:
        black = black * CELL_POSITIONS
    if len(black) != CELL_POSITIONS:
        raise ToolError(f"--black-level: expected 1 or {CELL_POSITIONS} values, found {len(black)}")
    if min(black) < 0:
        raise ToolError(f"--black-level: expected levels of 0 or more (raw DN), found {min(black):g}")
    white = args.white_level if args.white_level is not None else 2 ** args.bits - 1
    if not max(black) < white < 2 ** args.bits:  # a DNG's levels are samples of its bits
        raise ToolError(f"--white-level: expected above the black level and at most 2^bits - 1 = "
                        f"{2 ** args.bits - 1} (--bits {args.bits}), found {white}")
    try:
        cfa = parameters.parse_enum(common().CFAType, args.cfa_type)
    except argparse.ArgumentTypeError as error:
        raise ToolError(f"--cfa-type: {error}") from None
    return cfa, args.bits, [float(b) for b in black], int(white)


def read_source(src: Source, args, raw_format):
    """The frame of a source (raw DN) and its DNG info (None for a raw capture)."""
    lib = common()
    try:
        if src.is_dng:
            return lib.read_dng(src.path)
        if not args.width or not args.height:
            raise ToolError(f"{src.path} is a raw capture: give --width and --height")
        return lib.read_capture(src.path, args.width, args.height, capture_format=raw_format), None
    except ValueError as error:
        raise ToolError(str(error)) from None
    except OSError as error:
        raise ToolError(f"cannot read {src.path}: {error.strerror or error}") from None


def run(args) -> int:
    from tuning.cli.commands.inspect import read_config

    lib = common()
    out = args.out
    from tuning.cli import input_files

    config = read_config(args.config)
    # Checked as inspect checks them: a width of "64" or 64.5 is refused with the key named.
    from_config = input_files.frame_size_of_config(args.config, config) if args.config else (None, None)
    for key, value in zip(("width", "height"), from_config):
        if getattr(args, key) is None:
            setattr(args, key, value)
    if not 0 < args.base_iso < float("inf"):
        raise ToolError(f"--base-iso: expected a finite ISO speed above 0, found {args.base_iso:g}")
    check_mode(args.mode, "--mode")
    mapped = read_map(args.map)
    raw_format = capture_format.from_args(args, {k: config[k] for k in capture_format.keys() if k in config})
    if capture_format.is_dng(raw_format):
        raw_format = None  # DNG sources are told by their mark; --format dng adds nothing
    target = lib.CaptureFormat(layout=args.to)
    levels = dng_levels(args) if args.to == "dng" else None
    paths, others = list_sources(args.source, mapped)
    sources = [describe_source(p, mapped, args) for p in paths]
    if os.path.lexists(out) and not os.path.isdir(out):
        raise ToolError(f"output folder {out} is not a folder")
    show = progress.wanted(args.progress)
    started = time.monotonic()
    written: Dict[str, str] = {}
    infos = {}
    try:
        with atomic_write.staged_folder(out, STAGING_PREFIX) as staging:
            for number, src in enumerate(sources, 1):
                if src.is_dng and args.to == "dng":
                    raise ToolError(f"{src.path} is a DNG already; --to dng converts raw captures")
                frame, info = read_source(src, args, raw_format)
                if info is not None:
                    fill_from_dng(src, info, args)
                    infos.setdefault((info.bits, tuple(info.black_level), info.white_level), src.path)
                name = output_name(src, target)
                if name in written:
                    raise ToolError(f"{src.path} and {written[name]} would both become {name}: "
                                    f"give their conditions apart in --map")
                if not args.overwrite and os.path.lexists(os.path.join(out, name)):
                    raise ToolError(f"{os.path.join(out, name)} exists already (give --overwrite to replace it)")
                written[name] = src.path
                path = os.path.join(staging, name)
                if levels is None:
                    lib.write_capture(path, frame)
                else:
                    cfa, bits, black, white = levels
                    exposure, gain = condition_number(src, "exposure"), condition_number(src, "gain")
                    top = int(frame.max(initial=0))
                    if top >> bits:
                        raise ToolError(f"--bits: expected a sample width that holds the samples of {src.path}, "
                                        f"found {bits} (samples up to {top}, above {(1 << bits) - 1})")
                    lib.write_dng(path, frame, cfa_type=cfa, bits=bits, black_level=black, white_level=white,
                                  exposure_time=exposure_units.seconds(exposure, args.exposure_unit),
                                  iso=gain * args.base_iso, analog_gain=gain)
                if show:
                    sys.stderr.write(f"convert: {number}/{len(sources)} files, {time.monotonic() - started:.1f} s "
                                     f"({src.name} -> {name})\n")
                    sys.stderr.flush()
    except OSError as error:
        raise ToolError(f"cannot write into {out}: {error.strerror or error}") from None
    kinds = sorted({s.condition["kind"] for s in sources})
    print(f"converted {len(written)} captures ({', '.join(kinds)}) to {args.to} in "
          f"{time.monotonic() - started:.1f} s -> {out}")
    if others:
        print(f"left alone {len(others)} files that are no captures (not ending in "
              f"{' or '.join(captures.capture_extensions())}, not in --map): {checks.listing(others)}")
    for (bits, black, white), path in sorted(infos.items()):
        # The container's BitsPerSample may be wider than the sensor's: the white level tells those.
        significant = min(bits, max(1, int(white).bit_length()))
        print(f"the DNG carry {bits}-bit samples, black level {' '.join(f'{b:g}' for b in black)}, white level "
              f"{white} (first: {path}); samples are kept in raw DN: calibrate with -i {out} --bits {significant}")
    return 0
