"""The live page's server: its routes, refusals that keep it running, the newest request winning, Ctrl-C."""
import socket
import threading
import time

import httpx
import numpy as np

from tonemap_helpers import BITS, capture, served
from tonewright.python import defaults, load_preset, tone_map
from tuning.cli import tonemap_server
from tuning.cli.main import main


def test_the_server_answers_its_routes_refuses_bad_requests_and_keeps_running(tmp_path):
    cap = capture(320, 240)
    np.save(tmp_path / "cap.npy", cap)
    with served(tmp_path / "cap.npy", tmp_path / "out") as (address, proc, lines):
        assert address.startswith("http://127.0.0.1:")
        with httpx.Client(base_url=address, timeout=20) as http:
            state = http.get("/api/state").json()
            assert state["capture"]["width"] == 320 and state["params"] == defaults(320, 240).dict()
            assert "<title>tunekit tonemap</title>" in http.get("/").text

            def render(body, **kw):
                return http.post("/api/render", json=body, **kw) if body is not None else http.post(
                    "/api/render", **kw)

            ok = render({"params": {"tm_strength": 8}, "seq": 3})
            assert ok.status_code == 200 and ok.json()["seq"] == 3
            assert ok.json()["after"].startswith("data:image/jpeg;base64,") and len(ok.json()["curve"]) > 50
            refusals = [
                (render(None, content=b'{"params": ', headers={"Content-Type": "application/json"}), 400,
                 "request body: expected JSON of the form"),
                (render({"params": {}, "extra": 1}), 400, "extra: extra fields not permitted"),
                (render({"parms": {}}), 400, "params: field required"),
                (render({"params": {"strength": 3}}), 422, "params: strength: unknown parameter"),
                (render({"params": {"tm_strength": 99}}), 422, "tm_strength: expected at most 16, found 99"),
                (render({"params": {"out_max": 20000}}), 422,
                 "the library refused these parameters: out_max: expected at most 16383 in local mode"),
                (http.post("/api/preset", json={"params": {"global_blend": 2}}), 422,
                 "global_blend: expected at most 1.0, found 2"),
            ]
            for response, status, message in refusals:
                assert response.status_code == status and message in response.json()["error"], response.text
            # A body announced too large is refused before it is read.
            host, port = address[len("http://"):].rstrip("/").split(":")
            with socket.create_connection((host, int(port)), timeout=20) as raw:
                raw.sendall(f"POST /api/render HTTP/1.1\r\nHost: {host}\r\nContent-Type: application/json\r\n"
                            "Content-Length: 5000000\r\n\r\n".encode("ascii"))
                answer = b""
                while b"bytes" not in answer:
                    chunk = raw.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
                answer = answer.decode("ascii", "replace")
            assert answer.startswith("HTTP/1.1 413") and "expected at most 1048576 bytes" in answer, answer
            assert http.get("/api/nothing").status_code == 404
            assert http.get("/api/render").status_code == 405
            assert http.get("/api/state", headers={"Host": "elsewhere.example"}).status_code == 400

            # Still running: a preset saved now maps the capture as the page showed it.
            wanted = {"tm_strength": 11, "clip_limit": 2.5, "global_blend": 0.4}
            assert render({"params": wanted}).status_code == 200
            saved = http.post("/api/preset", json={"params": wanted}).json()["path"]
            frame = np.frombuffer(http.get("/api/output.raw").content, "<u2").reshape(cap.shape)
        preset = load_preset(saved)
        assert preset.tm_strength == 11 and preset.clip_limit == 2.5
        assert np.array_equal(frame, tone_map(cap.astype(np.int32) << (20 - BITS), preset))

        proc.send_signal(2)  # Ctrl-C
        assert proc.wait(timeout=15) == 0
        assert lines.get(timeout=5).strip() == "stopped"


class HeldLibrary:
    """Holds its first call until released, so that later requests pile up behind it."""

    def __init__(self):
        self.inside, self.release, self.calls = threading.Event(), threading.Event(), []

    def tone_map(self, frame, params):
        self.calls.append(params.tm_strength)
        self.inside.set()
        self.release.wait(10)
        return np.zeros_like(frame)


def test_only_the_newest_waiting_request_is_rendered():
    frame = capture(128, 128).astype(np.int32) << 8
    library = HeldLibrary()
    bench = tonemap_server.Workbench("cap", frame, defaults(128, 128), library, "/tmp")
    results = {}

    def request(strength):
        p = defaults(128, 128)
        p.tm_strength = strength
        results[strength] = bench.render(p)

    threads = [threading.Thread(target=request, args=(1,))]
    threads[0].start()
    assert library.inside.wait(10)
    for strength in (2, 3):
        threads.append(threading.Thread(target=request, args=(strength,)))
        threads[-1].start()
        deadline = time.monotonic() + 10
        while bench._newest < strength and time.monotonic() < deadline:
            time.sleep(0.01)
    library.release.set()
    for t in threads:
        t.join(10)
    assert library.calls == [1, 3]
    assert results[2] == {"superseded": True}
    assert not results[1]["superseded"] and not results[3]["superseded"]


def test_a_large_capture_is_binned_into_the_preview_keeping_its_bayer_pattern():
    frame = np.tile(np.array([[100, 200], [300, 400]], np.int32), (1300, 2100))  # 4200 x 2600
    small, factor = tonemap_server.preview_frame(frame)
    assert factor == 3 and small.shape == (866, 1400)
    assert np.array_equal(small[:2, :2], [[100, 200], [300, 400]]) and np.array_equal(small, np.tile(
        small[:2, :2], (433, 700)))
    p = tonemap_server.preview_params(defaults(4200, 2600), factor)
    assert p.mesh_step_x == 3 * defaults(4200, 2600).mesh_step_x


def test_a_port_in_use_is_named(tmp_path, capsys):
    np.save(tmp_path / "cap.npy", capture(128, 128))
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        assert main(["tonemap", str(tmp_path / "cap.npy"), "--serve", "--port", str(port), "-o", str(tmp_path)]) == 2
    assert f"--port {port}: cannot listen on 127.0.0.1: Address already in use" in capsys.readouterr().err


def test_the_printed_address_takes_connections_before_the_server_starts(tmp_path, capsys, monkeypatch):
    import uvicorn

    reached = []

    def run(self, sockets=None):  # in place of serving: connect as a browser would, at once
        with socket.create_connection(sockets[0].getsockname(), timeout=5):
            reached.append(True)

    monkeypatch.setattr(uvicorn.Server, "run", run)
    frame = capture(128, 128).astype(np.int32) << 8
    assert tonemap_server.serve("cap", frame, defaults(128, 128), None, str(tmp_path), 0) == 0
    assert reached and "serving cap on http://127.0.0.1:" in capsys.readouterr().out
