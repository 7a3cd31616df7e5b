"""The characterisation on simulated sensors with known truth, through the routine and the tool.

Frames of 128 x 128 hold P = 4096 pixels per cell position; n captures per
condition. Tolerances are four standard errors of the estimators:
- an unbiased variance over n captures averaged over P pixels has a relative
  standard error of e_t = sqrt(2 / (P (n - 1))); the conversion gain K is a
  weighted slope through several such points, so its relative error is at
  most e_t, and the temporal dark noise (a square root) has e_t / 2 of it
  on top of K's;
- the variance over P pixels of a capture-averaged frame, pattern variance
  D plus temporal variance T / n, is off by at most
  2 sqrt(D T / (n P)) + sqrt(2 / P) T / n (cross term and noise term), and the
  T / n taken off it by (T / n) e_t; DSNU and PRNU are read from that;
- saturation is where the variance peaks over the flats' exposures, so the
  truth lies between that exposure's signal and the next exposure's.
"""
import json
import math
import os

import numpy as np
import pytest

from cli_helpers import tool
from tuning import sim
from tuning.characterize import characterize as ch
from tuning.noise_profile import read_noise, shot_noise
from tuning.sim import photon

SIZE = 128
P = SIZE * SIZE // 4
GAINS = [1, 4]
FOUR_SE = 4.0


def model_of(n_exposures=1, size=(SIZE, SIZE), **electrons):
    """A sensor whose dark frame holds only its DSNU (no shading, no hot pixels), which would bias PRNU."""
    return sim.SensorModel(width=size[0], height=size[1], again_list=GAINS, exp_time_list=[10, 20][:n_exposures],
                           shading_gradient=0.0, shading_vignette=0.0, hot_pixels=[],
                           electrons=sim.ElectronModel(**electrons))


def write_set(model, folder, n, kinds=("dark", "flat", "noise")):
    for kind in kinds:
        sim.write_captures(model, kind, str(folder), n)
    return str(folder)


def characterize(model, folder, **file_fields):
    fp = ch.CharacterizationFileParam(inp_file_dir=folder, width=model.width, height=model.height,
                                      bits=model.bits, again_list=model.again_list, **file_fields)
    return ch.characterize(fp, ch.CharacterizationTuningParam(white_level=[model.white_level]))


def relative_variance_error(n, pixels=P):
    return math.sqrt(2.0 / (pixels * (n - 1)))


def pattern_variance_error(pattern, temporal, n):
    """Bound (four standard errors) on a pattern variance read from a capture-averaged frame (DN^2)."""
    e_t = relative_variance_error(n)
    return FOUR_SE * (2.0 * math.sqrt(pattern * temporal / (n * P)) + math.sqrt(2.0 / P) * temporal / n
                      + temporal / n * e_t)


@pytest.mark.parametrize("n, dsnu_e, prnu", [(4, 2.0, 0.015), (8, 2.0, 0.015), (16, 2.0, 0.015), (8, 0.0, 0.0)],
                         ids=["n4", "n8", "n16", "n8-without-dsnu-prnu"])
def test_figures_in_electrons_are_recovered_within_the_sampling_error(tmp_path, n, dsnu_e, prnu):
    model = model_of(dsnu_e=dsnu_e, prnu=prnu)
    e = model.electrons
    result = characterize(model, write_set(model, tmp_path, n))
    truth = photon.truth(model, n)
    e_t = relative_variance_error(n)
    (mode,) = result.modes
    assert [g.analog_gain for g in mode.gains] == GAINS
    for gain, t in zip(mode.gains, truth["gains"]):
        assert gain.curve_source == "flat" and gain.dark_captures == n and gain.lit_captures == n
        k = t["conversion_gain"]
        temporal = t["dark_temporal_variance"]
        for c, cell in enumerate(gain.cells):
            where = f"gain {gain.analog_gain} cell {c}"
            assert cell.conversion_gain == pytest.approx(k, rel=FOUR_SE * e_t), where
            assert cell.read_noise_e == pytest.approx(t["temporal_dark_noise_e"], rel=FOUR_SE * 1.5 * e_t), where
            assert cell.dark_level == pytest.approx(t["dark_level"][c],
                                                    abs=FOUR_SE * math.sqrt(temporal / (n * P)) + 1e-9), where
            dsnu2 = t["dsnu"][c] ** 2
            assert abs(cell.dsnu_variance - dsnu2) <= pattern_variance_error(dsnu2, temporal, n), where
            # PRNU: the response pattern at the measured signal S is (S prnu)^2, beside the DSNU taken off.
            s = cell.prnu_signal
            flat_temporal = k * s + temporal
            response2 = (s * t["prnu"][c] / 100.0) ** 2
            bound = pattern_variance_error(response2 + dsnu2, flat_temporal, n) + pattern_variance_error(
                dsnu2, temporal, n)
            measured2 = (cell.prnu / 100.0 * s) ** 2
            if prnu == 0.0:
                assert measured2 <= bound, where
            else:
                assert abs(measured2 - response2) <= bound, where
            # Saturation: between the exposure of the variance peak and the next one.
            peak = [p for p in cell.curve if p.signal == cell.saturation_signal]
            assert peak and peak[0].exposure in e.flat_exposures, where
            following = e.flat_exposures[e.flat_exposures.index(peak[0].exposure) + 1]
            true_capacity = t["saturation_capacity_e"][c]
            assert cell.saturation_capacity_e <= true_capacity * (1 + FOUR_SE * e_t), where
            assert true_capacity <= e.mean_electrons(following) * (1 + FOUR_SE * max(prnu, 0.01)), where
            assert cell.dynamic_range_db == pytest.approx(
                20 * math.log10(cell.saturation_capacity_e / cell.read_noise_e)), where
            assert not cell.flags or all(f.passed for f in cell.flags if f.name != "residual"), where


def noise_records(module, stem, model, folder, **tuning):
    file_param = getattr(module, f"{stem}FileParam")(inp_file_dir=folder, width=model.width, height=model.height,
                                                     bits=model.bits, again_list=model.again_list,
                                                     exp_time_list=model.exp_time_list)
    return file_param, getattr(module, f"{stem}TuningParam")(**tuning)


@pytest.mark.parametrize("n", [4, 16])
def test_the_calibrations_report_what_the_characterisation_predicts_for_the_same_captures(tmp_path, n):
    """The shot noise factor is K (n - 1) / n for the n noise captures of a gain (its variance divides by n),
    and the read noise variance is the temporal dark variance plus DSNU^2 (it takes the whole dark plane).
    Two gains carry the shot noise line and three the read noise quadratic: gains 1, 2 and 4. The scene's
    levels need frames of 512 x 384 (P' = 49152 pixels per cell position) to hold freq_threshold samples."""
    model = model_of(n_exposures=1, size=(512, 384), dsnu_e=1.0)
    pixels = 512 * 384 // 4
    model.again_list = [1, 2, 4]
    folder = write_set(model, tmp_path, n, kinds=("dark", "noise"))
    result = characterize(model, folder)
    white = [model.white_level] * 4
    black = [float(v) for v in model.black_level_at(1)]
    shot = shot_noise.calibrate_shot_noise(*noise_records(shot_noise, "ShotNoise", model, folder,
                                                          black_level=black, white_level=white))
    read = read_noise.calibrate_read_noise(*noise_records(read_noise, "ReadNoise", model, folder,
                                                          black_level=black, white_level=white))
    for gain in result.modes[0].gains:
        assert gain.curve_source == "scene"
        for c, cell in enumerate(gain.cells):
            where = f"gain {gain.analog_gain} cell {c}"
            relation = cell.relation
            assert relation.captures == n
            assert relation.shot_noise_factor == pytest.approx(cell.conversion_gain * (n - 1) / n)
            a1, a0 = shot.coeffs[c]
            # The calibration fits its own levels (a narrower signal range): a few standard errors of K apart.
            assert a1 * gain.analog_gain + a0 == pytest.approx(relation.shot_noise_factor,
                                                               rel=3 * FOUR_SE * relative_variance_error(n, pixels)), where
            # With n = 4 the plain K is 25 % above what the calibration reports: the relation is what tells.
            assert abs(a1 * gain.analog_gain + a0 - cell.conversion_gain) > 0.5 * cell.conversion_gain / n, where
            expected = np.polyval(read.coeffs[c], gain.analog_gain)
            assert expected == pytest.approx(relation.read_noise_variance,
                                             rel=2 * FOUR_SE * relative_variance_error(n, pixels)), where
            assert relation.read_noise_variance == pytest.approx(cell.dark_temporal_variance + cell.dsnu_variance)


def failed(cells, name):
    return [f for cell in cells for f in cell.flags if f.name == name and not f.passed]


def test_flags_fire_on_sets_made_to_fail_them(tmp_path):
    # Two flat levels below saturation: too few points and too short a span for a trustworthy slope.
    model = model_of(flat_exposures=[20, 30, 200])
    result = characterize(model, write_set(model, tmp_path / "two", 4))
    gain = result.modes[0].gains[0]
    assert failed(gain.cells, "levels") and any("levels" in w for w in gain.warnings)
    assert failed(gain.cells, "span")

    # One flat level: a slope resting on one point is flagged.
    model = model_of(flat_exposures=[25])
    result = characterize(model, write_set(model, tmp_path / "one", 4, kinds=("dark", "flat")))
    assert failed(result.modes[0].gains[0].cells, "levels")

    # No exposure reaches saturation: the variance never collapses.
    model = model_of(flat_exposures=[2, 4, 8, 16, 32])
    result = characterize(model, write_set(model, tmp_path / "unsaturated", 4))
    assert all(failed(g.cells, "saturation") for g in result.modes[0].gains)
    assert all(c.saturation_capacity_e is None for g in result.modes[0].gains for c in g.cells)

    # A conversion gain that does not grow with the analog gain.
    model = model_of(conversion_gain_line=(0.0, 0.3))
    result = characterize(model, write_set(model, tmp_path / "flat-k", 4))
    assert failed(result.modes[0].gains[1].cells, "k_growth")
    assert not failed(result.modes[0].gains[0].cells, "k_growth")

    # The same sensor with K growing passes every check but the fit's residual, which noise may fail.
    model = model_of()
    result = characterize(model, write_set(model, tmp_path / "good", 4))
    for name in ("levels", "span", "r_squared", "saturation", "k_growth"):
        assert not any(failed(g.cells, name) for g in result.modes[0].gains), name


def test_missing_or_unusable_captures_are_refused_naming_what_is_missing(tmp_path):
    model = model_of()
    one = write_set(model, tmp_path / "one", 1, kinds=("dark", "flat"))
    with pytest.raises(RuntimeError, match=r"only 1 capture for .*dark.*at least 2"):
        characterize(model, one)

    no_dark = write_set(model, tmp_path / "no-dark", 2, kinds=("flat",))
    with pytest.raises(RuntimeError, match=r"no dark captures.*LCG at analog gain 1"):
        characterize(model, no_dark)

    no_lit = write_set(model, tmp_path / "no-lit", 2, kinds=("dark",))
    with pytest.raises(RuntimeError, match=r"no lit captures|no flat or scene"):
        characterize(model, no_lit)

    saturated = model_of(flat_exposures=[300, 400])
    folder = write_set(saturated, tmp_path / "saturated", 2, kinds=("dark", "flat"))
    with pytest.raises(RuntimeError, match=r"unsaturated|clipped"):
        characterize(saturated, folder)


def test_the_tool_writes_the_result_with_its_report_chapter_and_skips_a_set_without_lit_captures(tmp_path):
    model = model_of(n_exposures=2, dsnu_e=1.0)
    captures = write_set(model, tmp_path / "set", 4)
    model.save_truth(str(tmp_path / "truth.json"), captures=4)
    out = tmp_path / "out"
    run = tool("characterize", "-i", captures, "-o", out, "--width", SIZE, "--height", SIZE, "--bits", model.bits,
               "--report", "-q")
    assert run.returncode == 0, run.stderr
    saved = json.loads((out / "characterization.json").read_text())
    record = ch.Characterization.parse_obj(saved)
    assert record.modes[0].gains[1].cells[0].conversion_gain == pytest.approx(model.electrons.conversion_gain(4),
                                                                              rel=0.05)
    assert "white_level not given: using 4095 DN" in run.stderr
    report = (out / "report.html").read_text()
    assert "Sensor characterisation" in report and "Photon transfer curve" in report
    assert "conversion gain K at gain 4 (DN/e-)" in report  # the comparison with the truth

    # A flat exposure the set lacks is named; one flat level leaves K unknown in the result and the report.
    run = tool("characterize", "-i", captures, "-o", tmp_path / "one", "--width", SIZE, "--height", SIZE,
               "--bits", model.bits, "--flat-exp-list", 999, 25, "--report", "-q")
    assert run.returncode == 0, run.stderr
    assert "flat LCG exp 999 again 1" in run.stderr
    assert (tmp_path / "one" / "report.html").is_file()
    # Figures the captures could not give are None in the record; the chapter and key figures still draw.
    one = json.loads((tmp_path / "one" / "characterization.json").read_text())
    for field in ("conversion_gain", "read_noise_e", "curve_intercept", "snr"):
        for cell in one["modes"][0]["gains"][0]["cells"]:
            cell[field] = None
            for point in cell["curve"]:
                point["snr"] = None
    record = ch.Characterization.parse_obj(one)
    from tuning.cli.calibration import RunContext
    from tuning.cli.calibrations import characterize as plugin

    file_param = ch.CharacterizationFileParam(inp_file_dir=captures, again_list=GAINS)
    assert len(plugin.section(RunContext(file_param, None, result=record)).figures) == 4
    assert plugin.key_figures(record)["K at gain 1 (DN/e-)"] == "unknown"
    run = tool("characterize", "-i", captures, "-o", tmp_path / "one", "--width", SIZE, "--height", SIZE,
               "--white-level", 0)
    assert run.returncode != 0 and "--white-level: expected levels above 0" in run.stderr

    dark_only = write_set(model, tmp_path / "dark-only", 2, kinds=("dark",))
    run = tool("characterize", "-i", dark_only, "-o", tmp_path / "out2", "--width", SIZE, "--height", SIZE,
               "--bits", model.bits, "-q")
    assert run.returncode != 0 and "no flat or noise captures" in run.stderr
    assert not (tmp_path / "out2" / "characterization.json").exists()


def test_the_two_sensor_modes_are_characterised_apart_into_one_result(tmp_path):
    """A run of one mode keeps the other mode's characterisation that the folder's result holds."""
    lcg = model_of()
    hcg = model_of(conversion_gain_line=(1.2, 0.1))
    hcg.sensor_mode = "HCG"
    captures = tmp_path / "set"
    for model in (lcg, hcg):
        write_set(model, captures, 4)
    flags = ["-i", captures, "-o", tmp_path / "out", "--width", SIZE, "--height", SIZE, "--bits", lcg.bits, "-q"]
    for mode in ("HCG", "LCG", "HCG"):
        run = tool("characterize", "--sensor-mode", mode, *flags)
        assert run.returncode == 0, run.stderr
    record = ch.Characterization.parse_obj(json.loads((tmp_path / "out" / "characterization.json").read_text()))
    assert [m.sensor_mode.name for m in record.modes] == ["LCG", "HCG"]
    for mode, model in zip(record.modes, (lcg, hcg)):
        for gain in mode.gains:
            k = model.electrons.conversion_gain(gain.analog_gain)
            assert gain.cells[0].conversion_gain == pytest.approx(k, rel=0.05), (mode.sensor_mode, gain.analog_gain)

    (tmp_path / "out" / "characterization.json").write_text("{")
    run = tool("characterize", "--sensor-mode", "LCG", *flags)
    assert run.returncode != 0 and "characterization.json: expected the characterisation" in run.stderr

