"""The checked-in type stubs are what scripts/gen-stubs writes from the library's records, for every module the
module list declares and this build carries; and the generator writes records and routines as the runtime has them."""
import difflib
import enum
import importlib.machinery
import importlib.util
import pathlib
import re
import types
import typing

import pydantic
import pytest

from tuning.cli import library

ROOT = pathlib.Path(__file__).resolve().parents[3]
MODULE_LIST = ROOT / "tuning" / "tunekit" / "module_list.h"


def load_generator():
    path = str(ROOT / "scripts" / "gen-stubs")
    loader = importlib.machinery.SourceFileLoader("gen_stubs", path)
    spec = importlib.util.spec_from_loader("gen_stubs", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


gen = load_generator()


def listed_modules():
    """Full dotted names of the module list's lines."""
    names = re.findall(r'X\(\w+, "([\w.]+)"', MODULE_LIST.read_text())
    assert names, f"no module lines found in {MODULE_LIST}"
    return names


def test_every_listed_module_the_build_carries_has_the_generated_stub():
    carried = dict(gen.carried_modules())
    listed = [name for name in listed_modules() if library.module(name) is not None]
    assert "tuning.blc.blc" in listed
    assert set(listed) <= set(carried), "the library's module list lags module_list.h: rebuild"
    stale = {name: (path, old, new) for name, path, old, new in gen.differing()}
    for name in listed:
        if name not in stale:
            continue
        path, old, new = stale[name]
        assert old is not None, f"{path} is missing: run scripts/gen-stubs to write it"
        diff = "".join(difflib.unified_diff(old.splitlines(True), new.splitlines(True), path, "scripts/gen-stubs"))
        pytest.fail(f"{path} differs from what scripts/gen-stubs writes: run scripts/gen-stubs\n{diff}")


def test_the_black_level_stub_gives_the_runtime_defaults():
    text = (ROOT / "tuning" / "blc" / "blc.pyi").read_text()
    assert "    sbl: List[Union[int, float]] = [0.0, 0.0, 0.0, 0.0]  #" in text
    assert "    sbl: Dict[str, Dict[str, Tuple[float, float, float, float]]] = {}" in text


# A module as a new calibration's binding would declare it, built here from the same pieces the library uses.
class Level(str, enum.Enum):
    LOW = "low"
    HIGH = "high"


def sample_module(common):
    module = types.ModuleType("tuning.sample.sample", "Sample calibration: one record of each kind of field.")
    number = typing.Union[pydantic.StrictInt, float]
    Level.__module__ = module.__name__
    module.Level = Level
    module.SampleParam = pydantic.create_model(
        "SampleParam", __base__=common.TuningParam, __module__=module.__name__,
        module=(str, pydantic.Field("sample", description="calibration module short name")),
        levels=(typing.List[number],
                pydantic.Field(default_factory=lambda: [0.0] * 4, description="per cell (raw DN)")),
        gain=(typing.Optional[float], pydantic.Field(None, description="times")),
        mode=(common.SensorMode, pydantic.Field(common.SensorMode.HCG, description="")),
        step=(pydantic.conint(ge=0), pydantic.Field(2, description="x" * 130)),
        table=(dict, pydantic.Field(default_factory=dict, description="gain -> level", stub_type="Dict[str, float]")),
        level=(Level, pydantic.Field(Level.HIGH, description="which end")),
        note=(typing.Any, pydantic.Field(None, description="anything")))
    module.SampleParam.__doc__ = "Sample parameters."
    module.capture_file_size = common.capture_file_size  # a routine with the library's signature line
    module.read_raw_u16 = common.read_raw_u16
    return module


@pytest.fixture(scope="module")
def common():
    module = library.module("tuning.common")
    assert module is not None
    return module


def test_a_new_module_is_written_from_its_records_and_routines(common):
    names = {n for n in vars(common) if not n.startswith("_")}
    text = gen.stub_text(sample_module(common), None, names)
    lines = text.splitlines()
    expected = [
        '"""Sample calibration: one record of each kind of field."""',
        "from tuning.common import SensorMode, TuningParam",
        "import numpy.typing as npt",
        "class Level(str, Enum):",
        '    HIGH = "high"',
        "    def __new__(cls, value: str) -> Level: ...",
        "class SampleParam(TuningParam):",
        '    module: str = "sample"  # calibration module short name',
        "    levels: List[Union[int, float]] = [0.0, 0.0, 0.0, 0.0]  # per cell (raw DN)",
        "    gain: Optional[float] = None  # times",
        "    mode: SensorMode = SensorMode.HCG",
        "    table: Dict[str, float] = {}  # gain -> level",
        "    level: Level = Level.HIGH  # which end",
        "    note: Any = None  # anything",
        "def capture_file_size(width: int, height: int, *, capture_format: Any = ...) -> int:",
        "def read_raw_u16(path: str) -> npt.NDArray[Any]:",
    ]
    assert [line for line in expected if line not in lines] == []
    # A description too long for the field's line goes above it.
    assert lines[lines.index("    step: int = 2") - 1].startswith("    # xxx")
    compile(text, "sample.pyi", "exec")


def test_the_hand_written_part_is_kept_and_routines_it_lacks_are_added(common):
    module = sample_module(common)
    first = gen.stub_text(module, None, set(vars(common)))
    kept = "_Size = int\n\ndef capture_file_size(width: int, height: int) -> _Size: ...  # narrowed by hand"
    existing = first.split(gen.ROUTINES_LINE)[0] + gen.ROUTINES_LINE + "\n" + kept + "\n"
    again = gen.stub_text(module, existing, set(vars(common)))
    tail = again.split(gen.ROUTINES_LINE + "\n")[1]
    assert tail.startswith(kept + "\n")
    assert tail.count("def capture_file_size") == 1
    assert "def read_raw_u16(path: str)" in tail
    assert gen.stub_text(module, again, set(vars(common))) == again  # a second run changes nothing


def test_refusals_name_the_stub_or_the_field(common):
    module = sample_module(common)
    twice = gen.ROUTINES_LINE + "\nclass SampleParam: ...\n"
    with pytest.raises(gen.StubError, match=r"sample\.pyi: SampleParam written by hand"):
        gen.stub_text(module, twice, set())
    with pytest.raises(gen.StubError, match="does not parse"):
        gen.stub_text(module, gen.ROUTINES_LINE + "\ndef broken(:\n", set())
    module.Odd = pydantic.create_model("Odd", __module__=module.__name__, when=(typing.Callable[[], int], None))
    with pytest.raises(gen.StubError, match=r"tuning\.sample\.sample\.Odd\.when: cannot write annotation"):
        gen.stub_text(module, None, set())


def test_a_tree_without_stubs_has_every_carried_module_missing(tmp_path):
    missing = gen.differing(tmp_path)
    assert {name for name, _, old, _ in missing if old is None} == {name for name, _ in gen.carried_modules()}
