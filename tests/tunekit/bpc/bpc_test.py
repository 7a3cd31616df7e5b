"""tuning.bpc.bpc from the host: records, the array routines against a numpy
reference of the same computation, capture sets on disk and the entry."""
import glob
import json
import os

import numpy as np
import pytest

import tuning.bpc.bpc as bpc

SLOTS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (1, 1), (0, 1), (1, -1), (1, 0)]


# --- records -----------------------------------------------------------------

def test_records_defaults_and_conversions():
    fp = bpc.BPCFileParam()
    assert fp.again_list == [] and fp.exp_time_list == [] and fp.bp_type is bpc.BPType.Hot
    assert bpc.BPCFileParam(bp_type="Cold").bp_type is bpc.BPType.Cold
    assert bpc.BPCFileParam(bp_type=bpc.BPType.Cold).bp_type is bpc.BPType.Cold
    with pytest.raises(ValueError):
        bpc.BPCFileParam(bp_type="Warm")
    tp = bpc.BPCTuningParam(light_thr_ratio=20)
    assert type(tp.light_thr_ratio) is float and tp.light_thr_ratio == 20.0
    assert tp.module == "bpc" and tp.dark_thr_ratio == 0.0
    assert list(json.loads(bpc.BPCFileParam().json())) == [
        "inp_file_dir", "out_file_dir", "width", "height", "bits", "cfa_type", "sensor_mode",
        "again_list", "exp_time_list", "bp_type"]


def test_result_defaults_are_never_shared():
    a, b = bpc.BPCTuningResult(), bpc.BPCTuningResult()
    assert json.dumps(a.dict()) == '{"module": "bpc", "static_loc": {}, "static_info": []}'
    a.static_loc["1"] = [(2, 3)]
    a.static_info.append("0x00020001")
    assert b.static_loc == {} and b.static_info == []


# --- neighbour statistics ----------------------------------------------------

def neighbour_reads(img, slot):
    """One slot's neighbour of every pixel: each colour plane padded by mirror
    reflection without repeating the edge, read in float32 (-0 read as +0)."""
    h, w = img.shape
    di, dj = slot
    out = np.empty((h, w), np.float32)
    for k in range(4):
        padded = np.pad(img[k // 2::2, k % 2::2], 1, mode="reflect")
        out[k // 2::2, k % 2::2] = padded[1 + di:1 + di + h // 2, 1 + dj:1 + dj + w // 2].astype(np.float32)
    return out + np.float32(0)


def reference_win_ave(img):
    """The eight reads summed one by one in slot order in float32."""
    reads = [neighbour_reads(img, slot) for slot in SLOTS]
    total = reads[0].copy()
    for r in reads[1:]:
        total = total + r
    stack = np.stack(reads)
    mx, mn = stack.max(axis=0), stack.min(axis=0)
    return mn, mx, (total - mx - mn) / np.float32(6)


def reference_get_dark_bad(img, ratio):
    s = img / 256.0
    mn, mx, mean = reference_win_ave(s)
    cur = np.abs(s - mean)
    diff = np.minimum(mx - mean, mean - mn)
    cur[:2, :] = 0
    cur[-2:, :] = 0
    cur[:, :2] = 0
    cur[:, -2:] = 0
    return np.where(cur >= diff * ratio)


def wide_range_frame(rng, h, w):
    return rng.random((h, w)) * np.exp2(rng.integers(-6, 14, (h, w)))


@pytest.mark.parametrize("shape", [(2, 2), (4, 4), (2, 10), (6, 2), (22, 38), (64, 90)])
def test_win_ave_is_bit_identical_to_the_reference(shape):
    img = wide_range_frame(np.random.default_rng(sum(shape)), *shape)
    got = bpc.winAve(img)
    for g, want in zip(got, reference_win_ave(img)):
        assert g.dtype == np.float32 and g.shape == shape
        assert g.tobytes() == want.tobytes()


def test_win_ave_reference_would_catch_a_double_accumulator():
    img = wide_range_frame(np.random.default_rng(3), 64, 90)
    mn, mx, mean = reference_win_ave(img)
    total = sum(neighbour_reads(img, slot).astype(np.float64) for slot in SLOTS)
    as_double = ((total - mx - mn) / 6).astype(np.float32)
    assert as_double.tobytes() != mean.tobytes()


@pytest.mark.parametrize("ratio", [0.0, 0.3, 1.0, 2.7, 20.0])
def test_get_dark_bad_matches_the_reference(ratio):
    rng = np.random.default_rng(11)
    img = np.round(rng.normal(3000.0, 40.0, (34, 50)) * 4) / 4
    rows, cols = bpc.getDarkBad(img, ratio)
    want_rows, want_cols = reference_get_dark_bad(img, ratio)
    assert rows.tolist() == want_rows.tolist() and cols.tolist() == want_cols.tolist()


def test_get_dark_bad_shapes_and_flat_frames():
    rows, cols = bpc.getDarkBad(np.full((6, 8), 700.0), 20.0)
    assert len(rows) == 48  # no spread: everything, border included
    with pytest.raises(ValueError):
        bpc.getDarkBad(np.zeros((5, 8)), 1.0)
    with pytest.raises(ValueError):
        bpc.winAve(np.zeros(16))
    with pytest.raises(TypeError):
        bpc.getDarkBad(np.zeros((4, 4)))


# --- packing -----------------------------------------------------------------

def test_encode_axis_u32_examples_and_range():
    assert bpc.encode_axis_u32([]) == []
    assert bpc.encode_axis_u32([(5, 10), (5, 12), (7, 3)]) == [
        "0x00050002", "0x000c000a", "0x00070001", "0x00000003"]
    assert bpc.encode_axis_u32([[7, 3], [5, 12], [5, 10]]) == [
        "0x00050002", "0x000a000c", "0x00070001", "0x00000003"]
    assert bpc.encode_axis_u32(np.array([[0, 0]])) == ["0x00000001", "0x00000000"]
    assert bpc.encode_axis_u32([(65535, 65535)]) == ["0xffff0001", "0x0000ffff"]
    with pytest.raises(AssertionError, match="row of bad pixel \\(65536, 1\\)"):
        bpc.encode_axis_u32([(65536, 1)])
    with pytest.raises(AssertionError, match="column"):
        bpc.encode_axis_u32([(1, 65536)])
    with pytest.raises(AssertionError, match="row 4 is 65536"):
        bpc.encode_axis_u32([(4, 0)] * 65536)
    with pytest.raises(AssertionError, match="2\\*\\*70|1180591620717411303424"):
        bpc.encode_axis_u32([(2 ** 70, 0)])


# --- capture sets --------------------------------------------------------------

H, W = 96, 128  # 12288 values: the frame mean spans two summation blocks


def write_capture(folder, name, frame):
    frame.astype("<u2").tofile(os.path.join(folder, name))


def params(folder, gains, bp_type="Hot"):
    return bpc.BPCFileParam(inp_file_dir=str(folder), out_file_dir=str(folder / "out"), width=W, height=H,
                            bits=12, again_list=gains, bp_type=bp_type)


def reference_hot(folder, gain, ratio):
    files = glob.glob(f"{os.path.normpath(str(folder))}/*_dark_LCG_exp_*_again_{gain}_*.raw")
    mean_img = np.zeros((H, W))
    for f in files:
        mean_img += np.fromfile(f, "<u2")[:H * W].reshape(H, W) / len(files)
    rows, cols = np.where(mean_img > mean_img.mean() * (1 + ratio))
    return [(int(r), int(c)) for r, c in zip(rows, cols)], mean_img


def test_hot_threshold_on_a_knife_edge_agrees_with_the_host_arithmetic(tmp_path):
    rng = np.random.default_rng(5)
    for i in range(3):
        write_capture(tmp_path, f"c_dark_LCG_exp_10_again_1_{i}.raw", rng.integers(60, 70, (H, W)))
    _, mean_img = reference_hot(tmp_path, 1, 0.0)
    sequential_level = 0.0
    for v in mean_img.ravel().tolist():
        sequential_level += v
    sequential_level /= mean_img.size
    # Ratios that put the threshold right at averaged values near the top.
    decided_by_order = 0
    for value in np.unique(mean_img)[-12:]:
        ratio = float(value / mean_img.mean() - 1)
        want, _ = reference_hot(tmp_path, 1, ratio)
        got = bpc.gen_bpc_param(params(tmp_path, [1]), bpc.BPCTuningParam(dark_thr_ratio=ratio))
        assert [tuple(p) for p in got.static_loc["1"]] == want
        decided_by_order += int(np.count_nonzero(mean_img > sequential_level * (1 + ratio)) != len(want))
    assert decided_by_order > 0  # a plain running sum would have failed some of these


def test_planted_hot_and_cold_pixels_are_all_found_and_nothing_else(tmp_path):
    rng = np.random.default_rng(8)
    hot = [(10, 17), (40, 41), (41, 90), (77, 3)]
    cold = [(6, 9), (30, 64), (55, 100), (88, 77)]
    for i in range(4):
        dark = np.round(rng.normal(64, 2, (H, W)))
        for r, c in hot:
            dark[r, c] += 150
        write_capture(tmp_path, f"s_dark_LCG_exp_10_again_2_{i}.raw", dark)
    prnu = rng.normal(1.0, 0.01, (H, W))
    for i in range(4):
        lit = rng.poisson(2000 * prnu) + 64.0
        for r, c in cold:
            lit[r, c] = 64 + 500
        write_capture(tmp_path, f"s_light_LCG_exp_10_again_2_{i}.raw", lit)
    from tuning.common import set_progress_hook
    steps = []
    set_progress_hook(lambda *step: steps.append(step))
    try:
        found_hot = bpc.gen_bpc_param(params(tmp_path, [2, 3]), bpc.BPCTuningParam(dark_thr_ratio=0.4))
    finally:
        set_progress_hook(None)
    assert steps == [("dark LCG exp * again 2", 4, 4)]
    assert sorted(tuple(p) for p in found_hot.static_loc["2"]) == sorted(hot)
    found_cold = bpc.gen_bpc_param(params(tmp_path, [2], "Cold"), bpc.BPCTuningParam(light_thr_ratio=20))
    assert sorted(tuple(p) for p in found_cold.static_loc["2"]) == sorted(cold)
    assert found_cold.static_info == bpc.encode_axis_u32(sorted(cold))


def test_capture_set_failures_reach_the_host(tmp_path):
    write_capture(tmp_path, "s_dark_LCG_exp_10_again_1_0.raw", np.zeros(H * W - 1))
    with pytest.raises(RuntimeError, match="^invalid image shape, check your file param$"):
        bpc.gen_bpc_param(params(tmp_path, [1]), bpc.BPCTuningParam())
    with pytest.raises(FileNotFoundError):
        bpc.gen_bpc_param(bpc.BPCFileParam(inp_file_dir=str(tmp_path), again_list=[1]), bpc.BPCTuningParam())
    write_capture(tmp_path, "s_light_LCG_exp_10_again_1_0.raw", np.zeros((H + 1) * W))
    odd = params(tmp_path, [1], "Cold")
    odd.height = H + 1
    with pytest.raises(ValueError):
        bpc.gen_bpc_param(odd, bpc.BPCTuningParam())
    missing_input = params(tmp_path / "none", [1, 2])
    missing_input.out_file_dir = str(tmp_path / "out")
    result = bpc.gen_bpc_param(tuning_param=bpc.BPCTuningParam(), file_param=missing_input)
    assert result.static_loc == {} and result.static_info == []


# --- entry -------------------------------------------------------------------

def test_main_writes_the_result_file_like_json_dumps(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.makedirs("test_data/imx347_blc2")
    path = tmp_path / "test_data/imx347/static_bad_pixels.json"
    assert bpc.main() is None
    assert json.loads(path.read_text()) == {"module": "bpc", "static_loc": {}, "static_info": []}

    frame = np.full((1440, 2560), 64, np.uint16)
    frame[100, 2000] = 1000
    frame.tofile("test_data/imx347_blc2/x_dark_LCG_exp_20_again_4_0.raw")
    bpc.main()
    text = path.read_text()
    expected = bpc.BPCTuningResult(static_loc={"4": [(100, 2000)]}, static_info=["0x00640001", "0x000007d0"])
    assert text == json.dumps(expected.dict(), indent=4)
    bpc.main()
    assert path.read_text() == text
    assert sorted(os.listdir(path.parent)) == ["static_bad_pixels.json"]  # nothing left aside


def test_simulated_defects_are_recovered_at_every_gain(tmp_path):
    from tuning import sim
    from tuning.sim import kind_light

    model = sim.SensorModel(width=160, height=120, again_list=[1, 8], exp_time_list=[10],
                            hot_pixels=[(30, 41, 700.0), (77, 150, 1200.0)])
    model.lit_scene = kind_light.LitScene(cold_pixels=[(20, 20, 0.0), (60, 99, 0.3)], stuck_pixels=[(101, 7, 0)])
    sim.write_captures(model, "dark", str(tmp_path), 2)
    sim.write_captures(model, "light", str(tmp_path), 2)
    ratios = bpc.BPCTuningParam(dark_thr_ratio=0.4, light_thr_ratio=20)

    def found(bp_type):
        p = params(tmp_path, model.again_list, bp_type)
        p.width, p.height = model.width, model.height
        return {g: sorted(tuple(x) for x in v) for g, v in bpc.gen_bpc_param(p, ratios).static_loc.items()}

    hot = [(30, 41), (77, 150)]
    assert found("Hot") == {"1": hot, "8": hot}
    # The lit captures carry the dark frame, hot pixels included.
    cold = sorted(set(kind_light.planted_light_defects(model)) | set(hot))
    assert cold == sorted([(20, 20), (60, 99), (101, 7)] + hot)
    assert found("Cold") == {"1": cold, "8": cold}
