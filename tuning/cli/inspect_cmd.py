"""tunekit inspect DIR: what a capture folder holds, before anyone waits for a long run."""
from typing import Dict, List

from tuning.cli import captures, checks
from tuning.cli.errors import ToolError



def add_parser(sub) -> None:
    parser = sub.add_parser("inspect", help="list the captures of a folder per condition and check their sizes",
                            description=__doc__)
    parser.add_argument("folder", metavar="DIR")
    parser.add_argument("--width", type=int, help="frame width to check the captures against")
    parser.add_argument("--height", type=int, help="frame height to check the captures against")
    parser.add_argument("--config", metavar="FILE", help="take width and height from a config file")
    parser.set_defaults(command=run)


def frame_size(args) -> (int, int):
    width, height = args.width, args.height
    if args.config:
        import json

        try:
            with open(args.config, encoding="utf-8") as f:
                data = json.load(f)
        except (OSError, ValueError) as error:
            raise ToolError(f"cannot read config file {args.config}: {error}") from None
        from tuning.cli import input_files

        from_config = input_files.frame_size_of_config(args.config, data)
        width = width if width is not None else from_config[0]
        height = height if height is not None else from_config[1]
    if (width is None) != (height is None):
        raise ToolError("give both --width and --height, or neither")
    return width, height


def size_text(files: List[captures.CaptureFile]) -> str:
    counts: Dict[int, int] = {}
    for f in files:
        counts[f.samples] = counts.get(f.samples, 0) + 1
    if len(counts) == 1:
        return f"{next(iter(counts))} samples each"
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
    width, height = frame_size(args)
    scanned = captures.scan(args.folder)
    expected = f" against {width} x {height} = {width * height} samples" if width else ""
    print(f"{args.folder}: {len(scanned.captures)} captures{expected}")
    wrong = []
    if scanned.captures:
        rows = [["kind", "mode", "gain", "exposure", "captures", "sample count", "status"]]
        key = lambda k: (k[0], k[1], captures.number_sort_key(k[2]), captures.number_sort_key(k[3]))  # noqa: E731
        for (kind, mode, gain, exposure), group in sorted(scanned.by_condition().items(), key=lambda kv: key(kv[0])):
            bad = [f for f in group if width and f.problem(width, height)]
            unreadable = [f for f in group if not f.readable]
            wrong += bad or unreadable
            status = "size unchecked" if not width else (f"{len(bad)} wrong" if bad else "ok")
            if unreadable and not width:
                status = f"{len(unreadable)} unreadable"
            rows.append([kind, mode, gain, exposure, str(len(group)), size_text(group), status])
        print(table(rows))
    if scanned.misnamed:
        print(f"\n{len(scanned.misnamed)} .raw files follow no capture name convention "
              "(<prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>.raw); no calibration reads them:")
        for f in scanned.misnamed:
            print(f"  {f.name}")
    if wrong:
        print(f"\n{len(wrong)} captures cannot be used as {width} x {height} frames:" if width else
              f"\n{len(wrong)} captures cannot be read:")
        for f in wrong:
            print(f"  {f.name}: {f.problem(width or 0, height or 0)}")
        if any(f.readable and f.samples > (width or 0) * (height or 0) for f in wrong):
            print("  (blc and bpc read the first width x height samples of a longer capture; the others reject it)")
    if scanned.others:
        print(f"\n{len(scanned.others)} other files (not captures): {checks.listing(scanned.others)}")
    return 1 if wrong else 0

