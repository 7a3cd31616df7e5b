"""The calibration plug-ins: found as files of a package, in `all` order, and shown beside the simulator's truth."""
import shutil
import sys
import types

import pytest

from tuning.cli import calibrations, plugins
from tuning.cli.calibration import RunContext, TruthRow
from tuning.cli.commands import report

NEW_PLUGIN = '''
from tuning.cli.calibrations.blc import CALIBRATION as BLC
import dataclasses

CALIBRATION = dataclasses.replace(BLC, name="extra", order=35)
'''


@pytest.fixture
def plugin_copy(tmp_path, monkeypatch):
    """A copy of the plug-in package under another name, importable, that a test may add files to."""
    folder = tmp_path / "copied_calibrations"
    shutil.copytree(calibrations.__path__[0], folder, ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.syspath_prepend(str(tmp_path))
    yield folder
    for name in [n for n in sys.modules if n.startswith("copied_calibrations")]:
        del sys.modules[name]


def load(folder):
    import importlib

    return importlib.import_module(folder.name)


def test_a_dropped_file_is_a_new_calibration_in_its_order_and_helpers_are_none(plugin_copy):
    (plugin_copy / "extra.py").write_text(NEW_PLUGIN)
    (plugin_copy / "_helper.py").write_text("VALUE = 1\n")  # shared code, no CALIBRATION
    found = plugins.all_calibrations(load(plugin_copy))
    assert list(found) == ["blc", "blc-v2", "dark-shading", "extra", "bpc", "read-noise", "shot-noise",
                           "characterize"]
    assert list(plugins.all_calibrations()) == [n for n in found if n != "extra"]


def test_a_plugin_file_without_a_calibration_or_with_a_taken_name_is_refused(plugin_copy):
    (plugin_copy / "broken.py").write_text("X = 1\n")
    with pytest.raises(ImportError, match=r"broken\.py defines no CALIBRATION"):
        plugins.all_calibrations(load(plugin_copy))
    (plugin_copy / "broken.py").write_text(NEW_PLUGIN.replace('name="extra"', 'name="bpc"'))
    for name in [n for n in sys.modules if n.startswith("copied_calibrations")]:
        del sys.modules[name]
    with pytest.raises(ImportError, match="name the command bpc"):
        plugins.all_calibrations(load(plugin_copy))


def outcome(name, compare, truth=object(), status="ok"):
    calibration = types.SimpleNamespace(name=name, compare=compare)
    return types.SimpleNamespace(calibration=calibration, status=status, context=RunContext(None, None, truth=truth))


def rows_of(text):
    import re

    return [re.findall(r"<td[^>]*>(.*?)</td>", row) for row in re.findall(r"<tr>(.*?)</tr>", text)][1:]


def test_truth_table_shows_result_minus_truth_and_only_with_truth():
    def compare(context):
        return [TruthRow("level", [1.0, 2.0], [1.5, 1.75]), TruthRow("count", 4, 3, "missed (1,2)")]

    def broken(context):
        raise KeyError("gain")

    text = report.truth_section([outcome("a", compare), outcome("b", broken), outcome("c", compare, status="failed"),
                                 outcome("d", compare, truth=None), outcome("e", None)])
    assert "Comparison with the simulator&#x27;s truth" in text
    rows = rows_of(text)
    assert rows[0] == ["a", "level", "1, 2", "1.5, 1.75", "0.5, -0.25"]
    assert rows[1] == ["a", "count", "4", "3", "missed (1,2)"]
    assert rows[2][0] == "b" and "cannot be compared: KeyError(&#x27;gain&#x27;)" in rows[2][1]
    assert len(rows) == 3  # neither a failed run nor one without truth nor a plug-in without compare
    assert report.truth_section([outcome("d", compare, truth=None)]) == ""
