"""The Android noise model source and the firmware header compiled by gcc into programs that print
their values, compared with the results and the truth."""
import os
import shutil
import subprocess

import numpy as np
import pytest
from export_helpers import export, true_s_o

from cli_helpers import read_json

ANDROID_MAIN = r"""
#include <stdio.h>
#include "model.c"
int main(void) {
  for (int iso = 100; iso <= 800; iso *= 2)
    for (int c = 0; c < 4; ++c) printf("%d %d %.17g %.17g\n", iso, c, noise_model_s(c, iso), noise_model_o(c, iso));
  for (int c = 0; c < 4; ++c) printf("black %d\n", kBlackLevelPattern[c]);
  return 0;
}
"""
HEADER_MAIN = r"""
#include <stdio.h>
#include "calibration.h"
int main(void) {
  for (int g = 0; g < TUNEKIT_BLACK_LEVEL_GAINS; ++g) {
    printf("gain %u", tunekit_black_level_gain_q8[g]);
    for (int c = 0; c < TUNEKIT_CELL_POSITIONS; ++c) printf(" %u", tunekit_black_level_q8[g][c]);
    printf("\n");
  }
  for (int i = 0; i < TUNEKIT_BAD_PIXEL_WORDS; ++i) printf("word 0x%08x\n", tunekit_bad_pixel_words[i]);
  for (int t = 0; t < TUNEKIT_DARK_SHADING_TABLES; ++t) {
    printf("table %s", tunekit_dark_shading_condition[t]);
    for (int r = 0; r < TUNEKIT_DARK_SHADING_ROWS; ++r)
      for (int c = 0; c < TUNEKIT_DARK_SHADING_COLS; ++c) printf(" %d", tunekit_dark_shading_q8[t][r][c]);
    printf("\n");
  }
  return 0;
}
"""


def compiled_output(folder, main_source):
    if not shutil.which("gcc"):
        pytest.skip("gcc is not installed")
    program = os.path.join(folder, "print")
    with open(os.path.join(folder, "main.c"), "w") as f:
        f.write(main_source)
    subprocess.run(["gcc", "-std=c99", "-Wall", "-Werror", "-pedantic", "-o", program, "main.c"], cwd=folder,
                   check=True, capture_output=True)
    return subprocess.run([program], capture_output=True, text=True, check=True).stdout.splitlines()


def true_fits(model):
    """Per cell position, the least-squares S = A g + B and O = C g^2 + D of the true S, O (g as ISO)."""
    iso = np.array(model.again_list, float) * 100
    fits = []
    for c in range(4):
        s, o = np.array([true_s_o(model, g)[c] for g in model.again_list]).T
        a_b = np.polyfit(iso, s, 1)
        c_d = np.linalg.lstsq(np.stack([iso ** 2, np.ones_like(iso)], axis=1), o, rcond=None)[0]
        fits.append((a_b, c_d))
    return fits


def test_android_noise_model_agrees_with_the_truth_at_every_gain(calibrated, tmp_path):
    results, model = calibrated
    assert export(results, "android", tmp_path / "model.c").returncode == 0
    lines = compiled_output(str(tmp_path), ANDROID_MAIN)
    fits = true_fits(model)
    for line in lines[:-4]:
        iso, c, s, o = line.split()
        (a, b), (c2, d) = fits[int(c)]
        assert float(s) == pytest.approx(a * int(iso) + b, rel=1e-9)
        assert float(o) == pytest.approx(c2 * int(iso) ** 2 + d, rel=1e-9)
        # S is nearly a line of the gain: only the black level's rise bends it.
        assert float(s) == pytest.approx(true_s_o(model, int(iso) / 100)[int(c)][0], rel=0.01)
    levels = read_json(f"{results}/black_level.json")["sbl"]["again_1"]
    assert [int(line.split()[1]) for line in lines[-4:]] == [
        round(sum(e[c] for e in levels.values()) / len(levels)) for c in range(4)]


def test_firmware_header_holds_the_results(calibrated, tmp_path):
    results, _ = calibrated
    assert export(results, "firmware-header", tmp_path / "calibration.h").returncode == 0
    lines = compiled_output(str(tmp_path), HEADER_MAIN)
    sbl = read_json(f"{results}/black_level.json")["sbl"]
    gains = [line.split()[1:] for line in lines if line.startswith("gain ")]
    assert [int(g[0]) / 256 for g in gains] == [1, 2, 4, 8]
    for g in gains:
        levels = sbl[f"again_{int(g[0]) // 256}"]
        expected = [sum(e[c] for e in levels.values()) / len(levels) for c in range(4)]
        assert [int(v) / 256 for v in g[1:]] == pytest.approx(expected, abs=0.5 / 256)
    words = [int(line.split()[1], 16) for line in lines if line.startswith("word ")]
    assert words == [int(w, 16) for w in read_json(f"{results}/static_bad_pixels.json")["static_info"]]
    shading = read_json(f"{results}/dark_shading.json")
    tables = [line.split() for line in lines if line.startswith("table ")]
    assert [t[1] for t in tables] == shading["condition"]
    for t, mesh in zip(tables, shading["mesh_table"]):
        assert np.array([int(v) for v in t[2:]]) / 256 == pytest.approx(np.ravel(mesh), abs=0.5 / 256)


def test_firmware_header_of_a_sensor_without_bad_pixels_compiles(own_results, tmp_path):
    results, _ = own_results
    path = f"{results}/static_bad_pixels.json"
    data = read_json(path)
    data.update(static_loc={}, static_info=[])
    with open(path, "w") as f:
        import json

        json.dump(data, f)
    assert export(results, "firmware-header", tmp_path / "calibration.h").returncode == 0
    lines = compiled_output(str(tmp_path), HEADER_MAIN)
    assert not [line for line in lines if line.startswith("word ")]
