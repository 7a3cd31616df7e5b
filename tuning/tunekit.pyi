# Type stubs of tuning.tunekit (compiled), written by scripts/gen-stubs from the library's records;
# edit only the part below the routines line.
"""Bootstrap of the tuning package: makes its calibration modules importable."""

from importlib.abc import MetaPathFinder
from importlib.machinery import ModuleSpec
from types import ModuleType
from typing import List, Optional, Sequence, Tuple

# Below, written by hand (the library's routines take and return host objects); scripts/gen-stubs keeps it.
class CythonPackageMetaPathFinder(MetaPathFinder):
    """Finds the calibration modules carried by this library."""

    name_filters: List[str]
    def __init__(self, name_filters: List[str]) -> None: ...
    # The import system always passes target; the library's finder requires it.
    def find_spec(  # type: ignore[override]
        self, fullname: str, path: Optional[Sequence[str]], target: Optional[ModuleType]
    ) -> Optional[ModuleSpec]: ...

# The library's modules: (short name, full dotted name, one-line doc, what its main calibrates or None).
MODULES: Tuple[Tuple[str, str, str, Optional[str]], ...]

def bootstrap_cython_submodules() -> None:
    """Installs the import finder for the calibration modules (once) and prints the library path."""
