"""The HTML report: self-contained, and rendered by headless Chromium with every figure shown."""
import base64
import json
import os
import re
import shutil
import struct
import subprocess

import pytest

from cli_helpers import ALL_FLAGS, FIT_GAINS, simulate, size_flags, tool

from tuning.cli import plugins

CHROMIUM = shutil.which("chromium")
# Figures per calibration on a simulated set whose frame sides are multiples of 8 (dark shading previews).
FIGURES = {"blc": 2, "blc-v2": 2, "dark-shading": 3, "bpc": 2, "read-noise": 2, "shot-noise": 2, "characterize": 4}
EXPECTED = sum(FIGURES[name] for name in plugins.available_calibrations())

# Appended to a copy of the report: counts what the browser actually decoded.
PROBE = """<script>
window.addEventListener("load", () => {
  const images = [...document.images];
  const probe = document.createElement("pre");
  probe.id = "probe";
  probe.textContent = JSON.stringify({
    figures: document.querySelectorAll("figure").length,
    images: images.length,
    decoded: images.filter(i => i.complete && i.naturalWidth > 0).length,
    captions: document.querySelectorAll("figcaption").length,
  });
  document.body.appendChild(probe);
});
</script>"""


def chromium(tmp_path, *args):
    profile = tmp_path / "chromium-profile"
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
               "--disable-component-update", "--disable-sync", "--no-first-run", f"--user-data-dir={profile}",
               *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=90)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    return struct.unpack(">II", head[16:24])


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    captures = simulate(folder, captures=3, kinds=("dark", "noise"), again_list=FIT_GAINS)
    run = tool("all", "-q", "-i", captures, "-o", folder / "out", *size_flags(), *ALL_FLAGS, "--report",
               "--freq-threshold", 3)
    assert run.returncode == 0, run.stderr
    assert f"report: wrote {folder / 'out' / 'report.html'}" in run.stdout
    return folder / "out" / "report.html"


def test_report_embeds_every_figure_and_draws_the_truth(report):
    html = report.read_text()
    sources = re.findall(r'<img [^>]*src="([^"]*)"', html)
    assert len(sources) == html.count("<figure>") == EXPECTED
    for src in sources:
        assert src.startswith("data:image/png;base64,")
        assert base64.b64decode(src.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
    assert not re.search(r'(src|href)="(?!data:)', html), "the report must not load anything from outside"
    assert "Simulated truth from" in html and "simulated truth in brackets" in html
    assert html.count("<td class='ok'>ok</td>") == len(plugins.available_calibrations())


@pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed")
def test_report_renders_in_headless_chromium(report, tmp_path):
    probe = tmp_path / "probe.html"
    probe.write_text(report.read_text().replace("</body>", PROBE + "</body>"))
    run = chromium(tmp_path, "--virtual-time-budget=20000", "--dump-dom", probe.as_uri())
    found = re.search(r'<pre id="probe">(.*?)</pre>', run.stdout)
    assert found, run.stderr[-2000:]
    counts = json.loads(found.group(1).replace("&quot;", '"'))
    assert counts == {"figures": EXPECTED, "images": EXPECTED, "decoded": EXPECTED, "captions": EXPECTED}

    shot = tmp_path / "report.png"
    chromium(tmp_path, f"--screenshot={shot}", "--window-size=1100,1600", report.as_uri())
    assert os.path.getsize(shot) > 20_000  # figures, not a blank page
    assert png_size(shot) == (1100, 1600)


def test_report_compares_every_calibration_with_the_simulators_truth(report):
    html = report.read_text()
    table = html[html.index("<h2>Comparison with the simulator&#x27;s truth</h2>"):]
    table = table[:table.index("</table>")]
    rows = [re.findall(r"<td[^>]*>(.*?)</td>", row) for row in re.findall(r"<tr>(.*?)</tr>", table)][1:]
    assert {r[0] for r in rows} == set(plugins.available_calibrations())
    black = [r for r in rows if r[0] == "blc"]
    assert len(black) == 2 * len(FIT_GAINS)  # every (gain, exposure) pair
    for _, quantity, truth, result, difference in black:
        truth, result, difference = ([float(v) for v in cell.split(", ")] for cell in (truth, result, difference))
        assert all(abs(d - (r - t)) < 1e-3 and abs(d) < 0.2 for t, r, d in zip(truth, result, difference)), quantity
    assert [r[4] for r in rows if r[0] == "bpc"] == ["missed none; spurious none"] * len(FIT_GAINS)
