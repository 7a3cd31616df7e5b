"""The type stubs of the compiled modules agree with the runtime, and give editors typed records."""
import os
import subprocess
import sys

import pytest

from cli_helpers import ROOT
from tuning.cli import library

pytest.importorskip("mypy", reason="Debian's python3-mypy is not installed")

# Module -> a routine it carries once its calibration is built into the library.
MODULES = {
    "tuning.tunekit": "bootstrap_cython_submodules",
    "tuning.common": "read_raw_u16",
    "tuning.blc.blc": "gen_blc_param",
    "tuning.bpc.bpc": "gen_bpc_param",
    "tuning.noise_profile.read_noise": "calibrate_read_noise",
    "tuning.noise_profile.shot_noise": "calibrate_shot_noise",
}
# stubtest imports the modules by name, which works once the library is bootstrapped.
STUBTEST = """
import contextlib, io, sys
import tuning.tunekit
with contextlib.redirect_stdout(io.StringIO()):
    tuning.tunekit.bootstrap_cython_submodules()
from mypy import stubtest
sys.exit(stubtest.test_stubs(stubtest.parse_options(sys.argv[1:])))
"""
MYPY_CONFIG = "[mypy]\nplugins = pydantic.mypy\n[pydantic-mypy]\ninit_typed = True\n"


def env():
    return dict(os.environ, PYTHONPATH=ROOT, MYPYPATH=ROOT, PYTHONDONTWRITEBYTECODE="1")


def built(module):
    runtime = library.module(module)
    return runtime is not None and hasattr(runtime, MODULES[module])


def test_every_compiled_module_has_a_stub():
    for module in MODULES:
        assert os.path.isfile(os.path.join(ROOT, *module.split(".")) + ".pyi"), module


USE = """
from tuning.blc import blc
from tuning.common import CFAType, SensorMode
p = blc.BLCFileParam(inp_file_dir="c", width=64, height=48, bits=12, cfa_type=CFAType.GRGB,
                     sensor_mode=SensorMode.HCG, again_list=[1, 1.5])
r = blc.gen_blc_param(p, blc.BLCTuningParam())
level: float = r.sbl["again_1"]["exp_time_10"][3] + r.fixed_sbl["fixed_sbl"]
wrong_field = blc.BLCFileParam(width="wide")
wrong_use: str = r.fixed_sbl["fixed_sbl"]
"""


@pytest.fixture(scope="module")
def checks(tmp_path_factory):
    """Starts both mypy runs at once: each spends seconds reading the numpy and pydantic stubs."""
    folder = tmp_path_factory.mktemp("stubs")
    (folder / "mypy.ini").write_text(MYPY_CONFIG)
    (folder / "use.py").write_text(USE)
    modules = [m for m in MODULES if built(m)]
    started = {
        "stubtest": subprocess.Popen([sys.executable, "-c", STUBTEST, *modules], cwd=folder, env=env(),
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True),
        "mypy": subprocess.Popen([sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir",
                                  str(folder / "cache"), "use.py"], cwd=folder, env=env(),
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True),
    }
    yield modules, started
    for process in started.values():
        if process.poll() is None:
            process.kill()
            process.wait()


def finished(process):
    out, _ = process.communicate(timeout=240)
    return process.returncode, out


def test_stubs_match_the_runtime(checks):
    modules, started = checks
    assert "tuning.blc.blc" in modules
    code, out = finished(started["stubtest"])
    assert code == 0, out


def test_editors_see_field_and_result_types(checks):
    code, out = finished(checks[1]["mypy"])
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert len(errors) == 2, out
    assert 'use.py:8: error: Argument "width" to "BLCFileParam" has incompatible type "str"; expected "int"' \
        in errors[0]
    assert "use.py:9: error: Incompatible types in assignment (expression has type \"float\"" in errors[1]


def stub_records(module):
    """Record name -> [(field, default literal or None)] as the stub declares them, base fields first."""
    import ast

    path = os.path.join(ROOT, *module.split(".")) + ".pyi"
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    own = {}
    bases = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            fields = []
            for item in node.body:
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    literal = item.value.value if isinstance(item.value, ast.Constant) else None
                    fields.append((item.target.id, literal))
            own[node.name] = fields
            bases[node.name] = [b.id if isinstance(b, ast.Name) else b.attr for b in node.bases]
    common = stub_records("tuning.common") if module != "tuning.common" else {}

    def resolved(name):
        if name in common:
            return common[name]
        if name not in own:
            return []
        inherited = [f for b in bases[name] for f in resolved(b)]
        names = [n for n, _ in own[name]]
        # A field declared again (module) keeps its place and takes the new default.
        merged = [(n, dict(own[name])[n]) if n in names else (n, d) for n, d in inherited]
        return merged + [f for f in own[name] if f[0] not in dict(inherited)]

    return {name: resolved(name) for name in own if own[name] or bases[name] != ["Enum"]}


def test_stub_records_list_the_runtime_fields_in_order_with_their_defaults():
    for module in MODULES:
        if not built(module) or module == "tuning.tunekit":
            continue
        runtime = library.module(module)
        for name, fields in stub_records(module).items():
            cls = getattr(runtime, name)
            if not hasattr(cls, "__fields__"):
                continue
            assert [n for n, _ in fields] == list(cls.__fields__), f"{module}.{name}"
            for field, literal in fields:
                default = cls.__fields__[field].default
                if literal is not None and literal is not Ellipsis:
                    assert literal == default, f"{module}.{name}.{field}: stub {literal!r}, runtime {default!r}"
