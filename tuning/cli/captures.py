"""What a capture folder holds: captures by condition, their sizes, and the files that fit no name."""
import dataclasses
import functools
import os
import stat
from typing import Dict, List, Optional

from tuning import regular_files
from tuning.cli import library

SAMPLE_BYTES = 2
# What a capture name looks like, for messages; the rule itself is the library's.
NAME_CONVENTION = "<prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>"
TIFF_MAGIC = (b"II*\0", b"MM\0*")  # little- and big-endian TIFF, which every DNG is


def common():
    return library.module("tuning.common")


@functools.lru_cache(maxsize=None)
def extension_for(layout: str) -> str:
    """The file name ending the library's naming rule gives captures of a layout (.raw, .dng)."""
    lib = common()
    name = lib.capture_name("p", "k", "LCG", 1, 1, "s", capture_format=lib.CaptureFormat(layout=layout))
    return os.path.splitext(name)[1]


def extension_of(capture_format) -> str:
    return extension_for("raw16" if capture_format is None else str(capture_format.layout.value))


def capture_extensions() -> List[str]:
    return sorted({extension_for(str(layout.value)) for layout in common().SampleLayout})


file_kind = regular_files.file_kind  # what a non-regular directory entry is, in a user's words


def starts_like_tiff(path: str) -> bool:
    """Whether a (regular) file begins with the TIFF byte-order mark and magic number."""
    try:
        with open(path, "rb") as f:
            return f.read(4) in TIFF_MAGIC
    except OSError:
        return False


@dataclasses.dataclass
class CaptureFile:
    name: str
    path: str
    size_bytes: int
    readable: bool
    kind: str = ""
    mode: str = ""
    exposure: str = ""
    gain: str = ""
    extension: str = ""
    not_regular: str = ""  # what the entry is when it is no regular file ("a folder", "a FIFO")
    unreadable: str = ""  # why the entry cannot be opened (a link that leads nowhere or in a loop)

    @property
    def samples(self) -> int:
        return self.size_bytes // SAMPLE_BYTES

    def problem(self, width: int, height: int, shape_rule: Optional[str] = None,
                capture_format=None) -> Optional[str]:
        """Why this capture cannot be shaped into height x width, or None.

        With shape_rule "truncating" a longer raw16 capture is fine (the extra samples are ignored);
        every other layout must have exactly the size the library reads."""
        if self.not_regular:
            return f"is {self.not_regular}, not a capture file"
        if not self.readable:
            return f"cannot be read ({self.unreadable})" if self.unreadable else "cannot be read"
        from tuning.cli import capture_format as formats

        if not formats.is_default(capture_format):
            return self.format_problem(width, height, capture_format)
        expected = width * height
        if self.size_bytes % SAMPLE_BYTES:
            return f"holds {self.size_bytes} bytes, not a whole number of 16-bit samples"
        if self.samples == expected or (shape_rule == "truncating" and self.samples > expected):
            return None
        return f"holds {self.samples} samples, expected {expected} ({width} x {height})"

    def format_problem(self, width: int, height: int, capture_format) -> Optional[str]:
        """The size check of a layout other than plain raw16: exactly the library's file size."""
        from tuning.cli import capture_format as formats

        if formats.is_dng(capture_format):
            # A DNG's size depends on its tags; the reader checks those and names the file.
            return None if starts_like_tiff(self.path) else "does not start like a TIFF file (no DNG)"
        try:
            expected = common().capture_file_size(width, height, capture_format=capture_format)
        except ValueError as error:
            return f"cannot be read as {formats.describe(capture_format)}: {error}"
        if self.size_bytes == expected:
            return None
        return (f"holds {self.size_bytes} bytes, expected {expected} ({width} x {height} as "
                f"{formats.describe(capture_format)})")


@dataclasses.dataclass
class CaptureFolder:
    path: str
    captures: List[CaptureFile]  # names that follow the capture convention
    misnamed: List[CaptureFile]  # .raw files whose names follow no convention
    others: List[str]  # names of files that are no raw capture (configs, truth, notes)

    def by_condition(self) -> Dict[tuple, List[CaptureFile]]:
        groups: Dict[tuple, List[CaptureFile]] = {}
        for c in self.captures:
            groups.setdefault((c.kind, c.mode, c.gain, c.exposure), []).append(c)
        return groups


def folder_problem(folder: str) -> Optional[str]:
    """Why folder cannot be scanned for captures, or None."""
    if os.path.isdir(folder):
        try:
            with os.scandir(folder):
                return None
        except OSError as error:
            return f"capture folder {folder}: expected a folder that can be listed, found {error.strerror}"
    return f"capture folder {folder} {'is not a folder' if os.path.exists(folder) else 'does not exist'}"


@functools.lru_cache(maxsize=1 << 16)
def name_parts(name: str) -> Optional[tuple]:
    """(kind, mode, exposure, gain) of a capture name by the library's rule, or None. Cached: a run
    lists its folder several times, and each parse builds a record."""
    # A name the file system gave in another encoding holds surrogate escapes; the rule's own parts
    # are plain text, so the name is parsed with those bytes shown as "?".
    text = name.encode("utf-8", "replace").decode("utf-8") if _has_surrogates(name) else name
    parsed = common().parse_capture_name(text)
    if parsed is None:
        return None
    return tuple(name_field(parsed, k) for k in ("kind", "mode", "exposure", "gain"))


def _has_surrogates(name: str) -> bool:
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def name_field(parsed, field: str) -> str:
    """One part of a parsed capture name as the name writes it (the mode as its tag, LCG or HCG)."""
    value = getattr(parsed, field)
    return getattr(value, "name", value) if value is not None else ""


def scan(folder: str) -> CaptureFolder:
    """Lists the folder once (no sample is read): names, sizes, and whether each file can be opened."""
    captures, misnamed, others = [], [], []
    extensions = tuple(capture_extensions())
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.name.startswith("."):
                continue
            unreadable = ""
            try:
                info = entry.stat()
            except OSError as error:  # a link that leads nowhere, or round in a loop
                info, unreadable = None, error.strerror
            regular = info is not None and stat.S_ISREG(info.st_mode)
            if not entry.name.endswith(extensions):
                if info is not None and not stat.S_ISDIR(info.st_mode):
                    others.append(entry.name)
                continue
            size = info.st_size if regular else 0
            readable = regular and os.access(entry.path, os.R_OK)
            f = CaptureFile(entry.name, entry.path, size, readable, extension=os.path.splitext(entry.name)[1],
                            unreadable=unreadable)
            if info is not None and not regular:
                f.not_regular = file_kind(info.st_mode)
            parts = name_parts(entry.name)
            if parts is not None:
                f.kind, f.mode, f.exposure, f.gain = parts
                captures.append(f)
            else:
                misnamed.append(f)
    captures.sort(key=lambda c: c.name)
    misnamed.sort(key=lambda c: c.name)
    return CaptureFolder(folder, captures, misnamed, sorted(others))


def number_sort_key(text: str):
    try:
        return (0, float(text), text)
    except ValueError:
        return (1, 0.0, text)
