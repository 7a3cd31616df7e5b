"""tunekit inspect DIR: what a capture folder holds, before anyone waits for a long run.

Without --format, and with the frame size, it also names the layout the
captures are in (by their sizes and the TIFF mark of a DNG) and the flags
to calibrate them with.
"""
from typing import Dict, List

from tuning.cli import capture_format, captures, checks
from tuning.cli.errors import ToolError


def add_parser(sub) -> None:
    parser = sub.add_parser("inspect", help="list the captures of a folder per condition and check their sizes",
                            description=__doc__)
    parser.add_argument("folder", metavar="DIR")
    parser.add_argument("--width", type=int, help="frame width to check the captures against")
    parser.add_argument("--height", type=int, help="frame height to check the captures against")
    parser.add_argument("--config", metavar="FILE",
                        help="take width, height and the capture format from a config file")
    group = parser.add_argument_group("capture format (without one, inspect names the layout the sizes fit)")
    capture_format.add_flags(group)
    parser.set_defaults(command=run)


def read_config(path) -> dict:
    if not path:
        return {}
    from tuning import regular_files
    from tuning.cli import parameters

    try:
        data = parameters.parse_json(regular_files.read_text(path))
    except OSError as error:
        raise ToolError(f"cannot read config file {path}: {error.strerror}") from None
    except ValueError as error:
        raise ToolError(f"cannot read config file {path}: {error}") from None
    if not isinstance(data, dict):
        raise ToolError(f"config file {path}: expected a JSON object of field names, found {type(data).__name__}")
    return data


def frame_size(args, data) -> (int, int):
    from tuning.cli import input_files

    from_config = input_files.frame_size_of_config(args.config, data) if args.config else (None, None)
    width = args.width if args.width is not None else from_config[0]
    height = args.height if args.height is not None else from_config[1]
    if (width is None) != (height is None):
        raise ToolError("give both --width and --height, or neither")
    return width, height


def given_format(args, data):
    """The capture format of the flags or the config file; None when neither gives one."""
    keys = capture_format.keys()
    if not any(hasattr(args, k) for k in keys) and not any(k in data for k in keys):
        return None
    return capture_format.from_args(args, {k: data[k] for k in keys if k in data})


def dng_problem(path: str, width: int, height: int):
    """What keeps a DNG from being read as a width x height capture (its tags, its size), or None.
    The whole file is read: inspect is where a set is checked before a long run."""
    try:
        _, info = capture_format.common().read_dng(path)
    except (ValueError, OSError) as error:
        text = str(error)
        return text[len(path) + 2:] if text.startswith(path + ": ") else text
    if (info.width, info.height) != (width, height):
        return f"is a {info.width} x {info.height} DNG, expected {width} x {height}"
    return None


def size_text(files: List[captures.CaptureFile], in_bytes: bool = False) -> str:
    counts: Dict[int, int] = {}
    for f in files:
        size = f.size_bytes if in_bytes else f.samples
        counts[size] = counts.get(size, 0) + 1
    unit = "bytes" if in_bytes else "samples"
    if len(counts) == 1:
        return f"{next(iter(counts))} {unit} each"
    return "mixed: " + ", ".join(f"{n} x {s}" for s, n in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])))


def table(rows: List[List[str]]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def run(args) -> int:
    problem = captures.folder_problem(args.folder)
    if problem:
        raise ToolError(problem)
    data = read_config(args.config)
    width, height = frame_size(args, data)
    fmt = given_format(args, data)
    dng = capture_format.common().CaptureFormat(layout="dng")

    def format_of(f):
        # A .dng capture is a DNG whatever the format given for the .raw ones.
        return dng if f.extension == captures.extension_for("dng") else fmt

    dng_problems = {}

    def problem(f):
        found = f.problem(width or 0, height or 0, None, format_of(f))
        if found is None and format_of(f) is dng and width:
            if f.path not in dng_problems:
                dng_problems[f.path] = dng_problem(f.path, width, height)
            found = dng_problems[f.path]
        return found

    scanned = captures.scan(args.folder)
    expected = f" against {width} x {height} = {width * height} samples" if width else ""
    if fmt is not None:
        expected += f" as {capture_format.describe(fmt)}"
    print(f"{args.folder}: {len(scanned.captures)} captures{expected}")
    wrong = []
    in_bytes = not capture_format.is_default(fmt) or any(format_of(f) is dng for f in scanned.captures)
    if scanned.captures:
        rows = [["kind", "mode", "gain", "exposure", "captures", "file size" if in_bytes else "sample count",
                 "status"]]
        key = lambda k: (k[0], k[1], captures.number_sort_key(k[2]), captures.number_sort_key(k[3]))  # noqa: E731
        for (kind, mode, gain, exposure), group in sorted(scanned.by_condition().items(), key=lambda kv: key(kv[0])):
            bad = [f for f in group if width and problem(f)]
            unreadable = [f for f in group if not f.readable]
            wrong += bad or unreadable
            status = "size unchecked" if not width else (f"{len(bad)} wrong" if bad else "ok")
            if unreadable and not width:
                status = f"{len(unreadable)} unreadable"
            rows.append([kind, mode, gain, exposure, str(len(group)), size_text(group, in_bytes), status])
        print(table(rows))
    if fmt is None and scanned.captures:
        from tuning.cli import layout_guess

        print("\nlayout (from the sizes and the TIFF mark; give the flags to calibrate):")
        for line in layout_guess.guess(scanned.captures, width, height):
            print(f"  {line}")
    for extension in captures.capture_extensions():
        misnamed = [f for f in scanned.misnamed if f.extension == extension]
        if misnamed:
            print(f"\n{len(misnamed)} {extension} files follow no capture name convention "
                  f"({captures.NAME_CONVENTION}{extension}); no calibration reads them:")
            for f in misnamed:
                print(f"  {f.name}")
            if extension == captures.extension_for("dng"):
                print(f"  (convert names them from their tags: tunekit convert {args.folder} OUT --kind KIND)")
    if wrong:
        print(f"\n{len(wrong)} captures cannot be used as {width} x {height} frames:" if width else
              f"\n{len(wrong)} captures cannot be read:")
        for f in wrong:
            print(f"  {f.name}: {problem(f)}")
        if any(capture_format.is_default(format_of(f)) and f.readable and f.samples > (width or 0) * (height or 0)
               for f in wrong):
            print("  (blc and bpc read the first width x height samples of a longer capture; the others reject it)")
    if scanned.others:
        print(f"\n{len(scanned.others)} other files (not captures): {checks.listing(scanned.others)}")
    return 1 if wrong else 0

