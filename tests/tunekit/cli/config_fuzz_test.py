"""A short bounded run of the config, set list and preset fuzzer, and the faults it found, each kept."""
import pytest

import config_fuzz
from cli_helpers import refusal, simulate, tool


def test_a_few_seconds_of_mutated_inputs_end_in_a_set_up_or_a_refusal():
    tried, outcomes = config_fuzz.run(seconds=4, seed=2026)
    assert tried > 50
    assert any(outcome == "set up" for _, outcome in outcomes) and any(o == "refused" for _, o in outcomes)


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    return simulate(tmp_path_factory.mktemp("set"))


FOUND = [
    (b'{"width": [' * 100000 + b"1" + b"]" * 100000 + b"}", "is not valid JSON: arrays or objects nested too deeply"),
    (b'{"width": ' + b"9" * 5000 + b"}", "is not valid JSON: an integer of more than 4300 digits"),
    (b'{"bits": 12, "width": 32, "bits": 10}', 'expected each key once, found "bits" more than once'),
    (b'{"out_file_dir": "out\\ud800"}', "out_file_dir (config file {c}): expected a path of UTF-8 text"),
    (b'{"stride": 1000000000000000000000000000000}', "stride (config file {c}): expected an integer from"),
    (b'{"header": 100000000000000000000000000000}', "header (config file {c}): expected an integer from"),
    (b'{"bits": -' + b"9" * 400 + b"}", "bits (config file {c}): expected an integer from"),
    (b'{"again_list": [1, ' + b"9" * 400 + b"]}", "again_list (config file {c}): expected numbers whose integers"),
]


def test_configs_the_fuzzer_found_faults_with_are_refused_in_one_line(captures, tmp_path):
    config, out = tmp_path / "c.json", tmp_path / "out"
    for content, message in FOUND:
        config.write_bytes(content)
        run = tool("blc", "--config", config, "-i", captures, "-o", out, "--width", 32, "--height", 24)
        assert message.format(c=config) in refusal(run, out), content[:80]
    run = tool("blc", "-i", captures, "-o", out, "--width", 32, "--height", 24, "--stride", 10 ** 30)
    assert "--stride: expected an integer from" in refusal(run, out)


DEEP = b"[" * 100000 + b"]" * 100000


def test_truth_files_nested_too_deeply_are_refused(captures, tmp_path):
    truth, out = tmp_path / "truth.json", tmp_path / "out"
    truth.write_bytes(DEEP)
    run = tool("blc", "-i", captures, "-o", out, "--width", 32, "--height", 24, "--bits", 12, "--truth", truth)
    assert "nested too deeply" in refusal(run, out)


def test_preset_files_nested_too_deeply_are_refused(tmp_path):
    # The sanitized run copies only the calibration package, without the tone-mapping binding.
    presets = pytest.importorskip("tonewright.python")
    PresetError, load_preset = presets.PresetError, presets.load_preset
    deep = DEEP
    preset = tmp_path / "p.json"
    preset.write_bytes(deep)
    with pytest.raises(PresetError, match="nested too deeply"):
        load_preset(str(preset))
