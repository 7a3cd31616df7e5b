"""Read noise and shot noise calibration as the Python host sees them."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tuning.tunekit  # noqa: F401  (conftest bootstraps the library)
from tuning.common import SensorMode
from tuning.noise_profile import read_noise as rn
from tuning.noise_profile import shot_noise as sn

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def write_raw(path, frame):
    np.ascontiguousarray(frame, dtype="<u2").tofile(path)


def write_set(folder, kind, gain, frames, mode="LCG"):
    for i, frame in enumerate(frames):
        write_raw(os.path.join(folder, f"t_{kind}_{mode}_exp_20_again_{gain}_{i}.raw"), frame)


def planes(frame):
    """Cell planes in cell-position order."""
    return [frame[0::2, 0::2], frame[0::2, 1::2], frame[1::2, 0::2], frame[1::2, 1::2]]


# ---- records -------------------------------------------------------------------------


def test_records_have_their_fields_in_order_with_defaults():
    assert list(rn.ReadNoiseFileParam().dict()) == [
        "inp_file_dir", "out_file_dir", "width", "height", "bits", "cfa_type", "sensor_mode",
        "module", "again_list", "exp_time_list"]
    assert rn.ReadNoiseFileParam().module == "read_noise"
    assert rn.ReadNoiseTuningParam().dict() == {"module": "read_noise", "black_level": [], "white_level": []}
    assert json.loads(rn.ReadNoiseProfile().json()) == {
        "module": "read_noise", "coeffs": [[0.0] * 3] * 4, "coeffs_256": [[0.0] * 3] * 4}
    assert sn.Rect().dict() == {"top": 0, "left": 0, "bottom": 0, "right": 0}
    assert sn.ShotNoiseTuningParam().dict() == {
        "module": "shot_noise", "black_level": [0.0] * 4, "white_level": [0.0] * 4, "freq_threshold": 100,
        "ROIs": []}
    assert json.loads(sn.ShotNoiseProfile().json()) == {
        "module": "shot_noise", "coeffs": [[0.0] * 2] * 4, "coeffs_256": [[0.0] * 2] * 4}
    assert sn.ShotNoiseFileParam(again_list=[1, 2.0]).again_list == [1, 2.0]


# ---- shared operations -------------------------------------------------------------


def test_capture_sums_are_exact_per_pixel(tmp_path):
    rng = np.random.default_rng(5)
    frames = [rng.integers(0, 65536, size=(6, 8), dtype=np.uint16) for _ in range(5)]
    frames.append(np.full((6, 8), 65535, dtype=np.uint16))
    files = []
    for i, f in enumerate(frames):
        files.append(str(tmp_path / f"{i}.raw"))
        write_raw(files[-1], f)
    sum_arr, square_sum_arr, num = rn.accumulate_capture_sums(files, 6, 8)
    stack = np.stack(frames).astype(np.int64)
    assert num == 6 and sum_arr.shape == (6, 8) and sum_arr.dtype == np.float64
    assert np.array_equal(sum_arr, stack.sum(axis=0))
    assert np.array_equal(square_sum_arr, (stack * stack).sum(axis=0))
    with pytest.raises(RuntimeError, match="^invalid image shape, check your file param$"):
        rn.accumulate_capture_sums(files + [str(tmp_path / "missing.raw")], 6, 8)


def test_fit_polynomial_matches_the_least_squares_reference():
    x = np.array([1.0, 2.0, 4.0, 8.0])
    y = np.array([[1.1, 5.0], [1.5, 4.0], [2.7, 0.5], [6.1, -3.0]])
    assert np.allclose(rn.fit_polynomial(x, y, 2), np.polyfit(x, y, 2), rtol=1e-12, atol=1e-14)
    w = np.array([1.0, 3.0, 0.5, 2.0])
    assert np.allclose(rn.fit_polynomial(x, y[:, 0], 1, w), np.polyfit(x, y[:, 0], 1, w=w), rtol=1e-12)
    # Rank-deficient: one gain for a quadratic, the minimum-norm answer.
    assert np.allclose(rn.fit_polynomial([2], [5.0], 2), [5 / 12, 5 / 6, 5 / 3], rtol=1e-14)
    with pytest.raises(ValueError):
        rn.fit_polynomial([], [], 1)
    with pytest.raises(ValueError):
        rn.fit_polynomial([1, 2], [1, 2], 1, [1])


# ---- read noise ------------------------------------------------------------------------


def reference_read_noise(frames, black, white):
    """The documented computation: variance of every sample of each cell plane."""
    stack = np.stack(frames).astype(np.float64)
    sigma = np.array([stack[:, r::2, c::2].var() for r, c in ((0, 0), (0, 1), (1, 0), (1, 1))])
    return sigma, sigma * (256.0 / (np.asarray(white) - np.asarray(black))) ** 2


def test_read_noise_fits_plane_variances_over_the_listed_gains(tmp_path):
    rng = np.random.default_rng(11)
    black, white = [3200.0] * 4, [65500.0] * 4
    sigmas, sigmas_256 = [], []
    gains = [1, 2, 4.5, 8]
    for gain in gains:
        frames = [np.rint(rng.normal(3300, 1 + gain, size=(8, 12))).astype(np.uint16) for _ in range(3)]
        write_set(tmp_path, "dark", gain, frames)
        s, s256 = reference_read_noise(frames, black, white)
        sigmas.append(s)
        sigmas_256.append(s256)
    write_set(tmp_path, "dark", 16, [np.zeros((8, 12), np.uint16)], mode="HCG")  # other mode: ignored
    fp = rn.ReadNoiseFileParam(inp_file_dir=str(tmp_path) + "/", width=12, height=8, bits=16,
                               again_list=[1, 16, 2, 4.5, 8, 3])
    tp = rn.ReadNoiseTuningParam(black_level=black, white_level=white)
    profile = rn.calibrate_read_noise(fp, tp)
    assert np.allclose(profile.coeffs, np.polyfit(gains, np.array(sigmas), 2).T, rtol=1e-10)
    assert np.allclose(profile.coeffs_256, np.polyfit(gains, np.array(sigmas_256), 2).T, rtol=1e-10)
    assert all(type(v) is float for row in profile.coeffs for v in row)


def test_read_noise_without_captures_is_an_empty_profile(tmp_path):
    fp = rn.ReadNoiseFileParam(inp_file_dir=str(tmp_path), width=4, height=4, again_list=[1, 2])
    assert rn.calibrate_read_noise(fp, rn.ReadNoiseTuningParam()).dict() == {
        "module": "read_noise", "coeffs": [], "coeffs_256": []}
    assert rn.calibrate_read_noise(file_param=rn.ReadNoiseFileParam(), tuning_param=rn.ReadNoiseTuningParam()).coeffs == []


def test_read_noise_failures_reach_the_host_as_its_errors(tmp_path):
    write_set(tmp_path, "dark", 1, [np.zeros((4, 4), np.uint16)])
    fp = rn.ReadNoiseFileParam(inp_file_dir=str(tmp_path), width=4, height=4, again_list=[1])
    with pytest.raises(IndexError, match="black_level holds 2 entries, expected 4"):
        rn.calibrate_read_noise(fp, rn.ReadNoiseTuningParam(black_level=[1, 2], white_level=[9] * 4))
    with pytest.raises(ZeroDivisionError, match="cell position 0"):
        rn.calibrate_read_noise(fp, rn.ReadNoiseTuningParam(black_level=[9] * 4, white_level=[9] * 4))
    with pytest.raises(RuntimeError, match="^invalid image shape, check your file param$") as error:
        rn.calibrate_read_noise(fp.copy(update={"width": 6}), rn.ReadNoiseTuningParam(black_level=[0] * 4, white_level=[9] * 4))
    assert "holds 16 samples, expected 24" in str(error.value.__cause__)


# ---- shot noise ----------------------------------------------------------------------


def reference_shot_noise(frames_by_gain, black, white, freq_threshold, rois, height, width):
    """The documented algorithm, written with numpy's own operations."""
    rois = rois or [(0, 0, height, width)]
    gains, ks, ks256 = [], [], []
    for gain, frames in frames_by_gain:
        stack = np.stack(frames).astype(np.float64)
        num = len(frames)
        sums, squares = planes(stack.sum(axis=0)), planes((stack * stack).sum(axis=0))
        k_row, k256_row = [], []
        for c in range(4):
            mu = (sums[c] / num).astype(np.uint16)
            sum_bins, square_bins, num_bins = np.zeros(65536), np.zeros(65536), np.zeros(65536)
            for top, left, bottom, right in rois:
                y0, y1 = max(top // 2, 0), min(bottom // 2, mu.shape[0])
                x0, x1 = max(left // 2, 0), min(right // 2, mu.shape[1])
                m = mu[y0:y1, x0:x1].ravel()
                np.add.at(sum_bins, m, sums[c][y0:y1, x0:x1].ravel())
                np.add.at(square_bins, m, squares[c][y0:y1, x0:x1].ravel())
                np.add.at(num_bins, m, num)
            r = 256.0 / (white[c] - black[c])
            lo = black[c] + 0.005 * (white[c] - black[c])
            hi = lo + 0.2 * (white[c] - black[c])
            lo = int(max(lo, np.percentile(mu, 0.1)))
            hi = int(min(hi, np.percentile(mu, 80)))
            values, variances, freqs = [], [], []
            for v in range(lo, hi):
                freq = num_bins[v]
                if freq < freq_threshold or freq == 0:
                    continue
                values.append(v - black[c])
                variances.append((square_bins[v] - 2 * sum_bins[v] * v) / freq + v * v)
                freqs.append(freq)
            values, variances = np.array(values), np.array(variances)
            k_row.append(np.polyfit(values, variances, 1, w=freqs)[0])
            k256_row.append(np.polyfit(values * r, variances * r * r, 1, w=freqs)[0])
        gains.append(float(gain))
        ks.append(k_row)
        ks256.append(k256_row)
    ks, ks256 = np.array(ks), np.array(ks256)
    ones = np.ones(len(gains))
    return ([tuple(np.polyfit(gains, ks[:, c], 1, w=ones)) for c in range(4)],
            [tuple(np.polyfit(gains, ks256[:, c], 1, w=ones)) for c in range(4)])


def poisson_ramp(rng, gain, height, width, black=256):
    scene = np.linspace(0, 700, width)[None, :] + np.linspace(0, 90, height)[:, None]
    k = 0.4 * gain
    return np.clip(black + k * rng.poisson(scene / k) + rng.normal(0, 2, (height, width)), 0, 4095).astype(np.uint16)


@pytest.mark.parametrize("threshold, rois", [
    (12, []),
    (0, [(0, 0, 40, 200), (-3, 100, 500, 900), (10, 50, 30, 150), (0, 90, 40, 80)]),
])
def test_shot_noise_follows_the_documented_algorithm(tmp_path, threshold, rois):
    rng = np.random.default_rng(3)
    height, width = 40, 200
    black, white = [256.0] * 4, [4095.0] * 4
    frames_by_gain = []
    for gain in (1, 2, 4):
        frames = [poisson_ramp(rng, gain, height, width) for _ in range(6)]
        write_set(tmp_path, "noise", gain, frames)
        frames_by_gain.append((gain, frames))
    fp = sn.ShotNoiseFileParam(inp_file_dir=str(tmp_path), width=width, height=height, bits=12, again_list=[1, 2, 3, 4])
    tp = sn.ShotNoiseTuningParam(black_level=black, white_level=white, freq_threshold=threshold,
                                 ROIs=[sn.Rect(top=t, left=l, bottom=b, right=r) for t, l, b, r in rois])
    profile = sn.calibrate_shot_noise(fp, tp)
    coeffs, coeffs_256 = reference_shot_noise(frames_by_gain, black, white, threshold, rois, height, width)
    assert np.allclose(profile.coeffs, coeffs, rtol=1e-9, atol=1e-12)
    assert np.allclose(profile.coeffs_256, coeffs_256, rtol=1e-9, atol=1e-12)


def test_shot_noise_failures_are_clear(tmp_path):
    fp = sn.ShotNoiseFileParam(inp_file_dir=str(tmp_path), width=8, height=8, again_list=[1, 2])
    tp = sn.ShotNoiseTuningParam(black_level=[0] * 4, white_level=[1000] * 4)
    with pytest.raises(RuntimeError, match=r"no noise captures for any analog gain in again_list \[1, 2\]"):
        sn.calibrate_shot_noise(fp, tp)
    write_set(tmp_path, "noise", 1, [np.full((8, 8), 50, np.uint16)] * 2)
    with pytest.raises(ZeroDivisionError):
        sn.calibrate_shot_noise(fp, sn.ShotNoiseTuningParam())
    with pytest.raises(RuntimeError, match="no signal level of cell position 0 at analog gain 1"):
        sn.calibrate_shot_noise(fp, tp.copy(update={"freq_threshold": 0}))


# ---- entries -------------------------------------------------------------------------


def run_entry(module, cwd):
    env = dict(os.environ, PYTHONPATH=ROOT)
    return subprocess.run([sys.executable, "-m", "tuning.noise_profile", module], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


def test_shot_noise_entry_writes_the_record_as_json_dumps_does(tmp_path):
    folder = tmp_path / "test_data" / "shot_noise"
    folder.mkdir(parents=True)
    rng = np.random.default_rng(8)
    for gain in (1, 2, 4, 8):
        write_set(folder, "noise", gain, [poisson_ramp(rng, gain, 512, 512) for _ in range(2)])
    for _ in range(2):  # a second run overwrites the first
        assert run_entry("shot_noise", tmp_path).returncode == 0
    fp = sn.ShotNoiseFileParam(inp_file_dir=str(folder), width=512, height=512, bits=16, again_list=[1, 2, 4, 8])
    tp = sn.ShotNoiseTuningParam(black_level=[256] * 4, white_level=[4095] * 4)
    expected = json.dumps(sn.calibrate_shot_noise(fp, tp).dict(), indent=4)
    assert (folder / "shot_noise.json").read_text() == expected
    assert not [name for name in os.listdir(folder) if "partial" in name]


def test_read_noise_entry_writes_an_empty_profile_and_needs_its_folder(tmp_path):
    failed = run_entry("read_noise", tmp_path)
    assert failed.returncode != 0 and "FileNotFoundError" in failed.stderr and "test_data/imx347" in failed.stderr
    (tmp_path / "test_data" / "imx347").mkdir(parents=True)
    assert run_entry("read_noise", tmp_path).returncode == 0
    assert (tmp_path / "test_data" / "imx347" / "read_noise.json").read_text() == \
        '{\n    "module": "read_noise",\n    "coeffs": [],\n    "coeffs_256": []\n}'
    usage = run_entry("noise", tmp_path)
    assert usage.returncode != 0 and "read_noise|shot_noise" in usage.stderr


# ---- simulated sensor --------------------------------------------------------------


def test_simulated_truth_is_recovered_within_its_sampling_error(tmp_path):
    """Tolerances are four standard errors, derived from the sample counts.

    Read noise: each variance comes from N = (W x H / 4) x n samples of one
    cell position (n captures per gain), relative standard error sqrt(2 / N);
    the coefficients' errors follow from those through the quadratic fit.
    Shot noise: a gain's slope rests on about P pixels per level and n - 1
    degrees of freedom each, so every level's variance has relative error
    e = sqrt(2 / (P (n - 1))); a line over L evenly spread levels has a slope
    error of about e sqrt(12 / L) relative. The factor of the line over gains
    inherits those errors.
    """
    from tuning import sim
    from tuning.sim import kind_noise

    model = sim.SensorModel()
    n = len(model.exp_time_list) * 4
    black = [float(b) for b in model.black_level_at(1)]
    white = [float(model.white_level)] * 4
    dark_model = kind_noise.without_dark_pattern(model)
    sim.write_captures(dark_model, "dark", str(tmp_path / "dark"), 4)
    sim.write_captures(model, "noise", str(tmp_path / "noise"), 4)

    fp = rn.ReadNoiseFileParam(inp_file_dir=str(tmp_path / "dark"), width=model.width, height=model.height,
                               bits=model.bits, sensor_mode=SensorMode.LCG, again_list=model.again_list)
    points = rn.measure_read_noise(fp, rn.ReadNoiseTuningParam(black_level=black, white_level=white))
    gains = np.array(points["analog_gains"])
    c0, c1, c2 = model.read_noise_coeffs
    truth = c0 + kind_noise.QUANTISATION_VARIANCE + c1 * gains + c2 * gains ** 2
    samples = model.width * model.height // 4 * n
    sigma = truth * np.sqrt(2 / samples)
    assert np.all(np.abs(np.array(points["sigmas"]) - truth[:, None]) < 4 * sigma[:, None])
    profile = rn.calibrate_read_noise(fp, rn.ReadNoiseTuningParam(black_level=black, white_level=white))
    design = np.vander(gains, 3)
    propagated = np.sqrt((np.linalg.pinv(design) ** 2) @ sigma ** 2)  # standard error per coefficient
    assert np.all(np.abs(np.array(profile.coeffs) - [c2, c1, c0 + kind_noise.QUANTISATION_VARIANCE]) < 4 * propagated)

    sfp = sn.ShotNoiseFileParam(inp_file_dir=str(tmp_path / "noise"), width=model.width, height=model.height,
                                bits=model.bits, again_list=model.again_list)
    stp = sn.ShotNoiseTuningParam(black_level=black, white_level=white)
    keep = (n - 1) / n  # variance about each pixel's own mean over n captures
    levels = sn.measure_shot_noise(sfp, stp)
    k_errors = []
    for entry in levels:
        true_k = kind_noise.TRUTH.conversion_gain(entry["analog_gain"]) * keep
        for cell in entry["cells"]:
            level_count = len(cell["values"])
            pixels_per_level = np.mean(cell["freqs"]) / n
            relative = np.sqrt(2 / (pixels_per_level * (n - 1))) * np.sqrt(12 / level_count)
            assert abs(cell["k"] - true_k) < 4 * relative * true_k, (entry["analog_gain"], cell["k"], true_k)
        k_errors.append(relative * true_k)
    line = sn.calibrate_shot_noise(sfp, stp).coeffs
    propagated = np.sqrt((np.linalg.pinv(np.vander(gains, 2)) ** 2) @ np.square(k_errors))
    slope, offset = kind_noise.TRUTH.conversion_gain_line
    assert np.all(np.abs(np.array(line) - [slope * keep, offset * keep]) < 4 * propagated)
