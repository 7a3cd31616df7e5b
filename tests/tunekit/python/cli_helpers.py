"""Shared by the command-line tool tests: small simulated capture sets and running the tool."""
import json
import os
import subprocess
import sys

from tuning import sim

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WIDTH, HEIGHT, BITS = 32, 24, 12
GAINS, EXPOSURES = [1, 2], [10, 20]


def simulate(folder, captures=2, seed=2026, kinds=("dark",), capture_format=None, **fields):
    """A small simulated set: folder/captures/*.raw (or another format) and folder/truth.json; returns the
    capture folder."""
    fields.setdefault("bits", BITS)
    model = sim.SensorModel(width=WIDTH, height=HEIGHT, again_list=list(GAINS), exp_time_list=list(EXPOSURES),
                            seed=seed, **fields)
    capture_dir = os.path.join(folder, "captures")
    for kind in kinds:
        sim.write_captures(model, kind, capture_dir, captures, capture_format)
    model.save_truth(os.path.join(folder, "truth.json"))
    return capture_dir


def tool(*args, cwd=None, timeout=120, env=None):
    """Runs `python3 -m tuning ARGS` as a user would; returns the completed process."""
    environment = dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1", **(env or {}))
    return subprocess.run([sys.executable, "-m", "tuning", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=environment, timeout=timeout)


def size_flags():
    return ["--width", WIDTH, "--height", HEIGHT, "--bits", BITS]


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)
