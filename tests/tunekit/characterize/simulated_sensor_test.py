"""The simulator's sensor in electrons: flat captures, DSNU and truth, and the other kinds left as they were.

Frames of 128 x 128 hold P = 4096 pixels per cell position. Tolerances are four
standard errors:
- a cell's mean over P pixels and n captures spreads by
  sqrt(temporal / (P n) + spatial / P), the spatial part being the PRNU's
  (K mu prnu)^2 on a flat;
- an unbiased variance over n captures, averaged over P pixels, spreads by
  sqrt(2 / (P (n - 1))) of itself;
- the variance over the P pixels of the capture-averaged frame spreads by
  sqrt(2 / P) of itself.
"""
import hashlib
import json
import os

import numpy as np
import pytest

from tuning import sim
from tuning.cli import runner
from tuning.sim import capture_files, kind_noise, photon

SIZE = 128
P = SIZE * SIZE // 4


def small_model(**fields):
    fields.setdefault("again_list", [1, 8])
    return sim.SensorModel(width=SIZE, height=SIZE, **fields)


def folder_digest(folder):
    digest = hashlib.sha256()
    for name in sorted(os.listdir(folder)):
        digest.update(name.encode())
        with open(os.path.join(folder, name), "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()


def read_frames(paths):
    return np.stack([np.fromfile(p, dtype="<u2").reshape(SIZE, SIZE).astype(np.float64) for p in paths])


def cell_planes(frames):
    return [frames[:, 0::2, 0::2], frames[:, 0::2, 1::2], frames[:, 1::2, 0::2], frames[:, 1::2, 1::2]]


def condition(paths, kind, exposure, gain):
    name = capture_files.capture_file_name(kind, "LCG", exposure, gain, 0)[:-len("000.raw")]
    return sorted(p for p in paths if os.path.basename(p).startswith(name))


def test_an_electron_model_without_dsnu_leaves_the_other_kinds_and_their_truth_as_they_were(tmp_path):
    plain, electrons = small_model(), small_model(electrons=sim.ElectronModel())
    for model, folder in ((plain, tmp_path / "plain"), (electrons, tmp_path / "electrons")):
        for kind in sim.default_kinds():
            sim.write_captures(model, kind, str(folder), 2)
    assert "flat" not in sim.default_kinds()
    assert folder_digest(tmp_path / "plain") == folder_digest(tmp_path / "electrons")
    plain.save_truth(str(tmp_path / "truth.json"), captures=2)
    saved = json.loads((tmp_path / "truth.json").read_text())
    assert "electrons" not in saved and "characterization" not in saved


def test_flat_captures_carry_poisson_electrons_clipped_at_the_full_well_and_the_white_level(tmp_path):
    n = 8
    e = sim.ElectronModel(prnu=0.02, flat_exposures=[4, 25, 50, 125])
    model = small_model(electrons=e, shading_gradient=0.0, shading_vignette=0.0, hot_pixels=[])
    paths = sim.write_captures(model, "flat", str(tmp_path), n)
    assert len(paths) == len(model.again_list) * len(e.flat_exposures) * n
    read = model.read_noise_variance(1) + photon.QUANTISATION_VARIANCE
    dark = model.black_level_at(1)
    k = e.conversion_gain(1)
    for exposure in (4, 25, 50):  # 240 to 3000 e-, far below the full well of 6000
        mu = e.mean_electrons(exposure)
        for c, plane in enumerate(cell_planes(read_frames(condition(paths, "flat", exposure, 1)))):
            temporal = k * k * mu + read
            mean_spread = np.sqrt(temporal / (P * n) + (k * mu * e.prnu) ** 2 / P)
            assert abs(plane.mean() - dark[c] - k * mu) < 4 * mean_spread
            variance = plane.var(axis=0, ddof=1).mean()
            assert abs(variance / temporal - 1) < 4 * np.sqrt(2 / (P * (n - 1)))
    # 7500 e- at gain 1: every pixel holds the full well, and only read noise is left.
    for c, plane in enumerate(cell_planes(read_frames(condition(paths, "flat", 125, 1)))):
        assert abs(plane.mean() - dark[c] - k * e.full_well_e) < 4 * np.sqrt(read / (P * n))
        assert abs(plane.var(axis=0, ddof=1).mean() / read - 1) < 4 * np.sqrt(2 / (P * (n - 1)))
    # At gain 8 the ADC clips first: 3000 e- are 7260 DN, past the white level.
    assert np.all(read_frames(condition(paths, "flat", 50, 8)) == model.white_level)


def test_dsnu_is_a_fixed_dark_pattern_of_k_dn_per_electron(tmp_path):
    """The capture-averaged dark frame holds DSNU^2 + temporal / n of spatial variance."""
    n = 4
    model = small_model(electrons=sim.ElectronModel(dsnu_e=3.0), shading_gradient=0.0, shading_vignette=0.0,
                        hot_pixels=[])
    paths = sim.write_captures(model, "dark", str(tmp_path), n)
    truth = photon.truth(model, n)
    for gain, figures in zip(model.again_list, truth["gains"]):
        k = model.electrons.conversion_gain(gain)
        temporal = model.read_noise_variance(gain) + photon.QUANTISATION_VARIANCE
        frames = read_frames(condition(paths, "dark", model.exp_time_list[0], gain))
        for c, plane in enumerate(cell_planes(frames)):
            assert figures["dsnu_e"][c] == pytest.approx(3.0, rel=4 * np.sqrt(1 / (2 * P)))
            expected = figures["dsnu"][c] ** 2 + temporal / n
            assert abs(plane.mean(axis=0).var(ddof=1) / expected - 1) < 4 * np.sqrt(2 / P)
            assert figures["dsnu"][c] == pytest.approx(k * figures["dsnu_e"][c])
            assert figures["read_noise_variance"][c] == pytest.approx(temporal + figures["dsnu"][c] ** 2)
        # The noise captures of every exposure of a gain are read together: n per exposure.
        scene = n * len(model.exp_time_list)
        assert truth["scene_captures"] == scene
        assert figures["shot_noise_factor"] == pytest.approx(k * (scene - 1) / scene)


def test_the_truth_file_keeps_the_electron_model_and_names_the_clipping_that_comes_first(tmp_path):
    model = small_model(electrons=sim.ElectronModel(full_well_e=4000.0, conversion_gain_line=(0.25, 0.0)))
    path = str(tmp_path / "truth.json")
    model.save_truth(path, captures=4)
    again = runner.load_truth(path)
    assert again.electrons == model.electrons
    gains = json.loads(open(path).read())["characterization"]["gains"]
    white = model.white_level
    # Gain 1: 4000 e- are 1000 DN, the full well clips. Gain 8: 2 DN/e-, the ADC clips at (white - dark) / 2 e-.
    assert gains[0]["saturation_capacity_e"] == [4000.0] * 4
    dark = np.array(gains[1]["dark_level"])
    assert gains[1]["saturation_capacity_e"] == pytest.approx((white - dark) / 2.0)
    assert gains[1]["saturation_level"] == pytest.approx([white] * 4)
    # The noise captures follow the model's conversion gain.
    noise = sim.write_captures(model, "noise", str(tmp_path / "noise"), 1)
    other = sim.write_captures(small_model(), "noise", str(tmp_path / "other"), 1)
    assert open(noise[0], "rb").read() != open(other[0], "rb").read()
    assert kind_noise.TRUTH.conversion_gain_line == sim.ElectronModel().conversion_gain_line
