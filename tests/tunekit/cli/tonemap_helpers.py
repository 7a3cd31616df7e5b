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
    lines, errors = queue.Queue(), []
    # Both pipes are drained all along: a full pipe would stall the server.
    threading.Thread(target=lambda: [lines.put(line) for line in proc.stdout], daemon=True).start()
    threading.Thread(target=lambda: errors.extend(proc.stderr), daemon=True).start()
    try:
        try:
            first = lines.get(timeout=START_SECONDS)
        except queue.Empty:
            raise AssertionError(f"the server printed no address within {START_SECONDS} s: "
                                 f"{''.join(errors)}") from None
        assert first.startswith("serving "), first + "".join(errors)
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


def scene(width=1920, height=1080, seed=7):
    """A colour scene as an RGGB 12-bit capture: a dim room with coloured patches, a bright window
    with a sky gradient and a lamp; some 12 stops from the darkest patch to the lamp."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width] / float(height)
    rgb = np.empty((height, width, 3))
    rgb[...] = (0.012 + 0.006 * np.sin(x * 40) * np.sin(y * 30))[..., None] * np.array([1.0, 0.9, 0.7])
    for k, colour in enumerate(([0.9, 0.15, 0.1], [0.1, 0.7, 0.2], [0.15, 0.25, 0.9], [0.8, 0.7, 0.1])):
        top, left = int(height * 0.62), int(width * (0.08 + 0.11 * k))
        rgb[top:top + height // 5, left:left + width // 12] = np.array(colour) * 0.03
    wy, wx = slice(int(height * 0.12), int(height * 0.5)), slice(int(width * 0.55), int(width * 0.9))
    rgb[wy, wx] = (0.35 + 0.4 * (1 - y[wy, wx] * 2))[..., None] * np.array([0.55, 0.75, 1.0])
    rgb[wy, wx] *= (1 + 0.25 * (np.sin(x[wy, wx] * 120) > 0.95))[..., None]
    lamp = (x - 0.25) ** 2 + (y - 0.3) ** 2 < 0.004
    rgb[lamp] = [1.0, 0.95, 0.8]
    mosaic = np.empty((height, width))
    mosaic[0::2, 0::2] = rgb[0::2, 0::2, 0]
    mosaic[0::2, 1::2] = rgb[0::2, 1::2, 1]
    mosaic[1::2, 0::2] = rgb[1::2, 0::2, 1]
    mosaic[1::2, 1::2] = rgb[1::2, 1::2, 2]
    samples = mosaic * 4000 + 16 + rng.normal(0, 1.5, mosaic.shape)
    return np.clip(samples, 0, (1 << BITS) - 1).astype(np.uint16)
