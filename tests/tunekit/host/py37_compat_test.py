"""The package runs on a Python 3.7 host: its syntax and the standard-library names it uses exist there.

The syntax check parses every module with the 3.7 grammar; the name check looks for the
attributes and annotations that newer hosts added and that a 3.7 host fails on at import
or call time."""
import ast
import pathlib
import textwrap

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parents[3] / "tuning"

# Standard-library names added after 3.7, by module.
NEWER_NAMES = {
    "functools": {"cached_property", "cache", "singledispatchmethod"},
    "typing": {"Literal", "Final", "Protocol", "TypedDict", "Annotated", "ParamSpec", "TypeAlias",
               "Concatenate", "TypeGuard", "runtime_checkable", "get_origin", "get_args", "final"},
    "math": {"prod", "isqrt", "dist", "comb", "perm", "lcm", "nextafter", "ulp"},
    "shlex": {"join"},
    "statistics": {"fmean", "geometric_mean", "multimode", "quantiles", "NormalDist"},
    "itertools": {"pairwise"},
    "os": {"add_dll_directory", "waitstatus_to_exitcode", "pidfd_open"},
    "importlib": {"metadata", "resources"},
    "asyncio": {"to_thread", "timeout", "TaskGroup"},
    "contextlib": {"aclosing", "chdir"},
}
NEWER_MODULES = {"zoneinfo", "graphlib", "importlib.metadata", "tomllib"}
NEWER_METHODS = {"removeprefix", "removesuffix", "bit_count", "is_relative_to", "with_stem", "readlink"}
BUILTIN_GENERICS = {"list", "dict", "tuple", "set", "frozenset", "type"}


def package_modules():
    return sorted(p for p in PACKAGE.rglob("*.py") if "__pycache__" not in p.parts)


def problems(source: str):
    """Every 3.8+ name or construct in source, as 'line: what' texts."""
    try:
        tree = ast.parse(source, feature_version=(3, 7))
    except SyntaxError as e:
        return [f"{e.lineno}: not 3.7 syntax ({e.msg})"]
    future_annotations = any(isinstance(n, ast.ImportFrom) and n.module == "__future__"
                             and any(a.name == "annotations" for a in n.names) for n in tree.body)
    aliases = {}  # local name -> module it stands for
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                aliases[a.asname or a.name.split(".")[0]] = a.name if a.asname else a.name.split(".")[0]
                if a.name in NEWER_MODULES:
                    found.append(f"{node.lineno}: import {a.name}")
        elif isinstance(node, ast.ImportFrom) and node.module:
            if node.module in NEWER_MODULES or node.module.split(".")[0] in NEWER_MODULES:
                found.append(f"{node.lineno}: from {node.module} import")
            for a in node.names:
                if a.name in NEWER_NAMES.get(node.module, ()):
                    found.append(f"{node.lineno}: from {node.module} import {a.name}")
        elif isinstance(node, ast.Attribute):
            if isinstance(node.value, ast.Name):
                module = aliases.get(node.value.id)
                if module and node.attr in NEWER_NAMES.get(module, ()):
                    found.append(f"{node.lineno}: {module}.{node.attr}")
            if node.attr in NEWER_METHODS:
                found.append(f"{node.lineno}: .{node.attr}()")
    if not future_annotations:
        for node in ast.walk(tree):
            for annotation in annotations_of(node):
                for sub in ast.walk(annotation):
                    if (isinstance(sub, ast.Subscript) and isinstance(sub.value, ast.Name)
                            and sub.value.id in BUILTIN_GENERICS):
                        found.append(f"{sub.lineno}: {sub.value.id}[...] in an annotation")
                    if isinstance(sub, ast.BinOp) and isinstance(sub.op, ast.BitOr):
                        found.append(f"{sub.lineno}: X | Y in an annotation")
    return found


def annotations_of(node):
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        args = node.args
        for a in args.args + args.kwonlyargs + [args.vararg, args.kwarg]:
            if a is not None and a.annotation is not None:
                yield a.annotation
        if node.returns is not None:
            yield node.returns
    elif isinstance(node, ast.AnnAssign):
        yield node.annotation


@pytest.mark.parametrize("path", package_modules(), ids=lambda p: str(p.relative_to(PACKAGE)))
def test_module_keeps_to_python_37(path):
    found = problems(path.read_text(encoding="utf-8"))
    assert not found, f"{path} uses what a 3.7 host lacks: " + "; ".join(found)


@pytest.mark.parametrize("snippet", [
    "import functools\nclass A:\n    @functools.cached_property\n    def x(self): return 1\n",
    "from functools import cache\n",
    "import typing as t\nx: t.Literal['a'] = 'a'\n",
    "def f(x: list[int]) -> None: pass\n",
    "def f(x: 'int' | None): pass\n",
    "import zoneinfo\n",
    "'ab'.removeprefix('a')\n",
    "import math\nmath.prod([1, 2])\n",
    "if (n := 3): pass\n",
    "def f(a, /, b): pass\n",
])
def test_check_sees_what_37_lacks(snippet):
    assert problems(textwrap.dedent(snippet))


def test_check_accepts_37_code():
    assert not problems("from typing import List, Optional\nimport functools\n"
                        "def f(x: List[int]) -> Optional[int]:\n    return functools.reduce(max, x)\n")
