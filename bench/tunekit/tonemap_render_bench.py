"""What a change on the tonemap page costs over the bare model call, on a 1920 x 1080 preview.

    PYTHONPATH=. /usr/bin/python3 bench/tunekit/tonemap_render_bench.py

Best of several interleaved rounds, so a busy moment hits every figure alike:

- bare call: tone_map() of the binding on the preview;
- render: the page's work in the same process (the call, the after picture coded, demosaiced,
  scaled and JPEG-encoded, histograms, tone curve), and its ratio to the bare call;
- HTTP: a render request to `tunekit tonemap --serve` on loopback, answer parsed (what the page
  waits for, short of decoding the picture), and its ratio to the bare call.

Prints figures; never fails.
"""
import contextlib
import io
import os
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, "tests", "tunekit", "cli"))

import tuning.tunekit  # noqa: E402

with contextlib.redirect_stdout(io.StringIO()):
    tuning.tunekit.bootstrap_cython_submodules()

import httpx  # noqa: E402
from tonemap_helpers import scene, served  # noqa: E402

from tonewright.python import default_library, defaults  # noqa: E402
from tuning.cli import tonemap_server  # noqa: E402

WIDTH, HEIGHT, ROUNDS = 1920, 1080, 7


def best(*fns):
    for fn in fns:
        fn()
    times = [[] for _ in fns]
    for k in range(ROUNDS):
        for fn, spent in zip(fns, times):
            started = time.perf_counter()
            fn(k)
            spent.append(time.perf_counter() - started)
    return [min(t) * 1000 for t in times]


def main():
    cap = scene(WIDTH, HEIGHT)
    frame = cap.astype(np.int32) << 8
    params = defaults(WIDTH, HEIGHT)
    library = default_library()
    bench = tonemap_server.Workbench("bench", frame, params, library, tempfile.gettempdir())
    strengths = [params.copy(update={"tm_strength": s}) for s in range(16, 16 - ROUNDS - 1, -1)]
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "cap.npy"), cap)
        with served(os.path.join(folder, "cap.npy"), folder) as (address, _, _lines):
            with httpx.Client(base_url=address, timeout=30) as http:
                def request(k=0):
                    body = {"params": strengths[k % len(strengths)].dict()}
                    http.post("/api/render", json=body).json()

                bare, render, over_http = best(lambda k=0: library.tone_map(frame, strengths[k % len(strengths)]),
                                               lambda k=0: bench.render(strengths[k % len(strengths)]),
                                               request)
    print(f"tonemap page, {WIDTH} x {HEIGHT} preview, best of {ROUNDS}:")
    print(f"  bare call  {bare:7.1f} ms")
    print(f"  render     {render:7.1f} ms  ({render / bare:.2f} x the bare call)")
    print(f"  HTTP       {over_http:7.1f} ms  ({over_http / bare:.2f} x the bare call; goal: change to picture "
          "under 150 ms)")


if __name__ == "__main__":
    main()
