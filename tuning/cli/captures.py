"""What a capture folder holds: captures by condition, their sizes, and the files that fit no name."""
import dataclasses
import os
import re
from typing import Dict, List, Optional

SAMPLE_BYTES = 2

# <prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>.raw
CAPTURE_NAME = re.compile(r"(?P<prefix>.*)_(?P<kind>[A-Za-z]+)_(?P<mode>LCG|HCG)_exp_(?P<exposure>[^_]+)"
                          r"_again_(?P<gain>[^_]+)_(?P<suffix>.*)\.raw")


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
    unreadable: str = ""  # why the entry cannot be opened (a link that leads nowhere or in a loop)

    @property
    def samples(self) -> int:
        return self.size_bytes // SAMPLE_BYTES

    def problem(self, width: int, height: int, shape_rule: Optional[str] = None) -> Optional[str]:
        """Why this capture cannot be shaped into height x width, or None.

        With shape_rule "truncating" a longer capture is fine (the extra samples are ignored)."""
        if not self.readable:
            return f"cannot be read ({self.unreadable})" if self.unreadable else "cannot be read"
        expected = width * height
        if self.size_bytes % SAMPLE_BYTES:
            return f"holds {self.size_bytes} bytes, not a whole number of 16-bit samples"
        if self.samples == expected or (shape_rule == "truncating" and self.samples > expected):
            return None
        return f"holds {self.samples} samples, expected {expected} ({width} x {height})"


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


def scan(folder: str) -> CaptureFolder:
    """Lists the folder once (no sample is read): names, sizes, and whether each file can be opened."""
    captures, misnamed, others = [], [], []
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.name.startswith("."):
                continue
            is_dir, size, unreadable = False, 0, ""
            try:
                is_dir = entry.is_dir()
                if entry.name.endswith(".raw") and not is_dir:
                    size = entry.stat().st_size
            except OSError as error:  # a link that leads nowhere, or round in a loop
                unreadable = error.strerror
            if not entry.name.endswith(".raw"):
                if not is_dir:
                    others.append(entry.name)
                continue
            readable = not is_dir and not unreadable and os.access(entry.path, os.R_OK)
            f = CaptureFile(entry.name, entry.path, size, readable, unreadable=unreadable)
            match = CAPTURE_NAME.fullmatch(entry.name)
            if match:
                f.kind, f.mode, f.exposure, f.gain = match["kind"], match["mode"], match["exposure"], match["gain"]
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
