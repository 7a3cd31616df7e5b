"""The live tuning page of `tunekit tonemap --serve`: a loopback-only HTTP server over one capture.

Each render request maps a preview of the capture (the capture itself up to PREVIEW_MAX, else a
binned copy that keeps the Bayer pattern) and answers with the after picture, the luminance
histograms and the tone curve. Requests that arrive while a render runs wait; when one is due, only
the newest is rendered and the older ones are answered as superseded, so a fast drag never queues
stale work.
"""
import base64
import math
import os
import socket
import threading
import time
from typing import Any, Dict, Optional

import numpy as np

from tuning.cli import tonemap_preview as preview

HOST = "127.0.0.1"
PREVIEW_MAX = (1920, 1080)
JPEG_QUALITY = 90
PICTURE_WIDTH = 960  # columns of the pictures sent to the page: each fills half of it
PAGE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tonemap_page.html")
PRESET_FILE = "preset.json"
MAX_BODY = 1 << 20  # a full record with its LUTs is some 30 kB


def preview_frame(frame: np.ndarray):
    """The frame binned by a whole factor until it fits PREVIEW_MAX (each 2x2 cell of the result is
    the mean of factor x factor cells), and the factor."""
    height, width = frame.shape
    factor = max(1, math.ceil(max(width / PREVIEW_MAX[0], height / PREVIEW_MAX[1])))
    if factor == 1:
        return frame, 1
    rows, cols = height // (2 * factor), width // (2 * factor)
    cells = frame[:rows * 2 * factor, :cols * 2 * factor].reshape(rows, factor, 2, cols, factor, 2)
    binned = cells.mean(axis=(1, 4), dtype=np.float64).round().astype(np.int32)
    return np.ascontiguousarray(binned.reshape(rows * 2, cols * 2)), factor


def preview_params(params, factor: int):
    """The record for the binned preview: the mesh moves `factor` times as far per cell."""
    if factor == 1:
        return params
    return params.copy(update={"mesh_step_x": params.mesh_step_x * factor,
                               "mesh_step_y": params.mesh_step_y * factor})


def jpeg_data_url(picture: np.ndarray) -> str:
    import cv2

    ok, data = cv2.imencode(".jpg", picture, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY])
    return "data:image/jpeg;base64," + base64.b64encode(data.tobytes()).decode("ascii")


class Workbench:
    """The capture, its preview, the library, and the last rendered result."""

    def __init__(self, capture_path: str, frame: np.ndarray, params, library, out_dir: str):
        self.capture_path = capture_path
        self.frame = frame
        self.preview, self.factor = preview_frame(frame)
        self.start_params = params
        self.library = library
        self.preset_path = os.path.join(out_dir, PRESET_FILE)
        self._cells_in = preview.cell_means(self.preview)
        self._bins = preview.decade_bins(self._cells_in)
        self._display: Optional[preview.Display] = None
        self._before: Dict[tuple, Any] = {}
        self._render_lock = threading.Lock()
        self._ticket_lock = threading.Lock()
        self._newest = 0
        self.last_output: Optional[np.ndarray] = None

    def state(self) -> Dict[str, Any]:
        from tonewright.python import defaults, params as P

        h, w = self.frame.shape
        ph, pw = self.preview.shape
        schema = [{"name": s.name, "kind": s.kind.__name__, "low": s.low, "high": s.high, "unit": s.unit,
                   "doc": s.doc} for s in P.PARAMETERS]
        return {"schema": schema, "params": self.start_params.dict(), "defaults": defaults(w, h).dict(),
                "capture": {"path": self.capture_path, "width": w, "height": h, "preview_width": pw,
                            "preview_height": ph, "binning": self.factor},
                "preset_path": self.preset_path}

    def _ticket(self) -> int:
        with self._ticket_lock:
            self._newest += 1
            return self._newest

    def _before_picture(self, display: preview.Display) -> Dict[str, Any]:
        if display.key not in self._before:
            picture = display.picture(preview.linear_rescale(self.preview, display.key[0]), PICTURE_WIDTH)
            self._before = {display.key: {"picture": jpeg_data_url(picture),
                                          "histogram": preview.luminance_histogram(picture)}}
        return self._before[display.key]

    def render(self, params) -> Dict[str, Any]:
        """The newest request's result, or {"superseded": True} when a newer one came in meanwhile.
        Raises the binding's ToneMapError when the library refuses the parameters."""
        ticket = self._ticket()
        with self._render_lock:
            if ticket != self._newest:
                return {"superseded": True}
            started = time.perf_counter()
            mapped = self.library.tone_map(self.preview, preview_params(params, self.factor))
            model_ms = (time.perf_counter() - started) * 1000
            display = preview.display_for(params)
            before = self._before_picture(display)
            after = display.picture(mapped, PICTURE_WIDTH)
            curve = preview.tone_curve(self._bins, preview.cell_means(mapped), params.out_max)
            self.last_output = mapped
            return {"superseded": False, "before": before["picture"], "after": jpeg_data_url(after),
                    "histogram_before": before["histogram"], "histogram_after": preview.luminance_histogram(after),
                    "curve": curve, "curve_levels": preview.curve_levels(), "model_ms": round(model_ms, 1),
                    "server_ms": round((time.perf_counter() - started) * 1000, 1)}


def build_app(bench: Workbench):
    import pydantic
    from fastapi import FastAPI, Request
    from fastapi.exceptions import RequestValidationError
    from fastapi.responses import HTMLResponse, JSONResponse, Response
    from starlette.middleware.trustedhost import TrustedHostMiddleware

    from tonewright.python import PresetError, ToneMapError, preset_json
    from tonewright.python.presets import parse_preset
    from tuning import atomic_write

    class RenderRequest(pydantic.BaseModel):
        params: Dict[str, Any]
        seq: int = 0

        class Config:
            extra = "forbid"

    class PresetRequest(pydantic.BaseModel):
        params: Dict[str, Any]

        class Config:
            extra = "forbid"

    app = FastAPI(docs_url=None, redoc_url=None, openapi_url=None)
    # Only names of this machine: a page elsewhere that points a name of its own at 127.0.0.1 is refused.
    app.add_middleware(TrustedHostMiddleware, allowed_hosts=[HOST, "localhost"])
    page = open(PAGE_FILE, encoding="utf-8").read()

    def error(status: int, message: str, **extra) -> JSONResponse:
        return JSONResponse({"error": message, **extra}, status_code=status)

    @app.exception_handler(RequestValidationError)
    async def malformed(request: Request, exc: RequestValidationError):
        problems = "; ".join(
            f"not JSON ({e['msg']})" if e["type"] == "value_error.jsondecode" else
            f"{'.'.join(str(x) for x in e['loc'] if x != 'body') or 'body'}: {e['msg']}" for e in exc.errors())
        return error(400, f"request body: expected JSON of the form {{\"params\": {{...}}}}; {problems}")

    @app.middleware("http")
    async def limit_body(request: Request, call_next):
        length = request.headers.get("content-length")
        if length and (not length.isdigit() or int(length) > MAX_BODY):
            return error(413, f"request body: expected at most {MAX_BODY} bytes, found {length}")
        return await call_next(request)

    def record(params: Dict[str, Any]):
        return parse_preset(params, "params")

    @app.get("/", response_class=HTMLResponse)
    def index():
        return HTMLResponse(page, headers={"Cache-Control": "no-store"})

    @app.get("/api/state")
    def state():
        return bench.state()

    @app.post("/api/render")
    def render(body: RenderRequest):
        try:
            result = bench.render(record(body.params))
        except PresetError as e:
            return error(422, str(e))
        except ToneMapError as e:
            return error(422, f"the library refused these parameters: {e.reason}", refused=True)
        result["seq"] = body.seq
        # Straight to JSON: the answer is plain already, and FastAPI's encoder would walk every value.
        return JSONResponse(result)

    @app.post("/api/preset")
    def save(body: PresetRequest):
        try:
            p = record(body.params)
        except PresetError as e:
            return error(422, str(e))
        try:
            atomic_write.write_bytes_atomically(bench.preset_path, preset_json(p).encode("utf-8"))
        except OSError as e:
            return error(500, f"cannot write the preset {bench.preset_path}: {e.strerror}")
        return {"path": bench.preset_path}

    @app.get("/api/output.raw")
    def output():
        if bench.last_output is None:
            return error(404, "no frame rendered yet")
        h, w = bench.last_output.shape
        return Response(bench.last_output.astype("<u2").tobytes(), media_type="application/octet-stream",
                        headers={"X-Frame-Width": str(w), "X-Frame-Height": str(h)})

    return app


def serve(capture_path: str, frame: np.ndarray, params, library, out_dir: str, port: int) -> int:
    import uvicorn

    from tuning.cli.errors import ToolError

    app = build_app(Workbench(capture_path, frame, params, library, out_dir))
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((HOST, port))
        # Listening before the address is printed: a client that connects at once waits in the
        # backlog until the server takes it, instead of being refused.
        sock.listen(64)
    except OSError as error:
        sock.close()
        raise ToolError(f"--port {port}: cannot listen on {HOST}: {error.strerror}") from None
    address = f"http://{HOST}:{sock.getsockname()[1]}/"
    print(f"serving {capture_path} on {address} (presets go to {os.path.join(out_dir, PRESET_FILE)}; "
          "Ctrl-C stops)", flush=True)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off"))
    server.run(sockets=[sock])
    print("stopped", flush=True)
    return 0
