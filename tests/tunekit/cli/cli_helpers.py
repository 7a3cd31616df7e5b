"""Shared by the command-line tool tests: small simulated capture sets and running the tool."""
import json
import os
import subprocess
import sys

from tuning import sim

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WIDTH, HEIGHT, BITS = 32, 24, 12
GAINS, EXPOSURES = [1, 2], [10, 20]
FIT_GAINS = [1, 2, 4]  # a quadratic of the gain (read noise) needs three
# Whether the tone-mapping binding is beside the package (a sanitized copy of the package runs without it).
TONE_MAPPING = os.path.isdir(os.path.join(ROOT, "tonewright", "python"))
# What `all` needs besides the frame: a hot pixel threshold that does not flag every pixel.
ALL_FLAGS = ["--dark-thr-ratio", 0.4]


def simulate(folder, captures=2, seed=2026, kinds=("dark",), capture_format=None, **fields):
    """A small simulated set: folder/captures/*.raw (or another format) and folder/truth.json; returns the
    capture folder."""
    fields.setdefault("bits", BITS)
    lists = dict(again_list=list(GAINS), exp_time_list=list(EXPOSURES))
    model = sim.SensorModel(width=WIDTH, height=HEIGHT, seed=seed, **dict(lists, **fields))
    capture_dir = os.path.join(folder, "captures")
    for kind in kinds:
        sim.write_captures(model, kind, capture_dir, captures, capture_format)
    model.save_truth(os.path.join(folder, "truth.json"))
    return capture_dir


def tool_environment(**extra):
    """The environment a tool run gets: this one (with any sanitizer preload) and the package path."""
    return dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1", **extra)


def tool(*args, cwd=None, timeout=120, env=None, **options):
    """Runs `python3 -m tuning ARGS` as a user would; returns the completed process. options go to
    subprocess.run (preexec_fn, for example)."""
    environment = tool_environment(**(env or {}))
    return subprocess.run([sys.executable, "-m", "tuning", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=environment, timeout=timeout, **options)


def refusal(run, out=None) -> str:
    """The one error line of a run the tool refused: no traceback, and nothing written into out."""
    assert run.returncode != 0, run.stdout
    assert "Traceback" not in run.stderr, run.stderr
    errors = [line for line in run.stderr.splitlines() if ": note: " not in line and ": warning: " not in line]
    assert len(errors) == 1, run.stderr
    if out is not None:
        assert not os.path.exists(out) or not os.listdir(out), os.listdir(out)
    return errors[0]


def size_flags():
    return ["--width", WIDTH, "--height", HEIGHT, "--bits", BITS]


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)
