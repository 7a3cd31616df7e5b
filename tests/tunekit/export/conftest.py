"""One calibrated simulated run for all export tests of a session, characterised from its truth."""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import export_helpers  # noqa: E402


@pytest.fixture(scope="session")
def calibrated(tmp_path_factory):
    """(results folder, truth model); tests copy the folder before changing it."""
    folder = tmp_path_factory.mktemp("run")
    results, model = export_helpers.calibrated_run(str(folder))
    export_helpers.write_characterization(results, model)
    return results, model


@pytest.fixture
def own_results(calibrated, tmp_path):
    """A copy of the calibrated results folder a test may change."""
    results, model = calibrated
    copy = tmp_path / "results"
    shutil.copytree(results, copy)
    return str(copy), model
