"""Which sample layout the captures of a folder are in, told from their sizes and first bytes.

A DNG starts like a TIFF file; every other layout has a fixed size for a
frame size: width x height samples of 8, 10, 12, 14 or 16 bits, rows packed
tight or padded to a stride (the same size for every row). The 16-bit
layouts (little-endian, big-endian, data in the top bits) share one size and
cannot be told apart by it; a header cannot be told from the size either.
"""
import dataclasses
from typing import Dict, List, Optional

from tuning.cli import captures, library


@dataclasses.dataclass
class Guess:
    flags: str  # the --format (and --stride) to give, "" when nothing fits
    text: str  # one line saying what fits and why


def common():
    return library.module("tuning.common")


def fixed_size_layouts() -> List[str]:
    """The layouts whose captures have a size fixed by the frame size, tightest first."""
    common_ = common()
    sizes = {}
    for layout in common_.SampleLayout:
        try:
            # 8 x 2 samples fill whole bytes in every packed layout.
            sizes[str(layout.value)] = common_.capture_file_size(
                8, 2, capture_format=common_.CaptureFormat(layout=layout))
        except ValueError:  # dng: no fixed size
            continue
    return sorted(sizes, key=lambda name: (sizes[name], name))


def file_size(layout: str, width: int, height: int, stride: int = 0) -> Optional[int]:
    common_ = common()
    try:
        return common_.capture_file_size(width, height, capture_format=common_.CaptureFormat(layout=layout,
                                                                                             stride=stride))
    except ValueError:  # this frame width cannot be packed in the layout, or the stride is too small
        return None


def guess_size(size: int, width: int, height: int) -> Guess:
    """What a capture of size bytes holding width x height samples is in: rows packed tight first,
    then the padded rows that waste the fewest bytes; the other readings that fit are named too."""
    layouts = fixed_size_layouts()
    tight = [layout for layout in layouts if file_size(layout, width, height) == size]
    padded = []
    if height and size % height == 0:
        stride = size // height
        padded = sorted((stride - file_size(layout, width, 1), layout) for layout in layouts
                        if file_size(layout, width, 1) is not None and file_size(layout, width, 1) < stride
                        and file_size(layout, width, height, stride) == size)
    if tight or padded:
        if tight:
            layout = tight[0]
            flags, text = f"--format {layout}", f"{width} x {height} {layout} samples with rows packed tight"
        else:
            (padding, layout), stride = padded[0], size // height
            flags = f"--format {layout} --stride {stride}"
            text = f"{height} rows of {stride} bytes: {width} {layout} samples and {padding} bytes of padding each"
        others = [f"{', '.join(t for t in tight if t != layout)} (packed tight)"] if len(tight) > 1 else []
        rest = [name for _, name in padded if name != layout]
        if rest:
            others.append(f"{', '.join(rest)} with --stride {size // height}")
        also = f" (also fits {'; '.join(others)}: check the values)" if others else ""
        return Guess(flags, f"{size} bytes, {text}{also}")
    tight = ", ".join(f"{layout} {file_size(layout, width, height)}" for layout in layouts
                      if file_size(layout, width, height) is not None)
    return Guess("", f"{size} bytes fit no layout of {width} x {height} (packed tight: {tight} bytes; "
                     f"nor equal padded rows; a header is not told from the size: give --header)")


def guess(files: List[captures.CaptureFile], width: Optional[int], height: Optional[int]) -> List[str]:
    """Lines naming the layout of the captures, most common first, each with the flags to give.
    Without a frame size only DNG can be told."""
    groups: Dict[str, List[captures.CaptureFile]] = {}
    texts: Dict[str, str] = {}
    for f in files:
        if f.not_regular or not f.readable:
            continue
        if captures.starts_like_tiff(f.path):
            key, texts["dng"] = "--format dng", "TIFF files (DNG)"
        elif not width:
            key, texts["unsized"] = "unsized", "no TIFF files: give --width and --height to have their layout named"
        else:
            g = guess_size(f.size_bytes, width, height)
            key = g.flags or f"none:{f.size_bytes}"
            texts[key] = g.text
        groups.setdefault(key, []).append(f)
    lines = []
    for key, group in sorted(groups.items(), key=lambda kv: (-len(kv[1]), kv[0])):
        text = texts["dng"] if key == "--format dng" else texts[key]
        count = f"{len(group)} of {len(files)} captures" if len(group) != len(files) else f"{len(group)} captures"
        if key == "unsized":
            lines.append(f"{count}: {text}")
        elif key.startswith("none:"):
            lines.append(f"{count}: {text}: {group[0].name}" + (" ..." if len(group) > 1 else ""))
        else:
            lines.append(f"{count}: {text}: give {key}")
    return lines
