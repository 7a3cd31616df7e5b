"""Shared by the tonemap tests: a typical 12-bit capture and the live page's server in a subprocess."""
import contextlib
import os
import queue
import signal
import subprocess
import sys
import threading

import numpy as np

from cli_helpers import ROOT

BITS = 12
START_SECONDS = 30


def capture(width=256, height=192, seed=5):
    """A dark room with a bright window and some noise, 12-bit samples."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    scene = 60 + 150 * (1 + np.sin(x / 11.0) * np.cos(y / 7.0))
    scene[height // 4:height // 2, width // 2:width * 3 // 4] += 2300
    scene += rng.normal(0, 4, scene.shape)
    return np.clip(scene, 0, (1 << BITS) - 1).astype(np.uint16)


@contextlib.contextmanager
def served(capture_path, out_dir, *extra):
    """Runs `tunekit tonemap CAPTURE --serve` on a free loopback port; yields (address, process)."""
    env = dict(os.environ, PYTHONPATH=ROOT, PYTHONDONTWRITEBYTECODE="1", PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-m", "tuning", "tonemap", str(capture_path), "--serve", "--port", "0",
                             "-o", str(out_dir), *map(str, extra)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in proc.stdout], daemon=True).start()
    try:
        try:
            first = lines.get(timeout=START_SECONDS)
        except queue.Empty:
            raise AssertionError(f"the server printed no address within {START_SECONDS} s") from None
        assert first.startswith("serving "), first + proc.stderr.read()
        address = first.split(" on ")[1].split()[0]
        yield address, proc, lines
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        proc.stdout.close()
        proc.stderr.close()
